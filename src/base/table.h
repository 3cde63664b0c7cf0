// The one hash table of the library: open addressing over a power-of-two
// array of positions, linear probing upward with wrap-around from an
// entry's home (its hash & mask), and deletion by shifting back the entries
// after the hole, so that no probe is ever cut off and no tombstone is
// needed.
//
// A table holds positions of one kind S (a slot number, an id, a key with
// its value) and knows nothing of what they stand for: its user passes an
// ops object saying which positions are empty (the empty ones are all bytes
// kEmptyByte) and what hash an entry has, and a predicate for lookups. How
// full a table may grow is its user's choice (sdb_table_cap_for).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/invariant.h"
#include "base/memory.h"

template <typename S>
struct sdb_table {
  S *slots;        // room positions; nullptr while room is 0
  uint32_t mask;   // positions in use: mask + 1 (a power of two), 0 without any
  uint32_t room;   // positions allocated, mask + 1 or more
  uint32_t count;  // entries held
};

// The smallest power of two from first up whose load with n entries stays
// at most num / den.
inline uint64_t sdb_table_cap_for(uint64_t n, uint64_t num, uint64_t den, uint64_t first) {
  uint64_t cap = first;
  while (n * den > cap * num) cap *= 2;
  return cap;
}

// A block of cap positions, all empty; nullptr when memory ran out. One
// cleared to zeros comes from calloc, whose pages cost nothing until an
// entry lands on them; one filled with another byte is touched whole at
// once, on huge pages when large.
template <typename S, typename Ops>
S *sdb_table_block(uint64_t cap) {
  if (Ops::kEmptyByte == 0) return static_cast<S *>(calloc(cap, sizeof(S)));
  auto *slots = static_cast<S *>(sdb_alloc_touched(cap * sizeof(S)));
  if (slots != nullptr) memset(slots, Ops::kEmptyByte, cap * sizeof(S));
  return slots;
}

// The position along the probe of hash whose entry matches, or the empty
// position that ends the probe. The table must have an empty position.
template <typename S, typename Ops, typename Match>
uint32_t sdb_table_probe(const sdb_table<S> &t, uint64_t hash, Match match) {
  uint32_t pos = static_cast<uint32_t>(hash) & t.mask;
  while (!Ops::empty(t.slots[pos]) && !match(t.slots[pos])) pos = (pos + 1) & t.mask;
  return pos;
}

// Puts entry at pos, an empty position a probe ended at.
template <typename S>
void sdb_table_put_at(sdb_table<S> *t, uint32_t pos, const S &entry) {
  // Room must have been made: an empty position stays, so probes end.
  SDB_ASSERT(t->count + 1 < t->mask + 1);
  t->slots[pos] = entry;
  t->count++;
}

// Moves every entry into cap positions (a power of two, above the count).
// False when memory ran out, the table whole as it was.
template <typename S, typename Ops>
bool sdb_table_resize(sdb_table<S> *t, uint64_t cap, const Ops &ops) {
  SDB_ASSERT(cap > t->count && (cap & (cap - 1)) == 0);
  S *slots = sdb_table_block<S, Ops>(cap);
  if (slots == nullptr) return false;
  const auto mask = static_cast<uint32_t>(cap - 1);
  for (uint32_t i = 0; i < t->mask + 1 && t->slots != nullptr; i++) {
    if (Ops::empty(t->slots[i])) continue;
    uint32_t pos = static_cast<uint32_t>(ops.hash(t->slots[i])) & mask;
    while (!Ops::empty(slots[pos])) pos = (pos + 1) & mask;
    slots[pos] = t->slots[i];
  }
  free(t->slots);
  t->slots = slots;
  t->mask = mask;
  t->room = static_cast<uint32_t>(cap);
  return true;
}

// Empties the table and uses cap of its positions (a power of two),
// allocating more room only when it has less. False when memory ran out,
// the table then without positions.
template <typename S, typename Ops>
bool sdb_table_reset(sdb_table<S> *t, uint64_t cap) {
  t->count = 0;
  if (cap > t->room) {
    free(t->slots);
    t->slots = sdb_table_block<S, Ops>(cap);
    t->room = t->slots != nullptr ? static_cast<uint32_t>(cap) : 0;
    t->mask = t->slots != nullptr ? static_cast<uint32_t>(cap - 1) : 0;
    return t->slots != nullptr;
  }
  t->mask = static_cast<uint32_t>(cap - 1);
  memset(t->slots, Ops::kEmptyByte, cap * sizeof(S));
  return true;
}

// Empties the position pos and shifts back the entries after it along the
// probe that would otherwise no longer be reached from their homes.
template <typename S, typename Ops>
void sdb_table_remove_at(sdb_table<S> *t, uint32_t hole, const Ops &ops) {
  const uint32_t mask = t->mask;
  memset(&t->slots[hole], Ops::kEmptyByte, sizeof(S));
  t->count--;
  for (uint32_t pos = (hole + 1) & mask; !Ops::empty(t->slots[pos]); pos = (pos + 1) & mask) {
    const uint32_t home = static_cast<uint32_t>(ops.hash(t->slots[pos])) & mask;
    // The entry may fill the hole only when its home lies cyclically
    // outside (hole, pos].
    if (((pos - home) & mask) < ((pos - hole) & mask)) continue;
    t->slots[hole] = t->slots[pos];
    memset(&t->slots[pos], Ops::kEmptyByte, sizeof(S));
    hole = pos;
  }
}

template <typename S>
void sdb_table_free(sdb_table<S> *t) {
  free(t->slots);
  *t = sdb_table<S>{};
}
