// The index record: document table, id map, entry blocks and the undo of a
// change.
#include "index/index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "memory_index.h"

namespace {

using index_ptr = std::unique_ptr<sdb_index, decltype(&sdb_index_free)>;

index_ptr NewIndex(const char *pk = nullptr) {
  return index_ptr(sdb_index_new("ix", pk), sdb_index_free);
}

// Puts a document, as a change does; without undo the change stands at once.
uint32_t Add(sdb_index *ix, const std::string &id, const std::string &raw,
             sdb_doc_undo *undo = nullptr) {
  sdb_doc_undo local;
  const uint32_t slot = PutDocument(ix, id, raw, undo ? undo : &local);
  if (slot != SDB_NO_SLOT && undo == nullptr) sdb_index_settle(ix, &local);
  return slot;
}

void Kill(sdb_index *ix, uint32_t slot) {
  sdb_doc_undo undo;
  sdb_index_kill(ix, slot, &undo);
  sdb_index_settle(ix, &undo);
}

std::string Text(const sdb_doc &d) {
  return StoredText(d);
}

TEST(Hash, IsFnv1a64) {
  EXPECT_EQ(sdb_hash("", 0), 0xCBF29CE484222325ull);
  EXPECT_EQ(sdb_hash("a", 1), 0xAF63DC4C8601EC8Cull);
  EXPECT_EQ(sdb_hash("foobar", 6), 0x85944171F73967E8ull);
}

// Inputs a writer of ids or words could pick to share a table position,
// each family kNeeded strong: ids sharing the low bits of their FNV-1a
// (the id map's start while it used FNV-1a), texts of each short length
// that differ in one byte only, long texts that differ in one byte of one
// block, numerals, and the side table's (term, slot) keys.
constexpr size_t kNeeded = 2048;
constexpr uint32_t kPositions = 4096;  // table positions: the low 12 bits

std::vector<std::string> FnvColliding() {
  const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::vector<std::string> ids;
  std::string id(7, 'a');
  for (uint32_t n = 0; ids.size() < kNeeded; n++) {
    uint32_t rest = n;
    for (char &c : id) {
      c = letters[rest % 36];
      rest /= 36;
    }
    if ((sdb_hash(id.data(), id.size()) & (kPositions - 1)) == 0) ids.push_back(id);
  }
  return ids;
}

// Texts of len bytes (at least 2) that differ in their last byte and in
// one byte halfway.
std::vector<std::string> TwoBytesApart(size_t len) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < kNeeded; i++) {
    std::string t(len, 'w');
    t[len - 1] = static_cast<char>(i & 0xFF);
    t[(len - 1) / 2] = static_cast<char>('a' + (i >> 8));
    texts.push_back(t);
  }
  return texts;
}

// Texts of 40 bytes (three blocks of the hash), each with one of its first
// 32 bytes changed.
std::vector<std::string> OneByteOfTheBlocks() {
  std::vector<std::string> texts;
  for (size_t i = 0; i < kNeeded; i++) {
    std::string t(40, 'w');
    t[i % 32] = static_cast<char>(1 + i / 32);
    texts.push_back(t);
  }
  return texts;
}

// Positions taken by the table hashes of the inputs under the process's key.
template <typename Input>
size_t PositionsTaken(const std::vector<Input> &inputs,
                      const std::function<uint64_t(const Input &)> &hash) {
  std::set<uint64_t> taken;
  for (const Input &in : inputs) taken.insert(hash(in) & (kPositions - 1));
  return taken.size();
}

// kNeeded inputs over kPositions positions take about 1612 of them when
// spread at random (the standard deviation is about 15); a hash an input
// could steer takes far fewer. Under several keys, and each key moves
// nearly every input.
TEST(Hash, NoFamilyOfInputsPilesUpUnderTheTableHash) {
  std::vector<std::vector<std::string>> texts = {FnvColliding(), OneByteOfTheBlocks()};
  for (size_t len : {2, 3, 5, 8, 12, 16, 17, 40}) texts.push_back(TwoBytesApart(len));
  std::vector<std::string> numerals;
  for (size_t i = 0; i < kNeeded; i++) numerals.push_back(std::to_string(i * 4096));
  texts.push_back(numerals);
  std::vector<uint64_t> pairs;
  for (uint64_t term = 0; term < 32; term++)
    for (uint64_t slot = 0; slot < kNeeded / 32; slot++) pairs.push_back((term << 32 | slot) + 1);
  for (const std::vector<std::string> &family : texts)
    ASSERT_EQ(std::set<std::string>(family.begin(), family.end()).size(), kNeeded) << family[0];

  const sdb_table_key kept = sdb_table_key_of_process();
  std::mt19937_64 rng(5);
  std::vector<uint64_t> first_positions;
  for (int k = 0; k < 4; k++) {
    SCOPED_TRACE("key " + std::to_string(k));
    if (k > 0)
      for (uint64_t &w : sdb_table_key_of_process().k) w = rng();
    const std::function<uint64_t(const std::string &)> text_hash = [](const std::string &s) {
      return sdb_table_hash(s.data(), s.size());
    };
    for (const std::vector<std::string> &family : texts)
      EXPECT_GT(PositionsTaken(family, text_hash), 1500u) << "texts like '" << family[1] << "'";
    EXPECT_GT(PositionsTaken<uint64_t>(pairs, sdb_table_hash_u64), 1500u);
    std::vector<uint64_t> positions;
    for (const std::string &id : texts[0]) positions.push_back(text_hash(id) & (kPositions - 1));
    for (uint64_t p : pairs) positions.push_back(sdb_table_hash_u64(p) & (kPositions - 1));
    if (k == 0) {
      first_positions = positions;
    } else {
      size_t moved = 0;
      for (size_t i = 0; i < positions.size(); i++) moved += positions[i] != first_positions[i];
      EXPECT_GT(moved, positions.size() * 9 / 10);
    }
  }
  sdb_table_key_of_process() = kept;
}

// The longest run of occupied positions of an open-addressing table, with
// wrap-around: what the probe of a missing key may have to walk.
template <typename T>
size_t LongestRun(const T *positions, size_t cap, T empty) {
  size_t longest = 0, run = 0;
  for (size_t i = 0; i < 2 * cap && longest < cap; i++) {
    run = positions[i % cap] == empty ? 0 : run + 1;
    longest = std::max(longest, run);
  }
  return longest;
}

// Placed by FNV-1a, these ids and words would all start their probes at
// one position, and every add and lookup would walk past all the others.
TEST(Hash, IdsAndWordsChosenToCollideUnderFnv1aLeaveShortProbes) {
  MemoryIndex ix;
  for (const std::string &id : FnvColliding())
    ASSERT_NE(ix.Put(id, R"({"w":")" + id + R"("})"), SDB_NO_SLOT);
  ASSERT_TRUE(ix.Load());
  ASSERT_EQ(ix->ids.count, kNeeded);
  ASSERT_GE(ix->terms.count, kNeeded);
  // About 20 when spread at random, at these loads (1/2 and 1/4).
  EXPECT_LT(LongestRun(ix->ids.slots, ix->ids.mask + 1, SDB_NO_SLOT), 80u);
  EXPECT_LT(LongestRun(ix->terms.lookup.slots, ix->terms.lookup.mask + 1, ~uint64_t{0}), 80u);
}

TEST(IndexRecord, NewIndexHasItsStartingSizes) {
  auto ix = NewIndex();
  EXPECT_STREQ(ix->primary_key, "id");
  EXPECT_EQ(ix->terms.bucket_count, 1024u);
  EXPECT_EQ(ix->doc_cap, 64u);
  EXPECT_EQ((ix->ids.mask + 1), 256u);
  std::string long_name(300, 'n'), long_key(200, 'k');
  index_ptr cut(sdb_index_new(long_name.c_str(), long_key.c_str()), sdb_index_free);
  EXPECT_EQ(strlen(cut->name), 255u);
  EXPECT_EQ(strlen(cut->primary_key), 127u);
  sdb_index_free(nullptr);
}

TEST(IndexRecord, IdMapDoublesAtThe180thIdAndKeepsEverySlot) {
  auto ix = NewIndex();
  for (int i = 0; i < 179; i++) ASSERT_EQ(Add(ix.get(), std::to_string(i), "{}"), uint32_t(i));
  EXPECT_EQ((ix->ids.mask + 1), 256u);
  Add(ix.get(), "179", "{}");
  EXPECT_EQ((ix->ids.mask + 1), 512u);
  for (int i = 180; i < 1434; i++) Add(ix.get(), std::to_string(i), "{}");
  EXPECT_EQ((ix->ids.mask + 1), 4096u);
  EXPECT_EQ(ix->doc_cap, 2048u);
  for (int i = 0; i < 1434; i++)
    EXPECT_EQ(sdb_id_map_find(ix.get(), std::to_string(i).c_str()), uint32_t(i));
  EXPECT_EQ(sdb_id_map_find(ix.get(), "never"), SDB_NO_SLOT);
}

TEST(IndexRecord, DocumentTableGrowsWithZeroedSlots) {
  auto ix = NewIndex();
  for (int i = 0; i < 65; i++) Add(ix.get(), std::to_string(i), "{}");
  EXPECT_EQ(ix->doc_cap, 128u);
  EXPECT_EQ(ix->docs[64].alive, 1u);
  for (uint32_t s = 65; s < 128; s++) {
    EXPECT_EQ(ix->docs[s].id, nullptr);
    EXPECT_EQ(ix->docs[s].alive, 0u);
  }
}

TEST(IndexRecord, ReplacingAndRevivingKeepTheSlot) {
  auto ix = NewIndex();
  Add(ix.get(), "a", "{\"v\":1}");
  Add(ix.get(), "", "{}");  // the empty id is an ordinary key
  EXPECT_EQ(Add(ix.get(), "a", "{\"v\":2}"), 0u);
  EXPECT_EQ(ix->doc_count, 2u);
  EXPECT_EQ(Text(ix->docs[0]), "{\"v\":2}");
  EXPECT_EQ(sdb_id_map_find(ix.get(), ""), 1u);
  // A deleted slot keeps its id, so the id still finds it.
  Kill(ix.get(), 0);
  EXPECT_EQ(ix->docs[0].entry, nullptr);
  EXPECT_EQ(sdb_id_map_find(ix.get(), "a"), 0u);
  EXPECT_EQ(Add(ix.get(), "a", "{\"v\":3}"), 0u);
  EXPECT_STREQ(ix->docs[0].id, "a");
  EXPECT_EQ(ix->docs[0].alive, 1u);
  EXPECT_EQ(Text(ix->docs[0]), "{\"v\":3}");
  // Every replaced text has gone; only the two live entries hold memory.
  EXPECT_EQ(ix->live_bytes, ix->entry_bytes);
}

// Random batches of adds over indexes holding live, dead and new ids, many
// of them crossing the map's growth, each taken back: every index must be
// exactly as before, every stored id found at its slot and no new one.
TEST(IndexRecord, UndoingABatchRestoresEverySlotAndId) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 200; trial++) {
    auto ix = NewIndex();
    const int stored = static_cast<int>(rng() % 700);
    for (int i = 0; i < stored; i++)
      Add(ix.get(), "old" + std::to_string(i), "{\"old\":" + std::to_string(i) + "}");
    std::vector<int> dead;
    for (int i = 0; i < stored; i++)
      if (rng() % 8 == 0) {
        Kill(ix.get(), static_cast<uint32_t>(i));
        dead.push_back(i);
      }
    for (int i = 0; i < stored; i++) ix->docs[i].token_count = static_cast<uint32_t>(i);
    const uint64_t live_bytes = ix->live_bytes;

    std::vector<std::string> batch;
    const int size = 1 + static_cast<int>(rng() % 400);
    for (int i = 0; i < size; i++)
      batch.push_back(stored > 0 && rng() % 3 == 0 ? "old" + std::to_string(rng() % stored)
                                                   : "new" + std::to_string(rng() % size));
    std::vector<sdb_doc_undo> undo(batch.size());
    for (size_t i = 0; i < batch.size(); i++)
      ASSERT_NE(Add(ix.get(), batch[i], "{\"new\":true}", &undo[i]), SDB_NO_SLOT);
    for (size_t i = batch.size(); i-- > 0;) sdb_index_undo(ix.get(), &undo[i]);

    ASSERT_EQ(ix->doc_count, static_cast<uint32_t>(stored));
    ASSERT_EQ(ix->ids.count, static_cast<uint32_t>(stored));
    ASSERT_EQ(ix->live_bytes, live_bytes);
    for (int i : dead) ASSERT_EQ(ix->docs[i].entry, nullptr);
    for (int i = 0; i < stored; i++) {
      const std::string id = "old" + std::to_string(i);
      ASSERT_EQ(sdb_id_map_find(ix.get(), id.c_str()), static_cast<uint32_t>(i))
          << trial << " " << id;
      ASSERT_EQ(ix->docs[i].token_count, static_cast<uint32_t>(i));
      if (ix->docs[i].alive) {
        ASSERT_EQ(Text(ix->docs[i]), "{\"old\":" + std::to_string(i) + "}");
      }
    }
    for (uint32_t s = stored; s < ix->doc_cap; s++) ASSERT_EQ(ix->docs[s].id, nullptr);
    for (const std::string &id : batch) {
      if (id[0] == 'n') {
        ASSERT_EQ(sdb_id_map_find(ix.get(), id.c_str()), SDB_NO_SLOT) << id;
      }
    }
    // The map still takes new ids after positions were shifted back.
    ASSERT_EQ(Add(ix.get(), "new0", "{}"), static_cast<uint32_t>(stored));
    ASSERT_EQ(sdb_id_map_find(ix.get(), "new0"), static_cast<uint32_t>(stored));
  }
}

}  // namespace
