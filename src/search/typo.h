// The match rule, the typo budget and the bounded edit distance: which
// terms a query token stands for. Lengths and edits count bytes. The
// command-line tool's highlighter links this same code, so that what it
// marks is what the search matched.
#pragma once

#include <cstdint>
#include <cstring>

#include "index/tokenizer.h"

// The largest budget any token gets; tables sized by the budget are sized
// by this.
enum { SDB_TYPO_BUDGET_MAX = 2 };

// Byte edits a query token of qlen bytes may be away from a term:
// 0 up to 3 bytes, 1 from 4 to 7 bytes, 2 from 8 bytes on.
int sdb_typo_budget(uint64_t qlen);

// One entry of the edit-distance table, from its three neighbours: the
// entry up and to the left (diag, the bytes before both), above (up: one
// more byte of one text, left out) and to the left (left: one more byte of
// the other, left out). An edit is one byte inserted, deleted or replaced;
// entries are capped at cap, which changes no answer within cap - 1 edits.
inline int sdb_edit_entry(int diag, int up, int left, bool same_byte, int cap) {
  int v = diag + !same_byte;
  if (up + 1 < v) v = up + 1;
  if (left + 1 < v) v = left + 1;
  return v < cap ? v : cap;
}

// The entry of the table's first row or column: n bytes against none.
inline int sdb_edit_edge(int n, int cap) {
  return n < cap ? n : cap;
}

// Two rows of the edit-distance table, wide enough for any term. One pair
// serves every comparison of a search, so no comparison allocates.
struct sdb_edit_rows {
  int prev[SDB_TERM_MAX + 1];
  int cur[SDB_TERM_MAX + 1];
};

// True when a and b (each at most SDB_TERM_MAX bytes) are at most budget
// single-byte insertions, deletions and substitutions apart. Gives up as
// soon as a whole row of the table exceeds the budget.
bool sdb_edit_within(const char *a, uint64_t alen, const char *b, uint64_t blen, int budget,
                     sdb_edit_rows *rows);

// Whether t (tlen bytes) is longer than the token q (qlen bytes) and begins
// with it, q being at least 2 bytes: one letter typed does not yet say
// which word is meant.
inline bool sdb_longer_prefix(const char *q, uint64_t qlen, const char *t, uint64_t tlen) {
  return qlen >= 2 && tlen > qlen && t[0] == q[0] && memcmp(t, q, qlen) == 0;
}

// The match rule: whether the query token q stands for the term t. A token
// that is itself a term (q_is_term: of the index, or of the text being
// marked) stands for that term alone, since a word typed as it is found
// was meant as typed; any other token stands for every longer term it
// begins and every term within its typo budget (sdb_typo_budget). The
// matcher finds the same set by walking the terms in byte order.
bool sdb_token_matches(const char *q, uint64_t qlen, bool q_is_term, const char *t, uint64_t tlen,
                       sdb_edit_rows *rows);
