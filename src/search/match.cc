#include "search/match.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "index/inverted.h"

int sdb_typo_budget(uint64_t qlen) {
  if (qlen <= 3) return 0;
  if (qlen <= 7) return 1;
  return 2;
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
  for (int j = 0; j <= m; j++) prev[j] = std::min(j, cap);
  for (int i = 1; i <= n; i++) {
    const int lo = std::max(1, i - budget), hi = std::min(m, i + budget);
    cur[0] = std::min(i, cap);
    if (lo > 1) cur[lo - 1] = cap;
    int row_min = cur[0];
    const char li = l[i - 1];
    for (int j = lo; j <= hi; j++) {
      int v = std::min(prev[j], cur[j - 1]) + 1;
      v = std::min(v, prev[j - 1] + (s[j - 1] != li));
      v = std::min(v, cap);
      cur[j] = v;
      row_min = std::min(row_min, v);
    }
    if (hi < m) cur[hi + 1] = cap;  // read as prev[hi + 1] by the next row's band
    if (row_min > budget) return false;
    std::swap(prev, cur);
  }
  return prev[m] <= budget;
}

static bool is_longer_prefix(const char *q, uint64_t qlen, const char *t, uint64_t tlen) {
  return qlen >= 2 && tlen > qlen && t[0] == q[0] && memcmp(t, q, qlen) == 0;
}

bool sdb_scan_accepts(const char *q, uint64_t qlen, int budget, const char *t, uint64_t tlen,
                      sdb_edit_rows *rows) {
  if (budget == 0 || tlen > qlen + budget) return is_longer_prefix(q, qlen, t, tlen);
  if (tlen + budget < qlen) return false;
  // Within the length window a longer term that begins with the token is
  // at most budget edits away, so the distance alone decides.
  return sdb_edit_within(t, tlen, q, qlen, budget, rows);
}

void sdb_match_start(sdb_match *m, const sdb_index *ix, const char *q, uint64_t qlen) {
  if (qlen > SDB_TERM_MAX) qlen = SDB_TERM_MAX;
  m->q = q;
  m->qlen = qlen;
  m->budget = sdb_typo_budget(qlen);
  m->bucket_count = ix->bucket_count;
  m->buckets = ix->buckets;
  m->exact = nullptr;
  if (m->bucket_count > 0)
    m->exact = sdb_term_find(m->bucket_count, m->buckets, q, qlen, sdb_hash(q, qlen));
  m->scanning = m->exact == nullptr && m->bucket_count > 0;
  m->bucket = 0;
  m->next = nullptr;
}

const sdb_term *sdb_match_next(sdb_match *m) {
  if (m->exact) {
    const sdb_term *t = m->exact;
    m->exact = nullptr;  // an exact match is the token's only match
    return t;
  }
  if (!m->scanning) return nullptr;
  const sdb_term *t = m->next;
  uint32_t b = m->bucket;
  for (;;) {
    while (!t) {
      if (b == m->bucket_count) {
        m->scanning = false;
        return nullptr;
      }
      t = m->buckets[b++];
    }
    const sdb_term *after = t->next;
    if (sdb_scan_accepts(m->q, m->qlen, m->budget, t->text, t->len, &m->rows)) {
      m->next = after;
      m->bucket = b;
      return t;
    }
    t = after;
  }
}
