// searchdb: the command-line tool. It reaches the library through its
// public C interface, as any host does: one process opens the storage
// directory, runs one command (or a shell session of many) and cleans up.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli.h"
#include "command_line.h"
#include "interrupt.h"
#include "render.h"
#include "searchdb.h"

namespace cli {

std::string last_error() {
  return searchdb_last_error();
}

void warn_if_new_message(const std::string &before) {
  std::string now = last_error();
  if (!now.empty() && now != before) fprintf(stderr, "searchdb: warning: %s\n", now.c_str());
}

int refused(const invocation &inv) {
  std::string message = last_error();
  if (message.empty()) message = "the library refused without giving a reason";
  fprintf(stderr, "searchdb: %s: %s\n", inv.command.c_str(), message.c_str());
  return exit_refused;
}

int stopped(const invocation &inv) {
  fprintf(stderr, "searchdb: %s: interrupted\n", inv.command.c_str());
  return exit_interrupted;
}

bool is_null_result(const char *text) {
  return text == nullptr || strcmp(text, "null") == 0;
}

bool want_table(const session &s, const invocation &inv) {
  if (inv.table) return true;
  if (inv.json) return false;
  return s.stdout_tty;
}

void print_text(const std::string &text) {
  fwrite(text.data(), 1, text.size(), stdout);
  if (text.empty() || text.back() != '\n') fputc('\n', stdout);
}

bool primary_key_of(const std::string &index, std::string *key) {
  std::vector<index_row> rows;
  parse_index_list(searchdb_indexes_list_json(), &rows);
  for (const index_row &row : rows) {
    if (row.name == index) {
      *key = row.primary_key;
      return true;
    }
  }
  return false;
}

namespace {

const char kDefaultDir[] = "./searchdb-data";

// ---- Commands ----

int run_create(session *, const invocation &inv) {
  std::string before = last_error();
  const char *key = inv.primary_key_given ? inv.primary_key.c_str() : nullptr;
  if (searchdb_index_create(inv.index.c_str(), key) != 0) return refused(inv);
  warn_if_new_message(before);
  printf("created index '%s' (primary key '%s')\n", inv.index.c_str(), key ? key : "id");
  return exit_ok;
}

int run_drop(session *, const invocation &inv) {
  std::string before = last_error();
  if (searchdb_index_delete(inv.index.c_str()) != 0) return refused(inv);
  warn_if_new_message(before);
  printf("dropped index '%s'\n", inv.index.c_str());
  return exit_ok;
}

int run_list(session *s, const invocation &inv) {
  std::string list = searchdb_indexes_list_json();
  if (!want_table(*s, inv)) {
    print_text(list);
    return exit_ok;
  }
  std::vector<index_row> rows;
  parse_index_list(list, &rows);
  for (index_row &row : rows) {
    const char *stats = searchdb_index_stats_json(row.name.c_str());
    if (!is_null_result(stats)) row.documents = stats_document_count(stats);
  }
  fputs(render_index_list(rows, s->style).c_str(), stdout);
  return exit_ok;
}

int run_get(session *s, const invocation &inv) {
  const char *doc = searchdb_document_get(inv.index.c_str(), inv.argument.c_str());
  if (!doc) return refused(inv);
  std::string text = doc;
  print_text(want_table(*s, inv) ? render_document(text) : text);
  return exit_ok;
}

int run_delete(session *, const invocation &inv) {
  std::string before = last_error();
  if (searchdb_document_delete(inv.index.c_str(), inv.argument.c_str()) != 0) return refused(inv);
  warn_if_new_message(before);
  printf("deleted document '%s' from '%s'\n", inv.argument.c_str(), inv.index.c_str());
  return exit_ok;
}

int run_search(session *s, const invocation &inv) {
  std::string query;
  for (const std::string &word : inv.words) query += (query.empty() ? "" : " ") + word;
  const char *result = searchdb_search(inv.index.c_str(), query.c_str(), inv.limit, inv.offset);
  if (is_null_result(result)) return refused(inv);
  std::string response = result;
  if (interrupted()) return stopped(inv);
  if (!want_table(*s, inv)) {
    print_text(response);
    return exit_ok;
  }
  std::string key = "id";
  primary_key_of(inv.index, &key);
  fputs(render_hits(response, key, s->style).c_str(), stdout);
  return exit_ok;
}

int run_stats(session *s, const invocation &inv) {
  const char *stats = searchdb_index_stats_json(inv.index.c_str());
  if (is_null_result(stats)) return refused(inv);
  std::string text = stats;
  print_text(want_table(*s, inv) ? render_stats(text, s->style) : text);
  return exit_ok;
}

int run_help(session *s, const invocation &inv) {
  if (print_help(inv.index, s->in_shell)) return exit_ok;
  fprintf(stderr, "searchdb: unknown command '%s'; '%shelp' lists the commands\n",
          inv.index.c_str(), s->in_shell ? "" : "searchdb ");
  return exit_usage;
}

struct command_runner {
  const char *name;
  int (*run)(session *, const invocation &);
  bool reads_only;  // refused, creating nothing, where there is no store
};

const command_runner kRunners[] = {
    {"create", run_create, false}, {"drop", run_drop, false},   {"list", run_list, true},
    {"add", run_add, false},       {"get", run_get, true},      {"delete", run_delete, false},
    {"search", run_search, true},  {"stats", run_stats, true},  {"export", run_export, true},
    {"check", run_check, true},    {"shell", run_shell, false}, {"serve", run_serve, false},
    {"help", run_help, false},
};

const command_runner &runner_of(const std::string &command) {
  for (const command_runner &r : kRunners) {
    if (command == r.name) return r;
  }
  return kRunners[sizeof kRunners / sizeof kRunners[0] - 1];
}

// Runs a parsed command. Ctrl-C pressed during it makes its status 130,
// once the library call in progress has returned.
int run_command(session *s, const invocation &inv) {
  interrupt_clear();
  int status = runner_of(inv.command).run(s, inv);
  fflush(stdout);
  if (status != exit_interrupted && interrupted()) status = stopped(inv);
  return status;
}

// ---- Start ----

size_t terminal_width(bool stdout_tty) {
  winsize ws{};
  if (stdout_tty && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  const char *columns = getenv("COLUMNS");
  char *end = nullptr;
  long parsed = columns ? strtol(columns, &end, 10) : 0;
  if (columns && *end == '\0' && parsed >= 20 && parsed <= 10000)
    return static_cast<size_t>(parsed);
  return 100;
}

session make_session(const invocation &inv) {
  session s;
  s.stdout_tty = isatty(STDOUT_FILENO);
  const char *term = getenv("TERM");
  s.style.ansi = s.stdout_tty && !getenv("NO_COLOR") && !(term && strcmp(term, "dumb") == 0);
  s.style.width = terminal_width(s.stdout_tty);
  const char *env = getenv("SEARCHDB_DIR");
  s.dir = inv.dir_given ? inv.dir : env && *env ? env : kDefaultDir;
  return s;
}

// A store is a directory the library has opened before: it holds _indexes.
bool is_store(const std::string &dir) {
  struct stat st;
  return stat((dir + "/_indexes").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Parses a command line; false with its exit status when parsing answered
// it (help, version) or refused it.
bool parse_to_run(const std::vector<std::string> &words, bool in_shell, invocation *inv,
                  int *status) {
  switch (parse_command_line(words, in_shell, inv)) {
    case parse_result::answered:
      *status = exit_ok;
      return false;
    case parse_result::refused:
      *status = exit_usage;
      return false;
    case parse_result::run:
      break;
  }
  return true;
}

int run(int argc, char **argv) {
  invocation inv;
  int status;
  if (!parse_to_run(std::vector<std::string>(argv + 1, argv + argc), false, &inv, &status))
    return status;
  session s = make_session(inv);
  // Help is answered without opening the storage directory.
  if (inv.command == "help") return run_command(&s, inv);
  // The library creates what it opens; a command that only reads must not
  // leave a store behind where there was none. An empty name is the
  // library's to refuse.
  bool reads_only =
      runner_of(inv.command).reads_only || (inv.command == "serve" && !inv.serve.allow_writes);
  if (reads_only && !s.dir.empty() && !is_store(s.dir)) {
    fprintf(stderr, "searchdb: no searchdb store at %s\n", s.dir.c_str());
    return exit_refused;
  }
  if (searchdb_init(s.dir.c_str()) != 0) {
    fprintf(stderr, "searchdb: %s: %s\n", s.dir.c_str(), searchdb_last_error());
    return exit_refused;
  }
  // Loading leaves a message when a stored file could not be read whole.
  s.load_warning = last_error();
  warn_if_new_message("");
  interrupt_install();
  status = run_command(&s, inv);
  searchdb_cleanup();
  return status;
}

}  // namespace

int run_words(session *s, const std::vector<std::string> &words) {
  invocation inv;
  int status;
  return parse_to_run(words, true, &inv, &status) ? run_command(s, inv) : status;
}

}  // namespace cli

int main(int argc, char **argv) {
  try {
    return cli::run(argc, argv);
  } catch (const std::bad_alloc &) {
    searchdb_cleanup();
    fputs("searchdb: out of memory\n", stderr);
    return cli::exit_refused;
  }
}
