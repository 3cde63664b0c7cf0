#include "documents/documents.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "documents/canonical.h"
#include "frame/frame.h"
#include "frame/holders.h"
#include "frame/registry.h"
#include "index/index.h"
#include "index/inverted.h"
#include "searchdb.h"
#include "storage/persist.h"

namespace {

// A batch held apart from the index until every document of it is valid:
// parallel arrays of canonical texts and id copies.
struct staging {
  char **texts;
  uint64_t *lens;
  char **ids;
  size_t count;
  size_t cap;
};

void staging_free(staging *s) {
  for (size_t i = 0; i < s->count; i++) {
    free(s->texts[i]);
    free(s->ids[i]);
  }
  free(s->texts);
  free(s->lens);
  free(s->ids);
  *s = staging{};
}

// Makes room for one more entry: 64 entries first, then doubling.
bool staging_reserve(staging *s) {
  if (s->count < s->cap) return true;
  size_t cap = s->cap ? s->cap * 2 : 64;
  char **texts = static_cast<char **>(realloc(s->texts, cap * sizeof *texts));
  if (texts) s->texts = texts;
  uint64_t *lens = static_cast<uint64_t *>(realloc(s->lens, cap * sizeof *lens));
  if (lens) s->lens = lens;
  char **ids = static_cast<char **>(realloc(s->ids, cap * sizeof *ids));
  if (ids) s->ids = ids;
  if (!texts || !lens || !ids) return false;
  s->cap = cap;
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
      sdb_error("document missing primary key '%s'", primary_key);
      return false;
    case SDB_ID_HAS_NUL:
      sdb_error("document id contains a NUL byte");
      return false;
  }
  if (!staging_reserve(s)) {
    sdb_error("oom: documents_add");
    return false;
  }
  uint64_t len = 0;
  char *text = sdb_val_to_json(doc, &len);
  char *id_copy = strdup(id);
  if (!text || !id_copy) {
    free(text);
    free(id_copy);
    sdb_error("oom: documents_add");
    return false;
  }
  s->texts[s->count] = text;
  s->lens[s->count] = len;
  s->ids[s->count] = id_copy;
  s->count++;
  return true;
}

// Stages the root object, or every element of the root array. Returns false
// with the message set; nothing of the batch is in the index then.
bool stage_batch(staging *s, yyjson_val *root, const char *primary_key) {
  if (yyjson_is_obj(root)) return stage_document(s, root, primary_key);
  if (!yyjson_is_arr(root)) {
    sdb_error("documents_json must be an object or array of objects");
    return false;
  }
  size_t idx, max;
  yyjson_val *doc;
  yyjson_arr_foreach(root, idx, max, doc) {
    if (!stage_document(s, doc, primary_key)) return false;
  }
  return true;
}

// Builds the new term table, saves the documents and only then installs the
// table. Returns false, with the index keeping its previous table, when
// memory ran out or "docs.json" could not be written (the message is the
// failing step's).
bool rebuild_and_save(sdb_index *ix) {
  sdb_rebuild next;
  if (!sdb_rebuild_prepare(ix, &next)) return false;
  if (sdb_index_persist(ix) < 0) {
    sdb_rebuild_discard(&next);
    return false;
  }
  sdb_rebuild_install(ix, &next);
  return true;
}

// Adds the staged documents. When an add or the save fails, every add is
// taken back, so memory stays what the disk holds. Returns the count or -1.
int commit_batch(sdb_index *ix, staging *s) {
  sdb_doc_undo *undo = static_cast<sdb_doc_undo *>(calloc(s->count ? s->count : 1, sizeof *undo));
  if (!undo) {
    sdb_error("oom: documents_add");
    return -1;
  }
  // Each staged text is released as soon as the index holds its copy, so a
  // large batch is not held twice through the rebuild and the save.
  size_t added = 0;
  while (added < s->count && sdb_index_add_raw_doc(ix, s->ids[added], s->texts[added],
                                                   s->lens[added], &undo[added]) != SDB_NO_SLOT) {
    free(s->texts[added]);
    s->texts[added] = nullptr;
    added++;
  }
  bool ok = added == s->count && rebuild_and_save(ix);
  for (size_t i = added; i-- > 0;) {
    if (ok) {
      sdb_doc_undo_release(&undo[i]);
    } else {
      sdb_index_undo_add(ix, &undo[i]);
    }
  }
  free(undo);
  // A failed batch never installed its table: the old one still fits.
  if (!ok) return -1;
  return static_cast<int>(s->count);
}

// The slot of doc_id in the named index, or SDB_NO_SLOT with the message set.
uint32_t find_document(const char *index_name, const char *doc_id, sdb_index **ix) {
  *ix = sdb_index_lookup(index_name);
  if (!*ix) return SDB_NO_SLOT;
  if (!doc_id) {
    sdb_error("doc_id NULL");
    return SDB_NO_SLOT;
  }
  uint32_t slot = sdb_id_map_find(*ix, doc_id);
  if (slot == SDB_NO_SLOT) sdb_error("document '%s' not found", doc_id);
  return slot;
}

using staging_ptr = std::unique_ptr<staging, decltype(&staging_free)>;

}  // namespace

extern "C" {

SEARCHDB_API int searchdb_documents_add(const char *index_name, const char *documents_json) {
  sdb_index *ix = sdb_index_lookup(index_name);
  if (!ix) return -1;
  if (!documents_json) {
    sdb_error("documents_json NULL");
    return -1;
  }
  sdb_doc_ptr parsed(yyjson_read_opts(const_cast<char *>(documents_json), strlen(documents_json), 0,
                                      nullptr, nullptr));
  if (!parsed) {
    sdb_error("invalid JSON in documents_add");
    return -1;
  }
  yyjson_val *root = yyjson_doc_get_root(parsed.get());
  if (!root) {
    sdb_error("empty JSON in documents_add");
    return -1;
  }
  staging batch{};
  staging_ptr holder(&batch, staging_free);
  if (!stage_batch(&batch, root, ix->primary_key)) return -1;
  parsed.reset();  // the batch is held twice no longer than needed
  return commit_batch(ix, &batch);
}

SEARCHDB_API const char *searchdb_document_get(const char *index_name, const char *doc_id) {
  sdb_index *ix = nullptr;
  uint32_t slot = find_document(index_name, doc_id, &ix);
  if (slot == SDB_NO_SLOT) return nullptr;
  const sdb_doc *d = &ix->docs[slot];
  if (!d->alive) {
    sdb_error("document '%s' deleted", doc_id);
    return nullptr;
  }
  return sdb_result_set(d->raw, d->raw_len);
}

SEARCHDB_API int searchdb_document_delete(const char *index_name, const char *doc_id) {
  sdb_index *ix = nullptr;
  uint32_t slot = find_document(index_name, doc_id, &ix);
  if (slot == SDB_NO_SLOT) return -1;
  // The slot's contents are kept until the save stands, so a failed save
  // can put the document back.
  sdb_doc before = ix->docs[slot];
  ix->docs[slot] = sdb_doc{};
  if (!rebuild_and_save(ix)) {
    ix->docs[slot] = before;
    return -1;
  }
  free(before.id);
  free(before.raw);
  return 0;
}

}  // extern "C"
