// The storage directory and its files.
//
// Layout, below the storage directory given to searchdb_init:
//
//   _indexes/list.json    the index list
//   _indexes/lock         the lock and the generations (lock.h)
//   <name>/meta.json      one index's settings
//   <name>/docs.json      one index's live documents
//   <name>/docs.idx       a cache of its dictionary, derived from docs.json
//                         (derived.h): never trusted unless it describes it
//   <name>/docs.changes   a cache too: the changes made to docs.json since
//                         the docs.json a derived file describes
//                         (change_record.h)
//   any file + ".tmp"     a replacement in progress (files.cc)
//   <file>.corrupt[.N]    a stored file that did not load whole, set aside
//   <file>.found[.N]      a file found where a new index was to be written
//
// <name> is the index name used unchanged as a relative path, so "shop/books"
// lives in shop/books/; no component of a name may be "_indexes" first or a
// layout name anywhere (sdb_is_layout_name).
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
// Files are only ever replaced by rename, never written over: a process
// may have docs.json mapped (derived_map.h), and editing it in place can
// crash that process.
//
// The loader trusts nothing it reads, and never lets a save overwrite what
// it could not load:
//  - A file that is not there is missing; a file that is there but cannot
//    be read (permissions, descriptors, a directory, a FIFO, a link) fails
//    the load: it may hold what a save would otherwise overwrite.
//  - list.json missing or an empty array: no index loads; list elements
//    that are not strings are passed over. A list that does not parse, or
//    whose root is not an array, is set aside (linked: it stays in place
//    until replaced) and the list is rebuilt from the index directories
//    that hold a meta.json, in byte order.
//  - a listed name that index creation would refuse for leaving its
//    directory (an empty, "." or ".." component, more than 255 bytes) is
//    passed over before anything is touched for it; so is, with a note, a
//    name whose path has something other than a directory or a link on it
//    (a component that is another index's documents file: no directory
//    can be there, so nothing of it can be stored), and a name listed
//    again (the first loads). The list written next leaves them out.
//  - a name, key, id or text holding a NUL byte (never written here: they
//    are C strings in memory) counts as not a string.
//  - meta.json missing: the index is not loaded (its directory is created
//    all the same). Unparsable, not an object, no string "primary_key", or
//    one longer than 127 bytes (cut between characters): the key is "id"
//    (or the cut one), and the file is set aside (linked, as the list)
//    and saved again with it.
//  - docs.json missing: the index has no documents. One that does not parse
//    or is not an array is set aside and the index has no documents. An
//    entry that is not an object with string members "__id" and "raw" (the
//    first of each) is passed over, the file set aside (a link: it stays
//    in place too) and saved again with the entries that loaded; a later
//    entry with the same id replaces the earlier one's text in its slot.
//    Texts are taken as stored, without parsing them again: a text that
//    does not parse is fetched as it is and gives no tokens. The index's
//    dictionary is built when it is first needed (build.h).
//  - A load that may not write (a reader catching up with another process,
//    a store that cannot be locked) sets nothing aside: it loads what
//    loads.
//  - when memory runs out loading stops and reports it: an index left out
//    would be dropped from the stored list by the next change.
#include "storage/persist.h"

#include <sys/stat.h>
#include <yyjson.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/array.h"
#include "base/checksum.h"
#include "base/error.h"
#include "base/holders.h"
#include "index/build.h"
#include "index/canonical.h"
#include "index/entry.h"
#include "index/index.h"
#include "storage/change.h"
#include "storage/change_record.h"
#include "storage/derived_ids.h"
#include "storage/derived_map.h"
#include "storage/docs_scan.h"
#include "storage/files.h"
#include "storage/layout.h"
#include "storage/lock.h"

namespace {

constexpr const char *kListFile = SDB_LIST_FILE;
constexpr const char *kListDir = SDB_LIST_DIR;

sdb_save_result save_result(int rc) {
  return rc == 0 ? SDB_SAVED : (rc > 0 ? SDB_SAVED_UNSYNCED : SDB_NOT_SAVED);
}

// ---- writers ----

// Builds the array of index names. False when an element could not be
// added: a list without it would drop that index at the next load.
bool build_index_list(yyjson_mut_doc *doc, const sdb_index_list *indexes) {
  yyjson_mut_val *arr = yyjson_mut_arr(doc);
  if (!arr) return false;
  yyjson_mut_doc_set_root(doc, arr);
  for (uint32_t i = 0; i < indexes->count; i++) {
    if (!yyjson_mut_arr_add_str(doc, arr, indexes->items[i]->name)) return false;
  }
  return true;
}

// The end of the last entry before the first live slot that the save of
// changes[0 .. count) writes otherwise than the docs.json on disk holds it
// (ix->file_known), in *from: up to there the two files have the same
// bytes. 0 when that is not known, or not worth knowing: less than a
// checksum mark, or no marks to take its checksum up from.
uint64_t unchanged_end(const sdb_index *ix, const sdb_slot_change *changes, uint32_t count,
                       uint32_t *from) {
  *from = 0;
  if (!ix->file_known || ix->file_marks.count != ix->file_size / kChecksumMarkBytes) return 0;
  uint64_t end = 0;
  uint32_t slot = 0;
  if (ix->file_base != nullptr) {
    // As loaded: entries lying one right after another from the byte past
    // the file's '[' are its own bytes, each followed by its comma (one
    // byte between two elements can only be that).
    const char *next = ix->file_base + 1;
    for (; slot < ix->doc_count; slot++) {
      const sdb_doc &d = ix->docs[slot];
      if (!d.alive) continue;
      if (d.entry != next || ix->blocks[d.block].bytes != ix->file_base) break;
      end = static_cast<uint64_t>(d.entry + d.entry_len - ix->file_base);
      next = d.entry + d.entry_len + 1;
    }
  } else if (changes != nullptr && count > 0) {
    // As this process wrote it: the slots before the first the change
    // touched are as they were then, and a save writes slots in order.
    uint64_t at = 1;
    for (; slot < changes[0].slot && slot < ix->doc_count; slot++) {
      const sdb_doc &d = ix->docs[slot];
      if (!d.alive) continue;
      end = at + d.entry_len;
      at = end + 1;
    }
  }
  if (end < kChecksumMarkBytes || end >= ix->file_size) return 0;
  *from = slot;
  return end;
}

// Whether the docs.json ix loaded is still the one on disk and lies in a
// mapping whose pages this process has not written from: mapped, or read
// through a buffer to check it, and not saved since.
bool untouched_as_loaded(const sdb_index *ix) {
  const uint32_t b = ix->docs_block;
  return ix->file_base != nullptr && b < ix->block_count && ix->blocks[b].bytes == ix->file_base &&
         ix->blocks[b].mapped;
}

// Starts the docs.json that r writes with its first end bytes, unchanged
// from the one on disk at rel (unchanged_end), copied by the kernel, and
// takes their checksum up from ix's last mark before end. False, with
// nothing written, when the file is not the one the marks describe or
// could not be copied.
bool copy_unchanged(sdb_index *ix, const char *rel, uint64_t end, sdb_replace *r,
                    sdb_checksum_stream *sum) {
  const int fd = sdb_open_regular(rel);
  if (fd < 0) return false;
  // The store's lock keeps other writers out; this is in case of a hand.
  struct stat st;
  sdb_file_identity now{};
  if (fstat(fd, &st) == 0) sdb_file_identity_of(st, 0, &now);
  sdb_checksum_stream taken =
      sdb_checksum_stream::from_mark(&ix->file_marks, end / kChecksumMarkBytes - 1);
  const bool ok = static_cast<uint64_t>(st.st_size) == ix->file_size &&
                  sdb_file_identity_same(now, ix->file_identity) &&
                  sdb_read_into(fd, taken.n, end, &taken) && sdb_replace_copy(r, fd, end);
  close(fd);
  if (ok) *sum = taken;
  return ok;
}

// Writes "docs.json" of ix: its live entries in slot order, between
// brackets and separated by commas. Entries that lie one after another in
// memory, each followed by its comma, go out as one piece. Once it is in
// place, the change record notes what changes[0 .. count) changed
// (change_record.h; nullptr: not known), with the file's checksum taken
// as its bytes went out.
//
// What it writes unchanged from the start of the file on disk is not read
// for the checksum: that is taken up from the last mark before it. The
// first save after a load that left the file's pages untouched (mapped, or
// read through a buffer) has the kernel copy that part from the file: on a
// virtual machine the first touch of each page can cost more than the
// copy. Later saves write it from memory: a process that changes the
// index twice is likely to go on, and once the pages are mapped that
// costs less than a copy.
int save_documents(sdb_index *ix, const char *rel, const sdb_slot_change *changes, uint32_t count) {
  if (!sdb_change_raise(false, ix->name)) return -1;
  sdb_replace r;
  if (sdb_replace_begin(&r, rel) != 0) return -1;
  // Kept here rather than on the stack, which they would fill: one call
  // at a time saves.
  static struct iovec pieces[SDB_REPLACE_MAX_PIECES];
  int pieces_count = 0;
  sdb_checksum_stream sum;
  uint64_t size = 0, marked = 0;  // bytes written; those below marked are in sum already
  uint32_t from = 0;
  const uint64_t end = unchanged_end(ix, changes, count, &from);
  if (end > 0 && !untouched_as_loaded(ix)) {
    marked = end / kChecksumMarkBytes * kChecksumMarkBytes;
    sum = sdb_checksum_stream::from_mark(&ix->file_marks, marked / kChecksumMarkBytes - 1);
    from = 0;
  } else if (end > 0 && copy_unchanged(ix, rel, end, &r, &sum)) {
    size = marked = end;
  } else {
    from = 0;
    ix->file_marks.count = 0;
    sum.marks = &ix->file_marks;
  }
  auto put = [&](const char *bytes, size_t n) {
    if (pieces_count == SDB_REPLACE_MAX_PIECES) {
      sdb_replace_write(&r, pieces, pieces_count);
      pieces_count = 0;
    }
    if (size + n > marked) {
      const size_t skip = marked > size ? static_cast<size_t>(marked - size) : 0;
      sum.add(bytes + skip, n - skip);
    }
    size += n;
    pieces[pieces_count++] = iovec{const_cast<char *>(bytes), n};
  };
  const bool copied = size > 0;
  if (!copied) put("[", 1);
  const char *run = nullptr, *run_end = nullptr;
  for (uint32_t slot = from; slot < ix->doc_count; slot++) {
    const sdb_doc *d = &ix->docs[slot];
    if (!d->alive) continue;
    if (run != nullptr && run_end + 1 == d->entry && *run_end == ',') {
      run_end = d->entry + d->entry_len;
      continue;
    }
    if (run != nullptr) put(run, static_cast<size_t>(run_end - run));
    if (run != nullptr || copied) put(",", 1);
    run = d->entry;
    run_end = d->entry + d->entry_len;
  }
  if (run != nullptr) put(run, static_cast<size_t>(run_end - run));
  put("]", 1);
  sdb_replace_write(&r, pieces, pieces_count);
  const int rc = sdb_replace_commit(&r);
  // The marks describe what was written, or, when it did not take its
  // place, nothing on disk.
  if (rc < 0 || sum.marks == nullptr) ix->file_marks.count = 0;
  ix->file_base = nullptr;
  if (rc >= 0) sdb_changes_note(ix, rel, changes, count, size, sum.value());
  return rc;
}

// Longest settings text: every byte of the name and key escaped to six.
constexpr size_t kSettingsMax = sizeof "{\"name\":,\"primary_key\":}" +
                                6 * (sizeof(sdb_index::name) - 1) + 2 +
                                6 * (sizeof(sdb_index::primary_key) - 1) + 2;

// Replaces "meta.json" of ix.
int save_settings(const sdb_index *ix, const char *rel) {
  if (!sdb_change_raise(false, ix->name)) return -1;
  // Both strings quoted and escaped, one after the other in one buffer.
  char *quoted = nullptr;
  uint64_t len = 0, cap = 0;
  bool ok = sdb_json_emit_string(ix->name, strlen(ix->name), &quoted, &len, &cap);
  uint64_t name_len = len;
  ok = ok && sdb_json_emit_string(ix->primary_key, strlen(ix->primary_key), &quoted, &len, &cap);
  sdb_text_ptr hold(quoted);
  if (!ok) {
    sdb_error(SEARCHDB_NOMEM, "oom: meta.json");
    return -1;
  }
  char text[kSettingsMax];
  int n = snprintf(text, sizeof text, "{\"name\":%.*s,\"primary_key\":%.*s}",
                   static_cast<int>(name_len), quoted, static_cast<int>(len - name_len),
                   quoted + name_len);
  return sdb_write_file_atomic(rel, text, static_cast<uint64_t>(n));
}

// ---- notes ----

struct {
  char files[SDB_ERROR_SIZE];  // "<from> -> <to>, ..."
  size_t len;
  uint32_t set_aside;
  uint32_t recovered;
  char names[SDB_ERROR_SIZE / 2];  // "<name> (<why>), ...", as much as a message can show
  size_t names_len;
  uint32_t passed_over;
  bool damaged;  // a note of damage: more than files found where an index was created
} s_notes;

// Notes a listed name that was not loaded, and why.
void note_passed_over(const char *name, const char *why) {
  const int n =
      snprintf(s_notes.names + s_notes.names_len, sizeof s_notes.names - s_notes.names_len,
               "%s%s (%s)", s_notes.passed_over ? ", " : "", name, why);
  if (n > 0)
    s_notes.names_len =
        std::min(sizeof s_notes.names - 1, s_notes.names_len + static_cast<size_t>(n));
  s_notes.passed_over++;
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

// What loading one part gave.
enum load_status {
  LOAD_OK,
  LOAD_SKIPPED,  // not loadable, and nothing is wrong: it is left out
  LOAD_ABSENT,   // an index without settings: left out, as it may yet be written
  LOAD_FAILED,   // a file could not be read, or memory ran out: message set
};

// Reads the file at rel whole. False when there is no text to load: *st is
// then if_missing for a file that does not exist, LOAD_FAILED for one that
// could not be read.
bool read_text(const char *rel, sdb_text_ptr *text, uint64_t *len, load_status if_missing,
               load_status *st, struct stat *file = nullptr) {
  char *raw = nullptr;
  switch (sdb_read_file(rel, &raw, len, file)) {
    case SDB_READ_OK:
      text->reset(raw);
      return true;
    case SDB_READ_MISSING:
      *st = if_missing;
      return false;
    default:
      *st = LOAD_FAILED;
      return false;
  }
}

// Parses a whole JSON text strictly. nullptr with damaged false when memory
// ran out (message set).
yyjson_doc *parse_json(char *text, uint64_t len, const char *rel, bool *damaged) {
  yyjson_read_err err;
  yyjson_doc *doc = yyjson_read_opts(text, len, 0, nullptr, &err);
  *damaged = doc == nullptr && err.code != YYJSON_READ_ERROR_MEMORY_ALLOCATION;
  if (doc == nullptr && !*damaged) {
    char path[SDB_MESSAGE_PATH_SIZE];
    sdb_full_path(path, sizeof path, rel);
    sdb_error(SEARCHDB_NOMEM, "oom: parse %s", path);
  }
  return doc;
}

// Sets the file at rel aside as "<rel>.corrupt" (renamed, or linked with
// keep) and notes it. False when it could not be, with the message set.
bool set_aside_damaged(const char *rel, bool keep) {
  char aside[SDB_REL_PATH_SIZE];
  if (sdb_set_aside(rel, SDB_DAMAGED_SUFFIX, keep, aside, sizeof aside) != 0) return false;
  sdb_notes_add(rel, aside, true);
  return true;
}

// The stored primary key of index name (its settings file rel), or
// LOAD_ABSENT when it has no settings. Settings that did not give a key
// whole are set aside and saved again with the key they gave, when
// may_write.
load_status load_settings(const char *name, const char *rel, bool may_write,
                          char (&key)[sizeof(sdb_index::primary_key)]) {
  sdb_text_ptr text;
  uint64_t len;
  load_status st;
  if (!read_text(rel, &text, &len, LOAD_ABSENT, &st)) return st;
  snprintf(key, sizeof key, "id");
  bool damaged;
  sdb_doc_ptr doc(parse_json(text.get(), len, rel, &damaged));
  if (!doc && !damaged) return LOAD_FAILED;
  const char *stored =
      doc ? c_string(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "primary_key")) : nullptr;
  if (stored != nullptr) sdb_copy_field(key, sizeof key, stored);
  const bool whole = stored != nullptr && strcmp(key, stored) == 0;
  if (whole || !may_write) return LOAD_OK;
  sdb_index settings{};
  sdb_copy_field(settings.name, sizeof settings.name, name);
  memcpy(settings.primary_key, key, sizeof key);
  // Kept in place until replaced: settings that went missing would leave
  // the index out, and the next list save would drop it.
  if (!set_aside_damaged(rel, true) || save_settings(&settings, rel) < 0) return LOAD_FAILED;
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
      sdb_error(SEARCHDB_NOMEM, "oom: docs");
      return false;
    }
    raw_off = sdb_entry_write(bytes, id.get(), strlen(id.get()), raw.get(), raw_len);
    block = sdb_block_add(ix, bytes, size);
    if (block == SDB_NO_SLOT) {
      free(bytes);
      sdb_error(SEARCHDB_NOMEM, "oom: docs");
      return false;
    }
    entry = bytes;
    entry_len = size - 1;
  }
  sdb_doc_undo undo;
  if (!id || sdb_index_put(ix, id.get(), entry, entry_len, raw_off, doc.raw_len, block, &undo) ==
                 SDB_NO_SLOT) {
    if (block != file_block) sdb_block_drop_unused(ix, block);
    sdb_error(SEARCHDB_NOMEM, "oom: docs");
    return false;
  }
  sdb_index_settle(ix, &undo);  // a later entry with the same id replaces an earlier one
  return true;
}

// Reads the stored documents of ix (at rel); the file's bytes become its
// entries. What did not load whole is set aside when may_write.
load_status load_documents(sdb_index *ix, const char *rel, bool may_write) {
  sdb_text_ptr text;
  uint64_t len;
  load_status st;
  struct stat file {};
  const int64_t stat_ns = sdb_clock_ns();
  if (!read_text(rel, &text, &len, LOAD_OK, &st, &file)) return st;
  sdb_checksum_stream stream;
  stream.marks = &ix->file_marks;
  stream.add(text.get(), len);
  const uint64_t sum = stream.value();
  sdb_stored_docs docs;
  switch (sdb_scan_stored_docs(text.get(), len, &docs)) {
    case SDB_SCAN_OK:
      break;
    case SDB_SCAN_DAMAGED:
      if (may_write && !set_aside_damaged(rel, false)) return LOAD_FAILED;
      return LOAD_OK;
    case SDB_SCAN_NO_MEMORY: {
      char path[SDB_MESSAGE_PATH_SIZE];
      sdb_full_path(path, sizeof path, rel);
      sdb_error(SEARCHDB_NOMEM, "oom: parse %s", path);
      return LOAD_FAILED;
    }
  }
  std::unique_ptr<sdb_stored_docs, void (*)(sdb_stored_docs *)> hold(&docs, sdb_stored_docs_free);
  const uint32_t file_block = sdb_block_add(ix, text.get(), len + 1);
  if (file_block == SDB_NO_SLOT) {
    sdb_error(SEARCHDB_NOMEM, "oom: docs");
    return LOAD_FAILED;
  }
  text.release();  // the index owns it now
  bool ok = sdb_index_reserve(ix, static_cast<uint32_t>(std::min<uint64_t>(docs.count, ~0u)));
  if (!ok) sdb_error(SEARCHDB_NOMEM, "oom: docs");
  // The file's text stays held until every document is in: an element
  // written otherwise that replaces all those taken from the file so far
  // would release it while the elements after it still lie there.
  ix->blocks[file_block].live++;
  for (uint64_t i = 0; ok && i < docs.count; i++)
    ok = put_stored_document(ix, docs.docs[i], file_block);
  ix->blocks[file_block].live--;
  sdb_block_drop_unused(ix, file_block);
  if (!ok) return LOAD_FAILED;
  // The dictionary waits until it is needed; an index without documents
  // has it already.
  ix->built = ix->doc_count == 0;
  ix->docs_size = len;
  ix->docs_sum = sum;
  ix->docs_known = docs.skipped == 0;
  // A file that changed size while it was read proves nothing by its
  // metadata: the clock 0 never lets it be trusted unread.
  sdb_file_identity_of(file, static_cast<uint64_t>(file.st_size) == len ? stat_ns : 0,
                       &ix->docs_identity);
  if (ix->blocks[file_block].bytes != nullptr) ix->docs_block = file_block;
  ix->file_size = len;
  ix->file_sum = sum;
  ix->file_known = ix->docs_known;
  ix->file_identity = ix->docs_identity;
  ix->file_base = ix->blocks[file_block].bytes;
  if (docs.skipped > 0 && may_write) {
    if (!set_aside_damaged(rel, true) || save_documents(ix, rel, nullptr, 0) < 0)
      return LOAD_FAILED;
  }
  return LOAD_OK;
}

// Removes what interrupted writes left in the directory rel_dir.
void remove_stale_temporaries(const char *rel_dir, const char *const *files, size_t n) {
  for (size_t i = 0; i < n; i++) {
    char rel[SDB_REL_PATH_SIZE];
    snprintf(rel, sizeof rel, "%s/%s%s", rel_dir, files[i], SDB_TEMPORARY_SUFFIX);
    if (sdb_entry_kind_of(rel) != SDB_ENTRY_NONE && sdb_entry_kind_of(rel) != SDB_ENTRY_DIR)
      sdb_remove(rel);
  }
}

// Loads the index stored under name into *out.
load_status load_index(const char *name, bool may_write, sdb_index **out) {
  *out = nullptr;
  if (sdb_index_name_problem(name)) return LOAD_SKIPPED;
  if (sdb_path_blocked(name)) {
    note_passed_over(name, "not a directory");
    return LOAD_SKIPPED;
  }
  char meta[SDB_REL_PATH_SIZE], docs[SDB_REL_PATH_SIZE];
  sdb_file_path(meta, name, SDB_SETTINGS_FILE);
  sdb_file_path(docs, name, SDB_DOCUMENTS_FILE);
  if (may_write) {
    sdb_make_dirs(name);
    static const char *const kFiles[] = {SDB_SETTINGS_FILE, SDB_DOCUMENTS_FILE, SDB_DERIVED_FILE,
                                         SDB_COLUMNS_FILE};
    remove_stale_temporaries(name, kFiles, 4);
  }
  char key[sizeof(sdb_index::primary_key)];
  const load_status st = load_settings(name, meta, may_write, key);
  if (st != LOAD_OK) return st;
  sdb_index *ix = sdb_docs_load_mapped(name, key, docs);
  // Its ids are found through the file's table until its id map is made.
  if (ix != nullptr)
    sdb_id_finder_attach(ix, static_cast<const unsigned char *>(ix->mapped), ix->mapped_len);
  // A docs.json changed since: the change record may lead to it.
  if (ix == nullptr) ix = sdb_changes_load(name, key, docs);
  if (ix != nullptr) {
    *out = ix;
    return LOAD_OK;
  }
  ix = sdb_index_new(name, key);
  if (!ix) return LOAD_FAILED;
  if (load_documents(ix, docs, may_write) != LOAD_OK) {
    sdb_index_free(ix);
    return LOAD_FAILED;
  }
  *out = ix;
  return LOAD_OK;
}

// A list of names on the C heap, so running out of memory is an answer.
struct name_list {
  char **names = nullptr;
  size_t count = 0, cap = 0;
  name_list() = default;
  name_list(const name_list &) = delete;
  name_list &operator=(const name_list &) = delete;
  ~name_list() {
    for (size_t i = 0; i < count; i++) free(names[i]);
    free(names);
  }
  // Adds a copy of the first n bytes of s. False when memory ran out.
  bool add(const char *s, size_t n) {
    if (!sdb_reserve(&names, &cap, count + 1, 16)) return false;
    auto *copy = static_cast<char *>(malloc(n + 1));
    if (copy == nullptr) return false;
    memcpy(copy, s, n);
    copy[n] = '\0';
    names[count++] = copy;
    return true;
  }
  // Takes the last name off; the caller frees it.
  char *pop() { return names[--count]; }
};

int by_bytes(const void *a, const void *b) {
  return strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

// The names of the index directories below the store: every directory
// holding a meta.json, found without following links, "_indexes" left out,
// in ascending byte order. A directory that cannot be opened for lack of
// memory or descriptors fails the walk (a list rebuilt without what it
// holds would drop those indexes); one that may not be read is passed over.
load_status find_index_directories(name_list *names) {
  name_list pending;
  if (!pending.add("", 0)) {
    sdb_error(SEARCHDB_NOMEM, "oom: index list");
    return LOAD_FAILED;
  }
  while (pending.count > 0) {
    sdb_text_ptr dir(pending.pop());
    sdb_dir_walk w;
    if (!sdb_dir_open(&w, dir.get())) {
      if (errno == ENOMEM || errno == EMFILE || errno == ENFILE) {
        char path[SDB_MESSAGE_PATH_SIZE];
        sdb_full_path(path, sizeof path, dir.get());
        sdb_error(sdb_errno_code(errno), "read %s: %s", path, strerror(errno));
        return LOAD_FAILED;
      }
      continue;
    }
    sdb_entry_kind kind;
    bool ok = true;
    while (const char *name = sdb_dir_next(&w, &kind)) {
      if (kind != SDB_ENTRY_DIR || (dir.get()[0] == '\0' && strcmp(name, kListDir) == 0)) continue;
      // Below a directory whose path is longer than an index name, no
      // index can be.
      char rel[SDB_REL_PATH_SIZE], meta[SDB_REL_PATH_SIZE];
      const int n = snprintf(rel, sizeof rel, "%s%s%s", dir.get(), dir.get()[0] ? "/" : "", name);
      if (n < 0 || n > static_cast<int>(SDB_INDEX_NAME_MAX)) continue;
      sdb_file_path(meta, rel, SDB_SETTINGS_FILE);
      ok = pending.add(rel, static_cast<size_t>(n));
      if (ok && sdb_entry_kind_of(meta) == SDB_ENTRY_FILE && sdb_index_name_problem(rel) == nullptr)
        ok = names->add(rel, static_cast<size_t>(n));
      if (!ok) break;
    }
    sdb_dir_close(&w);
    if (!ok) {
      sdb_error(SEARCHDB_NOMEM, "oom: index list");
      return LOAD_FAILED;
    }
  }
  if (names->count > 1) qsort(names->names, names->count, sizeof(char *), by_bytes);
  return LOAD_OK;
}

// The stored index names, from the list, or rebuilt from the directories
// when the list is damaged (set aside and saved again when may_write).
load_status read_list(bool may_write, name_list *names, bool *rebuilt) {
  *rebuilt = false;
  sdb_text_ptr text;
  uint64_t len;
  load_status st;
  if (!read_text(kListFile, &text, &len, LOAD_OK, &st)) return st;
  bool damaged;
  sdb_doc_ptr doc(parse_json(text.get(), len, kListFile, &damaged));
  if (!doc && !damaged) return LOAD_FAILED;
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (yyjson_is_arr(root)) {
    size_t i, n;
    yyjson_val *name;
    yyjson_arr_foreach(root, i, n, name) {
      const char *s = c_string(name);
      if (s != nullptr && !names->add(s, strlen(s))) {
        sdb_error(SEARCHDB_NOMEM, "oom: index list");
        return LOAD_FAILED;
      }
    }
    return LOAD_OK;
  }
  // The damaged list keeps its place until the rebuilt one replaces it, so
  // a start that fails on the way finds it again.
  *rebuilt = true;
  st = find_index_directories(names);
  if (st == LOAD_OK && may_write && !set_aside_damaged(kListFile, true)) return LOAD_FAILED;
  return st;
}

int by_name_then_place(const void *a, const void *b) {
  char *const *x = *static_cast<char **const *>(a);
  char *const *y = *static_cast<char **const *>(b);
  const int c = strcmp(*x, *y);
  return c != 0 ? c : (x > y) - (x < y);
}

// Passes over, with a note, every name listed again: the first of each
// stays. False when memory ran out (message set).
bool drop_repeats(name_list *names) {
  if (names->count < 2) return true;
  std::unique_ptr<char **, sdb_free_deleter> order(
      static_cast<char ***>(malloc(names->count * sizeof(char **))));
  if (!order) {
    sdb_error(SEARCHDB_NOMEM, "oom: index list");
    return false;
  }
  for (size_t i = 0; i < names->count; i++) order.get()[i] = &names->names[i];
  qsort(order.get(), names->count, sizeof(char **), by_name_then_place);
  const char *first = *order.get()[0];
  for (size_t i = 1; i < names->count; i++) {
    char **name = order.get()[i];
    if (strcmp(*name, first) != 0) {
      first = *name;
      continue;
    }
    note_passed_over(*name, "repeated");
    free(*name);
    *name = nullptr;
  }
  return true;
}

// Loads the listed indexes, reusing (with reuse) those of indexes whose
// generation did not move, and makes them the content of indexes. *absent
// tells whether a listed index was left out for want of its settings. On
// failure indexes stay as they were.
int load_list(sdb_index_list *indexes, bool may_write, const sdb_generations *g, bool reuse,
              bool *absent) {
  *absent = false;
  name_list names;
  bool rebuilt;
  if (read_list(may_write, &names, &rebuilt) != LOAD_OK || !drop_repeats(&names)) return -1;
  // The new registry, and which of its indexes this load made.
  const size_t cap = names.count > 8 ? names.count : 8;
  auto **fresh = static_cast<sdb_index **>(malloc(cap * sizeof(sdb_index *)));
  auto *made = static_cast<bool *>(calloc(cap, sizeof(bool)));
  sdb_text_ptr hold_made(reinterpret_cast<char *>(made));
  if (fresh == nullptr || made == nullptr) {
    free(fresh);
    sdb_error(SEARCHDB_NOMEM, "oom: index list");
    return -1;
  }
  uint32_t count = 0;
  auto give_up = [&] {
    for (uint32_t i = 0; i < count; i++)
      if (made[i]) sdb_index_free(fresh[i]);
    free(fresh);
    return -1;
  };
  for (size_t n = 0; n < names.count; n++) {
    const char *name = names.names[n];
    if (name == nullptr) continue;
    // Taken before the load, which may raise it by saving a repair.
    uint64_t gen = 0;
    sdb_index_generation(g, name, &gen);
    sdb_index *kept = nullptr;
    for (uint32_t i = 0; reuse && kept == nullptr && i < indexes->count; i++) {
      sdb_index *ix = indexes->items[i];
      if (ix->gen == gen && strcmp(ix->name, name) == 0) kept = ix;
    }
    if (kept == nullptr) {
      const load_status st = load_index(name, may_write, &kept);
      if (st == LOAD_FAILED) return give_up();
      *absent = *absent || st == LOAD_ABSENT;
      if (st != LOAD_OK) continue;
      kept->gen = gen;
      made[count] = true;
    }
    fresh[count++] = kept;
  }
  // Indexes of the old list that the new one does not hold go.
  for (uint32_t i = 0; i < indexes->count; i++) {
    bool kept = false;
    for (uint32_t j = 0; !kept && j < count; j++) kept = fresh[j] == indexes->items[i];
    if (!kept) sdb_index_free(indexes->items[i]);
  }
  free(indexes->items);
  indexes->items = fresh;
  indexes->count = count;
  indexes->cap = static_cast<uint32_t>(cap);
  if (rebuilt) {
    s_notes.recovered = count;
    if (may_write && sdb_save_index_list(indexes) == SDB_NOT_SAVED) return -1;
  }
  return 0;
}

}  // namespace

sdb_save_result sdb_save_index_list(const sdb_index_list *indexes) {
  if (!sdb_change_raise(true, nullptr)) return SDB_NOT_SAVED;
  sdb_make_dirs(kListDir);
  sdb_mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  if (!doc || !build_index_list(doc.get(), indexes)) {
    sdb_error(SEARCHDB_NOMEM, "yyjson: alloc failed");
    return SDB_NOT_SAVED;
  }
  size_t len = 0;
  sdb_text_ptr text(yyjson_mut_write_opts(doc.get(), 0, nullptr, &len, nullptr));
  if (!text) {
    sdb_error(SEARCHDB_NOMEM, "yyjson: write failed");
    return SDB_NOT_SAVED;
  }
  return save_result(sdb_write_file_atomic(kListFile, text.get(), len));
}

sdb_save_result sdb_index_persist(sdb_index *ix, const sdb_slot_change *changes, uint32_t count) {
  sdb_make_dirs(ix->name);
  char docs[SDB_REL_PATH_SIZE], meta[SDB_REL_PATH_SIZE];
  sdb_file_path(docs, ix->name, SDB_DOCUMENTS_FILE);
  sdb_file_path(meta, ix->name, SDB_SETTINGS_FILE);
  const int saved = save_documents(ix, docs, changes, count);
  if (saved < 0) return SDB_NOT_SAVED;
  if (saved > 0) {
    // The documents are saved; only their directory's flush failed. The
    // settings still follow, but the failure is what the caller reports.
    const sdb_first_failure documents_failure;
    (void)save_settings(ix, meta);
    documents_failure.restore();
    return SDB_SAVED_UNSYNCED;
  }
  return save_settings(ix, meta) == 0 ? SDB_SAVED : SDB_SETTINGS_NOT_SAVED;
}

bool sdb_set_aside_found(const char *name) {
  for (const char *file : {SDB_DOCUMENTS_FILE, SDB_SETTINGS_FILE}) {
    char rel[SDB_REL_PATH_SIZE], aside[SDB_REL_PATH_SIZE];
    sdb_file_path(rel, name, file);
    const sdb_entry_kind kind = sdb_entry_kind_of(rel);
    if (kind == SDB_ENTRY_NONE || kind == SDB_ENTRY_DIR) continue;
    if (sdb_set_aside(rel, SDB_FOUND_SUFFIX, false, aside, sizeof aside) != 0) return false;
    sdb_notes_add(rel, aside, false);
  }
  return true;
}

void sdb_remove_index_files(const char *name) {
  char rel[SDB_REL_PATH_SIZE];
  sdb_file_path(rel, name, SDB_SETTINGS_FILE);
  sdb_remove(rel);
  sdb_dir_walk w;
  if (sdb_dir_open(&w, name)) {
    sdb_entry_kind kind;
    while (const char *entry = sdb_dir_next(&w, &kind)) {
      if (kind == SDB_ENTRY_DIR ||
          sdb_file_type_of(entry, strlen(entry), false).kind == SDB_FILE_OTHER)
        continue;
      sdb_file_path(rel, name, entry);
      sdb_remove(rel);
    }
    sdb_dir_close(&w);
  }
  sdb_rmdir(name);
}

int sdb_load_indexes(sdb_index_list *indexes, bool may_write, const sdb_generations *g,
                     bool *absent) {
  if (may_write) {
    static const char *const kFiles[] = {SDB_LIST_FILE + sizeof SDB_LIST_DIR};
    remove_stale_temporaries(kListDir, kFiles, 1);
  }
  return load_list(indexes, may_write, g, false, absent);
}

int sdb_reload_list(sdb_index_list *indexes, bool may_write, const sdb_generations *g, bool reuse,
                    bool *absent) {
  return load_list(indexes, may_write, g, reuse, absent);
}

int sdb_reload_index(sdb_index_list *indexes, uint32_t i, bool may_write, const sdb_generations *g,
                     bool *absent) {
  sdb_index *old = indexes->items[i];
  uint64_t gen = 0;
  sdb_index_generation(g, old->name, &gen);
  sdb_index *ix;
  const load_status st = load_index(old->name, may_write, &ix);
  *absent = st == LOAD_ABSENT;
  if (st == LOAD_FAILED) return -1;
  if (st != LOAD_OK) {
    // Its settings are gone: it is not an index any more; the last index
    // takes its place.
    indexes->items[i] = indexes->items[--indexes->count];
  } else {
    ix->gen = gen;
    indexes->items[i] = ix;
  }
  sdb_index_free(old);
  return 0;
}

void sdb_notes_begin(void) {
  s_notes = {};
}

void sdb_notes_add(const char *from, const char *to, bool damaged) {
  s_notes.damaged = s_notes.damaged || damaged;
  const int n = snprintf(s_notes.files + s_notes.len, sizeof s_notes.files - s_notes.len,
                         "%s%s -> %s", s_notes.set_aside ? ", " : "", from, to);
  if (n > 0) s_notes.len = std::min(sizeof s_notes.files - 1, s_notes.len + static_cast<size_t>(n));
  s_notes.set_aside++;
}

bool sdb_notes_report(void) {
  if (s_notes.set_aside == 0 && s_notes.recovered == 0 && s_notes.passed_over == 0) return false;
  char text[SDB_ERROR_SIZE] = "";
  size_t len = 0;
  auto added = [&](int n) {
    if (n > 0) len = std::min(sizeof text - 1, len + static_cast<size_t>(n));
  };
  if (s_notes.set_aside > 0)
    added(
        snprintf(text, sizeof text, "set aside %u file(s): %s", s_notes.set_aside, s_notes.files));
  if (s_notes.recovered > 0)
    added(snprintf(text + len, sizeof text - len, "%s%u indexes recovered", len ? "; " : "",
                   s_notes.recovered));
  if (s_notes.passed_over > 0)
    added(snprintf(text + len, sizeof text - len, "%spassed over %u listed name(s): %s",
                   len ? "; " : "", s_notes.passed_over, s_notes.names));
  const bool damaged = s_notes.damaged || s_notes.recovered > 0 || s_notes.passed_over > 0;
  sdb_error(damaged ? SEARCHDB_CORRUPT : SEARCHDB_EXISTS, "%s", text);
  return true;
}
