// What the fuzz targets share: a private storage directory and a check that
// turns a broken property into a crash libFuzzer keeps.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "index/entry.h"
#include "index/index.h"
#include "searchdb.h"

namespace fuzz {

// A new empty directory, in memory-backed /dev/shm when there is one: every
// change is flushed to disk, and on tmpfs that costs next to nothing.
inline std::string make_storage_root(const char *target) {
  std::error_code ec;
  std::string base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
  if (const char *tmp = getenv("SEARCHDB_FUZZ_TMP")) base = tmp;
  std::string tmpl = base + "/searchdb-fuzz-" + target + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    perror("mkdtemp");
    abort();
  }
  return tmpl;
}

// Empties dir, keeping the directory itself.
inline void clear_directory(const std::string &dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directory(dir, ec);
}

inline void remove_tree(const std::string &dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

// The stored text of a document of the index.
inline std::string stored_text(const sdb_doc &d) {
  std::string text(sdb_entry_escaped_length(d.entry_len, d.raw_off) + 1, '\0');
  text.resize(sdb_entry_decode(d.entry, d.entry_len, d.raw_off, text.data(), text.size()));
  return text;
}

[[noreturn]] inline void fail(const char *what, const std::string &detail) {
  fprintf(stderr, "property broken: %s\n  %s\n  last error: %s\n", what, detail.c_str(),
          searchdb_last_error());
  abort();
}

#define FUZZ_CHECK(cond, detail)                \
  do {                                          \
    if (!(cond)) ::fuzz::fail(#cond, (detail)); \
  } while (0)

}  // namespace fuzz
