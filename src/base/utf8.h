// UTF-8 as the library takes it: well-formed sequences only (no overlong
// forms, no surrogates, nothing above U+10FFFF). Names, keys and queries are
// refused unless valid, the stored documents' scan checks every string by
// this rule, and the command-line tool steps through texts with it.
#pragma once

#include <cstddef>

// The length of the well-formed character whose lead byte is p[0] (a byte
// of 0x80 or more), reading no byte at or past end; 0 when it is not one.
inline int sdb_utf8_char_length(const unsigned char *p, const unsigned char *end) {
  const unsigned char c = p[0];
  auto cont = [&](int i) { return p + i < end && (p[i] & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && p[1] < 0xA0) return 0;   // overlong
    if (c == 0xED && p[1] >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && p[1] < 0x90) return 0;   // overlong
    if (c == 0xF4 && p[1] >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

// True when the n bytes at s are well-formed UTF-8.
inline bool sdb_utf8_valid(const char *s, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  const unsigned char *end = p + n;
  while (p < end) {
    if (*p < 0x80) {
      p++;
      continue;
    }
    const int len = sdb_utf8_char_length(p, end);
    if (len == 0) return false;
    p += len;
  }
  return true;
}
