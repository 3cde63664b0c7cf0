// Marking a query's matches in a text: every token whose folded bytes (cut
// to the longest term) are a term that a token outside the phrases matched
// (exactly, by prefix or within the typo budget: the matcher's own answer,
// so the marks follow its rule), and every run of tokens that forms a
// phrase, each token wrapped in the two tags as given. The text is not
// escaped. With a snippet of N tokens, only N are kept: from (N - 1) / 2
// tokens before the first marked one (from the first token when fewer come
// before it), filled out with the tokens after it; the snippet runs from
// the first kept token's first byte to the last one's last, with "…" at
// each end that was cut; with no marked token, the first N tokens.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/table.h"
#include "index/index.h"
#include "search/phrase.h"
#include "search/query.h"

struct sdb_highlighter {
  // The terms to mark wherever they stand, by the table hash of their
  // texts (base/table.h); no positions when there are none.
  sdb_table<sdb_word> set;
  const sdb_word *words;  // the query's tokens as terms
  const sdb_phrase *phrases;
  uint32_t phrase_count;
  const char *open, *close;  // the tags
  uint32_t open_len, close_len;
  uint32_t snippet;  // tokens kept; 0: the whole text
  // Scratch, reused from text to text.
  char *folded;
  uint64_t folded_cap;
  struct span {
    uint64_t start, len;
    bool marked;
  } * spans;
  uint64_t span_cap;
  sdb_word *tokens;
  uint64_t token_cap;
  char *out;
  uint64_t out_len, out_cap;
};

// Sets h up for a query: tokens (count, as terms in words) whose terms
// scoring kept in terms, in_phrase telling which stand in a phrase. False
// when memory ran out.
bool sdb_highlighter_init(sdb_highlighter *h, const sdb_index *ix, const sdb_query_terms *terms,
                          const bool *in_phrase, const sdb_word *words, const sdb_phrase *phrases,
                          uint32_t phrase_count);

// Marks text[0 .. n) into h->out (h->out_len bytes). An incomplete UTF-8
// sequence at the end of the text (where an array's text was cut) is left
// out. False when memory ran out.
bool sdb_highlight(sdb_highlighter *h, const char *text, size_t n);

void sdb_highlighter_free(sdb_highlighter *h);
