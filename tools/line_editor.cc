#include "line_editor.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "utf8.h"

namespace cli {
namespace {

const size_t kHistoryLimit = 500;

// The line being edited. cursor is a byte offset on a code point boundary;
// scroll is the first column of the line shown, so that a line wider than the
// terminal scrolls sideways instead of wrapping; history_pos is the history
// entry shown, history.size() for the new line, which is kept in `typed`
// while older entries are browsed.
struct edit_state {
  std::string buf;
  size_t cursor = 0;
  size_t scroll = 0;
  size_t history_pos = 0;
  std::string typed;
  const char *prompt = "";
};

enum key {
  key_closed,  // the terminal went away
  key_none,
  key_char,
  key_enter,
  key_interrupt,
  key_eof_or_delete,
  key_backspace,
  key_delete,
  key_left,
  key_right,
  key_word_left,
  key_word_right,
  key_home,
  key_end,
  key_up,
  key_down,
  key_kill_end,
  key_kill_start,
  key_kill_word,
  key_clear_screen,
};

void write_all(const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

bool read_byte(char *c) {
  return read(STDIN_FILENO, c, 1) == 1;
}

size_t terminal_columns() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

// Raw mode: bytes arrive one by one, unechoed, with Ctrl-C and Ctrl-D as
// plain keys. TCSANOW keeps input typed ahead (or pasted) of the prompt.
bool enter_raw_mode(termios *saved) {
  if (tcgetattr(STDIN_FILENO, saved) != 0) return false;
  termios raw = *saved;
  raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
  raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  raw.c_cflag |= CS8;
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  return tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

// Decodes the rest of an escape sequence: "ESC [ params final", "ESC O x",
// or Alt with a letter.
key read_escape() {
  char first;
  if (!read_byte(&first)) return key_none;
  if (first == 'b') return key_word_left;
  if (first == 'f') return key_word_right;
  if (first == 'O') {
    char c;
    if (!read_byte(&c)) return key_none;
    switch (c) {
      case 'A':
        return key_up;
      case 'B':
        return key_down;
      case 'C':
        return key_right;
      case 'D':
        return key_left;
      case 'H':
        return key_home;
      case 'F':
        return key_end;
      default:
        return key_none;
    }
  }
  if (first != '[') return key_none;
  std::string params;
  char final;
  while (true) {
    if (!read_byte(&final)) return key_none;
    if (final >= 0x40 && final <= 0x7E) break;
    params += final;
  }
  bool with_modifier = params.find(';') != std::string::npos;
  switch (final) {
    case 'A':
      return key_up;
    case 'B':
      return key_down;
    case 'C':
      return with_modifier ? key_word_right : key_right;
    case 'D':
      return with_modifier ? key_word_left : key_left;
    case 'H':
      return key_home;
    case 'F':
      return key_end;
    case '~':
      if (params == "1" || params == "7") return key_home;
      if (params == "4" || params == "8") return key_end;
      if (params == "3") return key_delete;
      return key_none;
    default:
      return key_none;
  }
}

key read_key(char *c) {
  if (!read_byte(c)) return key_closed;
  switch (*c) {
    case '\r':
    case '\n':
      return key_enter;
    case 1:
      return key_home;  // Ctrl-A
    case 2:
      return key_left;  // Ctrl-B
    case 3:
      return key_interrupt;  // Ctrl-C
    case 4:
      return key_eof_or_delete;  // Ctrl-D
    case 5:
      return key_end;  // Ctrl-E
    case 6:
      return key_right;  // Ctrl-F
    case 8:
    case 127:
      return key_backspace;
    case 11:
      return key_kill_end;  // Ctrl-K
    case 12:
      return key_clear_screen;  // Ctrl-L
    case 14:
      return key_down;  // Ctrl-N
    case 16:
      return key_up;  // Ctrl-P
    case 21:
      return key_kill_start;  // Ctrl-U
    case 23:
      return key_kill_word;  // Ctrl-W
    case 27:
      return read_escape();
    default:
      return static_cast<unsigned char>(*c) >= 0x20 ? key_char : key_none;
  }
}

void refresh(edit_state *s) {
  size_t prompt_width = utf8_width(s->prompt);
  size_t columns = terminal_columns();
  size_t avail = columns > prompt_width + 1 ? columns - prompt_width - 1 : 1;
  size_t cursor_col = utf8_width(std::string_view(s->buf).substr(0, s->cursor));
  if (cursor_col < s->scroll) s->scroll = cursor_col;
  if (cursor_col >= s->scroll + avail) s->scroll = cursor_col - avail + 1;

  std::string visible;
  size_t col = 0, shown = 0;
  for (size_t pos = 0; pos < s->buf.size();) {
    size_t len = utf8_step(s->buf, pos);
    size_t width = utf8_width_at(s->buf, pos, len);
    if (col >= s->scroll) {
      if (shown + width > avail) break;
      visible.append(s->buf, pos, len);
      shown += width;
    }
    col += width;
    pos += len;
  }
  std::string out = "\r";
  out += s->prompt;
  out += visible;
  out += "\x1b[0K\r";
  size_t target = prompt_width + cursor_col - s->scroll;
  if (target > 0) out += "\x1b[" + std::to_string(target) + "C";
  write_all(out);
}

bool char_complete_before(const std::string &buf, size_t cursor) {
  size_t start = utf8_back(buf, cursor);
  unsigned char lead = static_cast<unsigned char>(buf[start]);
  size_t want = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  return cursor - start >= want;
}

bool is_space_at(const std::string &buf, size_t pos) {
  return buf[pos] == ' ';
}

size_t word_left(const std::string &buf, size_t pos) {
  while (pos > 0 && is_space_at(buf, pos - 1)) --pos;
  while (pos > 0 && !is_space_at(buf, pos - 1)) --pos;
  return pos;
}

size_t word_right(const std::string &buf, size_t pos) {
  while (pos < buf.size() && is_space_at(buf, pos)) ++pos;
  while (pos < buf.size() && !is_space_at(buf, pos)) ++pos;
  return pos;
}

void show_history_entry(edit_state *s, const std::vector<std::string> &history, size_t pos) {
  if (s->history_pos == history.size()) s->typed = s->buf;
  s->history_pos = pos;
  s->buf = pos == history.size() ? s->typed : history[pos];
  s->cursor = s->buf.size();
}

// Applies one key. Returns false when the key ends the line.
bool apply_key(edit_state *s, key k, char c, const std::vector<std::string> &history) {
  std::string &buf = s->buf;
  switch (k) {
    case key_enter:
    case key_interrupt:
      return false;
    case key_char:
      buf.insert(s->cursor, 1, c);
      ++s->cursor;
      break;
    case key_eof_or_delete:
    case key_delete:
      if (s->cursor < buf.size()) buf.erase(s->cursor, utf8_step(buf, s->cursor));
      break;
    case key_backspace:
      if (s->cursor > 0) {
        size_t start = utf8_back(buf, s->cursor);
        buf.erase(start, s->cursor - start);
        s->cursor = start;
      }
      break;
    case key_left:
      if (s->cursor > 0) s->cursor = utf8_back(buf, s->cursor);
      break;
    case key_right:
      if (s->cursor < buf.size()) s->cursor += utf8_step(buf, s->cursor);
      break;
    case key_word_left:
      s->cursor = word_left(buf, s->cursor);
      break;
    case key_word_right:
      s->cursor = word_right(buf, s->cursor);
      break;
    case key_home:
      s->cursor = 0;
      break;
    case key_end:
      s->cursor = buf.size();
      break;
    case key_up:
      if (s->history_pos > 0) show_history_entry(s, history, s->history_pos - 1);
      break;
    case key_down:
      if (s->history_pos < history.size()) show_history_entry(s, history, s->history_pos + 1);
      break;
    case key_kill_end:
      buf.erase(s->cursor);
      break;
    case key_kill_start:
      buf.erase(0, s->cursor);
      s->cursor = 0;
      break;
    case key_kill_word: {
      size_t start = word_left(buf, s->cursor);
      buf.erase(start, s->cursor - start);
      s->cursor = start;
      break;
    }
    case key_clear_screen:
      write_all("\x1b[H\x1b[2J");
      break;
    case key_closed:
    case key_none:
      break;
  }
  return true;
}

// Returns false at the end of input.
bool edit_line(line_editor *editor, const char *prompt, std::string *line) {
  termios saved;
  if (!enter_raw_mode(&saved)) return false;
  edit_state s;
  s.prompt = prompt;
  s.history_pos = editor->history.size();
  refresh(&s);

  bool got_line = true;
  while (true) {
    char c = 0;
    key k = read_key(&c);
    if (k == key_closed || (k == key_eof_or_delete && s.buf.empty())) {
      got_line = false;
      break;
    }
    if (!apply_key(&s, k, c, editor->history)) {
      if (k == key_interrupt) {
        s.cursor = s.buf.size();
        refresh(&s);
        write_all("^C");
        s.buf.clear();
      }
      break;
    }
    // Refresh once a whole character has arrived, not after each byte of it.
    if (k != key_char || char_complete_before(s.buf, s.cursor)) refresh(&s);
  }
  write_all("\r\n");
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  *line = s.buf;
  return got_line;
}

bool read_plain_line(std::string *line) {
  char *buf = nullptr;
  size_t cap = 0;
  ssize_t len = getline(&buf, &cap, stdin);
  if (len < 0) {
    free(buf);
    return false;
  }
  line->assign(buf, static_cast<size_t>(len));
  free(buf);
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return true;
}

}  // namespace

void line_editor_open(line_editor *editor, const std::string &history_path) {
  editor->interactive = isatty(STDIN_FILENO);
  const char *term = getenv("TERM");
  editor->raw =
      editor->interactive && isatty(STDOUT_FILENO) && term && *term && strcmp(term, "dumb") != 0;
  if (!editor->raw) return;
  editor->history_path = history_path;
  std::ifstream in(history_path);
  std::string entry;
  while (std::getline(in, entry)) line_editor_remember(editor, entry);
}

bool line_editor_read(line_editor *editor, const char *prompt, std::string *line) {
  if (editor->raw) {
    fflush(stdout);
    return edit_line(editor, prompt, line);
  }
  if (editor->interactive) {
    fputs(prompt, stdout);
    fflush(stdout);
  }
  return read_plain_line(line);
}

void line_editor_remember(line_editor *editor, const std::string &line) {
  std::vector<std::string> &history = editor->history;
  if (line.empty() || (!history.empty() && history.back() == line)) return;
  history.push_back(line);
  if (history.size() > kHistoryLimit) history.erase(history.begin());
}

void line_editor_close(line_editor *editor) {
  if (editor->history_path.empty()) return;
  std::ofstream out(editor->history_path, std::ios::trunc);
  for (const std::string &entry : editor->history) out << entry << '\n';
}

}  // namespace cli
