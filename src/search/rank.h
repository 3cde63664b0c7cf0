// BM25 scoring of matched terms and the ranking of the scored documents.
//
// Every matched term adds, for each live document holding it, the
// contribution of bm25.h, whose length part of each slot is computed once
// per change of the collection and kept. Documents are ranked by score,
// highest first, then by ascending slot.
#pragma once

#include <cstdint>

#include "index/index.h"

// One ranked document.
struct sdb_hit {
  uint32_t doc;  // slot number
  double score;
};

// qsort comparator: higher score first, then lower slot. The order is total
// over distinct slots.
int sdb_hit_cmp(const void *a, const void *b);

// The running scores of one search.
//
// For a slot whose bit is set in seen, score[slot] is the sum of its
// contributions so far, in the order they were made; the first one is
// stored as it is, which is what 0.0 + s gives. Other entries of score are
// not set: the array is not cleared, which would cost a pass over every
// slot. Adding is an index, whatever the number of documents touched.
// score has doc_count entries, seen one bit for each.
//
// touched[0 .. touched_count) are the slots with a bit in seen, in the
// order of their first contribution, so that ranking visits only them. It
// has room for every slot.
struct sdb_scoring {
  const sdb_index *ix;
  uint32_t live;  // live documents, N of the idf
  double avgdl;   // total_tokens / live, at least 1.0
  double *score;  // the kept arrays (rank.cc), lent for one search
  uint64_t *seen;
  uint32_t *touched;
  uint32_t touched_count;
};

// Takes N from the index, computes avgdl and allocates the scores. Returns false, holding nothing,
// when the index has no live document or memory ran out: the search then has no hits.
bool sdb_scoring_begin(sdb_scoring *sc, const sdb_index *ix);

// Adds one contribution s (positive) to the score of slot.
inline void sdb_score_add(sdb_scoring *sc, uint32_t slot, double s) {
  uint64_t *word = &sc->seen[slot / 64];
  const uint64_t bit = uint64_t{1} << (slot % 64);
  if (*word & bit) {
    sc->score[slot] = s + sc->score[slot];
    return;
  }
  *word |= bit;
  sc->score[slot] = s;
  sc->touched[sc->touched_count++] = slot;
}

// The score of slot so far: 0.0 before its first contribution.
double sdb_score_of(const sdb_scoring *sc, uint32_t slot);

// Adds the contributions of every posting of term id (all of them are of
// live slots: the dictionary follows every change of documents).
void sdb_score_term(sdb_scoring *sc, uint32_t id);

// Gives the scores back, every seen bit cleared.
void sdb_scoring_end(sdb_scoring *sc);

// Releases the score arrays kept between searches (searchdb_cleanup).
void sdb_scoring_release(void);

// The ranked documents of one search and the page asked for.
//
// hits[0 .. total) are the live documents with a positive score. Only the
// page hits[page_start .. page_end) is in rank order; the rest are in no
// particular order.
struct sdb_ranking {
  sdb_hit *hits;  // owned (free); nullptr when it could not be allocated
  uint32_t total;
  uint32_t page_start;
  uint32_t page_end;
};

// Ranks the live scored documents and selects the page of at most limit
// hits (0: no limit) from offset on; both are already clamped to 0 or
// more. Returns false, with no hits, when the ranking list cannot be
// allocated.
bool sdb_rank(const sdb_scoring *sc, uint32_t offset, uint32_t limit, sdb_ranking *out);

// Puts hits[start .. end) of the order of sdb_hit_cmp into place, in
// order, without sorting the rest.
void sdb_rank_page(sdb_hit *hits, uint32_t total, uint32_t start, uint32_t end);

// Releases the ranking list.
void sdb_ranking_free(sdb_ranking *r);
