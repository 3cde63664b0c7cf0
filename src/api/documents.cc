// Adding, fetching and deleting documents.
//
// A change of documents runs in this order, so that a failure anywhere
// leaves the index answering as before it: the batch is checked and staged
// whole (each document's canonical text written straight into its entry);
// the document table takes it, keeping what it replaced; the dictionary
// and the kept field columns prepare the change beside themselves (build.h,
// columns.h); "docs.json" and "meta.json" are saved; only then do they take
// the change and the replaced entries go. A failed preparation or save takes the table back.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/frame.h"
#include "api/registry.h"
#include "base/array.h"
#include "base/holders.h"
#include "base/memory.h"
#include "index/build.h"
#include "index/canonical.h"
#include "index/columns.h"
#include "index/doc_id.h"
#include "index/entry.h"
#include "index/index.h"
#include "searchdb.h"
#include "storage/column_file.h"
#include "storage/derived.h"
#include "storage/persist.h"

namespace {

// One document of a batch, held apart from the index until every document
// of the batch is valid.
struct staged_doc {
  char *id;            // owned
  uint64_t entry_off;  // in the batch's entry bytes
  uint64_t entry_len;
  uint32_t raw_off;
  uint64_t raw_len;
};

struct staging {
  staged_doc *docs;
  size_t count;
  size_t cap;
  char *entries;  // every document's entry and comma, in batch order
  uint64_t entries_len;
  uint64_t entries_cap;
  char *text;  // the canonical text being written, reused
  uint64_t text_len;
  uint64_t text_cap;
};

void staging_free(staging *s) {
  for (size_t i = 0; i < s->count; i++) free(s->docs[i].id);
  free(s->docs);
  free(s->entries);
  free(s->text);
  *s = staging{};
}

bool staging_reserve(staging *s, uint64_t entry_size) {
  const uint64_t had = s->entries_cap;
  if (!sdb_reserve(&s->docs, &s->cap, s->count + 1) ||
      !sdb_reserve(&s->entries, &s->entries_cap, s->entries_len + entry_size, 4096))
    return false;
  if (s->entries_cap != had) sdb_advise_huge(s->entries, s->entries_cap);
  return true;
}

// Stages one document. Returns false with the message set.
bool stage_document(staging *s, yyjson_val *doc, const char *primary_key) {
  char number_buf[SDB_NUMBER_ID_SIZE];
  const char *id = nullptr;
  switch (sdb_doc_id_of(doc, primary_key, number_buf, &id)) {
    case SDB_ID_OK:
      break;
    case SDB_ID_MISSING:
      sdb_error(SEARCHDB_INVALID, "document missing primary key '%s'", primary_key);
      return false;
    case SDB_ID_HAS_NUL:
      sdb_error(SEARCHDB_INVALID, "document id contains a NUL byte");
      return false;
  }
  s->text_len = 0;
  const size_t id_len = strlen(id);
  char *id_copy = static_cast<char *>(malloc(id_len + 1));
  if (id_copy == nullptr || !sdb_json_emit(doc, &s->text, &s->text_len, &s->text_cap)) {
    free(id_copy);
    sdb_error(SEARCHDB_NOMEM, "oom: documents_add");
    return false;
  }
  memcpy(id_copy, id, id_len + 1);
  if (s->text_len > SDB_DOC_TEXT_MAX) {
    // It could be stored, but never fetched nor found.
    free(id_copy);
    sdb_error(SEARCHDB_TOOBIG, "document '%s' is %llu bytes, over the limit of %llu", id,
              static_cast<unsigned long long>(s->text_len),
              static_cast<unsigned long long>(SDB_DOC_TEXT_MAX));
    return false;
  }
  const uint64_t size = sdb_entry_size(id, id_len, s->text, s->text_len);
  if (!staging_reserve(s, size)) {
    free(id_copy);
    sdb_error(SEARCHDB_NOMEM, "oom: documents_add");
    return false;
  }
  const uint32_t raw_off =
      sdb_entry_write(s->entries + s->entries_len, id, id_len, s->text, s->text_len);
  s->docs[s->count++] = staged_doc{id_copy, s->entries_len, size - 1, raw_off, s->text_len};
  s->entries_len += size;
  return true;
}

// Room for the entries of a batch given as json_len bytes of JSON: they are
// about as long as the JSON itself, with every quotation mark inside escaped.
// The guess is generous, since room never written costs address space only,
// while a block that must move to grow is copied whole.
bool reserve_batch(staging *s, uint64_t json_len) {
  const uint64_t guess = json_len + json_len / 2 + 4096;
  auto *entries = static_cast<char *>(malloc(guess));
  if (entries == nullptr) return false;
  sdb_advise_huge(entries, guess);
  s->entries = entries;
  s->entries_cap = guess;
  return true;
}

// Stages the root object, or every element of the root array. Returns false
// with the message set; nothing of the batch is in the index then.
bool stage_batch(staging *s, yyjson_val *root, const char *primary_key) {
  if (yyjson_is_obj(root)) return stage_document(s, root, primary_key);
  if (!yyjson_is_arr(root)) {
    sdb_error(SEARCHDB_INVALID, "documents_json must be an object or array of objects");
    return false;
  }
  size_t idx, max;
  yyjson_val *doc;
  yyjson_arr_foreach(root, idx, max, doc) {
    if (!stage_document(s, doc, primary_key)) return false;
  }
  return true;
}

// The changes of the document table, made and kept so they can be taken
// back: one undo record per put or kill, in order.
struct table_change {
  sdb_doc_undo *undos;
  size_t count;
};

void take_back(sdb_index *ix, table_change *c) {
  for (size_t i = c->count; i-- > 0;) sdb_index_undo(ix, &c->undos[i]);
  c->count = 0;
}

// The slots a change touched, once each in ascending order, with how each
// was before its first change.
sdb_slot_change *touched_slots(const table_change *c, uint32_t *count) {
  auto *order = static_cast<size_t *>(malloc((c->count ? c->count : 1) * sizeof(size_t)));
  auto *slots =
      static_cast<sdb_slot_change *>(malloc((c->count ? c->count : 1) * sizeof(sdb_slot_change)));
  if (order == nullptr || slots == nullptr) {
    free(order);
    free(slots);
    return nullptr;
  }
  for (size_t i = 0; i < c->count; i++) order[i] = i;
  std::stable_sort(order, order + c->count,
                   [c](size_t a, size_t b) { return c->undos[a].slot < c->undos[b].slot; });
  uint32_t n = 0;
  for (size_t k = 0; k < c->count; k++) {
    const sdb_doc_undo &u = c->undos[order[k]];
    if (n > 0 && slots[n - 1].slot == u.slot) continue;
    slots[n++] = sdb_slot_change{u.slot, u.before};
  }
  free(order);
  *count = n;
  return slots;
}

// Brings the dictionary in step with a change of the document table and
// saves the index. True when the change stands and is reported as done. A
// change whose documents file was not replaced is taken back; one whose file
// was replaced stands, but when its directory could not be flushed that is
// reported as a failure. The message says why.
bool save_change(sdb_index *ix, table_change *c) {
  uint32_t count = 0;
  sdb_slot_change *slots = touched_slots(c, &count);
  sdb_update update{};
  if (slots == nullptr) {
    sdb_error(SEARCHDB_NOMEM, "oom: rebuild");
    take_back(ix, c);
    return false;
  }
  const bool prepared = sdb_update_prepare(ix, slots, count, &update);
  sdb_columns_change columns{};
  if (prepared) columns = sdb_columns_prepare(ix, slots, count);
  const sdb_save_result saved = prepared ? sdb_index_persist(ix, slots, count) : SDB_NOT_SAVED;
  free(slots);
  if (saved == SDB_NOT_SAVED) {
    sdb_columns_discard(&columns);
    sdb_update_discard(ix, &update);
    take_back(ix, c);
    return false;
  }
  sdb_update_commit(ix, &update);
  sdb_columns_commit(ix, &columns);
  sdb_column_file_follow(ix);
  for (size_t i = 0; i < c->count; i++) sdb_index_settle(ix, &c->undos[i]);
  sdb_index_compact_entries(ix);
  return saved != SDB_SAVED_UNSYNCED;
}

// Adds the staged documents to ix, whose dictionary is built. Returns the
// count or -1.
int commit_batch(sdb_index *ix, staging *s) {
  const size_t n = s->count;
  table_change change{static_cast<sdb_doc_undo *>(malloc((n ? n : 1) * sizeof(sdb_doc_undo))), 0};
  std::unique_ptr<sdb_doc_undo, decltype(&free)> hold_undos(change.undos, free);
  uint32_t block = SDB_NO_SLOT;
  if (change.undos == nullptr ||
      (n > 0 && (block = sdb_block_add(ix, s->entries, s->entries_len)) == SDB_NO_SLOT)) {
    sdb_error(SEARCHDB_NOMEM, "oom: documents_add");
    return -1;
  }
  if (n > 0) s->entries = nullptr;  // the index owns them now
  const char *entries = n > 0 ? ix->blocks[block].bytes : nullptr;
  for (size_t i = 0; i < n; i++) {
    const staged_doc &d = s->docs[i];
    if (sdb_index_put(ix, d.id, entries + d.entry_off, d.entry_len, d.raw_off, d.raw_len, block,
                      &change.undos[i]) == SDB_NO_SLOT) {
      take_back(ix, &change);
      sdb_block_drop_unused(ix, block);
      return -1;
    }
    change.count++;
  }
  const bool stands = save_change(ix, &change);
  // Unused when the change was taken back, or every document of it was
  // replaced within the batch.
  if (n > 0) sdb_block_drop_unused(ix, block);
  return stands ? static_cast<int>(n) : -1;
}

// The slot of doc_id in ix, or SDB_NO_SLOT with the message set.
uint32_t find_slot(const sdb_index *ix, const char *doc_id) {
  if (!doc_id) {
    sdb_error(SEARCHDB_INVALID, "doc_id NULL");
    return SDB_NO_SLOT;
  }
  uint32_t slot = sdb_id_map_find(ix, doc_id);
  if (slot == SDB_NO_SLOT) sdb_error(SEARCHDB_NOTFOUND, "document '%s' not found", doc_id);
  return slot;
}

using staging_ptr = std::unique_ptr<staging, decltype(&staging_free)>;

// Adds one object or an array of them to ix, the lock held. Returns the
// count or -1.
int add_documents(sdb_index *ix, const char *documents_json) {
  if (!documents_json) {
    sdb_error(SEARCHDB_INVALID, "documents_json NULL");
    return -1;
  }
  const size_t json_len = strlen(documents_json);
  yyjson_read_err err;
  sdb_doc_ptr parsed(yyjson_read_opts(const_cast<char *>(documents_json), json_len, 0,
                                      sdb_json_allocator(), &err));
  if (!parsed) {
    if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
      sdb_error(SEARCHDB_NOMEM, "oom: documents_add");
    } else {
      sdb_error(SEARCHDB_INVALID, "invalid JSON in documents_add");
    }
    return -1;
  }
  yyjson_val *root = yyjson_doc_get_root(parsed.get());
  if (!root) {
    sdb_error(SEARCHDB_INVALID, "empty JSON in documents_add");
    return -1;
  }
  staging batch{};
  staging_ptr holder(&batch, staging_free);
  if (!reserve_batch(&batch, json_len)) {
    sdb_error(SEARCHDB_NOMEM, "oom: documents_add");
    return -1;
  }
  if (!stage_batch(&batch, root, ix->primary_key)) return -1;
  // The batch is held twice no longer than needed.
  parsed.reset();
  free(batch.text);
  batch.text = nullptr;
  batch.text_cap = 0;
  if (!sdb_index_ready(ix, false)) return -1;
  sdb_column_file_carry(ix);
  return commit_batch(ix, &batch);
}

}  // namespace

extern "C" {

SEARCHDB_API int searchdb_documents_add(const char *index_name, const char *documents_json) {
  sdb_index *ix = sdb_index_lookup_for_change(index_name);
  if (!ix) return -1;
  const int rc = add_documents(ix, documents_json);
  sdb_index_change_end();
  return rc;
}

SEARCHDB_API const char *searchdb_document_get(const char *index_name, const char *doc_id) {
  const sdb_index *ix = sdb_index_lookup(index_name);
  if (!ix) return nullptr;
  const uint32_t slot = find_slot(ix, doc_id);
  if (slot == SDB_NO_SLOT) return nullptr;
  const sdb_doc *d = &ix->docs[slot];
  if (!d->alive) {
    sdb_error(SEARCHDB_NOTFOUND, "document '%s' deleted", doc_id);
    return nullptr;
  }
  if (d->raw_len >= SDB_RESULT_SIZE) {
    sdb_error(SEARCHDB_TOOBIG, "result too large");
    return nullptr;
  }
  sdb_entry_decode(d->entry, d->entry_len, d->raw_off, s_result, sizeof s_result);
  return s_result;
}

SEARCHDB_API int searchdb_document_delete(const char *index_name, const char *doc_id) {
  sdb_index *ix = sdb_index_lookup_for_change(index_name);
  if (!ix) return -1;
  const uint32_t slot = find_slot(ix, doc_id);
  int rc = -1;
  if (slot != SDB_NO_SLOT && sdb_index_ready(ix, false)) {
    sdb_column_file_carry(ix);
    sdb_doc_undo undo;
    table_change change{&undo, 1};
    sdb_index_kill(ix, slot, &undo);
    rc = save_change(ix, &change) ? 0 : -1;
  }
  sdb_index_change_end();
  return rc;
}

}  // extern "C"
