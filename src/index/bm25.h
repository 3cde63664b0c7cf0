// BM25, the one place its parameters are written. Every figure a search
// adds is computed here, with the same operations in the same order
// wherever it is computed, so that equal inputs always give bit-identical
// scores.
#pragma once

#include <cmath>
#include <cstdint>

inline constexpr double SDB_BM25_K1 = 1.2;
inline constexpr double SDB_BM25_B = 0.75;

// A term's weight: its idf among live documents, floored at 0.
inline double sdb_bm25_weight(double live, double doc_freq) {
  const double idf = log(((live - doc_freq) + 0.5) / (doc_freq + 0.5) + 1.0);
  return idf >= 0.0 ? idf : 0.0;
}

// The average document length: total tokens over live documents (live is
// not 0), raised to 1.0 when smaller.
inline double sdb_average_length(uint64_t total_tokens, uint32_t live) {
  const double avgdl = static_cast<double>(total_tokens) / static_cast<double>(live);
  return avgdl < 1.0 ? 1.0 : avgdl;
}

// The length part of a document of dl tokens, dl raised to 1.0 when
// smaller: ((dl / avgdl) * b + (1 - b)) * k1. It does not depend on the
// term, so it is computed once per document and kept.
inline double sdb_length_norm(double dl, double avgdl) {
  if (dl < 1.0) dl = 1.0;
  return ((dl / avgdl) * SDB_BM25_B + (1.0 - SDB_BM25_B)) * SDB_BM25_K1;
}

// One posting's contribution, from its tf, its document's length part and
// the term's weight; doubled for a term found in the title member.
inline double sdb_bm25_contribution(double tf, double norm, double weight, bool title) {
  const double s = (tf * (SDB_BM25_K1 + 1.0)) / (norm + tf) * weight;
  return title ? s + s : s;
}
