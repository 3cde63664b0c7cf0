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
#include "json_text.h"
#include "render.h"
#include "request.h"
#include "searchdb.h"
#include "source_text.h"
#include "store_files.h"

namespace cli {

std::string last_error() {
  return searchdb_last_error();
}

int refuse_read_only(const session &s, const std::string &command) {
  fprintf(stderr, "searchdb: %s: the store at %s is read-only: %s\n", command.c_str(),
          s.dir.c_str(), s.read_only_reason.c_str());
  return exit_refused;
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

std::string count_of(size_t n, const char *thing) {
  return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
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
  if (searchdb_index_create(inv.index.c_str(), key) != 0) {
    // The library says that a name is invalid; the user needs to know why.
    std::string rule = index_name_rule_broken(inv.index);
    if (last_error() != "index name invalid" || rule.empty()) return refused(inv);
    fprintf(stderr, "searchdb: create: index name '%s' is invalid: %s\n", inv.index.c_str(),
            rule.c_str());
    return exit_refused;
  }
  warn_if_new_message(before);
  std::string primary_key = key ? key : "id";
  if (inv.json) {
    print_text(json_object()
                   .set("index", inv.index)
                   .set("primary_key", primary_key)
                   .set_bool("created", true)
                   .text());
  } else {
    printf("created index '%s' (primary key '%s')\n", inv.index.c_str(), primary_key.c_str());
  }
  return exit_ok;
}

int run_drop(session *, const invocation &inv) {
  std::string before = last_error();
  if (searchdb_index_delete(inv.index.c_str()) != 0) return refused(inv);
  warn_if_new_message(before);
  if (inv.json) {
    print_text(json_object().set("index", inv.index).set_bool("dropped", true).text());
  } else {
    printf("dropped index '%s'\n", inv.index.c_str());
  }
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
  // The library answers a second delete of a document in the process that
  // made the first with success; the shell is one process, and a delete
  // there must say what a delete in a new process says.
  if (searchdb_document_get(inv.index.c_str(), inv.argument.c_str()) == nullptr ||
      searchdb_document_delete(inv.index.c_str(), inv.argument.c_str()) != 0)
    return refused(inv);
  warn_if_new_message(before);
  if (inv.json) {
    print_text(json_object()
                   .set("index", inv.index)
                   .set("id", inv.argument)
                   .set_bool("deleted", true)
                   .text());
  } else {
    printf("deleted document '%s' from '%s'\n", inv.argument.c_str(), inv.index.c_str());
  }
  return exit_ok;
}

// The tags the tool has the library put around marked words for a table:
// control characters, which a document seldom holds and a table never
// shows as they are.
const char kTableMarkOpen[] = "\x02";
const char kTableMarkClose[] = "\x03";

// A search with the request call: the request from the options (marked for
// the table with the tool's own tags) or read whole with --request.
int run_search_request(session *s, const invocation &inv) {
  const bool table = want_table(*s, inv);
  std::string key = "id";
  primary_key_of(inv.index, &key);
  std::string request, error;
  if (inv.request_given) {
    std::string source;
    if (!read_source(inv.request, "a request", &request, &source, &error)) {
      if (interrupted()) return stopped(inv);
      fprintf(stderr, "searchdb: search: %s\n", error.c_str());
      return exit_refused;
    }
  } else {
    request_choices choices;
    if (table && !inv.show_request) {
      choices = {kTableMarkOpen, kTableMarkClose, key};
    }
    if (!build_request(inv, choices, &request, &error)) {
      fprintf(stderr, "searchdb: search: %s\n", error.c_str());
      return exit_usage;
    }
  }
  if (inv.show_request) {
    print_text(request);
    return exit_ok;
  }
  const char *result = searchdb_search_request(inv.index.c_str(), request.c_str());
  if (is_null_result(result)) return refused(inv);
  std::string response = result;
  if (interrupted()) return stopped(inv);
  if (!table) {
    print_text(response);
    return exit_ok;
  }
  fputs(render_hits(response, key, s->style, display_of(request)).c_str(), stdout);
  fputs(render_facets(response, s->style).c_str(), stdout);
  return exit_ok;
}

int run_search(session *s, const invocation &inv) {
  if (is_request_search(inv)) return run_search_request(s, inv);
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
  unknown_command(inv.index, s->in_shell);
  return exit_usage;
}

// What a command needs of the storage directory.
enum class store_use {
  none,      // help and the shell, which opens the store for its commands
  existing,  // refused, creating nothing, where there is no store
  made,      // create, the one command that makes a store
};

struct command_runner {
  const char *name;
  int (*run)(session *, const invocation &);
  store_use store;
  bool changes;  // changes the store through the library
};

const command_runner kRunners[] = {
    {"create", run_create, store_use::made, true},
    {"drop", run_drop, store_use::existing, true},
    {"list", run_list, store_use::existing, false},
    {"add", run_add, store_use::existing, true},
    {"get", run_get, store_use::existing, false},
    {"delete", run_delete, store_use::existing, true},
    {"search", run_search, store_use::existing, false},
    {"stats", run_stats, store_use::existing, false},
    {"export", run_export, store_use::existing, false},
    {"check", run_check, store_use::existing, false},
    {"shell", run_shell, store_use::none, false},
    {"serve", run_serve, store_use::existing, false},
    {"help", run_help, store_use::none, false},
};

const command_runner &runner_of(const std::string &command) {
  for (const command_runner &r : kRunners) {
    if (command == r.name) return r;
  }
  return kRunners[sizeof kRunners / sizeof kRunners[0] - 1];
}

// The part of the library's note that says the store loaded read-only:
// "...; loaded read-only: <reason>" or "loaded read-only: <reason>".
const char kReadOnlyNote[] = "loaded read-only: ";

// Opens the store for a command: one that needs an existing store is
// refused where there is none (the library would make one).
bool open_store(session *s, bool may_make) {
  if (s->store_open) return true;
  if (!may_make && !s->dir.empty() && !is_store(s->dir)) {
    fprintf(stderr, "searchdb: no searchdb store at %s\n", s->dir.c_str());
    return false;
  }
  if (searchdb_init(s->dir.c_str()) != 0) {
    fprintf(stderr, "searchdb: %s: %s\n", s->dir.c_str(), searchdb_last_error());
    return false;
  }
  s->store_open = true;
  // Loading leaves a note when a stored file could not be read whole, or
  // when the store cannot be locked. The second matters only to a change,
  // and is said when one is tried.
  std::string note = last_error();
  size_t read_only = note.find(kReadOnlyNote);
  if (read_only != std::string::npos) {
    s->read_only_reason = note.substr(read_only + sizeof kReadOnlyNote - 1);
    note.erase(read_only >= 2 ? read_only - 2 : read_only);
  }
  s->load_warning = note;
  if (!note.empty()) fprintf(stderr, "searchdb: warning: %s\n", note.c_str());
  return true;
}

// A damaged file that a load set aside is said once, by the load that
// does it; after that the index answers from what was left. So every
// command says how many such files wait for review.
void warn_set_aside(session *s) {
  size_t count = count_set_aside(s->dir);
  if (count > 0 && count != s->set_aside_warned) {
    fprintf(stderr, "searchdb: warning: %s in the store; see '%scheck'\n",
            count_of(count, "set-aside file").c_str(), s->in_shell ? "" : "searchdb ");
  }
  s->set_aside_warned = count;
}

// Runs a parsed command. Ctrl-C pressed during it makes its status 130,
// once the library call in progress has returned.
int run_command(session *s, const invocation &inv) {
  interrupt_clear();
  const command_runner &runner = runner_of(inv.command);
  if (runner.store != store_use::none) {
    // A server that may change the store may also start it, as create does.
    const bool may_make =
        runner.store == store_use::made || (inv.command == "serve" && inv.serve.allow_writes);
    if (!open_store(s, may_make)) return exit_refused;
    if (runner.changes && !s->read_only_reason.empty()) return refuse_read_only(*s, inv.command);
    if (inv.command != "check") warn_set_aside(s);
  }
  int status = runner.run(s, inv);
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
  // Opened there, the library would make a store inside the index.
  std::string store, index;
  if (!is_store(s.dir) && enclosing_store(s.dir, &store, &index)) {
    fprintf(stderr, "searchdb: %s is the index '%s' of the store at %s; use --dir %s\n",
            s.dir.c_str(), index.c_str(), store.c_str(), store.c_str());
    return exit_refused;
  }
  interrupt_install();
  status = run_command(&s, inv);
  if (s.store_open) searchdb_cleanup();
  return status;
}

}  // namespace

bool open_existing_store(session *s) {
  if (!is_store(s->dir) || !open_store(s, false)) return false;
  warn_set_aside(s);
  return true;
}

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
