// What every command of the tool shares: the parsed command line, the
// session it runs in, and the way library answers and refusals are shown.
//
// Exit codes: 0 success; 1 the library refused (its message on standard
// error), the input was bad, or `check` found something; 2 a usage error;
// 130 Ctrl-C stopped the command.
#pragma once

#include <string>
#include <vector>

#include "render.h"
#include "serve_options.h"

namespace cli {

enum exit_code { exit_ok = 0, exit_refused = 1, exit_usage = 2, exit_interrupted = 130 };

// One parsed command line; options not given keep these defaults.
struct invocation {
  std::string command;
  std::string index;     // the index (for `help`, the command asked about)
  std::string argument;  // get/delete: the id; add/export: the file or JSON text
  bool has_argument = false;
  std::vector<std::string> words;  // search: the query words
  std::string dir;
  bool dir_given = false;
  bool json = false;
  bool table = false;
  std::string primary_key;
  bool primary_key_given = false;
  int limit = 20;
  int offset = 0;
  int batch = 0;  // add: documents per batch at most; 0 for no cap
  serve_options serve;
};

struct session {
  bool in_shell = false;
  bool interactive = false;  // the shell reads a terminal
  bool stdout_tty = false;
  std::string dir;           // the storage directory
  std::string load_warning;  // what opening the store reported, if anything
  table_style style;
};

// The library's last-error text.
std::string last_error();

// Prints the library's message as a warning when a call that succeeded left
// one that was not there before (a change can succeed and report a failed
// save).
void warn_if_new_message(const std::string &before);

// Prints the library's message for a refused call; returns exit_refused.
int refused(const invocation &inv);

// Says that Ctrl-C stopped the command; returns exit_interrupted.
int stopped(const invocation &inv);

bool is_null_result(const char *text);

// Whether to print a table: asked for, or standard output is a terminal.
bool want_table(const session &s, const invocation &inv);

// Prints text with a final newline.
void print_text(const std::string &text);

// The primary key of a listed index; false when no index has that name.
bool primary_key_of(const std::string &index, std::string *key);

// Parses and runs one shell line's words; returns its exit status.
int run_words(session *s, const std::vector<std::string> &words);

// The commands that live in files of their own.
int run_add(session *s, const invocation &inv);
int run_export(session *s, const invocation &inv);
int run_check(session *s, const invocation &inv);
int run_shell(session *s, const invocation &inv);
int run_serve(session *s, const invocation &inv);

}  // namespace cli
