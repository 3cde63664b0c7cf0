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
  m->cand_count = 0;
  m->cand_pos = 0;
}

// Gathers the next candidates of the scan into m->cand: every term in the
// length window, and every longer term with the token's first byte. No term
// outside these can match. The test is computed without branches, so the
// walk goes on while earlier entries are still being fetched from memory;
// the full test, with its unpredictable outcome, runs on the few gathered.
static void gather_candidates(sdb_match *m) {
  const uint64_t qlen = m->qlen;
  // With a budget of 0 the window is empty (lo > hi).
  const uint64_t lo = m->budget ? qlen - m->budget : 1, hi = m->budget ? qlen + m->budget : 0;
  const bool prefixable = qlen >= 2;
  const char q0 = m->q[0];
  const sdb_term *t = m->next;
  uint32_t b = m->bucket, n = 0;
  while (n < SDB_MATCH_BATCH) {
    while (!t && b < m->bucket_count) t = m->buckets[b++];
    if (!t) {
      m->scanning = false;
      break;
    }
    const uint64_t tlen = t->len;
    const bool in_window = (tlen >= lo) & (tlen <= hi);
    const bool may_extend = prefixable & (tlen > qlen) & (t->text[0] == q0);
    m->cand[n] = t;
    n += in_window | may_extend;
    t = t->next;
  }
  m->next = t;
  m->bucket = b;
  m->cand_count = n;
  m->cand_pos = 0;
}

const sdb_term *sdb_match_next(sdb_match *m) {
  if (m->exact) {
    const sdb_term *t = m->exact;
    m->exact = nullptr;  // an exact match is the token's only match
    return t;
  }
  for (;;) {
    while (m->cand_pos < m->cand_count) {
      const sdb_term *t = m->cand[m->cand_pos++];
      if (sdb_scan_accepts(m->q, m->qlen, m->budget, t->text, t->len, &m->rows)) return t;
    }
    if (!m->scanning) return nullptr;
    gather_candidates(m);
  }
}
