// The tool's commands and options, parsed with CLI11: one definition serves
// the command line, the shell's lines, --help and the shell's completion.
#pragma once

#include <string>
#include <vector>

#include "cli.h"

namespace cli {

struct command_summary {
  const char *name;
  bool takes_index;  // its first argument is an existing index (for completion)
};

// Every command, in the order --help lists them; the shell leaves out
// "shell" and adds "exit" and "quit".
const std::vector<command_summary> &command_summaries();

enum class parse_result {
  run,       // *inv holds a command to run
  answered,  // --help or --version was printed
  refused,   // a usage error was printed
};

// Parses the words of a command line (without the program's name). In the
// shell, "shell" and --dir are refused and messages point to `help`.
parse_result parse_command_line(const std::vector<std::string> &words, bool in_shell,
                                invocation *inv);

// Says that word is no command, suggesting the nearest when one is near.
void unknown_command(const std::string &word, bool in_shell);

// Prints the help of one command, or of the whole tool when command is "".
// Returns false when there is no such command.
bool print_help(const std::string &command, bool in_shell);

}  // namespace cli
