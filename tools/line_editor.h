// Reading the shell's command lines. On a terminal the line is edited in raw
// mode (cursor keys, Home/End, Ctrl-A/E/B/F/K/U/W/L, word moves, history with
// Up/Down kept in a file between sessions); otherwise lines are read plainly,
// so the shell can be driven through a pipe.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

struct line_editor {
  bool interactive = false;          // stdin is a terminal: a prompt is shown
  bool raw = false;                  // stdin and stdout are terminals that take ANSI escapes
  std::vector<std::string> history;  // oldest first, no empty lines, no repeated neighbours
  std::string history_path;          // "" when history is not kept between sessions
};

// Finds out what the terminal allows and, when editing, loads the history
// kept at history_path.
void line_editor_open(line_editor *editor, const std::string &history_path);

// Reads the next line, without its newline. Returns false at the end of the
// input (Ctrl-D on an empty line). Ctrl-C abandons the line being typed and
// yields an empty one.
bool line_editor_read(line_editor *editor, const char *prompt, std::string *line);

// Adds a line to the history.
void line_editor_remember(line_editor *editor, const std::string &line);

// Writes the history back to its file.
void line_editor_close(line_editor *editor);

}  // namespace cli
