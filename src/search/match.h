// Query term matching: which terms of an index one query token stands for.
//
// A token that is itself a term matches that term alone. Any other token
// is tested against every term of the table, in bucket order and chain
// order, and matches each term that begins with it and is longer (a prefix
// of at least 2 bytes) or, when its typo budget allows, lies within that
// many byte edits of it. Lengths, prefixes and edits all count bytes.
#pragma once

#include <cstdint>

#include "index/index.h"
#include "search/typo.h"

// True when the scan accepts term t (tlen bytes) for the query token q
// (qlen bytes, not itself a term) with the given budget.
bool sdb_scan_accepts(const char *q, uint64_t qlen, int budget, const char *t, uint64_t tlen,
                      sdb_edit_rows *rows);

// Walks the terms one query token matches, one at a time, in the order the
// plain scan finds them (buckets ascending, chains from the head), so that
// every score is summed in the same order however the terms were found.
// Holds pointers into the index and the token; both must outlive it and
// stay unchanged.
//
// State: exact is the term equal to the token, if any, until it is handed
// out. Otherwise the terms are found one of two ways:
// - through the index's term order (sdb_match_start): found[0 ..
//   found_count) are the matches, each (scan position << 32 | position in
//   the order), ascending, handed out from found_pos on;
// - by the plain scan (sdb_match_start_scan, and sdb_match_start when
//   memory for found runs out): the scan gathers terms that pass a cheap
//   pre-test into cand, in table order, and hands out those of
//   cand[cand_pos .. cand_count) that pass the full test. It gathers again
//   at chain position next (nullptr: at the head of bucket `bucket`) while
//   scanning is true, which it stops being when bucket reaches
//   bucket_count.
//
// Terms gathered per step of the scan.
enum { SDB_MATCH_BATCH = 256 };

struct sdb_match {
  const char *q;
  uint64_t qlen;
  int budget;
  uint32_t bucket_count;
  sdb_term *const *buckets;
  const sdb_term_order *order;
  const sdb_term *exact;
  uint64_t *found;  // owned (free)
  uint32_t found_count;
  uint32_t found_pos;
  bool scanning;
  uint32_t bucket;
  const sdb_term *next;
  const sdb_term *cand[SDB_MATCH_BATCH];
  uint32_t cand_count;
  uint32_t cand_pos;
  sdb_edit_rows rows;
};

// Prepares m for the token q of qlen bytes (not empty). A token longer than
// SDB_TERM_MAX bytes is cut to that length, as indexed tokens are. A token
// that is not a term finds its matches in the term order: its prefix
// extensions as one run of it, its near spellings by a walk that leaves
// out every run of terms whose shared beginning is already too far from
// the token.
void sdb_match_start(sdb_match *m, const sdb_index *ix, const char *q, uint64_t qlen);

// The same matches, found by testing every term of the table.
void sdb_match_start_scan(sdb_match *m, const sdb_index *ix, const char *q, uint64_t qlen);

// The next term the token matches, or nullptr when there are no more.
const sdb_term *sdb_match_next(sdb_match *m);

// Releases what m holds.
void sdb_match_end(sdb_match *m);
