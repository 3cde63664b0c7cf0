// The inverted index: rebuilt from the stored documents after every change.
#pragma once

#include <cstdint>

struct sdb_index;
struct sdb_term;

// Replaces the whole term table of ix from its live documents and sets every
// slot's token_count and ix->total_tokens.
void sdb_index_rebuild(sdb_index *ix);

// The entry for the token bytes[0 .. len) with hash sdb_hash(bytes, len), or
// nullptr. len is at most SDB_TERM_MAX (callers cut longer tokens).
sdb_term *sdb_term_find(uint32_t bucket_count, sdb_term *const *buckets, const char *bytes,
                        uint64_t len, uint64_t hash);

// Releases every term entry and its postings and empties the buckets (the
// bucket array itself stays). Used by the rebuild and by sdb_index_free.
void sdb_terms_clear(sdb_index *ix);
