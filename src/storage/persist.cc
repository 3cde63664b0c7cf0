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
//   documents take consecutive slots in array order. Written like list.json.
//
// A writer builds a whole file in memory and replaces the old one only when
// it has all of it, so a stored file never loses an index or a document
// because memory ran out half-way.
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
//    as stored, without parsing them again.
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
#include "index/inverted.h"
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

// Appends {"__id":..,"raw":..} for every live slot, referring to the
// index's own strings. False when an entry could not be added.
bool add_live_documents(yyjson_mut_doc *doc, yyjson_mut_val *arr, const sdb_index *ix) {
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const sdb_doc *d = &ix->docs[slot];
    if (!d->alive || !d->id || !d->raw) continue;
    yyjson_mut_val *obj = yyjson_mut_obj(doc);
    if (!obj || !yyjson_mut_obj_add_str(doc, obj, "__id", d->id) ||
        !yyjson_mut_obj_add_strn(doc, obj, "raw", d->raw, d->raw_len) ||
        !yyjson_mut_arr_append(arr, obj)) {
      return false;
    }
  }
  return true;
}

// Replaces "docs.json" of ix. Returns 0 or -1 with the message set.
int save_documents(const sdb_index *ix, const char *path) {
  sdb_mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  if (!doc) {
    sdb_error("yyjson: alloc failed");
    return -1;
  }
  yyjson_mut_val *arr = yyjson_mut_arr(doc.get());
  if (!arr) {
    sdb_error("yyjson: arr failed");
    return -1;
  }
  yyjson_mut_doc_set_root(doc.get(), arr);
  if (!add_live_documents(doc.get(), arr, ix)) {
    sdb_error("yyjson: alloc failed");
    return -1;
  }
  return write_mut_doc(doc.get(), path);
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

// Adds every entry {"__id":"..","raw":".."} of a stored documents array to
// ix, in array order; anything else is passed over. False when memory ran
// out ("oom: docs").
bool add_stored_documents(sdb_index *ix, yyjson_val *root) {
  size_t i, n;
  yyjson_val *entry;
  yyjson_arr_foreach(root, i, n, entry) {
    const char *id = c_string(yyjson_obj_get(entry, "__id"));
    yyjson_val *raw = yyjson_obj_get(entry, "raw");
    const char *text = c_string(raw);
    if (!id || !text) continue;
    if (sdb_index_add_raw_doc(ix, id, text, yyjson_get_len(raw)) == SDB_NO_SLOT) return false;
  }
  return true;
}

// Creates the index stored under name with its documents and term table.
// Returns nullptr when memory ran out, with the message set.
sdb_index *build_index(const char *name, const char *key, const char *docs_path) {
  sdb_doc_ptr docs;
  load_status st = read_json_array(docs_path, &docs);
  if (st == LOAD_NO_MEMORY) return nullptr;
  if (st == LOAD_DAMAGED) {
    char owner[sizeof(sdb_index::name) + 16];
    snprintf(owner, sizeof owner, "index '%s'", name);
    keep_damaged(docs_path, owner);
  }
  sdb_index *ix = sdb_index_new(name, key);
  if (!ix) return nullptr;
  if ((docs && !add_stored_documents(ix, yyjson_doc_get_root(docs.get()))) ||
      !sdb_index_rebuild(ix)) {
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
