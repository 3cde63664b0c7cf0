// The index record: document table, id map, entry blocks and the undo of a
// change.
#include "index/index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
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

TEST(IndexRecord, NewIndexHasItsStartingSizes) {
  auto ix = NewIndex();
  EXPECT_STREQ(ix->primary_key, "id");
  EXPECT_EQ(ix->terms.bucket_count, 1024u);
  EXPECT_EQ(ix->doc_cap, 64u);
  EXPECT_EQ(ix->id_cap, 256u);
  std::string long_name(300, 'n'), long_key(200, 'k');
  index_ptr cut(sdb_index_new(long_name.c_str(), long_key.c_str()), sdb_index_free);
  EXPECT_EQ(strlen(cut->name), 255u);
  EXPECT_EQ(strlen(cut->primary_key), 127u);
  sdb_index_free(nullptr);
}

TEST(IndexRecord, IdMapDoublesAtThe180thIdAndKeepsEverySlot) {
  auto ix = NewIndex();
  for (int i = 0; i < 179; i++) ASSERT_EQ(Add(ix.get(), std::to_string(i), "{}"), uint32_t(i));
  EXPECT_EQ(ix->id_cap, 256u);
  Add(ix.get(), "179", "{}");
  EXPECT_EQ(ix->id_cap, 512u);
  for (int i = 180; i < 1434; i++) Add(ix.get(), std::to_string(i), "{}");
  EXPECT_EQ(ix->id_cap, 4096u);
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
    ASSERT_EQ(ix->id_count, static_cast<uint32_t>(stored));
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
