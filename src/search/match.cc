#include "search/match.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/invariant.h"
#include "index/walk_order.h"

// The matches found so far, each (scan key, term id); ok turns false, for
// good, when the list cannot grow.
struct found_list {
  sdb_scan_match *items;
  uint32_t count;
  uint32_t cap;
  bool ok;
  const char *q;  // the token
  uint64_t qlen;
};

// Whether the match rule accepts t for the token (not itself a term).
static bool accepted(const found_list *f, const sdb_term &t) {
  sdb_edit_rows rows;
  return sdb_token_matches(f->q, f->qlen, false, t.text, t.len, &rows);
}

static void found_add(found_list *f, const sdb_terms *d, uint32_t order_pos, uint32_t edits) {
  if (!f->ok) return;
  if (!sdb_reserve(&f->items, &f->cap, uint64_t{f->count} + 1, 64)) {
    f->ok = false;
    return;
  }
  const uint32_t id = sdb_order_id(d, order_pos);
  const sdb_term &t = sdb_term_at(d, id);
  // The walks find what the match rule accepts, and only that, in an
  // order as a build makes it. A stored file's is checked only by its
  // checksum until a check or a change: a crafted one may lead them astray,
  // but never outside the dictionary.
  SDB_ASSERT(d->unchecked != nullptr || accepted(f, t));
  f->items[f->count++] = sdb_scan_match{sdb_scan_key(d, &t), id, edits};
}

// Adds every term longer than q that begins with it: one run of the order,
// from the first term not before q, held together by shared beginnings of
// at least qlen bytes.
static void find_extensions(const sdb_match *m, found_list *f) {
  const sdb_terms *d = m->d;
  const auto qlen = (uint32_t)m->qlen;
  uint32_t lo = 0, hi = d->count;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (sdb_text_compare(sdb_order_text(d, mid), m->q, qlen) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == d->count) return;
  const char *first = sdb_order_text(d, lo);
  if (sdb_text_len(first) < qlen || memcmp(first, m->q, qlen) != 0) return;
  for (uint32_t i = lo; i < d->count && (i == lo || d->lcp[i] >= qlen); i++)
    if (const char *text = sdb_order_text(d, i);
        sdb_longer_prefix(m->q, qlen, text, sdb_text_len(text)))
      found_add(f, d, i, 0);
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
    row[k] = (j < 0 || j > qlen) ? b + 1 : sdb_edit_edge(j, b + 1);
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
      v = sdb_edit_edge(d, cap);
    } else if (j > 0 && j <= qlen) {
      // Neighbours outside the band count as cap, as every entry there is.
      v = sdb_edit_entry(prev[k], k < 2 * b ? prev[k + 1] : cap, k > 0 ? cur[k - 1] : cap,
                         m->q[j - 1] == c, cap);
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
  const sdb_terms *d = m->d;
  const int b = m->budget, qlen = (int)m->qlen;
  first_row(m, rows->row[0]);
  int have = 0;    // rows 0 .. have hold the beginning of the last term walked
  int shared = 0;  // bytes the current term shares with that one
  uint32_t i = 0;
  while (i < d->count) {
    const char *text = sdb_order_text(d, i);
    const int len = (int)sdb_text_len(text);
    int depth = std::min(have, shared);
    bool too_far = false;
    while (depth < len && !too_far) {
      too_far = next_row(m, rows->row[depth], rows->row[depth + 1], depth + 1, text[depth]) > b;
      depth++;
    }
    have = depth;
    if (!too_far && std::abs(len - qlen) <= b && rows->row[len][qlen - len + b] <= b)
      found_add(f, d, i, static_cast<uint32_t>(rows->row[len][qlen - len + b]));
    uint32_t next = i + 1;
    if (too_far)  // every term beginning with these bytes is as far
      while (next < d->count && d->lcp[next] >= depth) next++;
    if (next < d->count) shared = d->lcp[next];
    i = next;
  }
}

// Sorts the matches into the table walk's order and drops repeats (a term
// reached both as an extension and as a near spelling keeps the extension's
// 0 edits).
static uint32_t sort_unique(sdb_scan_match *items, uint32_t count) {
  if (count == 0) return 0;  // items may be nullptr
  sdb_walk_sort(items, count);
  uint32_t n = 0;
  for (uint32_t i = 0; i < count; i++) {
    if (n > 0 && items[n - 1].id == items[i].id) {
      items[n - 1].edits = std::min(items[n - 1].edits, items[i].edits);
    } else {
      items[n++] = items[i];
    }
  }
  return n;
}

bool sdb_match_start(sdb_match *m, const sdb_terms *d, const char *q, uint64_t qlen) {
  if (qlen > SDB_TERM_MAX) qlen = SDB_TERM_MAX;
  *m = sdb_match{d, q, qlen, sdb_typo_budget(qlen), SDB_NO_TERM, nullptr, 0, 0, 0};
  m->exact = sdb_terms_find(d, q, (uint32_t)qlen);
  // A token that is a term stands for that term alone (sdb_token_matches).
  if (m->exact != SDB_NO_TERM || d->count == 0) return true;
  found_list f = {nullptr, 0, 0, true, m->q, m->qlen};
  if (m->qlen >= 2) find_extensions(m, &f);
  if (m->budget > 0) {
    typo_rows rows;
    find_near_spellings(m, &f, &rows);
  }
  if (!f.ok) {
    free(f.items);
    return false;
  }
  m->found = f.items;
  m->found_count = sort_unique(f.items, f.count);
  return true;
}

uint32_t sdb_match_next(sdb_match *m) {
  if (m->exact != SDB_NO_TERM) {
    const uint32_t id = m->exact;
    m->exact = SDB_NO_TERM;  // an exact match is the token's only match
    m->found_count = 0;
    return id;
  }
  if (m->found_pos < m->found_count) {
    m->edits = m->found[m->found_pos].edits;
    return m->found[m->found_pos++].id;
  }
  return SDB_NO_TERM;
}

void sdb_match_end(sdb_match *m) {
  free(m->found);
  m->found = nullptr;
  m->found_count = 0;
}
