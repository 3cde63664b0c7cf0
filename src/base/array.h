// The one growable array of the library: C-heap blocks that double as they
// fill, never throw, and report a failed allocation, so that running out of
// memory is an answer (the allocation-failure sweep reaches every growth)
// and an array that could not grow is left as it was.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "base/memory.h"

// The room an array with room for cap items is given to hold need: cap
// doubled (first when it is 0) until need fits.
inline uint64_t sdb_grown_cap(uint64_t cap, uint64_t need, uint64_t first) {
  uint64_t grown = cap ? cap * 2 : first;
  while (grown < need) grown *= 2;
  return grown;
}

// Resizes the heap array *items to room for cap items. False when memory
// ran out, with the array as it was.
template <typename T>
bool sdb_resize(T **items, uint64_t cap) {
  auto *p = static_cast<T *>(realloc(*items, cap * sizeof(T)));
  if (p == nullptr) return false;
  *items = p;
  return true;
}

// sdb_resize for an array whose items are all about to be written: its
// first block is made by sdb_alloc_touched, later ones by realloc.
template <typename T>
bool sdb_resize_filled(T **items, uint64_t cap) {
  if (*items != nullptr) return sdb_resize(items, cap);
  auto *p = static_cast<T *>(sdb_alloc_touched(cap * sizeof(T)));
  if (p == nullptr) return false;
  *items = p;
  return true;
}

// Grows the array *items (room for *cap items) to room for at least need,
// by sdb_grown_cap; the items held stay. False when memory ran out, with
// the array as it was.
template <typename T, typename N>
bool sdb_reserve(T **items, N *cap, uint64_t need, uint64_t first = 64) {
  if (need <= *cap) return true;
  const uint64_t grown = sdb_grown_cap(*cap, need, first);
  if (!sdb_resize(items, grown)) return false;
  *cap = static_cast<N>(grown);
  return true;
}

// A growable array of plain items with its count. Zero-initialised it is
// empty and holds nothing; release() frees it.
template <typename T, typename N = uint64_t>
struct sdb_vec {
  T *items;
  N count;
  N cap;

  // Room for need items in all. False when memory ran out.
  bool reserve(uint64_t need, uint64_t first = 64) {
    return sdb_reserve(&items, &cap, need, first);
  }
  // Appends item. False when memory ran out (nothing appended).
  bool push(const T &item, uint64_t first = 64) {
    if (!reserve(uint64_t{count} + 1, first)) return false;
    items[count++] = item;
    return true;
  }
  void release() {
    free(items);
    items = nullptr;
    count = cap = 0;
  }
};
