// The text a command reads from its argument: JSON text given in place of
// a file, standard input, or a file.
#pragma once

#include <string>

namespace cli {

// Reads source: JSON text (when it begins with '{' or '[' and names no
// file), standard input ("-"; on a terminal it ends at Ctrl-D, after a note
// that says what, such as "documents", is being read) or a file. *name is
// what messages call it: "<argument>", "<stdin>" or the file. False with
// *error naming the source and why; "interrupted" after Ctrl-C.
bool read_source(const std::string &source, const char *what, std::string *text, std::string *name,
                 std::string *error);

}  // namespace cli
