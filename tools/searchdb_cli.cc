// searchdb: the command-line tool. It reaches the library only through its
// public C interface, as any host does: one process opens the storage
// directory, runs one command (or a shell session of many) and cleans up.
//
// Exit codes: 0 success; 1 the library refused (its message on standard
// error) or the input could not be read; 2 a usage error.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "input_documents.h"
#include "line_editor.h"
#include "render.h"
#include "searchdb.h"

namespace cli {
namespace {

enum exit_code { exit_ok = 0, exit_refused = 1, exit_usage = 2 };

const char kDefaultDir[] = "./searchdb-data";
const long long kDefaultLimit = 20;
const long long kDefaultBatch = 10000;

// ---- Command lines ----

enum option_bit : unsigned {
  opt_dir = 1u << 0,
  opt_json = 1u << 1,
  opt_table = 1u << 2,
  opt_help = 1u << 3,
  opt_primary_key = 1u << 4,
  opt_limit = 1u << 5,
  opt_offset = 1u << 6,
  opt_batch = 1u << 7,
};

struct option_info {
  const char *name;
  unsigned bit;
  bool takes_value;
};

const option_info kOptions[] = {
    {"--dir", opt_dir, true},      {"--json", opt_json, false},
    {"--table", opt_table, false}, {"--help", opt_help, false},
    {"-h", opt_help, false},       {"--primary-key", opt_primary_key, true},
    {"--limit", opt_limit, true},  {"--offset", opt_offset, true},
    {"--batch", opt_batch, true},
};

// Options every command takes; --dir only outside the shell, whose storage
// directory is fixed when it starts.
const unsigned kCommonOptions = opt_dir | opt_json | opt_table | opt_help;

// One parsed command line. `given` holds the bits of the options present;
// the values of absent options are their defaults.
struct invocation {
  std::string command;
  std::vector<std::string> args;
  unsigned given = 0;
  std::string dir;
  std::string primary_key;
  long long limit = kDefaultLimit;
  long long offset = 0;
  long long batch = kDefaultBatch;
};

struct session {
  bool in_shell = false;
  bool stdout_tty = false;
  table_style style;
};

struct command_info {
  const char *name;
  const char *arguments;  // the synopsis after the command's name
  const char *summary;
  unsigned options;  // options taken besides kCommonOptions
  size_t min_args;
  size_t max_args;
  int (*run)(session *, const invocation &);
};

const command_info *find_command(const std::string &name);
void print_overview(FILE *out, bool in_shell);

std::string usage_line(const command_info &c) {
  return std::string("usage: searchdb ") + c.name + (*c.arguments ? " " : "") + c.arguments;
}

void print_command_help(const command_info &command) {
  printf("%s\n\n%s\n", usage_line(command).c_str(), command.summary);
}

int usage_error(const std::string &problem, const command_info *command) {
  fprintf(stderr, "searchdb: %s\n", problem.c_str());
  if (command) {
    fprintf(stderr, "%s\nTry 'searchdb %s --help'.\n", usage_line(*command).c_str(), command->name);
  } else {
    fprintf(stderr, "usage: searchdb [--dir DIR] COMMAND [ARGS...]\nTry 'searchdb --help'.\n");
  }
  return exit_usage;
}

bool parse_count(const std::string &text, long long min, long long max, long long *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  long long parsed = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

bool store_option(const option_info &opt, const std::string &value, invocation *inv,
                  std::string *error) {
  bool ok = true;
  switch (opt.bit) {
    case opt_dir:
      inv->dir = value;
      break;
    case opt_primary_key:
      inv->primary_key = value;
      break;
    case opt_limit:
      ok = parse_count(value, 0, INT_MAX, &inv->limit);
      break;
    case opt_offset:
      ok = parse_count(value, 0, INT_MAX, &inv->offset);
      break;
    case opt_batch:
      ok = parse_count(value, 1, INT_MAX, &inv->batch);
      break;
    default:
      break;
  }
  if (!ok) {
    *error = std::string(opt.name) + " needs a whole number from " +
             (opt.bit == opt_batch ? "1" : "0") + " to " + std::to_string(INT_MAX) + ", not '" +
             value + "'";
  }
  inv->given |= opt.bit;
  return ok;
}

// Options may come before or after the command and its arguments; "--" ends
// them, so a query may start with '-'. A lone "-" is an argument (stdin).
bool parse_command_line(const std::vector<std::string> &words, invocation *inv,
                        std::string *error) {
  bool options_done = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string &word = words[i];
    if (!options_done && word == "--") {
      options_done = true;
      continue;
    }
    if (options_done || word.size() < 2 || word[0] != '-') {
      if (inv->command.empty()) {
        inv->command = word;
      } else {
        inv->args.push_back(word);
      }
      continue;
    }
    size_t eq = word.rfind("--", 0) == 0 ? word.find('=') : std::string::npos;
    std::string name = word.substr(0, eq);
    const option_info *opt = nullptr;
    for (const option_info &candidate : kOptions) {
      if (name == candidate.name) opt = &candidate;
    }
    if (!opt) {
      *error = "unknown option '" + name + "'";
      return false;
    }
    std::string value;
    if (eq != std::string::npos) {
      if (!opt->takes_value) {
        *error = "option '" + name + "' takes no value";
        return false;
      }
      value = word.substr(eq + 1);
    } else if (opt->takes_value) {
      if (i + 1 >= words.size()) {
        *error = "option '" + name + "' needs a value";
        return false;
      }
      value = words[++i];
    }
    if (!store_option(*opt, value, inv, error)) return false;
  }
  return true;
}

// Checks what parse_command_line cannot: the command, its options and its
// number of arguments. On failure *command is the command when it is known,
// for its usage line.
bool check_invocation(const invocation &inv, bool in_shell, const command_info **command,
                      std::string *problem) {
  *command = find_command(inv.command);
  if (!*command || (in_shell && inv.command == "shell")) {
    *command = nullptr;
    *problem = "unknown command '" + inv.command + "'";
    return false;
  }
  const command_info &c = **command;
  unsigned allowed = kCommonOptions | c.options;
  if (in_shell) allowed &= ~opt_dir;
  for (const option_info &opt : kOptions) {
    if ((inv.given & opt.bit) && !(allowed & opt.bit)) {
      *problem =
          (in_shell && opt.bit == opt_dir ? "the shell's storage directory is fixed; " : "") +
          std::string("'") + c.name + "' takes no option '" + opt.name + "'";
      return false;
    }
  }
  if ((inv.given & opt_json) && (inv.given & opt_table)) {
    *problem = "--json and --table exclude each other";
    return false;
  }
  if (inv.given & opt_help) return true;
  if (inv.args.size() < c.min_args) {
    *problem = "'" + inv.command + "' needs more arguments";
    return false;
  }
  if (inv.args.size() > c.max_args) {
    *problem = "'" + inv.command + "' takes at most " + std::to_string(c.max_args) + " argument" +
               (c.max_args == 1 ? "" : "s");
    return false;
  }
  return true;
}

// ---- Talking to the library ----

// The library keeps its last message until another failure replaces it, and
// a change can succeed while leaving one behind (a failed save). Comparing
// the text before and after a successful call shows such a message.
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

bool is_null_result(const char *text) {
  return text == nullptr || strcmp(text, "null") == 0;
}

bool want_table(const session &s, const invocation &inv) {
  if (inv.given & opt_table) return true;
  if (inv.given & opt_json) return false;
  return s.stdout_tty;
}

void print_text(const std::string &text) {
  fwrite(text.data(), 1, text.size(), stdout);
  if (text.empty() || text.back() != '\n') fputc('\n', stdout);
}

// The primary key of an index, from the index list ("id" when not listed).
std::string primary_key_of(const std::string &name) {
  std::vector<index_row> rows;
  parse_index_list(searchdb_indexes_list_json(), &rows);
  for (const index_row &row : rows) {
    if (row.name == name) return row.primary_key;
  }
  return "id";
}

// ---- Commands ----

int run_create(session *, const invocation &inv) {
  const std::string &name = inv.args[0];
  bool keyed = inv.given & opt_primary_key;
  std::string before = last_error();
  if (searchdb_index_create(name.c_str(), keyed ? inv.primary_key.c_str() : nullptr) != 0) {
    return refused(inv);
  }
  warn_if_new_message(before);
  printf("created index '%s' (primary key '%s')\n", name.c_str(),
         keyed ? inv.primary_key.c_str() : "id");
  return exit_ok;
}

int run_drop(session *, const invocation &inv) {
  std::string before = last_error();
  if (searchdb_index_delete(inv.args[0].c_str()) != 0) return refused(inv);
  warn_if_new_message(before);
  printf("dropped index '%s'\n", inv.args[0].c_str());
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

bool read_stream(FILE *in, std::string *text) {
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) text->append(chunk, n);
  return !ferror(in);
}

bool read_input(const std::string &path, std::string *text, std::string *error) {
  if (path == "-") {
    if (isatty(STDIN_FILENO)) {
      fputs("searchdb: reading documents from standard input; end with Ctrl-D\n", stderr);
    }
    if (read_stream(stdin, text)) return true;
    *error = std::string("standard input: ") + strerror(errno);
    return false;
  }
  FILE *in = fopen(path.c_str(), "rb");
  if (!in) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  bool ok = read_stream(in, text);
  if (!ok) *error = path + ": " + strerror(errno);
  fclose(in);
  return ok;
}

// The progress of a long add, drawn on standard error when it is a terminal:
// documents done, documents per second, and time left.
struct progress_bar {
  bool enabled = false;
  size_t total = 0;
  std::chrono::steady_clock::time_point start;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string clock_text(double seconds) {
  long long s = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  } else {
    snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  }
  return text;
}

void progress_show(const progress_bar &bar, size_t done) {
  if (!bar.enabled) return;
  const size_t width = 24;
  size_t filled = bar.total ? done * width / bar.total : width;
  double elapsed = seconds_since(bar.start);
  double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  std::string line = "\r[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " +
                     std::to_string(done) + "/" + std::to_string(bar.total) + " documents";
  if (done > 0 && rate > 0) {
    line += "  " + std::to_string(static_cast<long long>(rate)) + "/s  " +
            clock_text(static_cast<double>(bar.total - done) / rate) + " left";
  }
  line += "\x1b[K";
  fputs(line.c_str(), stderr);
  fflush(stderr);
}

void progress_clear(const progress_bar &bar) {
  if (bar.enabled) fputs("\r\x1b[K", stderr);
}

std::string batch_position(const input_documents &docs, size_t first, size_t last) {
  std::string text = "documents " + std::to_string(first + 1) + "-" + std::to_string(last);
  if (docs.lines[first] > 0) {
    text +=
        ", lines " + std::to_string(docs.lines[first]) + "-" + std::to_string(docs.lines[last - 1]);
  }
  return text;
}

int add_single_value(const invocation &inv, const std::string &text) {
  std::string before = last_error();
  int added = searchdb_documents_add(inv.args[0].c_str(), text.c_str());
  if (added < 0) return refused(inv);
  warn_if_new_message(before);
  printf("added %d document%s to '%s'\n", added, added == 1 ? "" : "s", inv.args[0].c_str());
  return exit_ok;
}

int add_batches(const invocation &inv, const input_documents &docs) {
  const std::string &name = inv.args[0];
  size_t total = docs.texts.size();
  size_t batch = static_cast<size_t>(inv.batch);
  size_t batches = (total + batch - 1) / batch;
  progress_bar bar;
  bar.enabled = isatty(STDERR_FILENO) && total > 0;
  bar.total = total;
  bar.start = std::chrono::steady_clock::now();

  size_t stored = 0;
  std::string before = last_error();
  for (size_t first = 0; first < total; first += batch) {
    progress_show(bar, stored);
    size_t last = std::min(total, first + batch);
    int added = searchdb_documents_add(name.c_str(), batch_json(docs, first, last).c_str());
    if (added < 0) {
      progress_clear(bar);
      fprintf(stderr, "searchdb: add: batch %zu of %zu (%s) was refused: %s\n", first / batch + 1,
              batches, batch_position(docs, first, last).c_str(), last_error().c_str());
      fprintf(stderr, "searchdb: add: %zu document%s stored before it; the rest were not sent\n",
              stored, stored == 1 ? " was" : "s were");
      return exit_refused;
    }
    stored += static_cast<size_t>(added);
    warn_if_new_message(before);
    before = last_error();
  }
  progress_show(bar, stored);
  progress_clear(bar);
  double elapsed = seconds_since(bar.start);
  printf("added %zu document%s to '%s' in %.2f s", stored, stored == 1 ? "" : "s", name.c_str(),
         elapsed);
  if (batches > 1) printf(" (%zu batches", batches);
  if (batches > 1 && elapsed > 0) {
    printf(", %lld documents/s", static_cast<long long>(static_cast<double>(stored) / elapsed));
  }
  fputs(batches > 1 ? ")\n" : "\n", stdout);
  return exit_ok;
}

int run_add(session *s, const invocation &inv) {
  std::string source = inv.args.size() > 1 ? inv.args[1] : "-";
  if (s->in_shell && source == "-") {
    return usage_error("in the shell 'add' reads a FILE; standard input holds the commands",
                       find_command("add"));
  }
  // Refuse a missing index before reading what may be a long input.
  if (is_null_result(searchdb_index_stats_json(inv.args[0].c_str()))) return refused(inv);
  std::string text, error;
  if (!read_input(source, &text, &error)) {
    fprintf(stderr, "searchdb: add: %s\n", error.c_str());
    return exit_refused;
  }
  input_documents docs;
  if (!split_documents(text, &docs, &error)) {
    fprintf(stderr, "searchdb: add: %s\n", error.c_str());
    return exit_refused;
  }
  if (docs.single_value) return add_single_value(inv, text);
  return add_batches(inv, docs);
}

int run_get(session *s, const invocation &inv) {
  const char *doc = searchdb_document_get(inv.args[0].c_str(), inv.args[1].c_str());
  if (!doc) return refused(inv);
  std::string text = doc;
  print_text(want_table(*s, inv) ? render_document(text) : text);
  return exit_ok;
}

int run_delete(session *, const invocation &inv) {
  std::string before = last_error();
  if (searchdb_document_delete(inv.args[0].c_str(), inv.args[1].c_str()) != 0) return refused(inv);
  warn_if_new_message(before);
  printf("deleted document '%s' from '%s'\n", inv.args[1].c_str(), inv.args[0].c_str());
  return exit_ok;
}

int run_search(session *s, const invocation &inv) {
  const std::string &name = inv.args[0];
  std::string query;
  for (size_t i = 1; i < inv.args.size(); ++i) query += (i > 1 ? " " : "") + inv.args[i];
  const char *result = searchdb_search(name.c_str(), query.c_str(), static_cast<int>(inv.limit),
                                       static_cast<int>(inv.offset));
  if (is_null_result(result)) return refused(inv);
  std::string response = result;
  if (!want_table(*s, inv)) {
    print_text(response);
    return exit_ok;
  }
  fputs(render_hits(response, primary_key_of(name), s->style).c_str(), stdout);
  return exit_ok;
}

int run_stats(session *s, const invocation &inv) {
  const char *stats = searchdb_index_stats_json(inv.args[0].c_str());
  if (is_null_result(stats)) return refused(inv);
  std::string text = stats;
  if (want_table(*s, inv)) {
    fputs(render_stats(text, s->style).c_str(), stdout);
  } else {
    print_text(text);
  }
  return exit_ok;
}

int run_help(session *s, const invocation &inv) {
  if (inv.args.empty()) {
    print_overview(stdout, s->in_shell);
    return exit_ok;
  }
  const command_info *command = find_command(inv.args[0]);
  if (!command) return usage_error("unknown command '" + inv.args[0] + "'", nullptr);
  print_command_help(*command);
  return exit_ok;
}

int run_shell(session *s, const invocation &inv);

const command_info kCommands[] = {
    {"create", "NAME [--primary-key KEY]",
     "Creates an index. Its documents are identified by the member KEY (\"id\" by default).",
     opt_primary_key, 1, 1, run_create},
    {"drop", "NAME", "Deletes an index with all its documents.", 0, 1, 1, run_drop},
    {"list", "", "Lists the indexes (with their document counts in a table).", 0, 0, 0, run_list},
    {"add", "NAME [FILE|-] [--batch N]",
     "Adds or replaces documents from FILE, or from standard input when FILE is '-' or\n"
     "missing. The input is one JSON object, a JSON array of objects, or JSON Lines\n"
     "(one object a line). Documents go to the library in batches of N (default 10000);\n"
     "each batch is stored whole or not at all, and a refused batch stops the run.",
     opt_batch, 1, 2, run_add},
    {"get", "NAME ID", "Prints one document.", 0, 2, 2, run_get},
    {"delete", "NAME ID", "Deletes one document.", 0, 2, 2, run_delete},
    {"search", "NAME QUERY... [--limit N] [--offset N]",
     "Searches an index. The words of QUERY match exactly, by prefix, or despite a typo\n"
     "or two in longer words. Shows N hits (default 20; 0 for all) from OFFSET on.",
     opt_limit | opt_offset, 2, SIZE_MAX, run_search},
    {"stats", "NAME", "Prints an index's counts and ranking parameters.", 0, 1, 1, run_stats},
    {"shell", "", "Runs commands read from a prompt, one a line, in one session.", 0, 0, 0,
     run_shell},
    {"help", "[COMMAND]", "Explains a command.", 0, 0, 1, run_help},
};

const command_info *find_command(const std::string &name) {
  for (const command_info &c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

void print_overview(FILE *out, bool in_shell) {
  if (in_shell) {
    fputs("Commands (as on the command line, without 'searchdb'):\n", out);
  } else {
    fputs(
        "usage: searchdb [--dir DIR] COMMAND [ARGS...]\n\n"
        "A full-text search engine on the command line. DIR holds the indexes\n"
        "(default $SEARCHDB_DIR, else ./searchdb-data).\n\nCommands:\n",
        out);
  }
  for (const command_info &c : kCommands) {
    if (in_shell && strcmp(c.name, "shell") == 0) continue;
    std::string synopsis = std::string(c.name) + " " + c.arguments;
    fprintf(out, "  %-46s\n", synopsis.c_str());
  }
  if (in_shell) fputs("  exit, quit\n", out);
  fputs(
      "\nOutput is a table on a terminal and the library's JSON otherwise; --table and\n"
      "--json choose. 'searchdb COMMAND --help' explains a command.\n",
      out);
  if (!in_shell) {
    fputs("\nExit status: 0 success, 1 refused by the library or unreadable input, 2 usage.\n",
          out);
  }
}

int dispatch(session *s, const invocation &inv) {
  if (inv.command.empty()) {
    if (!(inv.given & opt_help)) return usage_error("no command given", nullptr);
    print_overview(stdout, s->in_shell);
    return exit_ok;
  }
  const command_info *command = nullptr;
  std::string problem;
  if (!check_invocation(inv, s->in_shell, &command, &problem)) return usage_error(problem, command);
  if (inv.given & opt_help) {
    print_command_help(*command);
    return exit_ok;
  }
  return command->run(s, inv);
}

int run_words(session *s, const std::vector<std::string> &words) {
  invocation inv;
  std::string error;
  if (!parse_command_line(words, &inv, &error)) {
    return usage_error(error, find_command(inv.command));
  }
  return dispatch(s, inv);
}

// ---- The shell ----

// Splits a shell line into words: blanks separate, '...' keeps text as it
// is, "..." and a backslash escape the next character.
bool split_shell_line(const std::string &line, std::vector<std::string> *words,
                      std::string *error) {
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quote == '\'') {
      if (c == '\'') {
        quote = 0;
      } else {
        word += c;
      }
    } else if (c == '\\' && i + 1 < line.size() &&
               (quote == 0 || line[i + 1] == '"' || line[i + 1] == '\\')) {
      word += line[++i];
      in_word = true;
    } else if (quote == '"') {
      if (c == '"') {
        quote = 0;
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == ' ' || c == '\t') {
      if (in_word) words->push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quote) {
    *error = std::string("unterminated ") + (quote == '"' ? "double" : "single") + " quote";
    return false;
  }
  if (in_word) words->push_back(word);
  return true;
}

std::string history_path() {
  const char *home = getenv("HOME");
  return home && *home ? std::string(home) + "/.searchdb_history" : std::string();
}

// The shell's status is that of its last command, so a script piped into it
// can tell whether its last step worked.
int run_shell(session *s, const invocation &) {
  s->in_shell = true;
  line_editor editor;
  line_editor_open(&editor, history_path());
  if (editor.interactive) {
    printf("searchdb shell. Type 'help' for the commands, 'exit' or Ctrl-D to leave.\n");
  }
  int status = exit_ok;
  std::string line;
  while (line_editor_read(&editor, "searchdb> ", &line)) {
    std::vector<std::string> words;
    std::string error;
    if (!split_shell_line(line, &words, &error)) {
      fprintf(stderr, "searchdb: %s\n", error.c_str());
      status = exit_usage;
      continue;
    }
    if (words.empty() || words[0][0] == '#') continue;
    line_editor_remember(&editor, line);
    if (words.size() == 1 && (words[0] == "exit" || words[0] == "quit")) break;
    status = run_words(s, words);
    fflush(stdout);
    fflush(stderr);
  }
  line_editor_close(&editor);
  return status;
}

// ---- Start ----

size_t terminal_width(bool stdout_tty) {
  winsize ws{};
  if (stdout_tty && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  const char *columns = getenv("COLUMNS");
  long long parsed = 0;
  if (columns && parse_count(columns, 20, 10000, &parsed)) return static_cast<size_t>(parsed);
  return 100;
}

session make_session() {
  session s;
  s.stdout_tty = isatty(STDOUT_FILENO);
  const char *term = getenv("TERM");
  s.style.ansi = s.stdout_tty && !getenv("NO_COLOR") && !(term && strcmp(term, "dumb") == 0);
  s.style.width = terminal_width(s.stdout_tty);
  return s;
}

std::string storage_dir(const invocation &inv) {
  if (inv.given & opt_dir) return inv.dir;
  const char *env = getenv("SEARCHDB_DIR");
  return env && *env ? env : kDefaultDir;
}

int run(int argc, char **argv) {
  session s = make_session();
  invocation inv;
  std::string error;
  if (!parse_command_line(std::vector<std::string>(argv + 1, argv + argc), &inv, &error)) {
    return usage_error(error, find_command(inv.command));
  }
  // Help and usage errors are answered without opening the storage directory.
  const command_info *command = nullptr;
  std::string problem;
  bool opens_library = !inv.command.empty() && !(inv.given & opt_help) && inv.command != "help" &&
                       check_invocation(inv, false, &command, &problem);
  if (!opens_library) return dispatch(&s, inv);

  std::string dir = storage_dir(inv);
  if (searchdb_init(dir.c_str()) != 0) {
    fprintf(stderr, "searchdb: %s: %s\n", dir.c_str(), searchdb_last_error());
    return exit_refused;
  }
  // Loading leaves a message when a stored index could not be read whole.
  warn_if_new_message("");
  int status = dispatch(&s, inv);
  searchdb_cleanup();
  return status;
}

}  // namespace
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
