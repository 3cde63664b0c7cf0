// The index record: document table, id map, entry blocks and the undo of a
// change.
#include "index/index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
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

// Builds a batch of adds over an index holding live, dead and new ids, then
// takes it back: the index must be exactly as before.
TEST(IndexRecord, UndoingABatchRestoresEverySlotAndId) {
  auto ix = NewIndex();
  for (int i = 0; i < 170; i++)
    Add(ix.get(), "old" + std::to_string(i), "{\"old\":" + std::to_string(i) + "}");
  Kill(ix.get(), 5);
  ix->docs[7].token_count = 42;
  const uint64_t live_bytes = ix->live_bytes;

  std::vector<std::string> batch = {"old7", "new0", "old5", "new1", "old7"};
  for (int i = 0; i < 30; i++)
    batch.push_back("more" + std::to_string(i));  // crosses the map's growth
  std::vector<sdb_doc_undo> undo(batch.size());
  for (size_t i = 0; i < batch.size(); i++)
    ASSERT_NE(Add(ix.get(), batch[i], "{\"new\":true}", &undo[i]), SDB_NO_SLOT);
  EXPECT_EQ(ix->id_cap, 512u);
  for (size_t i = batch.size(); i-- > 0;) sdb_index_undo(ix.get(), &undo[i]);

  EXPECT_EQ(ix->doc_count, 170u);
  EXPECT_EQ(ix->id_count, 170u);
  EXPECT_EQ(ix->docs[5].alive, 0u);
  EXPECT_EQ(ix->docs[5].entry, nullptr);
  EXPECT_EQ(Text(ix->docs[7]), "{\"old\":7}");
  EXPECT_EQ(ix->live_bytes, live_bytes);
  EXPECT_EQ(ix->docs[7].token_count, 42u);
  for (uint32_t s = 170; s < ix->doc_cap; s++) EXPECT_EQ(ix->docs[s].id, nullptr);
  for (int i = 0; i < 170; i++)
    EXPECT_EQ(sdb_id_map_find(ix.get(), ("old" + std::to_string(i)).c_str()), uint32_t(i));
  EXPECT_EQ(sdb_id_map_find(ix.get(), "new0"), SDB_NO_SLOT);
  EXPECT_EQ(sdb_id_map_find(ix.get(), "more29"), SDB_NO_SLOT);
  // The map still takes new ids after keys were shifted back.
  EXPECT_EQ(Add(ix.get(), "new0", "{}"), 170u);
  EXPECT_EQ(sdb_id_map_find(ix.get(), "new0"), 170u);
}

}  // namespace
