// The benchmark corpus: gzip-compressed JSON lines, read through gzip.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

// The corpus path: the first argument left after the benchmark library's
// own flags, else SEARCHDB_CORPUS, else the shared corpus beside the
// repository's checkout.
inline std::string corpus_path(int argc, char **argv) {
  if (argc > 1) return argv[1];
  const char *env = getenv("SEARCHDB_CORPUS");
  return env && *env ? env : "/work/shared/corpus/packages.jsonl.gz";
}

// The corpus's non-empty lines; empty when the file cannot be read.
inline std::vector<std::string> read_corpus_lines(const std::string &path) {
  std::vector<std::string> lines;
  FILE *probe = fopen(path.c_str(), "rb");
  if (probe == nullptr) return lines;
  fclose(probe);
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  FILE *in = popen(("gzip -dc " + quoted).c_str(), "r");
  if (in == nullptr) return lines;
  char *line = nullptr;
  size_t cap = 0;
  ssize_t n;
  while ((n = getline(&line, &cap, in)) > 0) {
    if (line[n - 1] == '\n') n--;
    if (n > 0) lines.emplace_back(line, static_cast<size_t>(n));
  }
  free(line);
  if (pclose(in) != 0) lines.clear();
  return lines;
}

}  // namespace bench
