// The one hash table (base/table.h) against a set, over random puts,
// removals and growths, with hashes that crowd a few homes near the end of
// the positions so that probes and shifts wrap around; and the checksum
// (base/checksum.h) taken in pieces against the same bytes in one.
#include "base/table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>

#include "base/checksum.h"

namespace {

// Keys from 1 up; 0 marks an empty position.
struct key_ops {
  static constexpr unsigned char kEmptyByte = 0;
  static bool empty(uint32_t k) { return k == 0; }
  uint32_t homes;  // how many homes the keys share
  uint64_t hash(uint32_t k) const { return uint64_t{0xFFFFFFF0u} + k % homes; }
};

uint32_t Probe(const sdb_table<uint32_t> &t, const key_ops &ops, uint32_t key) {
  return sdb_table_probe<uint32_t, key_ops>(t, ops.hash(key),
                                            [key](uint32_t k) { return k == key; });
}

TEST(Table, HoldsWhatASetHoldsThroughPutsRemovalsAndGrowths) {
  std::mt19937_64 rng(7);
  for (uint32_t homes : {1u, 3u, 16u, 1000u}) {
    SCOPED_TRACE(homes);
    const key_ops ops{homes};
    sdb_table<uint32_t> t{};
    ASSERT_TRUE((sdb_table_reset<uint32_t, key_ops>(&t, 16)));
    std::set<uint32_t> model;
    for (int step = 0; step < 20000; step++) {
      const uint32_t key = 1 + static_cast<uint32_t>(rng() % 300);
      if (rng() % 3 != 0) {
        // Grows before the load passes 1/2, as the library's tables do.
        const uint64_t cap = sdb_table_cap_for(t.count + 1, 1, 2, t.mask + 1);
        if (cap != t.mask + 1) {
          ASSERT_TRUE(sdb_table_resize(&t, cap, ops));
        }
        const uint32_t pos = Probe(t, ops, key);
        if (key_ops::empty(t.slots[pos])) sdb_table_put_at(&t, pos, key);
        model.insert(key);
      } else {
        const uint32_t pos = Probe(t, ops, key);
        if (!key_ops::empty(t.slots[pos])) sdb_table_remove_at(&t, pos, ops);
        model.erase(key);
      }
      if (step % 97 != 0) continue;
      ASSERT_EQ(t.count, model.size());
      for (uint32_t k = 1; k <= 300; k++)
        ASSERT_EQ(!key_ops::empty(t.slots[Probe(t, ops, k)]), model.count(k) == 1) << k;
    }
    sdb_table_free(&t);
  }
}

TEST(Table, AResetKeepsItsRoomAndEmptiesIt) {
  const key_ops ops{5};
  sdb_table<uint32_t> t{};
  ASSERT_TRUE((sdb_table_reset<uint32_t, key_ops>(&t, 64)));
  sdb_table_put_at(&t, Probe(t, ops, 9), 9u);
  uint32_t *room = t.slots;
  ASSERT_TRUE((sdb_table_reset<uint32_t, key_ops>(&t, 16)));
  EXPECT_EQ(t.slots, room);
  EXPECT_EQ(t.mask, 15u);
  EXPECT_EQ(t.count, 0u);
  for (uint32_t i = 0; i < 16; i++) EXPECT_EQ(t.slots[i], 0u);
  EXPECT_TRUE(key_ops::empty(t.slots[Probe(t, ops, 9)]));
  sdb_table_free(&t);
}

// Bytes of every length around the 32-byte step, cut at random places
// (empty pieces, single bytes, pieces across several steps), sum as they
// do whole; and a byte changed anywhere changes the sum.
TEST(Checksum, PiecesOfAnySizesSumAsTheBytesWhole) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 3000; round++) {
    const size_t n = round < 200 ? static_cast<size_t>(round) : rng() % 5000;
    std::string bytes(n, '\0');
    for (char &c : bytes) c = static_cast<char>(rng());
    sdb_checksum_stream stream;
    for (size_t at = 0; at < n;) {
      const size_t piece = std::min<size_t>(n - at, rng() % 3 == 0 ? rng() % 4 : rng() % 100);
      stream.add(bytes.data() + at, piece);
      at += piece;
    }
    const uint64_t whole = sdb_checksum(bytes.data(), n);
    ASSERT_EQ(stream.value(), whole) << n;
    if (n == 0) continue;
    bytes[rng() % n] ^= static_cast<char>(1 + rng() % 255);
    EXPECT_NE(sdb_checksum(bytes.data(), n), whole) << n;
  }
}

}  // namespace
