// Catching a derived file up with the documents another process changed
// since it was written (derived.h tells what the file is).
//
// The file records a checksum of every document's entry, slot by slot. A
// load whose docs.json the file does not describe finds its documents
// among the file's by those checksums, each kept one in order: a save
// writes the live slots in slot order, a replaced document keeps its slot,
// a new id comes last and a revived one takes its old place, so the
// documents that stayed come in the same order in both. The dictionary is
// then taken from the file for those (the postings of the documents that
// went dropped, the others renumbered to their new slots, which keeps
// them ascending), and the documents that are new or changed are added to
// it as a change of this process adds them: the result is what a build
// of the new docs.json makes, at the cost of reading the file, one more
// pass over docs.json for the checksums, and the change's own work. A load
// that the change record led to docs.json (change_record.h) has the
// mapping from the record's edits instead, without reading docs.json whole.
//
// When more than one document in kCatchUpShare of the new docs.json is
// new or changed, or more than one in kCatchUpShare of the file's went, a
// build costs about as much, and the load builds as without the file.
#pragma once

#include <cstdint>

#include "base/checksum.h"
#include "index/index.h"

inline constexpr uint32_t kCatchUpShare = 8;

// A process that caught up writes the file anew (under the rules of a call
// that reads, derived.h) once the catch-up covered one document in
// kCatchUpWriteShare or more: writing costs about what catching up with
// that many does (at 63,436 documents, some 35 ms against 0.04 ms a
// document), so a file is rewritten once per that many changes by
// others, and until then each process catches up with the changes since
// it was written, never more than that share.
inline constexpr uint32_t kCatchUpWriteShare = 128;

inline bool sdb_catch_up_worth_writing(uint32_t caught_up, uint32_t doc_count) {
  return caught_up > 0 && uint64_t{caught_up} * kCatchUpWriteShare >= doc_count;
}

// The checksum the derived file records for a document: of its entry as
// docs.json holds it (its id is part of it).
inline uint64_t sdb_entry_sum(const sdb_doc &d) {
  return sdb_checksum(d.entry, d.entry_len);
}

// How the slots of a derived file's documents map onto those of a load.
struct sdb_catch_up {
  uint32_t *slots;       // per file slot: its slot in the index, or SDB_NO_SLOT (gone)
  uint32_t *added;       // the index's slots the file does not hold, ascending
  uint32_t added_count;  // (the others hold the file's document of that slot)
  uint32_t kept;
  uint32_t same_below;  // the file slots below it keep their numbers
};

// Matches the documents of ix (loaded, every slot live) with the file's
// old_count ones by their sums. False, nothing held, when too many
// changed, a sum repeats, or memory ran out.
bool sdb_catch_up_match(const sdb_index *ix, const uint64_t *sums, uint32_t old_count,
                        sdb_catch_up *c);

void sdb_catch_up_free(sdb_catch_up *c);

// Finishes the dictionary of ix, taken from the file for the kept
// documents (renumbered, built set, their token counts and the figures
// set): the terms moved[0 .. moved_count) whose first occurrence was in a
// document that went get it anew, every term its rank, the added
// documents are added, and the table walk's counts become those of a
// build from start_buckets. False when memory ran out or the file proved
// not to describe the kept documents (ix is then for the caller to undo).
bool sdb_catch_up_finish(sdb_index *ix, const sdb_catch_up *c, uint32_t *moved,
                         uint32_t moved_count, uint32_t start_buckets);
