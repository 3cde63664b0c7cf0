#include "source_text.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "interrupt.h"

namespace cli {
namespace {

// Reads a terminal with read(2) rather than stdio: a read of 0 bytes (Ctrl-D
// at the start of a line) or of a line without its newline (Ctrl-D after
// text) ends the input at once. Waiting in poll lets Ctrl-C stop it.
bool read_terminal(int fd, std::string *text, std::string *error) {
  char chunk[65536];
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {
      if (errno == EINTR && !interrupted()) continue;
      *error = errno == EINTR ? "interrupted" : std::string("standard input: ") + strerror(errno);
      return false;
    }
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("standard input: ") + strerror(errno);
      return false;
    }
    text->append(chunk, static_cast<size_t>(n));
    if (n == 0 || chunk[n - 1] != '\n') return true;
  }
}

bool read_stream(FILE *in, std::string *text) {
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) text->append(chunk, n);
  return !ferror(in);
}

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

bool read_source(const std::string &source, const char *what, std::string *text, std::string *name,
                 std::string *error) {
  size_t first = source.find_first_not_of(" \t\r\n");
  bool is_json = first != std::string::npos && (source[first] == '{' || source[first] == '[');
  if (is_json && !file_exists(source)) {
    *text = source;
    *name = "<argument>";
    return true;
  }
  *name = source == "-" ? "<stdin>" : source;
  if (source == "-") {
    if (isatty(STDIN_FILENO)) {
      fprintf(stderr, "searchdb: reading %s from the terminal; end with Ctrl-D\n", what);
      return read_terminal(STDIN_FILENO, text, error);
    }
    if (read_stream(stdin, text)) return true;
    *error = std::string("standard input: ") + strerror(errno);
    return false;
  }
  FILE *in = fopen(source.c_str(), "rb");
  if (!in) {
    *error = source + ": " + strerror(errno);
    return false;
  }
  bool ok = read_stream(in, text);
  if (!ok) *error = source + ": " + strerror(errno);
  fclose(in);
  return ok;
}

}  // namespace cli
