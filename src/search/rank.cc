#include "search/rank.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/memory.h"
#include "index/bm25.h"

int sdb_hit_cmp(const void *a, const void *b) {
  const sdb_hit *x = (const sdb_hit *)a, *y = (const sdb_hit *)b;
  if (y->score > x->score) return 1;
  if (x->score > y->score) return -1;
  if (x->doc < y->doc) return -1;
  return x->doc > y->doc ? 1 : 0;
}

// The score arrays, kept from one search to the next: a search touches
// pages of them all over, and pages handed back at the end of every search
// would have to be found and cleared again by the next one. Between
// searches every seen bit is clear. Sized for `cap` slots.
static struct {
  double *score;
  uint64_t *seen;
  uint32_t *touched;
  uint32_t cap;
} s_scores;

static void free_scores(void) {
  free(s_scores.score);  // and the others, in the same block
  s_scores = {};
}

// Room for slots slots in the kept score arrays, one block that searches
// touch all over (sdb_alloc_huge). False when memory ran out (what was
// kept stays, smaller).
static bool reserve_scores(uint32_t slots) {
  if (slots <= s_scores.cap && s_scores.score != nullptr) return true;
  const uint32_t cap = slots > 64 ? slots : 64;
  const size_t words = cap / 64 + 1;
  auto *score = (double *)sdb_alloc_huge(cap * (sizeof(double) + sizeof(uint32_t)) +
                                         words * sizeof(uint64_t));
  if (!score) return false;
  auto *seen = (uint64_t *)(score + cap);
  auto *touched = (uint32_t *)(seen + words);
  memset(seen, 0, words * sizeof(uint64_t));
  free_scores();
  s_scores = {score, seen, touched, cap};
  return true;
}

bool sdb_scoring_begin(sdb_scoring *sc, const sdb_index *ix) {
  *sc = {};
  sc->ix = ix;
  sc->live = ix->live_count;
  if (sc->live == 0) return false;
  sc->avgdl = sdb_average_length(ix->total_tokens, sc->live);
  if (!reserve_scores(ix->doc_count)) return false;
  sc->score = s_scores.score;
  sc->seen = s_scores.seen;
  sc->touched = s_scores.touched;
  return true;
}

void sdb_scoring_release(void) {
  free_scores();
}

double sdb_score_of(const sdb_scoring *sc, uint32_t slot) {
  return (sc->seen[slot / 64] >> (slot % 64)) & 1 ? sc->score[slot] : 0.0;
}

void sdb_score_term(sdb_scoring *sc, uint32_t id) {
  const sdb_terms *d = &sc->ix->terms;
  const sdb_term *t = &sdb_term_at(d, id);
  const double w = sdb_bm25_weight(sc->live, t->count);
  const double *norms = sc->ix->norms;
  for (uint32_t i = 0; i < t->count; i++) {
    const uint32_t slot = t->docs[i];
    const uint8_t tf = t->tfs[i];
    const double norm = norms[slot];
    if (norm < 0.0) continue;  // a dead slot
    const uint32_t exact =
        (tf & SDB_TF_MASK) != SDB_TF_OVERFLOW ? tf & SDB_TF_MASK : sdb_posting_tf(d, id, i);
    sdb_score_add(sc, slot, sdb_bm25_contribution(exact, norm, w, (tf & SDB_TF_TITLE) != 0));
  }
}

void sdb_scoring_end(sdb_scoring *sc) {
  // Only the bits of touched slots were set: a search that touched few
  // clears theirs, one that touched many clears the words.
  if (sc->seen != nullptr) {
    const uint32_t words = sc->ix->doc_count / 64 + 1;
    if (sc->touched_count < words) {
      for (uint32_t i = 0; i < sc->touched_count; i++) sc->seen[sc->touched[i] / 64] = 0;
    } else {
      memset(sc->seen, 0, words * sizeof(uint64_t));
    }
  }
  sc->score = nullptr;
  sc->seen = nullptr;
  sc->touched = nullptr;
  sc->touched_count = 0;
}

static bool hit_before(const sdb_hit &a, const sdb_hit &b) {
  return sdb_hit_cmp(&a, &b) < 0;
}

// First everything that ranks before the page is moved in front of it, then
// the page is picked from what remains.
void sdb_rank_page(sdb_hit *hits, uint32_t total, uint32_t start, uint32_t end) {
  if (start >= end) return;
  if (start > 0) std::nth_element(hits, hits + start, hits + total, hit_before);
  std::partial_sort(hits + start, hits + end, hits + total, hit_before);
}

// The live touched slots with their scores, in no particular order: the
// page is put in place by the total order of sdb_hit_cmp alone.
static bool collect_ranked(const sdb_scoring *sc, sdb_ranking *out) {
  out->hits = (sdb_hit *)malloc((sc->touched_count ? sc->touched_count : 1) * sizeof(sdb_hit));
  if (!out->hits) return false;
  for (uint32_t i = 0; i < sc->touched_count; i++) {
    const uint32_t slot = sc->touched[i];
    if (sc->ix->norms[slot] >= 0.0) out->hits[out->total++] = {slot, sc->score[slot]};
  }
  return true;
}

bool sdb_rank(const sdb_scoring *sc, uint32_t offset, uint32_t limit, sdb_ranking *out) {
  *out = {};
  if (!collect_ranked(sc, out)) return false;
  out->page_start = std::min(offset, out->total);
  const uint32_t left = out->total - out->page_start;
  out->page_end = (limit == 0 || limit >= left) ? out->total : out->page_start + limit;
  sdb_rank_page(out->hits, out->total, out->page_start, out->page_end);
  return true;
}

void sdb_ranking_free(sdb_ranking *r) {
  free(r->hits);
  r->hits = nullptr;
}
