#include "search/typo.h"

#include <algorithm>
#include <utility>

namespace {

// Tokens up to this many bytes must be found whole (or as a prefix): one
// edit would already change too large a share of them.
constexpr uint64_t kNoTyposUpTo = 3;
// Tokens up to this many bytes get one edit; longer ones the most.
constexpr uint64_t kOneTypoUpTo = 7;

}  // namespace

int sdb_typo_budget(uint64_t qlen) {
  if (qlen <= kNoTyposUpTo) return 0;
  if (qlen <= kOneTypoUpTo) return 1;
  return SDB_TYPO_BUDGET_MAX;
}

// The table is computed with every entry capped at budget + 1: an entry
// above the budget can only lead to entries above it, so the cap changes
// no answer, and entries farther than the budget from the diagonal (whose
// true value is at least that distance) need not be computed at all. Each
// row is then only the band |i - j| <= budget around the diagonal.
bool sdb_edit_within(const char *a, uint64_t alen, const char *b, uint64_t blen, int budget,
                     sdb_edit_rows *rows) {
  // Columns run over the shorter string, rows over the longer one.
  const char *s = a, *l = b;
  int m = (int)alen, n = (int)blen;
  if (m > n) {
    std::swap(s, l);
    std::swap(m, n);
  }
  if (n - m > budget) return false;
  const int cap = budget + 1;
  int *prev = rows->prev, *cur = rows->cur;
  for (int j = 0; j <= m; j++) prev[j] = sdb_edit_edge(j, cap);
  for (int i = 1; i <= n; i++) {
    const int lo = std::max(1, i - budget), hi = std::min(m, i + budget);
    cur[0] = sdb_edit_edge(i, cap);
    if (lo > 1) cur[lo - 1] = cap;
    int row_min = cur[0];
    const char li = l[i - 1];
    for (int j = lo; j <= hi; j++) {
      const int v = sdb_edit_entry(prev[j - 1], prev[j], cur[j - 1], s[j - 1] == li, cap);
      cur[j] = v;
      row_min = std::min(row_min, v);
    }
    if (hi < m) cur[hi + 1] = cap;  // read as prev[hi + 1] by the next row's band
    if (row_min > budget) return false;
    std::swap(prev, cur);
  }
  return prev[m] <= budget;
}

bool sdb_token_matches(const char *q, uint64_t qlen, bool q_is_term, const char *t, uint64_t tlen,
                       sdb_edit_rows *rows) {
  if (qlen == tlen && memcmp(q, t, qlen) == 0) return true;
  if (q_is_term) return false;
  const int budget = sdb_typo_budget(qlen);
  if (budget == 0 || tlen > qlen + budget) return sdb_longer_prefix(q, qlen, t, tlen);
  if (tlen + budget < qlen) return false;
  // Within the length window a longer term that begins with the token is
  // at most budget edits away, so the distance alone decides.
  return sdb_edit_within(t, tlen, q, qlen, budget, rows);
}
