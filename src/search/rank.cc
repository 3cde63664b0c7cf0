#include "search/rank.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

enum { SDB_RANKING_START = 256 };

int sdb_hit_cmp(const void *a, const void *b) {
  const sdb_hit *x = (const sdb_hit *)a, *y = (const sdb_hit *)b;
  if (y->score > x->score) return 1;
  if (x->score > y->score) return -1;
  if (x->doc < y->doc) return -1;
  return x->doc > y->doc ? 1 : 0;
}

uint32_t sdb_live_count(const sdb_index *ix) {
  uint32_t live = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++)
    if (ix->docs[slot].alive) live++;
  return live;
}

bool sdb_scoring_begin(sdb_scoring *sc, const sdb_index *ix) {
  *sc = {};
  sc->ix = ix;
  sc->live = sdb_live_count(ix);
  if (sc->live == 0) return false;
  sc->avgdl = (double)ix->total_tokens / (double)sc->live;
  if (sc->avgdl < 1.0) sc->avgdl = 1.0;
  sc->score = (double *)calloc(ix->doc_count, sizeof(double));
  return sc->score != nullptr;
}

void sdb_score_term(sdb_scoring *sc, const sdb_term *t) {
  const double n = sc->live, df = t->doc_freq;
  const double idf = log(((n - df) + 0.5) / (df + 0.5) + 1.0);
  const double w = idf >= 0.0 ? idf : 0.0;
  const sdb_doc *docs = sc->ix->docs;
  for (uint32_t i = 0; i < t->posting_count; i++) {
    const sdb_posting &p = t->postings[i];
    const sdb_doc &d = docs[p.doc];
    if (!d.alive) continue;
    const double tf = p.tf;
    double dl = (double)d.token_count;
    if (dl < 1.0) dl = 1.0;
    double s = (tf * 2.2) / (((dl / sc->avgdl) * 0.75 + 0.25) * 1.2 + tf) * w;
    if (p.flags & SDB_POSTING_TITLE) s = s + s;
    sc->score[p.doc] = s + sc->score[p.doc];
  }
}

void sdb_scoring_end(sdb_scoring *sc) {
  free(sc->score);
  sc->score = nullptr;
}

static bool hit_before(const sdb_hit &a, const sdb_hit &b) { return sdb_hit_cmp(&a, &b) < 0; }

// Puts hits[start .. end) of the total order into place, in order, without
// sorting the rest: first everything that ranks before the page is moved in
// front of it, then the page is picked from what remains.
static void order_page(sdb_hit *hits, uint32_t total, uint32_t start, uint32_t end) {
  if (start >= end) return;
  if (start > 0) std::nth_element(hits, hits + start, hits + total, hit_before);
  std::partial_sort(hits + start, hits + end, hits + total, hit_before);
}

// Appends every live slot with a positive score, in ascending slot order.
// Stops early, keeping what it has, when the list cannot grow.
static void collect_ranked(const sdb_scoring *sc, sdb_ranking *out) {
  const sdb_index *ix = sc->ix;
  uint32_t cap = SDB_RANKING_START;
  out->hits = (sdb_hit *)malloc(cap * sizeof(sdb_hit));
  if (!out->hits) return;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    if (!ix->docs[slot].alive || !(sc->score[slot] > 0.0)) continue;
    if (out->total == cap) {
      sdb_hit *grown = (sdb_hit *)realloc(out->hits, 2 * (size_t)cap * sizeof(sdb_hit));
      if (!grown) return;
      out->hits = grown;
      cap *= 2;
    }
    out->hits[out->total++] = {slot, sc->score[slot]};
  }
}

void sdb_rank(const sdb_scoring *sc, uint32_t offset, uint32_t limit, sdb_ranking *out) {
  *out = {};
  collect_ranked(sc, out);
  out->page_start = std::min(offset, out->total);
  const uint32_t left = out->total - out->page_start;
  out->page_end = (limit == 0 || limit >= left) ? out->total : out->page_start + limit;
  order_page(out->hits, out->total, out->page_start, out->page_end);
}

void sdb_ranking_free(sdb_ranking *r) {
  free(r->hits);
  r->hits = nullptr;
}
