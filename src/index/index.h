// The index record: its document table with the id map, the stored entries
// of its documents, and the term dictionary built from them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/checksum.h"
#include "base/hashing.h"
#include "base/limits.h"
#include "base/table.h"
#include "index/terms.h"

struct sdb_columns;

// A slot number is a position in sdb_index::docs; SDB_NO_SLOT is never one.
#define SDB_NO_SLOT 0xFFFFFFFFu

// One slot of the document table.
//
// A slot below doc_count is live (alive 1, entry set) or dead (alive 0,
// entry nullptr, token_count 0). Its id stays while it is dead: the id map
// finds a slot through it, and a deleted id keeps its slot for a later
// revival. Slots from doc_count up are all zero.
//
// The document's canonical text is kept only inside its entry, the exact
// bytes "docs.json" holds for it (storage/entries.h): entry_len bytes,
// then a comma, in the entry block numbered block. The text starts, escaped,
// raw_off bytes in and is raw_len bytes long decoded.
struct sdb_doc {
  char *id;  // owned, unless it lies among the index's lent ids
  const char *entry;
  uint64_t entry_len;
  uint64_t raw_len;
  uint32_t raw_off;
  uint32_t block;
  uint32_t token_count;  // tokens at the last change of the dictionary: the BM25 length
  uint32_t alive;
};

// Memory holding entries: a file as it was read or as it lies (mapped),
// the entries of one batch, or one compacted copy. live counts the bytes of
// the entries that slots use (each with its comma); a block no slot uses is
// released.
struct sdb_entry_block {
  char *bytes;  // owned (free, or munmap when mapped); nullptr for a free block number
  uint64_t size;
  uint64_t live;
  bool mapped;  // a private read-only mapping of a documents file
};

// What shows, without reading it, that a file is the one a load took: its
// device, inode, and change and modification times (ns), and the clock
// just before they were taken.
struct sdb_file_identity {
  uint64_t dev;
  uint64_t ino;
  int64_t mtime_ns;
  int64_t ctime_ns;
  int64_t stat_ns;
};

// One index.
//
// Document table: doc_count only grows; a slot is never given to another id
// while the record lives, so slot numbers are stable.
//
// Id map: the table (base/table.h) of slot numbers, SDB_NO_SLOT for an
// empty position, an id's entry found at its table hash (base/hashing.h)
// by comparing with docs[slot].id. Every id ever added has exactly one
// position; it stays when the document is deleted (ids taken from the
// derived file enter it at its first use, the first slot of a repeated
// one keeping it). It holds at most trunc(0.7 * its positions) ids.
//
// Dictionary: built from the live documents whenever `built` is set; a
// loaded index builds it when it is first needed (a search, its statistics
// or a change), so that an index that is only listed or fetched from never
// pays for it. While built, total_tokens, live_count, every slot's
// token_count and norms (the BM25 length part of each live slot, -1.0 for a
// dead one) describe the live documents.
struct sdb_index {
  char name[SDB_INDEX_NAME_MAX + 1];
  char primary_key[SDB_PRIMARY_KEY_MAX + 1];
  sdb_doc *docs;
  uint32_t doc_count;
  uint32_t doc_cap;
  sdb_table<uint32_t> ids;
  sdb_entry_block *blocks;
  uint32_t block_count;
  uint32_t block_cap;
  uint32_t blocks_free;  // free numbers below block_count
  uint64_t entry_bytes;  // sum of the blocks' sizes
  uint64_t live_bytes;   // sum of their live bytes
  bool built;
  sdb_terms terms;
  uint64_t total_tokens;
  uint32_t live_count;
  double *norms;  // doc_cap entries, in the block docs starts
  uint64_t gen;   // the stored generation it was loaded or last changed at (storage/lock.h)
  // Owned; nullptr until a request reads field values (columns.h), which
  // also sets how they are released: the record holds them without
  // knowing what they are.
  sdb_columns *columns;
  void (*columns_free)(sdb_columns *);
  // The documents file as the load read it (its size and sdb_checksum),
  // when docs_known: while the dictionary is not built, the documents are
  // exactly those, and a derived file that describes them may stand in
  // for a build (storage/derived.h).
  uint64_t docs_size;
  uint64_t docs_sum;
  bool docs_known;
  // Also when docs_known: the file's identity as the load found it, and the
  // block holding its text as loaded (SDB_NO_SLOT when no slot uses it).
  sdb_file_identity docs_identity;
  uint32_t docs_block;
  // A private mapping of the derived file that the dictionary's texts and
  // postings point into (nullptr: none); unmapped with the index.
  void *mapped;
  uint64_t mapped_len;
  // Ids that lie in memory the index keeps but does not own (the ids of
  // the derived file's mapping, kept until the index is freed): a slot's
  // id inside these bytes is never freed.
  const char *lent_ids;
  uint64_t lent_ids_len;
  // The id map is yet to be made from the document table (after a load
  // reserved it, or put slots by sdb_index_put_lent): every use of the
  // map makes it first.
  bool ids_pending;
  // While the map is pending, what finds an id's slot without making it:
  // a table lying in memory the index keeps (the derived file's id table,
  // storage/derived_ids.h), read through id_find, which answers true with
  // the id's *slot, or false when it does not find it there (an id never
  // added among them), and the map is made and asked instead. id_finder
  // (nullptr: none) is its state, one block from malloc, freed with the
  // index.
  struct sdb_id_finder *id_finder;
  bool (*id_find)(const sdb_index *ix, const char *id, uint32_t *slot);
  // The docs.json this process last loaded or wrote, when file_known: its
  // size and checksum. Its documents were then those a load of it gives,
  // in slot order, which is what a change record of the next save starts
  // from (storage/change_record.h).
  uint64_t file_size;
  uint64_t file_sum;
  bool file_known;
  // Also when file_known: its identity, taken once it was in place or as
  // the load found it; where its checksum stood every kChecksumMarkBytes
  // (base/checksum.h: all of them, or fewer when they were not taken);
  // and, until a save replaces it, the block that holds its bytes as the
  // load took them (nullptr: none, or it was written here). A save takes
  // the checksum of what it writes unchanged from the marks
  // (storage/persist.cc).
  sdb_file_identity file_identity;
  sdb_vec<sdb_checksum_mark> file_marks;
  const char *file_base;
  // How the derived file's documents map onto these, when the load found
  // it from the change record, for the dictionary to take when it is first
  // needed (owned, released by catch_up_free; nullptr: none).
  struct sdb_pending_catch_up *catch_up;
  void (*catch_up_free)(struct sdb_pending_catch_up *);
  // The index check found the dictionary and the figures exactly as a
  // fresh build of the documents makes them, and neither changed since: a
  // comparison with a build may use them instead of building again.
  bool matches_build;
};

// Open indexes, in order: the registry's, and what a load gives it.
// items[0 .. count) are owned; the array doubles from 8 and never shrinks.
struct sdb_index_list {
  sdb_index **items;
  uint32_t count;
  uint32_t cap;
};

enum : uint32_t { SDB_NO_INDEX = 0xFFFFFFFFu };

// The position of the first index named name (byte for byte), or
// SDB_NO_INDEX.
uint32_t sdb_index_list_find(const sdb_index_list *list, const char *name);

// Appends ix. False when memory ran out, the list unchanged.
bool sdb_index_list_add(sdb_index_list *list, sdb_index *ix);

// Releases every index and the array; the list is empty afterwards.
void sdb_index_list_clear(sdb_index_list *list);

// Copies src into a fixed text field of size bytes. A text that does not fit
// is cut before the character that crosses the end, so that a cut never
// leaves part of a UTF-8 sequence (the field is written out as JSON).
void sdb_copy_field(char *dst, size_t size, const char *src);

// A new empty index with an (empty) dictionary, or nullptr with
// "oom: index", "oom: buckets" or "oom: docs". name is cut to 255 bytes,
// primary_key (nullptr: "id") to 127, each by sdb_copy_field.
sdb_index *sdb_index_new(const char *name, const char *primary_key);

// Releases ix and everything it owns; nullptr is ignored.
void sdb_index_free(sdb_index *ix);

// The live slots of ix: counted while the dictionary is not built.
inline uint32_t sdb_index_live_slots(const sdb_index *ix) {
  if (ix->built) return ix->live_count;
  uint32_t live = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) live += ix->docs[slot].alive != 0;
  return live;
}

// Slot of id (live or dead), or SDB_NO_SLOT when it was never added.
uint32_t sdb_id_map_find(const sdb_index *ix, const char *id);

// Makes the id map now when it is pending (for a check of it).
void sdb_id_map_make(const sdb_index *ix);

// Takes bytes (size bytes, malloc'd, or mmap'd when mapped) as an entry
// block. Returns its number, or SDB_NO_SLOT when memory ran out (bytes are
// then still the caller's).
uint32_t sdb_block_add(sdb_index *ix, char *bytes, uint64_t size, bool mapped = false);

// Releases a block that no slot uses (a batch that was taken back).
void sdb_block_drop_unused(sdb_index *ix, uint32_t block);

// What one sdb_index_put or sdb_index_kill changed, so that a change whose
// save failed can be taken back, and the entry it replaced released once it
// stands.
struct sdb_doc_undo {
  uint32_t slot;
  bool created;    // the slot was new: undo removes it and its id
  sdb_doc before;  // the slot as it was
};

// Makes room for n more ids, so that putting them grows nothing: a load
// knows its count up front. False when memory ran out (index unchanged).
bool sdb_index_reserve(sdb_index *ix, uint32_t n);

// Puts the entry (in block) into the slot of id: a new slot for a new id,
// else the id's slot, live or dead, which becomes live. id is copied.
// Returns the slot, or SDB_NO_SLOT with "oom: docs" (index unchanged). The
// dictionary is not touched.
uint32_t sdb_index_put(sdb_index *ix, const char *id, const char *entry, uint64_t entry_len,
                       uint32_t raw_off, uint64_t raw_len, uint32_t block, sdb_doc_undo *undo);

// Puts the entry (in block) into a new slot for id, a text lying among
// ix->lent_ids (used where it lies, not copied), in room sdb_index_reserve
// made: nothing is allocated. The id enters the id map at the map's first
// use, and only when no slot before holds it: ids are not compared here.
void sdb_index_put_lent(sdb_index *ix, const char *id, const char *entry, uint64_t entry_len,
                        uint32_t raw_off, uint64_t raw_len, uint32_t block);

// Makes a slot dead (a deleted slot is made dead again).
void sdb_index_kill(sdb_index *ix, uint32_t slot, sdb_doc_undo *undo);

// Takes back one put or kill. The changes of a call are taken back in
// reverse order, so that every slot the call created is the last one when
// it is removed.
void sdb_index_undo(sdb_index *ix, sdb_doc_undo *undo);

// Releases what the change replaced, once it stands.
void sdb_index_settle(sdb_index *ix, const sdb_doc_undo *undo);

// Where a pass over the documents in slot order has come in the mapped
// block it reads (sdb_release_behind); block SDB_NO_SLOT before the first.
struct sdb_release_cursor {
  uint32_t block = SDB_NO_SLOT;
  const char *from = nullptr;   // the first passed byte not given back (a page start)
  const char *reach = nullptr;  // the end of the last entry passed
};

// A pass that reads every document once (a column or dictionary build)
// calls this after reading d, and with nullptr when it ends: the pages of
// a mapped block it has passed are given back every few megabytes, and at
// its end, so that it neither holds the whole documents file nor keeps it.
// Giving back a page of a private read-only mapping loses nothing: the
// next read takes it again from the page cache.
void sdb_release_behind(const sdb_index *ix, const sdb_doc *d, sdb_release_cursor *cur);

// Moves the live entries into one block in slot order when the blocks hold
// more dead bytes than live ones (replaced and deleted documents leave
// theirs behind). Nothing changes when memory runs out.
void sdb_index_compact_entries(sdb_index *ix);
