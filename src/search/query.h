// A query's text through the tokenizer, the matcher and the scoring: the
// part of a search that searchdb_search and searchdb_search_request share,
// so that equal queries score alike to the last bit.
#pragma once

#include <cstdint>

#include "search/rank.h"

// True when the search refuses the query, with the message saying why
// ("query is not valid UTF-8", or more tokens than SDB_QUERY_TOKEN_MAX);
// else *tokens receives its number of tokens. A null query is not refused.
bool sdb_query_refused(const char *query, uint64_t *tokens);

// The number of tokens in the NUL-terminated text.
uint64_t sdb_count_tokens(const char *text);

// The terms the query's tokens matched. first[i] is the first token equal
// to token i (i itself for the first of its kind); the terms that token
// matched are ids[runs[2 * first[i]] .. runs[2 * first[i] + 1]), in the
// order they were scored.
struct sdb_query_terms {
  uint64_t count;  // tokens
  uint32_t *first;
  uint64_t *runs;
  uint32_t *ids;
  uint64_t id_count, id_cap;
  // Beside ids when sdb_match_tokens kept them: each term's edits from its
  // token as the matcher gave them (sdb_match::edits).
  uint8_t *edits;
  uint64_t edit_cap;
};

void sdb_query_terms_free(sdb_query_terms *t);

// Matches every query token, in order and repeats included, and scores
// each matched term the moment it is found. A repeated token scores the
// terms its first occurrence matched, in the same order, without walking
// the dictionary again. With keep, the terms of every token are kept there
// (free it also after a failure). False when memory ran out.
bool sdb_score_tokens(sdb_scoring *sc, char *const *tokens, const uint64_t *lens, uint64_t count,
                      sdb_query_terms *keep);

// Matches every query token as sdb_score_tokens does, scoring nothing, and
// keeps the terms of every token in out with their edits (free it also
// after a failure). False when memory ran out.
bool sdb_match_tokens(const sdb_index *ix, char *const *tokens, const uint64_t *lens,
                      uint64_t count, sdb_query_terms *out);
