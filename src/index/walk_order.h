// The order in which a query token's terms are summed into a score.
//
// Why it exists: a document's score is a sum of floating-point terms, and a
// floating-point sum depends on its order. The engine's answers are defined
// by an index that kept its terms in a chained hash table and summed a
// token's matches in the order a walk of that table visits them; to give
// bit-identical scores, every other way of finding the matches (exact
// lookup, the byte order's prefix runs and near spellings) hands them out
// in that walk's order. This module is the one place that knows that
// order; the rest of the index only keeps the figures it is computed from
// (each term's hash, its rank in first-occurrence order, and the two bucket
// counts of sdb_terms).
//
// The table walk. A rebuild enters the terms into a chained hash table in
// the order they first occur (slot ascending, then token position), each at
// the head of the chain of bucket hash % buckets, and doubles the table
// before it would hold more than 3 terms per 4 buckets, relinking every
// chain from its head (which reverses it). It starts from the bucket count
// the previous rebuild ended with. So within one final bucket, the terms
// entered after the last doubling come first, newest first, and each
// doubling reverses what was there before it: the terms entered in an epoch
// (between two doublings) an even number of doublings before the end come
// newest first, before those of odd epochs, which come oldest first. The
// walk order is therefore a function of the bucket, the term's rank in
// first-occurrence order, and the two bucket counts (sdb_scan_key); nothing
// is relinked when terms change.
#pragma once

#include <algorithm>
#include <cstdint>

#include "index/terms.h"

// The bucket count a rebuild ends with after entering n terms from start.
uint32_t sdb_buckets_after(uint32_t start, uint32_t n);

// The term's position in the table walk, as a sort key: the walk visits
// terms in ascending key order.
uint64_t sdb_scan_key(const sdb_terms *d, const sdb_term *t);

// Where the term first occurs (its first posting's slot, then the token
// position there), as a sort key: ranks number the terms in ascending order
// of it.
inline uint64_t sdb_first_occurrence_key(const sdb_term *t) {
  return static_cast<uint64_t>(t->docs[0]) << 32 | t->first_pos;
}

// Sorts items[0 .. n), each holding its term's sdb_scan_key in `key`, into
// the walk's order.
template <typename T>
void sdb_walk_sort(T *items, uint32_t n) {
  std::sort(items, items + n, [](const T &a, const T &b) { return a.key < b.key; });
}
