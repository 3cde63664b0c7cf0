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
  std::vector<std::string> words;  // search: the query words (none: browse)
  std::string dir;
  bool dir_given = false;
  bool json = false;
  bool table = false;
  std::string primary_key;
  bool primary_key_given = false;
  int limit = 20;
  int offset = 0;
  // search: what searchdb_search cannot ask; any of these makes the search
  // a request (request.h)
  std::vector<std::string> where;      // conditions, ANDed (where.h)
  std::vector<std::string> sort;       // PATH[:asc|:desc] or "relevance"
  std::vector<std::string> facets;     // paths whose values to count
  std::vector<std::string> fields;     // the members each hit keeps
  bool all_words = false;              // every query word must match
  std::vector<std::string> highlight;  // members the library marks
  int snippet = 0;                     // words kept of a marked member; 0 all
  std::string rank;                    // the ranking rule; "" the default
  std::string request;                 // a whole request: FILE, '-' or JSON
  bool request_given = false;
  bool show_request = false;       // print the request, search nothing
  int batch = 0;                   // add: documents per batch at most; 0 for no cap
  bool allow_rounded_ids = false;  // add: store number ids under the text the library gives
  bool clear_set_aside = false;    // check: remove the set-aside files of the index
  bool yes = false;                // check: remove without asking
  bool rebuild = false;            // check: write each index's derived file anew
  serve_options serve;
};

struct session {
  bool in_shell = false;
  bool interactive = false;  // the shell reads a terminal
  bool stdout_tty = false;
  std::string dir;  // the storage directory
  bool store_open = false;
  std::string load_warning;      // what opening the store reported, read-only aside
  std::string read_only_reason;  // why the store loaded read-only; "" when it did not
  size_t set_aside_warned = 0;   // the set-aside files the last warning counted
  table_style style;
};

// The library's last-error text.
std::string last_error();

// Refuses command, which changes the store, on a store loaded read-only:
// says why; returns exit_refused.
int refuse_read_only(const session &s, const std::string &command);

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

// "1 document", "2 documents".
std::string count_of(size_t n, const char *thing);

// The primary key of a listed index; false when no index has that name.
bool primary_key_of(const std::string &index, std::string *key);

// Opens the session's store when there is one, as the shell does at its
// start; false when there is none, or it could not be opened.
bool open_existing_store(session *s);

// Parses and runs one shell line's words; returns its exit status.
int run_words(session *s, const std::vector<std::string> &words);

// The commands that live in files of their own.
int run_add(session *s, const invocation &inv);
int run_export(session *s, const invocation &inv);
int run_check(session *s, const invocation &inv);
int run_shell(session *s, const invocation &inv);
int run_serve(session *s, const invocation &inv);

}  // namespace cli
