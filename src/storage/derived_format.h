// The layout of the derived file (derived.h tells what it holds and when
// it is trusted): its header and records, for the code that writes and
// reads it and for the tests that damage it on purpose.
#pragma once

#include <cstdint>

namespace sdb_derived {

inline constexpr char kMagic[8] = {'s', 'd', 'b', 'd', 'e', 'r', 'i', 'v'};
// Raised whenever what the file holds, or what a build makes of the same
// documents, changes: an older file is then simply built again.
inline constexpr uint32_t kVersion = 8;
inline constexpr uint32_t kByteOrder = 0x01020304u;
inline constexpr uint64_t kAlign = 64;
inline constexpr uint64_t kHeaderSize = 1024;
// The chunked sections (the term records, the byte order, the postings
// and the id table) are checked by pages: a fresh search or lookup reads
// a handful of their entries (a prefix's words each lie in a page of
// their own), each page checked the first time it is read.
inline constexpr uint64_t kPageChunk = 4 * 1024;

enum section_id : uint32_t {
  S_TOKENS,
  S_TERMS,
  S_TEXTS,
  S_ORDER,
  S_LCP,
  S_SLOTS,
  S_TFS,
  S_BIG,
  S_ENTRY_SUMS,
  S_DOCS,
  S_IDS,
  S_CHUNK_SUMS,   // sdb_checksum per chunk of each chunked section, in kChunked order
  S_ORDER_TEXTS,  // per byte-order position, where its text lies in the texts (u32)
  S_ID_TABLE,     // per position of the id table, a slot (u32) or kNoSlot
  S_ID_SUMS,      // sdb_checksum per kPageChunk bytes of the id table
  kSections
};

struct section {
  uint64_t offset;
  uint64_t length;
  uint64_t sum;  // sdb_checksum of its bytes; 0 for the chunked ones
};

// The dictionary's sections checked by chunks (S_CHUNK_SUMS) rather than
// whole, in the order their chunks' sums lie there.
inline constexpr uint32_t kChunked[] = {S_SLOTS, S_TFS, S_TERMS, S_ORDER};

// Whether section s is checked by chunks: those of kChunked, and the id
// table by its own sums (S_ID_SUMS), which the index's lookups check
// apart from the dictionary.
inline constexpr bool chunked(uint32_t s) {
  for (const uint32_t c : kChunked)
    if (c == s) return true;
  return s == S_ID_TABLE;
}

// The chunks n bytes of a chunked section take.
inline constexpr uint64_t chunks_of(uint64_t n) {
  return (n + kPageChunk - 1) / kPageChunk;
}

// The id table places each id of the located slots, once, with the first
// slot that holds it: at the first of the positions h, h + 1, ... (modulo
// id_positions, h its sdb_keyed_hash under id_key) that is empty or holds
// it, so that a lookup finds an id's slot without the process making its
// own map of every id. kNoSlot marks an empty position.
inline constexpr uint32_t kNoSlot = 0xFFFFFFFFu;

// The positions of the id table for n ids: the least power of two that n
// fills at most half, so that a lookup probes few (none for no ids).
inline constexpr uint64_t id_positions_for(uint64_t n) {
  uint64_t positions = n ? 2 : 0;
  while (positions != 0 && positions < 2 * n) positions *= 2;
  return positions;
}

// Enough to make a term alone, the first time it is read: where its text
// and its postings lie.
struct term_record {
  uint32_t text;  // offset of its length byte in the texts
  uint32_t first_pos;
  uint32_t count;
  uint32_t start;  // its first posting's index in the postings sections
};

// The offsets above are 32-bit: a dictionary with more postings or text
// bytes than this gets no file.
inline constexpr uint64_t kMaxOffset = 0xFFFFFFFFu;

// Where a slot's entry lies in the docs.json the file describes (its
// comma, or the closing bracket after the last, is the byte after it).
struct doc_record {
  uint64_t entry;  // offset in docs.json
  uint64_t entry_len;
  uint64_t raw_len;
  uint32_t raw_off;
  uint32_t id_len;  // bytes of its id in the ids section, before its NUL
};

// The length of the id whose record is r, lying at byte at of an ids
// section of id_bytes bytes: 0 unless it is not empty and its NUL ends it
// inside the section. A load reads it instead of searching for the NUL.
inline uint64_t id_length(const char *ids, uint64_t id_bytes, uint64_t at, const doc_record &r) {
  const uint64_t len = r.id_len;
  return len > 0 && at < id_bytes && len < id_bytes - at && ids[at + len] == '\0' ? len : 0;
}

struct big_record {
  uint32_t term;
  uint32_t slot;
  uint32_t tf;
};

// The first bytes of the file; the rest of kHeaderSize is zeros.
struct header {
  char magic[8];
  uint32_t version;
  uint32_t byte_order;
  uint64_t header_sum;  // sdb_checksum of the kHeaderSize bytes with this field 0
  uint64_t file_size;
  uint64_t docs_size;  // the docs.json it describes: its size and sdb_checksum
  uint64_t docs_sum;
  uint32_t doc_count;
  uint32_t live_count;
  uint32_t term_count;
  uint32_t big_count;
  uint32_t start_buckets;
  uint32_t bucket_count;
  uint64_t postings;
  uint64_t text_bytes;
  uint64_t total_tokens;
  // What proves, without reading it, that docs.json is the one described:
  // its device, inode, size (docs_size), and change and modification times
  // in ns, and the time before they were taken when it was read (stat_ns).
  uint64_t docs_dev;
  uint64_t docs_ino;
  int64_t docs_mtime_ns;
  int64_t docs_ctime_ns;
  int64_t docs_stat_ns;
  // Slots whose entries the docs section locates: doc_count, or 0 when an
  // entry is not in docs.json as it lies (one the load wrote again).
  uint32_t located;
  uint32_t zero;
  uint64_t id_bytes;  // the ids section: each slot's id and a NUL, in slot order
  // The id table: its positions (a power of two, or 0 with no located
  // slots) and the key of its hash (sdb_keyed_hash), drawn for this file.
  uint64_t id_positions;
  uint64_t id_key[4];
  section sections[kSections];
};
static_assert(sizeof(header) <= kHeaderSize);

}  // namespace sdb_derived
