// The storage directory and its files.
//
// Layout, below the storage directory given to searchdb_init:
//
//   _indexes/list.json    the index list
//   <name>/meta.json      one index's settings
//   <name>/docs.json      one index's live documents
//   any of them + ".tmp"  a replacement in progress (see files.cc); ignored
//
// <name> is the index name used unchanged as a relative path, so "shop/books"
// lives in shop/books/. Every directory is formed "%s/%s" from the storage
// directory into the shared scratch s_path, and each file path from it at
// once into a buffer of the caller's.
//
// list.json: a JSON array of the index names, as strings, in registry order.
//   Written compactly by yyjson (no white space, no final newline; quotation
//   mark, backslash and bytes below 0x20 escaped, everything else as is).
//
// meta.json: exactly {"name":"<name>","primary_key":"<key>"}, both strings
//   escaped by the canonical writer's rule, no white space, no final newline.
//   Only "primary_key" is read back; a name always comes from the list.
//
// docs.json: a JSON array with one object per live document, in slot order:
//   {"__id":"<id>","raw":"<canonical text>"}. The document is JSON text
//   inside a JSON string. Slot numbers are not stored: after a load the
//   documents take consecutive slots in array order. Written exactly as
//   yyjson would write it (like list.json), but from the entries the index
//   keeps (entries.h): each document's object in the bytes it has in the
//   file, so a save is a concatenation, and a load keeps what it read.
//
// A writer has the whole file before it replaces the old one, so a stored
// file never loses an index or a document because memory ran out half-way.
//
// The loader trusts nothing it reads:
//  - list.json missing or an empty array: no index loads; list elements
//    that are not strings are passed over.
//  - list.json or docs.json that exists but does not parse, or whose root
//    is not an array, is renamed to list.json.corrupt / docs.json.corrupt
//    (replacing an older one) before anything can write over it, and a
//    message names the kept file; loading goes on as if it were missing.
//  - a listed name that index creation would refuse (an empty, "." or ".."
//    component, more than 255 bytes) is passed over before anything is
//    created for it, so nothing outside the storage directory is touched.
//    A name listed twice loads twice.
//  - a name, key, id or text holding a NUL byte (never written here: they
//    are C strings in memory) counts as not a string.
//  - meta.json missing or unreadable: the index is not loaded (its
//    directory is created all the same). Unparsable, not an object, or no
//    string "primary_key": the key is "id". A longer key is cut to at most
//    127 bytes, between characters.
//  - docs.json missing (or kept as damaged): the index has no
//    documents. An entry that is not an object with string members "__id"
//    and "raw" (the first of each) is passed over; a later entry with the
//    same id replaces the earlier one's text in its slot. Texts are taken
//    as stored, without parsing them again: a text that does not parse is
//    fetched as it is and gives no tokens. The index's dictionary is built
//    when it is first needed (build.h).
//  - when memory runs out, whether reading, parsing, creating, filling,
//    indexing or registering, loading stops and reports it: an index left
//    out would be dropped from the stored list by the next change, so the
//    start is refused instead (searchdb_init returns -1).
#include "storage/persist.h"

#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "documents/canonical.h"
#include "frame/frame.h"
#include "frame/holders.h"
#include "frame/registry.h"
#include "index/index.h"
#include "storage/entries.h"
#include "storage/files.h"

namespace {

const char kListDir[] = "_indexes";

// Formats "<dir>/<file>" into out.
void file_path(char (&out)[SDB_FILE_PATH_SIZE], const char *dir, const char *file) {
  snprintf(out, sizeof out, "%s/%s", dir, file);
}

// ---- writers ----

// Writes doc compactly and replaces path with the text. Returns 0 or -1.
int write_mut_doc(yyjson_mut_doc *doc, const char *path) {
  size_t len = 0;
  sdb_text_ptr text(yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr));
  if (!text) {
    sdb_error("yyjson: write failed");
    return -1;
  }
  return sdb_write_file_atomic(path, text.get(), len);
}

// Builds the array of index names. False when an element could not be
// added: a list without it would drop that index at the next load.
bool build_index_list(yyjson_mut_doc *doc) {
  yyjson_mut_val *arr = yyjson_mut_arr(doc);
  if (!arr) return false;
  yyjson_mut_doc_set_root(doc, arr);
  for (uint32_t i = 0; i < s_index_count; i++) {
    if (!yyjson_mut_arr_add_str(doc, arr, s_indexes[i]->name)) return false;
  }
  return true;
}

// Writes "docs.json" of ix: its live entries in slot order, between
// brackets and separated by commas. Entries that lie one after another in
// memory, each followed by its comma, go out as one piece. Returns 0, -1, or
// 1 when only the directory flush after the rename failed.
int save_documents(const sdb_index *ix, const char *path) {
  sdb_replace r;
  if (sdb_replace_begin(&r, path) != 0) return -1;
  struct iovec pieces[SDB_REPLACE_MAX_PIECES];
  int count = 0;
  auto put = [&](const char *bytes, size_t n) {
    if (count == SDB_REPLACE_MAX_PIECES) {
      sdb_replace_write(&r, pieces, count);
      count = 0;
    }
    pieces[count++] = iovec{const_cast<char *>(bytes), n};
  };
  put("[", 1);
  const char *run = nullptr, *run_end = nullptr;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const sdb_doc *d = &ix->docs[slot];
    if (!d->alive) continue;
    if (run != nullptr && run_end + 1 == d->entry && *run_end == ',') {
      run_end = d->entry + d->entry_len;
      continue;
    }
    if (run != nullptr) {
      put(run, static_cast<size_t>(run_end - run));
      put(",", 1);
    }
    run = d->entry;
    run_end = d->entry + d->entry_len;
  }
  if (run != nullptr) put(run, static_cast<size_t>(run_end - run));
  put("]", 1);
  sdb_replace_write(&r, pieces, count);
  return sdb_replace_commit(&r);
}

// Longest settings text: every byte of the name and key escaped to six.
constexpr size_t kSettingsMax = sizeof "{\"name\":,\"primary_key\":}" +
                                6 * (sizeof(sdb_index::name) - 1) + 2 +
                                6 * (sizeof(sdb_index::primary_key) - 1) + 2;

// Replaces "meta.json" of ix. Returns 0 or -1 with the message set.
int save_settings(const sdb_index *ix, const char *path) {
  // Both strings quoted and escaped, one after the other in one buffer.
  char *quoted = nullptr;
  uint64_t len = 0, cap = 0;
  bool ok = sdb_json_emit_string(ix->name, strlen(ix->name), &quoted, &len, &cap);
  uint64_t name_len = len;
  ok = ok && sdb_json_emit_string(ix->primary_key, strlen(ix->primary_key), &quoted, &len, &cap);
  sdb_text_ptr hold(quoted);
  if (!ok) {
    sdb_error("oom: meta.json");
    return -1;
  }
  char text[kSettingsMax];
  int n = snprintf(text, sizeof text, "{\"name\":%.*s,\"primary_key\":%.*s}",
                   static_cast<int>(name_len), quoted, static_cast<int>(len - name_len),
                   quoted + name_len);
  return sdb_write_file_atomic(path, text, static_cast<uint64_t>(n));
}

// ---- loader ----

// The text of a string value, or nullptr when v is not a string or holds a
// NUL byte: names, ids and texts are C strings in memory, so such a value
// was never written by this library and would be read as another one.
const char *c_string(yyjson_val *v) {
  if (!yyjson_is_str(v)) return nullptr;
  const char *s = yyjson_get_str(v);
  return strlen(s) == yyjson_get_len(v) ? s : nullptr;
}

// What reading one stored file gave.
enum load_status {
  LOAD_OK,
  LOAD_MISSING,    // not there, or not readable for a reason other than memory
  LOAD_DAMAGED,    // there, but not strict JSON
  LOAD_NO_MEMORY,  // reading or parsing ran out of memory; the message is set
};

// Reads the file at path whole. A file that cannot be opened counts as
// missing, unless the reason was memory.
load_status read_text(const char *path, sdb_text_ptr *text, uint64_t *len) {
  char *raw;
  errno = 0;
  if (sdb_read_file(path, &raw, len) != 0) {
    if (errno != ENOMEM) return LOAD_MISSING;
    sdb_error("oom: read %s", path);
    return LOAD_NO_MEMORY;
  }
  text->reset(raw);
  return LOAD_OK;
}

// Parses a whole JSON text strictly.
load_status parse_json(char *text, uint64_t len, const char *path, sdb_doc_ptr *doc) {
  yyjson_read_err err;
  doc->reset(yyjson_read_opts(text, len, 0, nullptr, &err));
  if (*doc) return LOAD_OK;
  if (err.code != YYJSON_READ_ERROR_MEMORY_ALLOCATION) return LOAD_DAMAGED;
  sdb_error("oom: parse %s", path);
  return LOAD_NO_MEMORY;
}

// Reads and parses the file at path, which should hold a JSON array. A file
// that does not parse or holds something else is damaged.
load_status read_json_array(const char *path, sdb_doc_ptr *doc) {
  sdb_text_ptr text;
  uint64_t len;
  load_status st = read_text(path, &text, &len);
  if (st != LOAD_OK) return st;
  st = parse_json(text.get(), len, path, doc);
  if (st == LOAD_OK && !yyjson_is_arr(yyjson_doc_get_root(doc->get()))) st = LOAD_DAMAGED;
  if (st == LOAD_DAMAGED) doc->reset();
  return st;
}

// Renames a damaged file to "<path>.corrupt" so that no save writes over
// what might still be recovered from it, and says so in the last-error text.
void keep_damaged(const char *path, const char *owner) {
  char kept[SDB_FILE_PATH_SIZE + 8];
  snprintf(kept, sizeof kept, "%s.corrupt", path);
  if (sdb_rename(path, kept) != 0) return;  // the rename left its own message
  sdb_error("%s: %s did not hold a JSON array; kept as %s", owner, path, kept);
}

// The primary key a settings file names, or "id"; cut to fit key. Returns
// LOAD_MISSING when there is no settings file.
load_status settings_primary_key(const char *path, char (&key)[sizeof(sdb_index::primary_key)]) {
  sdb_text_ptr text;
  uint64_t len;
  load_status st = read_text(path, &text, &len);
  if (st != LOAD_OK) return st;
  snprintf(key, sizeof key, "id");
  sdb_doc_ptr doc;
  if (parse_json(text.get(), len, path, &doc) == LOAD_NO_MEMORY) return LOAD_NO_MEMORY;
  yyjson_val *value = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "primary_key");
  if (const char *s = c_string(value)) sdb_copy_field(key, sizeof key, s);
  return LOAD_OK;
}

// The id of a stored document as a new heap text, or nullptr.
char *stored_id(const sdb_stored_doc &doc) {
  uint64_t len;
  return sdb_decode_string(doc.id, doc.id_len, &len);
}

// Puts one stored document into ix. A document the file holds in another
// form than the one the writer makes gets an entry of its own. False when
// memory ran out ("oom: docs").
bool put_stored_document(sdb_index *ix, const sdb_stored_doc &doc, uint32_t file_block) {
  sdb_text_ptr id(stored_id(doc));
  const char *entry = doc.entry;
  uint64_t entry_len = doc.entry_len;
  uint32_t raw_off = doc.raw_off, block = file_block;
  if (entry == nullptr) {
    uint64_t raw_len;
    sdb_text_ptr raw(sdb_decode_string(doc.raw, doc.raw_escaped_len, &raw_len));
    const uint64_t size =
        id && raw ? sdb_entry_size(id.get(), strlen(id.get()), raw.get(), raw_len) : 0;
    auto *bytes = static_cast<char *>(size ? malloc(size) : nullptr);
    if (bytes == nullptr) {
      sdb_error("oom: docs");
      return false;
    }
    raw_off = sdb_entry_write(bytes, id.get(), strlen(id.get()), raw.get(), raw_len);
    block = sdb_block_add(ix, bytes, size);
    if (block == SDB_NO_SLOT) {
      free(bytes);
      sdb_error("oom: docs");
      return false;
    }
    entry = bytes;
    entry_len = size - 1;
  }
  sdb_doc_undo undo;
  if (!id || sdb_index_put(ix, id.get(), entry, entry_len, raw_off, doc.raw_len, block, &undo) ==
                 SDB_NO_SLOT) {
    if (block != file_block) sdb_block_drop_unused(ix, block);
    sdb_error("oom: docs");
    return false;
  }
  sdb_index_settle(ix, &undo);  // a later entry with the same id replaces an earlier one
  return true;
}

// Reads the stored documents of ix; the file's bytes become its entries.
// A file that is not a JSON array of documents is set aside as damaged.
// False when memory ran out, with the message set.
bool load_documents(sdb_index *ix, const char *path) {
  sdb_text_ptr text;
  uint64_t len;
  load_status st = read_text(path, &text, &len);
  if (st == LOAD_NO_MEMORY) return false;
  if (st != LOAD_OK) return true;
  sdb_stored_docs docs;
  switch (sdb_scan_stored_docs(text.get(), len, &docs)) {
    case SDB_SCAN_OK:
      break;
    case SDB_SCAN_DAMAGED: {
      char owner[sizeof(sdb_index::name) + 16];
      snprintf(owner, sizeof owner, "index '%s'", ix->name);
      keep_damaged(path, owner);
      return true;
    }
    case SDB_SCAN_NO_MEMORY:
      sdb_error("oom: parse %s", path);
      return false;
  }
  std::unique_ptr<sdb_stored_docs, void (*)(sdb_stored_docs *)> hold(&docs, sdb_stored_docs_free);
  const uint32_t file_block = sdb_block_add(ix, text.get(), len + 1);
  if (file_block == SDB_NO_SLOT) {
    sdb_error("oom: docs");
    return false;
  }
  text.release();  // the index owns it now
  bool ok = true;
  for (uint64_t i = 0; ok && i < docs.count; i++)
    ok = put_stored_document(ix, docs.docs[i], file_block);
  sdb_block_drop_unused(ix, file_block);
  // The dictionary waits until it is needed; an index without documents
  // has it already.
  ix->built = ix->doc_count == 0;
  return ok;
}

// Creates the index stored under name with its documents. Returns nullptr
// when memory ran out, with the message set.
sdb_index *build_index(const char *name, const char *key, const char *docs_path) {
  sdb_index *ix = sdb_index_new(name, key);
  if (!ix) return nullptr;
  if (!load_documents(ix, docs_path)) {
    sdb_index_free(ix);
    return nullptr;
  }
  return ix;
}

// Loads the index stored under name and registers it, or leaves it out
// when it has no settings. Returns -1 when memory ran out.
int load_index(const char *name) {
  if (sdb_index_name_problem(name)) return 0;
  const char *dir = sdb_path_of(name);
  sdb_mkdir_p(dir);
  char meta_path[SDB_FILE_PATH_SIZE], docs_path[SDB_FILE_PATH_SIZE];
  file_path(meta_path, dir, "meta.json");
  file_path(docs_path, dir, "docs.json");

  char key[sizeof(sdb_index::primary_key)];
  load_status st = settings_primary_key(meta_path, key);
  if (st != LOAD_OK) return st == LOAD_NO_MEMORY ? -1 : 0;
  sdb_index *ix = build_index(name, key, docs_path);
  if (!ix) return -1;
  if (sdb_index_register(ix) != 0) {
    sdb_index_free(ix);
    return -1;
  }
  return 0;
}

}  // namespace

int sdb_save_index_list(void) {
  const char *dir = sdb_path_of(kListDir);
  sdb_mkdir_p(dir);
  char path[SDB_FILE_PATH_SIZE];
  file_path(path, dir, "list.json");

  sdb_mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  if (!doc || !build_index_list(doc.get())) {
    sdb_error("yyjson: alloc failed");
    return -1;
  }
  return write_mut_doc(doc.get(), path);
}

int sdb_index_persist(sdb_index *ix) {
  const char *dir = sdb_path_of(ix->name);
  sdb_mkdir_p(dir);
  char docs_path[SDB_FILE_PATH_SIZE], meta_path[SDB_FILE_PATH_SIZE];
  file_path(docs_path, dir, "docs.json");
  file_path(meta_path, dir, "meta.json");

  // A directory that could not be flushed after the rename is a failed
  // save like any other: the change is taken back.
  if (save_documents(ix, docs_path) != 0) return -1;
  return save_settings(ix, meta_path) == 0 ? 0 : 1;
}

int sdb_load_indexes(void) {
  char path[SDB_FILE_PATH_SIZE];
  file_path(path, sdb_path_of(kListDir), "list.json");
  sdb_doc_ptr list;
  load_status st = read_json_array(path, &list);
  if (st == LOAD_NO_MEMORY) return -1;
  if (st == LOAD_DAMAGED) keep_damaged(path, "index list");
  if (st != LOAD_OK) return 0;
  size_t i, n;
  yyjson_val *name;
  yyjson_arr_foreach(yyjson_doc_get_root(list.get()), i, n, name) {
    const char *s = c_string(name);
    if (s && load_index(s) != 0) return -1;
  }
  return 0;
}
