// UTF-8 stepping and terminal column widths, for the table renderer. A
// character is what the library takes for one (base/utf8.h); any other byte
// is stepped over alone and shown as one column, so a damaged text never
// stalls or overruns a loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/utf8.h"

namespace cli {

// Byte length of the code point that starts at text[pos] (at least 1, never
// past the end of the text).
inline size_t utf8_step(std::string_view text, size_t pos) {
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  if (p[pos] < 0x80) return 1;
  const int len = sdb_utf8_char_length(p + pos, p + text.size());
  return len > 0 ? static_cast<size_t>(len) : 1;
}

// Start of the code point that ends just before pos (pos > 0).
inline size_t utf8_back(std::string_view text, size_t pos) {
  size_t start = pos - 1;
  while (start > 0 && pos - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    --start;
  }
  return start;
}

inline uint32_t utf8_decode(std::string_view text, size_t pos, size_t len) {
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  if (len == 1) return lead;
  uint32_t cp = lead & (0x7F >> len);
  for (size_t i = 1; i < len; ++i)
    cp = (cp << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  return cp;
}

// Columns a code point takes on a terminal: 0 for combining marks, 2 for the
// wide East Asian ranges and emoji, 1 otherwise.
inline int codepoint_width(uint32_t cp) {
  if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F)) return 0;
  if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
      (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD)) {
    return 2;
  }
  return 1;
}

inline int utf8_width_at(std::string_view text, size_t pos, size_t len) {
  return codepoint_width(utf8_decode(text, pos, len));
}

inline size_t utf8_width(std::string_view text) {
  size_t width = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t len = utf8_step(text, pos);
    width += utf8_width_at(text, pos, len);
    pos += len;
  }
  return width;
}

}  // namespace cli
