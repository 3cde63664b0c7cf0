// The search and statistics exports (declared in searchdb.h) and the pieces
// of their answers.
//
// A search answers with one compact JSON object, members in this order:
//   {"hits":[...],"query":"...","processingTimeMs":0.0,"limit":0,
//    "offset":0,"totalHits":0}
// hits are the stored documents of the page in rank order; limit and offset
// are the arguments with negatives shown as 0; totalHits counts every
// ranked document, not only the page's. processingTimeMs covers tokenizing,
// matching and scoring, not ranking nor building the answer.
#pragma once

#include <cstdint>
#include <ctime>

#include "index/index.h"

struct sdb_answer;

// Searches ix (built) for query (nullptr or empty: nothing; tokens is its
// token count, as sdb_query_refused gave it) and writes the answer of the
// page [offset, offset + limit) (limit 0: every hit from offset on) into
// out. False, with the message set, when memory ran out.
bool sdb_search_answer(const sdb_index *ix, const char *query, uint64_t tokens, uint32_t limit,
                       uint32_t offset, sdb_answer *out);

// Milliseconds between two readings of the monotonic clock: the seconds
// differ in 64 bits, the nanoseconds in 32 bits.
double sdb_elapsed_ms(const timespec *start, const timespec *end);

// The statistics line of ix as a NUL-terminated heap text (free it), its
// length in *len; nullptr when memory ran out. The name and primary key are
// escaped as JSON strings, so the line is whole and valid at any length.
char *sdb_stats_line(const sdb_index *ix, uint64_t *len);
