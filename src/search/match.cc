#include "search/match.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "index/inverted.h"

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

// Everything but the way the scan's matches are found.
static void match_init(sdb_match *m, const sdb_index *ix, const char *q, uint64_t qlen) {
  if (qlen > SDB_TERM_MAX) qlen = SDB_TERM_MAX;
  m->q = q;
  m->qlen = qlen;
  m->budget = sdb_typo_budget(qlen);
  m->bucket_count = ix->bucket_count;
  m->buckets = ix->buckets;
  m->order = &ix->order;
  m->exact = nullptr;
  if (m->bucket_count > 0)
    m->exact = sdb_term_find(m->bucket_count, m->buckets, q, qlen, sdb_hash(q, qlen));
  m->found = nullptr;
  m->found_count = 0;
  m->found_pos = 0;
  m->scanning = false;
  m->bucket = 0;
  m->next = nullptr;
  m->cand_count = 0;
  m->cand_pos = 0;
}

void sdb_match_start_scan(sdb_match *m, const sdb_index *ix, const char *q, uint64_t qlen) {
  match_init(m, ix, q, qlen);
  m->scanning = m->exact == nullptr && m->bucket_count > 0;
}

// ---- Matching through the term order ----

// The matches found so far, each (scan position << 32 | order position).
// ok turns false, for good, when the list cannot grow.
struct found_list {
  uint64_t *items;
  uint32_t count;
  uint32_t cap;
  bool ok;
};

static void found_add(found_list *f, const sdb_term_order *order, uint32_t i) {
  if (!f->ok) return;
  if (f->count == f->cap) {
    const uint32_t cap = f->cap ? 2 * f->cap : 64;
    uint64_t *items = (uint64_t *)realloc(f->items, cap * sizeof(uint64_t));
    if (!items) {
      f->ok = false;
      return;
    }
    f->items = items;
    f->cap = cap;
  }
  f->items[f->count++] = (uint64_t)order->scan_pos[i] << 32 | i;
}

// Byte order of a term's text against q: negative, 0 or positive.
static int compare_text(const sdb_term *t, const char *q, uint64_t qlen) {
  const int c = memcmp(t->text, q, std::min(t->len, qlen));
  if (c != 0) return c;
  return t->len < qlen ? -1 : (t->len > qlen ? 1 : 0);
}

// Adds every term longer than q that begins with it: one run of the order,
// from the first term not before q, held together by shared beginnings of
// at least qlen bytes.
static void find_extensions(const sdb_match *m, found_list *f) {
  const sdb_term_order *order = m->order;
  uint32_t lo = 0, hi = order->count;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (compare_text(order->terms[mid], m->q, m->qlen) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == order->count) return;
  const sdb_term *first = order->terms[lo];
  if (first->len < m->qlen || memcmp(first->text, m->q, m->qlen) != 0) return;
  for (uint32_t i = lo; i < order->count && (i == lo || order->lcp[i] >= m->qlen); i++)
    if (order->terms[i]->len > m->qlen) found_add(f, order, i);
}

// Rows of the edit-distance table between q and the text of the terms
// being walked, row d for the term's first d bytes. Only the band of
// columns j with |j - d| <= budget is kept, at k = j - d + budget: entries
// outside it are at least budget + 1, like every entry capped there.
enum { SDB_BAND = 2 * SDB_TYPO_BUDGET_MAX + 1 };  // the widest band

struct typo_rows {
  int row[SDB_TERM_MAX + 1][SDB_BAND];
};

static void first_row(const sdb_match *m, int *row) {
  const int b = m->budget, qlen = (int)m->qlen;
  for (int k = 0; k <= 2 * b; k++) {
    const int j = k - b;
    row[k] = (j < 0 || j > qlen) ? b + 1 : std::min(j, b + 1);
  }
}

// Row d from row d - 1 and the term's byte c at d - 1; returns the row's
// least entry.
static int next_row(const sdb_match *m, const int *prev, int *cur, int d, char c) {
  const int b = m->budget, cap = b + 1, qlen = (int)m->qlen;
  int row_min = cap;
  for (int k = 0; k <= 2 * b; k++) {
    const int j = d - b + k;
    int v = cap;
    if (j == 0) {
      v = std::min(d, cap);
    } else if (j > 0 && j <= qlen) {
      v = prev[k] + (m->q[j - 1] != c);                 // substitution or equal byte
      if (k < 2 * b) v = std::min(v, prev[k + 1] + 1);  // byte of the term left out
      if (k > 0) v = std::min(v, cur[k - 1] + 1);       // byte of the token left out
      v = std::min(v, cap);
    }
    cur[k] = v;
    row_min = std::min(row_min, v);
  }
  return row_min;
}

// Adds every term within the typo budget of q. The order is walked like a
// trie: the rows of the beginning a term shares with the one before it are
// kept, and when a row exceeds the budget everywhere, the whole run of
// terms sharing that beginning is passed over.
static void find_near_spellings(const sdb_match *m, found_list *f, typo_rows *rows) {
  const sdb_term_order *order = m->order;
  const int b = m->budget, qlen = (int)m->qlen;
  first_row(m, rows->row[0]);
  int have = 0;    // rows 0 .. have hold the beginning of the last term walked
  int shared = 0;  // bytes the current term shares with that one
  uint32_t i = 0;
  while (i < order->count) {
    const sdb_term *t = order->terms[i];
    const int len = (int)t->len;
    int d = std::min(have, shared);
    bool too_far = false;
    while (d < len && !too_far) {
      too_far = next_row(m, rows->row[d], rows->row[d + 1], d + 1, t->text[d]) > b;
      d++;
    }
    have = d;
    if (!too_far && std::abs(len - qlen) <= b && rows->row[len][qlen - len + b] <= b)
      found_add(f, order, i);
    uint32_t next = i + 1;
    if (too_far)  // every term beginning with these d bytes is as far
      while (next < order->count && order->lcp[next] >= d) next++;
    if (next < order->count) shared = order->lcp[next];
    i = next;
  }
}

static int compare_u64(const void *a, const void *b) {
  const uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
  return x < y ? -1 : (x > y ? 1 : 0);
}

// Sorts the matches into scan order and drops repeats (a term reached both
// as an extension and as a near spelling).
static uint32_t sort_unique(uint64_t *items, uint32_t count) {
  if (count == 0) return 0;  // items may be nullptr
  qsort(items, count, sizeof *items, compare_u64);
  uint32_t n = 0;
  for (uint32_t i = 0; i < count; i++)
    if (n == 0 || items[n - 1] != items[i]) items[n++] = items[i];
  return n;
}

void sdb_match_start(sdb_match *m, const sdb_index *ix, const char *q, uint64_t qlen) {
  match_init(m, ix, q, qlen);
  if (m->exact || m->order->count == 0) return;
  found_list f = {nullptr, 0, 0, true};
  if (m->qlen >= 2) find_extensions(m, &f);
  if (m->budget > 0) {
    typo_rows rows;
    find_near_spellings(m, &f, &rows);
  }
  if (!f.ok) {  // short of memory: the plain scan finds the same terms
    free(f.items);
    m->scanning = m->bucket_count > 0;
    return;
  }
  m->found = f.items;
  m->found_count = sort_unique(f.items, f.count);
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
  if (m->found_pos < m->found_count) return m->order->terms[(uint32_t)m->found[m->found_pos++]];
  for (;;) {
    while (m->cand_pos < m->cand_count) {
      const sdb_term *t = m->cand[m->cand_pos++];
      if (sdb_scan_accepts(m->q, m->qlen, m->budget, t->text, t->len, &m->rows)) return t;
    }
    if (!m->scanning) return nullptr;
    gather_candidates(m);
  }
}

void sdb_match_end(sdb_match *m) {
  free(m->found);
  m->found = nullptr;
  m->found_count = 0;
}
