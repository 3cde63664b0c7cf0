// Phrases in a query: the text between one double quote and the next (a
// final unpaired quote is ignored, and so is a phrase without a token). A
// document holds a phrase when the phrase's tokens stand next to each
// other, in order, each equal to the term the token is (the token cut to
// the longest term), in the token sequence of one of its members as the
// index builds it (an array's joined text included). A one-token phrase is
// held wherever its exact term is.
//
// The quote is a separator to the tokenizer, so a phrase's tokens are a run
// of the query's own tokens, and they are matched and scored like any other.
#pragma once

#include <cstdint>

#include "base/limits.h"
#include "index/flatten.h"
#include "index/index.h"
#include "index/stored_doc.h"

// The most tokens one phrase may hold: SDB_PHRASE_WORDS_MAX (base/limits.h).

// A phrase: the query's tokens [first, first + count).
struct sdb_phrase {
  uint32_t first;
  uint32_t count;
};

// Lists the phrases of the NUL-terminated query q into out (room for as
// many as q has tokens; nullptr to count only) and returns how many there
// are; *longest receives the most tokens one of them has. in_phrase, when
// not nullptr, gets for each token of q whether it lies in a phrase.
uint32_t sdb_find_phrases(const char *q, sdb_phrase *out, uint32_t *longest, bool *in_phrase);

// A token as the term it is: its bytes cut to the longest term.
struct sdb_word {
  const char *bytes;
  uint32_t len;
};

// Whether words[at .. at + count) are the phrase's terms, in order.
bool sdb_phrase_at(const sdb_word *words, uint64_t word_count, uint64_t at, const sdb_word *phrase,
                   uint32_t count);

// The live slots that hold every term of every phrase (ascending): the
// candidates for sdb_phrases_held. words are the query's tokens as terms,
// phrases[p] the run words[first .. first + count).
// *slots is a new heap array (free it), *count its length. False when
// memory ran out.
bool sdb_phrase_candidates(const sdb_index *ix, const sdb_word *words, const sdb_phrase *phrases,
                           uint32_t phrase_count, uint32_t **slots, uint32_t *count);

// Working memory for checking documents, reused from one to the next.
struct sdb_phrase_check {
  sdb_doc_reader reader;
  sdb_field_tokens list;
  sdb_word *words;
  uint64_t word_cap;
  bool *found;
  uint32_t found_cap;
};

void sdb_phrase_check_free(sdb_phrase_check *c);

enum sdb_phrase_result { SDB_PHRASE_HELD, SDB_PHRASE_NOT_HELD, SDB_PHRASE_NO_MEMORY };

// Whether the document in slot (a candidate) holds every phrase.
sdb_phrase_result sdb_phrases_held(const sdb_index *ix, uint32_t slot, const sdb_word *words,
                                   const sdb_phrase *phrases, uint32_t phrase_count,
                                   sdb_phrase_check *c);
