// The derived file of an index, "<name>/docs.idx": its dictionary as a
// full build of its docs.json makes it, stored in the form the index uses,
// and where each document's entry lies in docs.json, so that a fresh
// process maps both instead of reading and building.
//
// It is a cache. docs.json stays the one source of truth and its format does
// not change; deleting the derived file loses nothing (the next process that
// has to build writes it again). It is used only when it describes the
// docs.json this process loaded (its size and checksum, recorded in the file,
// equal those of the bytes the load read, or, without reading docs.json, its
// recorded identity proves it unchanged: derived_map.h) and its own bytes are
// intact (a checksum of its header and of each section) and consistent (every
// offset, length, id and slot in it checked against the index before use). A
// call that only reads checks the terms and their postings, which are most of
// the file, as it first reads them: a term's record (its text and postings
// within the file's), and the chunk of the records it lies in, the first time
// any search reads the term; a place of the byte order's ids, and the chunk it
// lies in, the first time a search reads it; and a term's postings, and the
// chunks of the postings sections they lie in, the first time a search reads
// those; one that finds them damaged answers from a build instead, as if the
// file had not been there. Until then the byte order and the bytes each term
// shares with the one before are trusted for their checksum alone: a file made
// to pass that can lead a search to wrong terms, but never outside the file. A
// change, the check and the file's state check all of it first. A file intact
// but built from another docs.json is caught up with the documents as loaded
// when few of them changed (catchup.h). Anything else — missing, cut short,
// damaged, of another version or byte order, built from documents too different
// — is passed over in silence and the dictionary built as without it.
//
// Format, little-endian, sections aligned to 64 bytes:
//   header (kHeaderSize bytes): magic, version, byte order word, checksum
//     of the header, the file's size, the docs.json size and checksum it
//     describes, the counts (slots, live documents, terms, postings, text
//     bytes, big tfs), the table walk's two bucket counts, the total
//     tokens, docs.json's identity (device, inode, modification and
//     change times, and the clock before the load that read it took them),
//     the count of located slots and the ids' bytes, the id table's
//     positions and key, and per section its
//     offset, length and checksum; zeros between the sections;
//   token counts   u32 per slot
//   terms          per term id (first-occurrence order): text offset,
//                  first position, df, and the index of its first posting
//                  (u32 each); its postings follow the previous term's in
//                  the postings sections
//   texts          per term: length byte, bytes, NUL
//   order, lcp     term ids in byte order, and the bytes each shares with
//                  the one before it
//   slots, tfs     the postings: u32 slot and the tf byte
//   big tfs        (term, slot, tf) for tfs that do not fit a byte
//   entry sums     u64 per slot: sdb_checksum of its entry in docs.json
//   docs           per slot, where its entry lies in docs.json: offset,
//                  length, decoded text length, text offset, and the
//                  length of its id (empty when an entry is not there as
//                  it lies, as one the load had to write again)
//   ids            per slot, its id and a NUL
//   chunk sums     u64 per chunk of the sections checked by chunks
//                  (kChunked: the slots, the tfs, the terms and the
//                  order, by kPageChunk bytes), one section's after
//                  another's: the checksum of those bytes (those sections'
//                  own checksums in the header are 0)
//   order texts    u32 per place in the byte order: the offset of its
//                  term's text in the texts
//   id table       u32 per position: the first slot of each id, placed
//                  by its hash under a key drawn for the file and kept in
//                  the header (derived_ids.h), for a lookup in a process
//                  that took its documents from the file
//   id sums        u64 per kPageChunk bytes of the id table: their checksum
//                  (the id table's own checksum in the header is 0)
//
// Written only when a process built the dictionary of an index still as
// loaded, or caught a file up with it, from a call that reads, in a store
// it may write: under the store's lock taken without waiting (skipped when
// busy), when the disk has free space of at least twice docs.json, through
// "docs.idx.tmp" and a rename; and whenever searchdb_index_write_derived
// asks, under the lock as a change, from a full build. It is never
// rewritten in place, so a mapping never shrinks under a reader: editing
// it in place can crash a process that has it mapped.
// A change of the documents leaves it describing the docs.json it
// replaced: the next process that loads the index catches up with the
// change and writes it anew, so after N changes by others the next
// process catches up with N documents (or builds, when that is as quick).
#pragma once

#include <cstdint>

#include "searchdb.h"

struct sdb_index;

// Makes the dictionary of ix ready to answer: as it is when built, else
// from the derived file when it describes the documents as loaded, else
// built (sdb_index_ensure_built). With may_write (a call that only reads,
// not a change nor a check), a build is followed by writing the derived
// file when that is allowed, and postings taken from the file are checked
// as they are first read (sdb_derived_usable); without, everything is
// checked before the call goes on. False, with "oom: rebuild", when memory
// ran out.
bool sdb_index_ready(sdb_index *ix, bool may_write);

// Takes the dictionary of ix (not built, docs_known) from its derived
// file. False, nothing changed and no message, when the file is missing or
// not usable as it is.
// *caught_up (when given) receives the documents new or changed, and
// gone, that a file describing another docs.json was caught up with
// (catchup.h): 0 when it described these.
// With lazy, a file that describes the documents as loaded has its
// postings checked a term at a time as searches read them
// (sdb_derived_usable) instead of all before.
bool sdb_derived_install(sdb_index *ix, uint32_t *caught_up = nullptr, bool lazy = false);

// Takes the dictionary of ix (not built, docs_known) from the size bytes
// of a derived file at bytes, which must stay while the index lives and
// may be written to (a change writes postings where they lie). False,
// nothing changed, when they are not a file describing ix.
bool sdb_derived_adopt(sdb_index *ix, unsigned char *bytes, uint64_t size,
                       uint32_t *caught_up = nullptr, bool lazy = false);

// Whether the postings of term id may be read: true at once when they
// were checked, else checked now (and remembered). False when they are not
// as a build makes them: the dictionary is then not to be read at all
// (sdb_derived_rejected) and the call that found it builds
// (sdb_derived_rebuild) and answers anew. Every reader of postings in a
// call that only reads asks this first, for every term it reads.
bool sdb_derived_usable(const sdb_index *ix, uint32_t id);

// Whether a check of ix's dictionary failed (sdb_derived_usable).
bool sdb_derived_rejected(const sdb_index *ix);

// Drops ix's dictionary and builds it from the documents (with may_write,
// writing the derived file anew when allowed). False, with "oom:
// rebuild", when memory ran out.
bool sdb_derived_rebuild(sdb_index *ix, bool may_write);

// Runs write(ix, arg), which writes a cache file of ix (returning 0, -1
// or 1 as a commit), after a call that only reads: when the store may be
// written, its lock is free, the index has not moved on in another
// process and the disk has room for twice its documents; quietly: the
// call's outcome and message stay as they were.
void sdb_cache_write_when_allowed(const sdb_index *ix, int (*write)(const sdb_index *, void *),
                                  void *arg);

// Sets the checksums, size and documents identity of a derived file's
// header to match its bytes: for the fuzz target and the tests, which
// change a file on purpose and then want its content checked.
void sdb_derived_seal(unsigned char *bytes, uint64_t size, uint64_t docs_size, uint64_t docs_sum);

// Writes the derived file of ix, built and still as loaded, now (the
// caller holds the lock or needs none). Returns 0, -1 with a message when
// it could not be written, or 1 when ix is not as loaded (nothing written).
int sdb_derived_write(sdb_index *ix);

// The state of ix's derived file (searchdb_derived), or -1 with "oom: ..." when memory ran
// out. Asked of an index not built, it takes the dictionary from the file
// when a search would (sdb_derived_install); it builds when it must
// compare, but never writes.
int sdb_derived_state(sdb_index *ix);

// Writes ix's derived file anew from a full build of its documents as
// loaded, whatever file stands there (the caller holds the store's lock).
// Returns 0, or -1 with a message.
int sdb_derived_rewrite(sdb_index *ix);
