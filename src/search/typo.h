// The typo budget and the bounded edit distance: how far a query token may
// be from a term and still stand for it. Lengths and edits count bytes.
// The command-line tool's highlighter links this same code, so that what it
// marks is what the search matched.
#pragma once

#include <cstdint>

#include "index/tokenizer.h"

// The largest budget any token gets; tables sized by the budget are sized
// by this.
enum { SDB_TYPO_BUDGET_MAX = 2 };

// Byte edits a query token of qlen bytes may be away from a term:
// 0 up to 3 bytes, 1 from 4 to 7 bytes, 2 from 8 bytes on.
int sdb_typo_budget(uint64_t qlen);

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
