// Opening an index's derived file (derived.h) and checking what it says
// before anything uses it; and loading an index's documents where they lie
// in docs.json when the file proves that docs.json is the one it
// describes, so that a fresh process reads neither.
//
// docs.json is trusted unread only when its device, inode, size, and
// change and modification times equal those the file records, and its
// change time is older than the clock at the recorded load by more than
// SDB_SETTLED_NS. The file system stamps a file's change time from a clock
// that may lag the true time by its tick, so a file replaced after that
// load gets a later change time than the one recorded: two rewrites within
// a tick can reuse a freed inode with the same size and times, and the
// margin, far above any tick and above file systems that keep whole (or
// even) seconds, keeps them apart. Otherwise docs.json is read as always
// and the file is used only when its recorded size and checksum match.
#pragma once

#include <cstdint>

#include "storage/derived_format.h"

struct sdb_index;
struct stat;

// How much older than the load docs.json's change time must be for its
// metadata to stand for its bytes.
inline constexpr int64_t SDB_SETTLED_NS = 2'000'000'000;

// The header of the size bytes at bytes when they begin a derived file of
// this version and byte order: the header whole with its checksum right,
// and each section aligned, inside the file, of the length the counts
// give. The sections' own checksums are not looked at.
bool sdb_derived_header_read(const unsigned char *bytes, uint64_t size, sdb_derived::header *h);

// Whether section s (of a header sdb_derived_header_read gave) matches its
// checksum, or for a chunked one, every chunk its own (and the chunk sums
// theirs).
bool sdb_derived_section_intact(const unsigned char *bytes, const sdb_derived::header &h,
                                uint32_t s);

// The chunks of the chunked sections, each section's after the one before
// it in kChunked.
uint64_t sdb_derived_chunk_count(const sdb_derived::header &h);

// The number of chunked section s's first chunk.
uint64_t sdb_derived_first_chunk(const sdb_derived::header &h, uint32_t s);

// Whether chunk (below sdb_derived_chunk_count) matches its sum in the
// chunk sums, which the caller has found intact.
bool sdb_derived_chunk_intact(const unsigned char *bytes, const sdb_derived::header &h,
                              uint64_t chunk);

// Whether chunk of the id table (below chunks_of its length) matches
// its sum in the id sums, which the caller has found intact.
bool sdb_derived_id_chunk_intact(const unsigned char *bytes, const sdb_derived::header &h,
                                 uint64_t chunk);

// The length section s must have, from the header's counts.
uint64_t sdb_derived_section_length(const sdb_derived::header &h, uint32_t s);

// Maps the derived file of the index named name, private and writable
// (munmap it). nullptr when there is none or it is shorter than a header.
unsigned char *sdb_derived_map(const char *name, uint64_t *size);

// The identity of a file from its status, and the clock just before it
// was taken.
void sdb_file_identity_of(const struct stat &st, int64_t stat_ns, struct sdb_file_identity *out);

// Whether a file of identity f had changed last more than SDB_SETTLED_NS
// before its identity was taken, so that the identity alone proves it
// unchanged while it holds.
bool sdb_file_identity_settled(const struct sdb_file_identity &f);

// Whether two identities name the same file unchanged: device, inode, and
// modification and change times (not the clocks they were taken at).
bool sdb_file_identity_same(const struct sdb_file_identity &a, const struct sdb_file_identity &b);

// The identity of docs.json that a derived file's header records.
struct sdb_file_identity sdb_recorded_identity(const sdb_derived::header &h);

// The clock, in ns since the epoch, as file times count.
int64_t sdb_clock_ns(void);

// Puts the documents the derived file at bytes (of a header h) locates
// into ix, new and empty, their entries where they lie in its block
// docs_block, which holds docs.json, and their ids where they lie in
// bytes, which must stay until ix is freed. Every record is checked to lie
// within the block before it is put. False when a record does not or
// memory ran out: ix then holds part of them and is to be freed. The ids
// are entered into the id map at its first use (a file made to repeat one
// leaves it to the first slot that holds it).
bool sdb_docs_take(sdb_index *ix, const unsigned char *bytes, const sdb_derived::header &h,
                   uint32_t docs_block);

// A new index name with primary key key, its documents where they lie in
// the docs.json at docs_rel and the derived file mapped beside them, when
// the derived file is intact, locates every document and proves docs.json
// unchanged (above). nullptr otherwise, nothing else changed and no
// message: the caller loads as without it.
sdb_index *sdb_docs_load_mapped(const char *name, const char *key, const char *docs_rel);

// Fills ix, new, from the size bytes of its derived file (mapped) and the
// docs.json at docs_rel; false when they do not serve (ix is then freed).
using sdb_derived_fill = bool (*)(sdb_index *ix, unsigned char *bytes, uint64_t size,
                                  const char *docs_rel);

// A new index name with primary key key filled by fill from its derived
// file, mapped for it and kept as the mapping its dictionary is taken from;
// nullptr when there is no such file or fill refused it, nothing else
// changed and no message.
sdb_index *sdb_load_beside_derived(const char *name, const char *key, const char *docs_rel,
                                   sdb_derived_fill fill);
