// Splits text into case-folded tokens: maximal runs of token bytes
// ([0-9A-Za-z_] and every byte >= 0x80). ASCII capitals, Latin-1 capitals
// U+00C0..U+00DE and Cyrillic capitals U+0410..U+042F are folded to lower
// case; folding never changes a token's byte length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Longest term text kept; longer tokens are cut to this many bytes on both
// the indexing and the query side, so that every token finds its own term.
enum { SDB_TERM_MAX = 255 };

// Whether a byte belongs to tokens: ASCII digits, letters and the
// underscore, and every byte of a multi-byte UTF-8 sequence, so non-ASCII
// letters stay inside their word. Every other byte separates tokens.
inline constexpr std::array<bool, 256> sdb_token_byte = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; c++) {
    table[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == '_' ||
               (c >= 'a' && c <= 'z') || c >= 0x80;
  }
  return table;
}();

// Tokenizes the NUL-terminated text. *tokens and *lens receive two parallel
// heap arrays (owned NUL-terminated token strings and their byte lengths),
// or stay nullptr when not even the arrays could be allocated. Returns the
// token count. The caller frees every token, then both arrays, also when the
// count is 0. Running out of memory ends tokenizing early with the tokens
// made so far.
uint64_t sdb_tokenize(const char *text, char ***tokens, uint64_t **lens);

// Releases what sdb_tokenize handed back.
void sdb_tokens_free(char **tokens, uint64_t *lens, uint64_t count);

// Finds the first token in text[*pos .. n). Returns false when there is
// none; otherwise sets *start and *len to the token's bytes and moves *pos
// just past it. Folding is left to the caller.
bool sdb_next_token(const char *text, size_t n, size_t *pos, size_t *start, size_t *len);

// Folds the case of the n bytes of one token in place.
void sdb_fold_case(char *token, size_t n);
