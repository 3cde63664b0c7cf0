// An index held in memory only, changed the way the document operations
// change one (puts and kills of the document table, then the dictionary
// brought in step), without saving anything.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "index/build.h"
#include "index/entry.h"
#include "index/index.h"

// Puts a document into ix with its entry in a block of its own, keeping
// what the put replaced in undo. Returns the slot or SDB_NO_SLOT.
inline uint32_t PutDocument(sdb_index *ix, const std::string &id, const std::string &raw,
                            sdb_doc_undo *undo) {
  const uint64_t size = sdb_entry_size(id.data(), id.size(), raw.data(), raw.size());
  auto *bytes = static_cast<char *>(malloc(size));
  const uint32_t raw_off = sdb_entry_write(bytes, id.data(), id.size(), raw.data(), raw.size());
  const uint32_t block = sdb_block_add(ix, bytes, size);
  const uint32_t slot =
      sdb_index_put(ix, id.c_str(), bytes, size - 1, raw_off, raw.size(), block, undo);
  if (slot == SDB_NO_SLOT) sdb_block_drop_unused(ix, block);
  return slot;
}

// A slot's stored text.
inline std::string StoredText(const sdb_doc &d) {
  std::string out(d.raw_len + 1, '\0');
  out.resize(sdb_entry_decode(d.entry, d.entry_len, d.raw_off, out.data(), out.size()));
  return out;
}

class MemoryIndex {
 public:
  explicit MemoryIndex(const char *primary_key = nullptr) : ix_(sdb_index_new("m", primary_key)) {}
  ~MemoryIndex() { sdb_index_free(ix_); }
  MemoryIndex(const MemoryIndex &) = delete;
  MemoryIndex &operator=(const MemoryIndex &) = delete;

  sdb_index *get() const { return ix_; }
  sdb_index *operator->() const { return ix_; }

  // Puts a document (its entry in a block of its own); the dictionary
  // follows at the next Apply.
  uint32_t Put(const std::string &id, const std::string &raw) {
    undos_.emplace_back();
    const uint32_t slot = PutDocument(ix_, id, raw, &undos_.back());
    if (slot == SDB_NO_SLOT) undos_.pop_back();
    return slot;
  }

  void Kill(uint32_t slot) {
    undos_.emplace_back();
    sdb_index_kill(ix_, slot, &undos_.back());
  }

  // Brings the dictionary in step with the puts and kills since the last
  // Apply, as a saved change does.
  bool Apply() {
    std::vector<sdb_slot_change> changes;
    for (const sdb_doc_undo &u : undos_) {
      if (!changes.empty() && changes.back().slot == u.slot) continue;
      bool seen = false;
      for (const sdb_slot_change &c : changes) seen |= c.slot == u.slot;
      if (!seen) changes.push_back({u.slot, u.before});
    }
    std::sort(changes.begin(), changes.end(),
              [](const sdb_slot_change &a, const sdb_slot_change &b) { return a.slot < b.slot; });
    sdb_update update{};
    if (!sdb_update_prepare(ix_, changes.data(), static_cast<uint32_t>(changes.size()), &update)) {
      for (size_t i = undos_.size(); i-- > 0;) sdb_index_undo(ix_, &undos_[i]);
      undos_.clear();
      return false;
    }
    sdb_update_commit(ix_, &update);
    for (const sdb_doc_undo &u : undos_) sdb_index_settle(ix_, &u);
    undos_.clear();
    return true;
  }

  // Builds the dictionary from scratch, as the first use after a load does.
  bool Load() {
    ix_->built = false;
    sdb_terms_free(&ix_->terms);
    ix_->terms.bucket_count = ix_->terms.start_buckets = SDB_FIRST_BUCKETS;
    return sdb_index_ensure_built(ix_);
  }

  const sdb_term *Find(const std::string &word) const {
    const uint32_t id =
        sdb_terms_find(&ix_->terms, word.data(), static_cast<uint32_t>(word.size()));
    return id == SDB_NO_TERM ? nullptr : &ix_->terms.terms[id];
  }

 private:
  sdb_index *ix_;
  std::vector<sdb_doc_undo> undos_;
};
