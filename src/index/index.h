// The index record: its document table, its id map and its term table.
#pragma once

#include <cstddef>
#include <cstdint>

// A slot number is a position in sdb_index::docs; SDB_NO_SLOT is never one.
#define SDB_NO_SLOT 0xFFFFFFFFu

// Longest term text kept; longer tokens are cut to this many bytes on both
// the indexing and the query side, so every token finds its own term.
enum { SDB_TERM_MAX = 255 };

enum { SDB_POSTING_TITLE = 1u };

// One document's occurrences of one term.
struct sdb_posting {
  uint32_t doc;    // slot number
  uint32_t tf;     // occurrences among the document's tokens
  uint32_t flags;  // SDB_POSTING_TITLE: at least one came from the title member
};

// One entry of the term table, chained in bucket hash % bucket_count,
// new entries at the head of their chain.
//
// Invariants after a rebuild: at least one posting; doc_freq ==
// posting_count; postings in ascending slot order, at most one per slot and
// only for live slots. While a document's tokens are entered, its posting
// in a term, when it has one, is that term's last posting.
struct sdb_term {
  uint64_t hash;                 // FNV-1a of text[0 .. len)
  char text[SDB_TERM_MAX + 1];   // NUL-terminated
  uint64_t len;                  // <= SDB_TERM_MAX
  uint32_t doc_freq;
  sdb_posting *postings;
  uint32_t posting_count;
  uint32_t posting_cap;          // 0, then 8, then doubling
  sdb_term *next;
};

// The terms of a table in byte order, built by the rebuild beside the table
// it belongs to, so that a query token that is not itself a term finds its
// prefix extensions and near spellings without walking every entry.
//
// For i below count (== the table's term_count): terms[i] is the i-th entry
// in byte order of the texts (a text before its extensions); scan_pos[i] is
// the position of terms[i] in the table walk (buckets ascending, each chain
// from its head); lcp[i] is the number of leading bytes terms[i] shares
// with terms[i - 1] (lcp[0] is 0). All three are nullptr when count is 0.
struct sdb_term_order {
  uint32_t count;
  sdb_term **terms;
  uint32_t *scan_pos;
  uint8_t *lcp;
};

// One slot of the document table.
//
// A slot below doc_count is live (alive 1; id and raw set; raw_len ==
// strlen(raw)) or dead (alive 0; id and raw nullptr; raw_len and
// token_count 0). Slots from doc_count to doc_cap - 1 are all zero.
struct sdb_doc {
  char *id;              // owned copy of the document id
  char *raw;             // owned canonical JSON text of the document
  uint64_t raw_len;
  uint64_t token_count;  // tokens at the last rebuild: the BM25 length
  uint32_t alive;
};

// One index.
//
// Document table: doc_count only grows; a slot is never given to another id
// while the record lives, so slot numbers are stable.
//
// Id map: open addressing over id_cap positions (a power of two), probe
// start hash & (id_cap - 1), then upward with wrap-around. id_keys[i] is
// nullptr for an empty position (the empty string is an ordinary id). Every
// id ever added has exactly one key mapping to its slot; keys stay when the
// document is deleted. id_count <= trunc(id_cap * 0.7) after every
// insertion, so a probe always meets an empty position.
//
// Term table: bucket_count chain heads (1024 at creation, a power of two,
// doubling before it would hold more than 3 entries per 4 buckets, never
// shrinking); rebuilt from the documents after every change.
struct sdb_index {
  char name[256];
  char primary_key[128];
  uint32_t bucket_count;
  sdb_term **buckets;
  uint32_t term_count;
  sdb_doc *docs;
  uint32_t doc_count;
  uint32_t doc_cap;
  uint32_t id_cap;
  char **id_keys;
  uint32_t *id_vals;
  uint32_t id_count;
  uint64_t total_tokens;  // sum of token_count over all slots
  uint32_t live_count;    // live slots at the last rebuild, which follows every change
  // Each slot's BM25 length factor at the last rebuild (sdb_length_norm of
  // its token_count), -1.0 for a dead slot; doc_count entries. Scoring
  // reads it here, packed and ready, rather than from the slots. nullptr
  // before the first rebuild.
  double *doc_norms;
  // -- term table storage (owned by the inverted-index module) --
  struct sdb_term_block *term_blocks;  // every sdb_term is carved from these
  sdb_term_order order;                // the same entries in byte order
};

// 64-bit FNV-1a over n bytes.
uint64_t sdb_hash(const char *bytes, size_t n);

// Copies src into a fixed text field of size bytes. A text that does not fit
// is cut before the character that crosses the end, so that a cut never
// leaves part of a UTF-8 sequence (the field is written out as JSON).
void sdb_copy_field(char *dst, size_t size, const char *src);

// A new empty index, or nullptr with "oom: index", "oom: buckets" or
// "oom: docs". name is cut to 255 bytes, primary_key (nullptr: "id") to 127,
// each by sdb_copy_field.
sdb_index *sdb_index_new(const char *name, const char *primary_key);

// Releases ix and everything it owns; nullptr is ignored.
void sdb_index_free(sdb_index *ix);

// Slot of id (live or dead), or SDB_NO_SLOT when it was never added.
uint32_t sdb_id_map_find(const sdb_index *ix, const char *id);

// Enters a copy of id (not yet in the map) with its slot. Returns 0, or -1
// when memory ran out (the map is unchanged).
int sdb_id_map_insert(sdb_index *ix, const char *id, uint32_t slot);

// What one sdb_index_add_raw_doc changed, kept so that a batch whose save
// failed can be taken back. A replaced text is kept here, not freed.
struct sdb_doc_undo {
  uint32_t slot;
  bool created;          // the slot was new: undo removes it and its id
  bool revived;          // the slot was dead: undo makes it dead again
  char *raw;             // the replaced text (live replacement only)
  uint64_t raw_len;
  uint64_t token_count;
};

// Adds a document, or replaces the text of the one with the same id (reviving
// it in its old slot when it was deleted). Both strings are copied. Returns
// the slot, or SDB_NO_SLOT with "oom: docs" (index unchanged). When undo is
// given it receives what the call changed, and the replaced text is handed
// over to it instead of being freed. The caller rebuilds the term table
// afterwards.
uint32_t sdb_index_add_raw_doc(sdb_index *ix, const char *id, const char *raw, uint64_t raw_len,
                               sdb_doc_undo *undo = nullptr);

// Takes back one add. Adds of a batch are taken back in reverse order, so
// that every slot the batch created is the last one when it is removed.
void sdb_index_undo_add(sdb_index *ix, sdb_doc_undo *undo);

// Frees what undo kept, once the add stands.
void sdb_doc_undo_release(sdb_doc_undo *undo);
