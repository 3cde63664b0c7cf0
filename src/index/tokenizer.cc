#include "index/tokenizer.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "base/array.h"

namespace {

constexpr uint64_t kInitialTokenCap = 16;

bool is_token_byte(char c) {
  return sdb_token_byte[static_cast<unsigned char>(c)];
}

// The two-byte code points with a lower-case partner 0x20 above them:
// Latin-1 U+00C0..U+00DE (U+00D7 included) and Cyrillic U+0410..U+042F.
bool is_foldable_capital(unsigned cp) {
  return (cp >= 0xC0 && cp <= 0xDE) || (cp >= 0x410 && cp <= 0x42F);
}

// Doubles both token arrays. On failure the arrays keep their old size.
bool grow_token_arrays(char ***tokens, uint64_t **lens, uint64_t *cap) {
  const uint64_t grown = sdb_grown_cap(*cap, *cap + 1, kInitialTokenCap);
  if (!sdb_resize(tokens, grown) || !sdb_resize(lens, grown)) return false;
  *cap = grown;
  return true;
}

}  // namespace

bool sdb_next_token(const char *text, size_t n, size_t *pos, size_t *start, size_t *len) {
  size_t i = *pos;
  while (i < n && !is_token_byte(text[i])) i++;
  if (i == n) {
    *pos = n;
    return false;
  }
  size_t end = i + 1;
  while (end < n && is_token_byte(text[end])) end++;
  *start = i;
  *len = end - i;
  *pos = end;
  return true;
}

void sdb_fold_case(char *token, size_t n) {
  auto *b = reinterpret_cast<unsigned char *>(token);
  size_t i = 0;
  while (i < n) {
    unsigned char c = b[i];
    if (c < 0x80) {
      if (c >= 'A' && c <= 'Z') b[i] = static_cast<unsigned char>(c + 0x20);
      i += 1;
    } else if (c >= 0xC0 && c <= 0xDF) {
      // A lead byte with nothing after it is left alone; otherwise the next
      // byte is taken as its continuation whatever its value.
      if (i + 1 == n) return;
      unsigned cp = ((c & 0x1Fu) << 6) | (b[i + 1] & 0x3Fu);
      if (is_foldable_capital(cp)) {
        cp += 0x20;
        b[i] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        b[i + 1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      }
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF7) {
      i += 4;
    } else {
      i += 1;  // stray continuation byte, or 0xF8..0xFF
    }
  }
}

uint64_t sdb_tokenize(const char *text, char ***tokens, uint64_t **lens) {
  *tokens = static_cast<char **>(malloc(kInitialTokenCap * sizeof(char *)));
  *lens = static_cast<uint64_t *>(malloc(kInitialTokenCap * sizeof(uint64_t)));
  if (*tokens == nullptr || *lens == nullptr) {
    free(*tokens);
    free(*lens);
    *tokens = nullptr;
    *lens = nullptr;
    return 0;
  }
  uint64_t count = 0;
  uint64_t cap = kInitialTokenCap;
  size_t n = strlen(text);
  size_t pos = 0, start = 0, len = 0;
  while (sdb_next_token(text, n, &pos, &start, &len)) {
    auto *token = static_cast<char *>(malloc(len + 1));
    if (token == nullptr) break;
    memcpy(token, text + start, len);
    token[len] = '\0';
    sdb_fold_case(token, len);
    if (count == cap && !grow_token_arrays(tokens, lens, &cap)) {
      free(token);
      break;
    }
    (*tokens)[count] = token;
    (*lens)[count] = len;
    count++;
  }
  return count;
}

void sdb_tokens_free(char **tokens, uint64_t *lens, uint64_t count) {
  if (tokens != nullptr) {
    for (uint64_t i = 0; i < count; i++) free(tokens[i]);
  }
  free(tokens);
  free(lens);
}
