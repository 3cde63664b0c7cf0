// The inverted index: rebuilt from the stored documents after every change.
#pragma once

#include <yyjson.h>

#include <cstdint>

#include "index/index.h"

// A term table built from an index's live documents apart from the index,
// so that the index keeps its current table until the new one is complete
// and the change it reflects is saved. Prepared, then installed or
// discarded; the index must not change in between.
struct sdb_rebuild {
  uint32_t bucket_count;
  sdb_term **buckets;
  uint32_t term_count;
  struct sdb_term_block *term_blocks;
  sdb_term_order order;
  uint64_t *token_counts;  // per slot below the index's doc_count
  double *doc_norms;       // likewise, -1.0 for a dead slot
  uint64_t total_tokens;
  uint32_t live_count;
};

// Builds the term table of ix's live documents into r, leaving ix as it is.
// Returns false with "oom: rebuild", "oom: term" or "oom: postings" when
// memory ran out; r then holds nothing.
bool sdb_rebuild_prepare(const sdb_index *ix, sdb_rebuild *r);

// Gives ix the prepared table, every slot's token_count, doc_norms,
// total_tokens and live_count, and releases its old table.
void sdb_rebuild_install(sdb_index *ix, sdb_rebuild *r);

// Releases a prepared table that is not to be installed.
void sdb_rebuild_discard(sdb_rebuild *r);

// Replaces the whole term table of ix from its live documents and sets every
// slot's token_count and ix->total_tokens. Returns false, with ix keeping
// its previous table, when memory ran out.
bool sdb_index_rebuild(sdb_index *ix);

// The entry for the token bytes[0 .. len) with hash sdb_hash(bytes, len), or
// nullptr. len is at most SDB_TERM_MAX (callers cut longer tokens).
sdb_term *sdb_term_find(uint32_t bucket_count, sdb_term *const *buckets, const char *bytes,
                        uint64_t len, uint64_t hash);

// Releases every term entry and its postings and empties the buckets (the
// bucket array itself stays). Used by the rebuild and by sdb_index_free.
void sdb_terms_clear(sdb_index *ix);

// One token of a field token list: its case-folded bytes are
// bytes[off .. off + len) of the list (whole, not yet cut to SDB_TERM_MAX).
struct sdb_field_token {
  uint64_t off;
  uint64_t len;
  int32_t tag;  // member position in the root object; 0 in a root array; -1: title
};

// The tokens of one document, in document order. All token bytes share one
// arena so that collecting allocates nothing per token; the list is reused
// from document to document (sdb_field_tokens_reset) and released with
// sdb_field_tokens_free.
struct sdb_field_tokens {
  char *bytes;
  uint64_t bytes_len;
  uint64_t bytes_cap;
  sdb_field_token *items;
  uint64_t count;
  uint64_t cap;
  bool failed;  // a value's tokens were left out for lack of memory since the last reset
};

// Appends the tokens of one member value, each with tag: a string up to its
// first NUL; a number printed with "%.10g"; true and false as words; an
// array's strings and numbers joined with spaces and cut at 2047 bytes
// (nested containers, booleans and null skipped); nothing for null or an
// object. When the list cannot grow it stays as it was and failed is set.
void sdb_collect_tokens(yyjson_val *val, sdb_field_tokens *list, int32_t tag);

// Appends the tokens of a whole document: every member of a root object,
// tagged with its position, except the first member keyed "title" or
// "name", tagged -1; every element of a root array tagged 0. Other roots
// give nothing.
void sdb_collect_doc_tokens(yyjson_val *root, sdb_field_tokens *list);

void sdb_field_tokens_reset(sdb_field_tokens *list);
void sdb_field_tokens_free(sdb_field_tokens *list);
