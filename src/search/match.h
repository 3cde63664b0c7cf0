// Query term matching: which terms of an index one query token stands for.
//
// The terms a token stands for are those of the match rule
// (sdb_token_matches, search/typo.h): a token that is itself a term matches
// that term alone, any other token every longer term it begins and every
// term within its typo budget. The matcher finds them without testing each
// term: a binary search and a run of the byte order for the longer terms,
// and a walk of that order sharing the edit-distance rows of common
// beginnings for the near spellings.
#pragma once

#include <cstdint>

#include "index/index.h"
#include "index/terms.h"
#include "search/typo.h"

// The terms one query token matches, one at a time, in the order the term
// table walk of a full rebuild visits them (index/walk_order.h), so that
// every score is summed in the same order however the terms were found.
// Holds pointers into the dictionary and the token; both must outlive it
// and stay unchanged.
//
// exact is the term equal to the token, if any, until it is handed out;
// otherwise found[found_pos .. found_count) are the matches still to come:
// prefix extensions found as one run of the byte order, near spellings by
// a walk of it that leaves out every run of terms whose shared beginning is
// already too far from the token.
struct sdb_scan_match {
  uint64_t key;  // sdb_scan_key
  uint32_t id;
  uint32_t edits;  // 0 for a longer term beginning with the token, else the byte edits
};

struct sdb_match {
  const sdb_terms *d;
  const char *q;
  uint64_t qlen;
  int budget;
  uint32_t exact;
  sdb_scan_match *found;  // owned (free)
  uint32_t found_count;
  uint32_t found_pos;
  // The term last handed out: 0 when it is the token itself or a longer
  // term beginning with it, else its byte edits from the token (the table
  // walk that accepted it computed them).
  uint32_t edits;
};

// Prepares m for the token q of qlen bytes (not empty). A token longer than
// SDB_TERM_MAX bytes is cut to that length, as indexed tokens are. False,
// holding nothing, when memory ran out.
bool sdb_match_start(sdb_match *m, const sdb_terms *d, const char *q, uint64_t qlen);

// The id of the next term the token matches, or SDB_NO_TERM.
uint32_t sdb_match_next(sdb_match *m);

// Releases what m holds.
void sdb_match_end(sdb_match *m);
