// What the fuzz targets share: a private storage directory and a check that
// turns a broken property into a crash libFuzzer keeps.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

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

// The bytes an input makes of a good file: after a flags byte, either the
// input itself (flags & 4), or the good file cut at a place the next four
// bytes give (flags & 2) and changed by the xor of each following group of
// five bytes (a place, then the byte). *flags receives the first byte.
inline std::vector<unsigned char> damaged_copy(const uint8_t *data, size_t size,
                                               const std::string &good, uint8_t *flags) {
  const auto u32 = [](const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  };
  *flags = size > 0 ? data[0] : 0;
  size_t at = 1;
  if (*flags & 4) return std::vector<unsigned char>(data + std::min<size_t>(size, 1), data + size);
  std::vector<unsigned char> bytes(good.begin(), good.end());
  if ((*flags & 2) && size >= at + 4) {
    bytes.resize(u32(data + at) % (bytes.size() + 1));
    at += 4;
  }
  for (; size >= at + 5 && !bytes.empty(); at += 5)
    bytes[u32(data + at) % bytes.size()] ^= data[at + 4];
  return bytes;
}

// The answers seen, without the time each took: the one part of an answer
// that differs between two runs.
inline std::string without_time(const std::string &seen) {
  std::string masked;
  for (size_t at = 0; at < seen.size();) {
    const size_t t = seen.find("\"processingTimeMs\":", at);
    if (t == std::string::npos) {
      masked += seen.substr(at);
      break;
    }
    masked += seen.substr(at, t - at);
    at = seen.find_first_of(",}", t);
  }
  return masked;
}

}  // namespace fuzz
