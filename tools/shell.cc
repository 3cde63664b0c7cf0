// `searchdb shell`: commands typed at a prompt, one a line, in one session.
// On a terminal lines are edited with libedit (history kept between
// sessions, Ctrl-R to search it, Tab to complete commands and index names);
// otherwise they are read plainly, so the shell can run a script from a
// pipe.
#include <histedit.h>
#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "command_line.h"
#include "interrupt.h"
#include "lazy_library.h"
#include "render.h"
#include "searchdb.h"
#include "store_files.h"

namespace cli {
namespace {

const size_t kHistoryLimit = 500;
const char kPrompt[] = "searchdb> ";

// libedit's functions that the shell calls, found in it when the shell
// first edits lines on a terminal (see lazy_library.h); named as the library
// names them.
struct libedit_functions {
  decltype(&::el_cursor) el_cursor;
  decltype(&::el_deletestr) el_deletestr;
  decltype(&::el_end) el_end;
  decltype(&::el_gets) el_gets;
  decltype(&::el_init) el_init;
  decltype(&::el_insertstr) el_insertstr;
  decltype(&::el_line) el_line;
  decltype(&::el_push) el_push;
  decltype(&::el_set) el_set;
  decltype(&::el_wset) el_wset;
  decltype(&::history) history;
  decltype(&::history_end) history_end;
  decltype(&::history_init) history_init;
};
libedit_functions edit;

bool load_libedit(std::string *problem) {
  static bool loaded = false;
  if (loaded) return true;
  void *library = open_library(SEARCHDB_LIBEDIT_SONAME, problem);
#define FIND(name) find_function(library, SEARCHDB_LIBEDIT_SONAME, #name, &edit.name, problem)
  loaded = library && FIND(el_cursor) && FIND(el_deletestr) && FIND(el_end) && FIND(el_gets) &&
           FIND(el_init) && FIND(el_insertstr) && FIND(el_line) && FIND(el_push) && FIND(el_set) &&
           FIND(el_wset) && FIND(history) && FIND(history_end) && FIND(history_init);
#undef FIND
  return loaded;
}

// ---- Words ----

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// A byte of a word in running text: a letter or digit, or part of a
// character beyond ASCII.
bool is_letter(char c) {
  unsigned char b = static_cast<unsigned char>(c);
  return b >= 0x80 || (b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
}

// Where the word being typed at the end of a line starts, and its text
// with the quoting taken off.
struct word_in_progress {
  size_t start = 0;
  std::string text;
};

// Splits a shell line into words: blanks separate, '...' keeps text as it
// is, "..." and a backslash escape the next character. An apostrophe
// between two letters is part of the word, as in "it's". JSON typed after
// `add INDEX` is taken as it stands, to the end of the line, so its quotes
// survive. *last, when given, gets the word the line ends in ("" from the
// line's end when it ends in a blank), even with its quote still open.
bool split_shell_line(const std::string &line, std::vector<std::string> *words, std::string *error,
                      word_in_progress *last = nullptr) {
  std::string word;
  bool in_word = false;
  size_t word_start = 0;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (!in_word && !quote && !is_blank(c) && words->size() == 2 && (*words)[0] == "add" &&
        (c == '{' || c == '[')) {
      std::string json = line.substr(i);
      while (!json.empty() && (is_blank(json.back()) || json.back() == '\r')) json.pop_back();
      words->push_back(json);
      if (last) *last = {line.size(), ""};
      return true;
    }
    if (!in_word && !quote && !is_blank(c) && c != '\r') word_start = i;
    if (quote == 0 && c == '\'' && in_word && i > 0 && is_letter(line[i - 1]) &&
        i + 1 < line.size() && is_letter(line[i + 1])) {
      word += c;
    } else if (quote == '\'') {
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
    } else if (is_blank(c) || c == '\r') {
      if (in_word) words->push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (last)
    *last = in_word ? word_in_progress{word_start, word} : word_in_progress{line.size(), ""};
  if (quote) {
    *error = std::string("unterminated ") + (quote == '"' ? "double" : "single") + " quote";
    return false;
  }
  if (in_word) words->push_back(word);
  return true;
}

// A word as it must be typed to reach split_shell_line whole; with open,
// its closing quote left out, for a completion that is not finished.
std::string quoted(const std::string &word, bool open = false) {
  bool plain =
      !word.empty() && word[0] != '#' && std::none_of(word.begin(), word.end(), [](char c) {
        return is_blank(c) || c == '\'' || c == '"' || c == '\\' ||
               static_cast<unsigned char>(c) < 0x20;
      });
  if (plain) return word;
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return open ? out : out + "'";
}

// ---- Completion ----

std::vector<std::string> command_names() {
  std::vector<std::string> names;
  for (const command_summary &c : command_summaries()) {
    if (strcmp(c.name, "shell") != 0) names.push_back(c.name);
  }
  names.push_back("exit");
  names.push_back("quit");
  return names;
}

std::vector<std::string> index_names() {
  std::vector<index_row> rows;
  parse_index_list(searchdb_indexes_list_json(), &rows);
  std::vector<std::string> names;
  for (const index_row &row : rows) names.push_back(row.name);
  return names;
}

// What may stand at the word after `before`: a command name first, an index
// name after a command that takes one, a command name after `help`.
std::vector<std::string> candidates_after(const std::string &before) {
  std::vector<std::string> words;
  std::string error;
  if (!split_shell_line(before, &words, &error)) return {};
  if (words.empty()) return command_names();
  if (words.size() > 1) return {};
  if (words[0] == "help") return command_names();
  for (const command_summary &c : command_summaries()) {
    if (words[0] == c.name && c.takes_index) return index_names();
  }
  return {};
}

// Puts text in place of the word being typed, which starts at start.
void replace_word(EditLine *el, const std::string &before, size_t start, const std::string &text) {
  if (before.size() > start) edit.el_deletestr(el, static_cast<int>(before.size() - start));
  edit.el_insertstr(el, text.c_str());
}

// Tab: completes the word before the cursor when one candidate fits, else
// as far as all fitting candidates agree, listing them when that adds
// nothing. A name that needs quoting is put in quoted.
unsigned char complete(EditLine *el, int) {
  const LineInfo *li = edit.el_line(el);
  std::string before(li->buffer, static_cast<size_t>(li->cursor - li->buffer));
  std::vector<std::string> words;
  std::string error;
  word_in_progress typed;
  split_shell_line(before, &words, &error, &typed);
  const std::string &prefix = typed.text;
  std::vector<std::string> fits;
  for (const std::string &c : candidates_after(before.substr(0, typed.start))) {
    if (c.compare(0, prefix.size(), prefix) == 0) fits.push_back(c);
  }
  if (fits.empty()) return CC_REFRESH_BEEP;
  if (fits.size() == 1) {
    replace_word(el, before, typed.start, quoted(fits[0]) + " ");
    return CC_REFRESH;
  }
  size_t common = fits[0].size();
  for (const std::string &c : fits) {
    size_t n = 0;
    while (n < common && n < c.size() && c[n] == fits[0][n]) ++n;
    common = n;
  }
  if (common > prefix.size()) {
    replace_word(el, before, typed.start, quoted(fits[0].substr(0, common), true));
    return CC_REFRESH;
  }
  std::string list = "\n";
  for (const std::string &c : fits) list += c + "  ";
  list.back() = '\n';
  fputs(list.c_str(), stdout);
  fflush(stdout);
  return CC_REDISPLAY;
}

// ---- Reading lines ----

// Set by Ctrl-C at the prompt: the line is given up.
bool s_line_abandoned = false;

unsigned char abandon_line(EditLine *el, int) {
  const LineInfo *li = edit.el_line(el);
  edit.el_cursor(el, static_cast<int>(li->lastchar - li->cursor));
  fputs("^C", stdout);
  fflush(stdout);
  s_line_abandoned = true;
  edit.el_push(el, "\n");  // ends the line as Enter does
  return CC_NORM;
}

const char *prompt(EditLine *) {
  return kPrompt;
}

// libedit needs a UTF-8 locale to edit UTF-8 text; C.UTF-8 is always there.
void use_utf8_locale() {
  setlocale(LC_CTYPE, "");
  if (strcmp(nl_langinfo(CODESET), "UTF-8") != 0) setlocale(LC_CTYPE, "C.UTF-8");
}

std::string history_path() {
  const char *home = getenv("HOME");
  return home && *home ? std::string(home) + "/.searchdb_history" : std::string();
}

class line_reader {
 public:
  line_reader() = default;

  // Sets up line editing on a terminal; false, with *problem, when libedit
  // cannot be loaded. Lines read plainly need nothing, so a script from a
  // pipe runs without libedit.
  bool start(std::string *problem) {
    const char *term = getenv("TERM");
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO) || !term || !*term ||
        strcmp(term, "dumb") == 0)
      return true;
    if (!load_libedit(problem)) return false;
    editing_ = true;
    use_utf8_locale();
    history_ = edit.history_init();
    HistEvent ev;
    edit.history(history_, &ev, H_SETSIZE, static_cast<int>(kHistoryLimit));
    edit.history(history_, &ev, H_SETUNIQUE, 1);
    el_ = edit.el_init("searchdb", stdin, stdout, stderr);
    edit.el_set(el_, EL_EDITOR, "emacs");
    edit.el_set(el_, EL_PROMPT, prompt);
    edit.el_set(el_, EL_HIST, edit.history, history_);
    edit.el_set(el_, EL_SIGNAL, 1);
    // Ctrl-C at the prompt is a key that gives up the line; while a command
    // runs it is a signal again.
    edit.el_set(el_, EL_SETTY, "-d", "-isig", nullptr);
    // Wide names: libedit keeps them as given, where it would leak copies
    // of narrow ones.
    edit.el_wset(el_, EL_ADDFN, L"sdb-abandon", L"Give up the line", abandon_line);
    edit.el_set(el_, EL_BIND, "^C", "sdb-abandon", nullptr);
    edit.el_wset(el_, EL_ADDFN, L"sdb-complete", L"Complete a command or index name", complete);
    edit.el_set(el_, EL_BIND, "^I", "sdb-complete", nullptr);
    edit.el_set(el_, EL_BIND, "^R", "em-inc-search-prev", nullptr);
    path_ = history_path();
    std::ifstream in(path_);
    std::string entry;
    while (std::getline(in, entry)) remember(entry);
    return true;
  }

  ~line_reader() {
    if (!editing_) return;
    edit.el_end(el_);
    edit.history_end(history_);
    if (path_.empty()) return;
    std::ofstream out(path_, std::ios::trunc);
    for (const std::string &entry : entries_) out << entry << '\n';
  }

  line_reader(const line_reader &) = delete;
  line_reader &operator=(const line_reader &) = delete;

  // Reads the next line without its newline; false at the end of the input.
  // *abandoned tells that Ctrl-C gave the line up.
  bool read(std::string *line, bool *abandoned) {
    *abandoned = false;
    if (!editing_) return read_plain(line);
    s_line_abandoned = false;
    int count = 0;
    const char *text = edit.el_gets(el_, &count);
    if (!text || count <= 0) {
      fputc('\n', stdout);
      return false;
    }
    line->assign(text, static_cast<size_t>(count));
    while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
    *abandoned = s_line_abandoned;
    return true;
  }

  void remember(const std::string &line) {
    if (!editing_ || line.empty() || (!entries_.empty() && entries_.back() == line)) return;
    HistEvent ev;
    edit.history(history_, &ev, H_ENTER, line.c_str());
    entries_.push_back(line);
    if (entries_.size() > kHistoryLimit) entries_.erase(entries_.begin());
  }

 private:
  static bool read_plain(std::string *line) {
    line->clear();
    int c;
    while ((c = getchar()) != EOF && c != '\n') line->push_back(static_cast<char>(c));
    if (c == EOF && line->empty()) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
  }

  bool editing_ = false;
  EditLine *el_ = nullptr;
  History *history_ = nullptr;
  std::string path_;
  std::vector<std::string> entries_;  // what the history file gets, oldest first
};

}  // namespace

// On a terminal the session ends with status 0, however it is left; from a
// pipe its status is that of the last command, so a script can tell whether
// its last step worked.
int run_shell(session *s, const invocation &) {
  s->in_shell = true;
  s->interactive = isatty(STDIN_FILENO);
  // Opened now, so that Tab finds the index names; where there is no store
  // yet, 'create' makes it.
  bool opened = open_existing_store(s);
  line_reader reader;
  std::string problem;
  if (!reader.start(&problem)) {
    fprintf(stderr, "searchdb: shell: %s\n", problem.c_str());
    return exit_refused;
  }
  if (s->interactive) {
    printf("searchdb shell on %s. Type 'help' for the commands, 'exit' or Ctrl-D to leave.\n",
           s->dir.c_str());
    if (!opened && !is_store(s->dir))
      printf("There is no store there yet; 'create NAME' makes one.\n");
  }
  int status = exit_ok;
  std::string line;
  bool abandoned = false;
  while (reader.read(&line, &abandoned)) {
    if (abandoned) continue;
    std::vector<std::string> words;
    std::string error;
    if (!split_shell_line(line, &words, &error)) {
      fprintf(stderr, "searchdb: %s\n", error.c_str());
      status = exit_usage;
      continue;
    }
    if (words.empty() || words[0][0] == '#') continue;
    reader.remember(line);
    if (words.size() == 1 && (words[0] == "exit" || words[0] == "quit")) break;
    status = run_words(s, words);
    fflush(stdout);
    fflush(stderr);
  }
  interrupt_clear();
  return s->interactive ? exit_ok : status;
}

}  // namespace cli
