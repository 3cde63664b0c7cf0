// The term dictionary of an index: every distinct token of its live
// documents (cut to SDB_TERM_MAX bytes) with its postings.
//
// A term is found three ways: by its bytes (exact lookup in an open
// addressing table, or a binary search of the byte order while the
// dictionary is a stored file's: see `lent`), by its place in byte order
// (prefix runs and near spellings, `order`), and by the place a full
// rebuild of the index would give it in its term table walk (the scan key
// of index/walk_order.h, which orders the terms one query token matches,
// so that scores are summed in the same order).
//
// The scan key and the figures it is computed from (each term's hash and
// rank, the two bucket counts) follow the order of a chained table's walk;
// index/walk_order.h says what it is and why it is kept.
//
// Postings: each term's postings are two parallel arrays, slots ascending,
// one byte per posting for tf and the title mark. A full build lays every
// term's postings out in one pool, exactly sized; a term that must grow
// later moves to arrays of its own. A tf too large for its byte is kept in
// a side table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/hashing.h"
#include "base/table.h"
#include "index/tokenizer.h"

enum : uint8_t {
  SDB_TF_TITLE = 0x80,    // at least one occurrence came from the title member
  SDB_TF_MASK = 0x7F,     // the tf, or SDB_TF_OVERFLOW
  SDB_TF_OVERFLOW = 0x7F  // the tf is in the side table
};

// One term. A record whose count is 0 is free (text nullptr). A term's
// text is stored with its length in the byte before it (sdb_text_len), so a
// walk of the byte order reads one place per term.
struct sdb_term {
  uint64_t hash;       // sdb_hash of the text
  const char *text;    // len bytes and a NUL, in the dictionary's text store
  uint32_t len;        // <= SDB_TERM_MAX
  uint32_t first_pos;  // token position of its first occurrence in slot docs[0]
  uint32_t rank;       // its place in first-occurrence order (by_first)
  uint32_t count;      // postings: the documents holding the term, its df
  uint32_t cap;        // room of its own arrays; 0 while its postings lie in the pool
  uint32_t *docs;      // slots, ascending
  uint8_t *tfs;        // per posting: tf (or SDB_TF_OVERFLOW) | SDB_TF_TITLE
};

// An exact tf that does not fit in a posting's byte, in the table of them
// (base/table.h): key is (term << 32 | slot) + 1, 0 for an empty position,
// placed by its table hash; the table's load stays at most 1/2.
struct sdb_big_tf {
  uint64_t key;
  uint32_t tf;
};

struct sdb_text_block;

// Postings taken from a stored file and checked a term at a time, the
// first time a search reads them (storage/derived.cc): the bytes of the
// postings arrays by chunks against their stored checksums, and each
// term's postings for what a build guarantees. One allocation, bitmaps
// after the struct.
//
// Its term records are made the same way, each the first time it is read
// (sdb_term_at): until then a record is zeros, and opening touches none.
// The file's records and byte order are checked by chunks too, the first
// time an entry in one is read.
struct sdb_unchecked {
  const unsigned char *file;  // the stored file's bytes
  const void *head;           // a copy of its header, for its owner to read
  const uint32_t *slots;      // its postings arrays, where term docs/tfs point
  const uint8_t *tfs;
  uint64_t postings;      // entries of each postings array
  const void *records;    // the file's term records, nullptr once all are made
  uint64_t *chunks_done;  // a bit per chunk found intact
  uint64_t order_chunk;   // the number of the byte order's first chunk
  uint64_t *terms_done;   // a bit per term id checked
  bool failed;            // a check failed: the dictionary must not be read
};

struct sdb_terms {
  sdb_term *terms;  // by term id
  uint32_t ids;     // ids in use: terms[0 .. ids) are live or free
  uint32_t cap;
  uint32_t count;      // live terms
  uint32_t *free_ids;  // free ids below `ids`, free_count of them (room for cap)
  uint32_t free_count;
  // Exact lookup: (sdb_term_key high half << 32 | id), ~0 empty, placed by
  // the key; load <= 1/2.
  sdb_table<uint64_t> lookup;
  uint32_t *order;          // live ids in byte order of their texts (count of them)
  const char **order_text;  // their texts, for walks that need no more of a term (sdb_order_text)
  uint8_t *lcp;             // lcp[i]: leading bytes order[i] shares with order[i - 1]
  uint32_t *by_first;       // live ids in first-occurrence order: terms[by_first[r]].rank == r
  uint32_t list_cap;        // room of order, lcp and by_first
  uint32_t *pool_docs;      // a full build's postings (owned)
  uint8_t *pool_tfs;
  sdb_table<sdb_big_tf> big_tfs;
  sdb_text_block *texts;     // owned chain
  uint32_t bucket_count;     // the table walk's bucket count ...
  uint32_t start_buckets;    // ... and the one its rebuild started from
  sdb_unchecked *unchecked;  // owned; nullptr when every posting is checked
  // Taken from a stored file as it lies, and not changed since: order is
  // the file's own array, order_text is not made (the file's offsets of
  // the texts stand for it), by_first is not made (a file's ids are the
  // ranks) and the exact lookup is empty, lookups searching the byte order
  // instead. Opening then fills no table and copies no order; the first
  // change makes them the dictionary's own (sdb_terms_own).
  bool lent;
  const char *lent_texts;        // while lent: the file's texts, lent_text_bytes of them,
  const uint32_t *lent_text_at;  // and per byte-order position its text's offset there
  uint64_t lent_text_bytes;
};

enum : uint32_t { SDB_NO_TERM = 0xFFFFFFFFu, SDB_FIRST_BUCKETS = 1024 };

// The hash the exact lookup uses: the table hash (base/hashing.h), whose
// collisions no text can choose, unlike those of the FNV-1a of the table
// walk; the walk needs FNV-1a only for the terms themselves, not for every
// token looked up.
inline uint64_t sdb_term_key(const char *bytes, uint32_t len) {
  return sdb_table_hash(bytes, len);
}

// Makes record id of a dictionary whose records are made as first read
// (sdb_unchecked) from its stored file; one not as a build makes it marks
// the dictionary failed and becomes an empty term (no text, no postings),
// so that the reader finishes safely and its call answers anew from a
// build. Defined where the file's layout is known (storage/derived.cc).
void sdb_terms_fill(const sdb_terms *d, uint32_t id);

// Term id, made first when it was not yet. Every reader of a record goes
// through here: a dictionary taken from a stored file makes its records
// only as they are read.
inline const sdb_term &sdb_term_at(const sdb_terms *d, uint32_t id) {
  const sdb_term &t = d->terms[id];
  if (__builtin_expect(t.text == nullptr && d->unchecked != nullptr, 0)) sdb_terms_fill(d, id);
  return t;
}

// The text of the term at place i of the byte order. A lent dictionary
// reads it where the file says it lies, checked to lie within the texts:
// one that does not marks the dictionary failed and reads as empty.
const char *sdb_terms_bad_text(const sdb_terms *d);
inline const char *sdb_order_text(const sdb_terms *d, uint32_t i) {
  if (d->order_text != nullptr) return d->order_text[i];
  const uint64_t at = d->lent_text_at[i];
  if (__builtin_expect(at >= d->lent_text_bytes, 0)) return sdb_terms_bad_text(d);
  const char *text = d->lent_texts + at + 1;
  const uint64_t len = static_cast<uint8_t>(text[-1]);
  if (__builtin_expect(at + len + 2 > d->lent_text_bytes || text[len] != '\0', 0))
    return sdb_terms_bad_text(d);
  return text;
}

// The id at place i of the byte order. A lent dictionary's comes from the
// file as it lies: one past the ids marks the dictionary failed and reads
// as id 0, and so does one whose chunk of the file, checked the first time
// it is read while the dictionary is not wholly checked (sdb_unchecked), is
// damaged. The check is defined where the file's layout is known
// (storage/derived.cc).
uint32_t sdb_terms_bad_id(const sdb_terms *d);
uint32_t sdb_terms_checked_order_id(const sdb_terms *d, uint32_t i);
inline uint32_t sdb_order_id(const sdb_terms *d, uint32_t i) {
  if (__builtin_expect(d->unchecked != nullptr, 0)) return sdb_terms_checked_order_id(d, i);
  const uint32_t id = d->order[i];
  return __builtin_expect(id < d->ids, 1) ? id : sdb_terms_bad_id(d);
}

// The id of the term with these bytes (len <= SDB_TERM_MAX), or
// SDB_NO_TERM; key is sdb_term_key of the bytes.
uint32_t sdb_terms_find_keyed(const sdb_terms *d, const char *bytes, uint32_t len, uint64_t key);

// Hints for a lookup of key that comes soon: the first fetches its place in
// the table, the second (once that place is likely cached) the term it
// holds. They change nothing, so a stale key costs only a wasted fetch,
// and do nothing while the lookup is empty (lent).
void sdb_terms_prefetch_slot(const sdb_terms *d, uint64_t key);
void sdb_terms_prefetch_term(const sdb_terms *d, uint64_t key);

inline uint32_t sdb_terms_find(const sdb_terms *d, const char *bytes, uint32_t len) {
  return sdb_terms_find_keyed(d, bytes, len, sdb_term_key(bytes, len));
}

// The length of a term text, from the byte before it.
inline uint32_t sdb_text_len(const char *text) {
  return static_cast<uint8_t>(text[-1]);
}

// Byte order of a term text against bytes[0 .. len): <0, 0, >0.
int sdb_text_compare(const char *text, const char *bytes, uint32_t len);

inline int sdb_term_compare(const sdb_term *t, const char *bytes, uint32_t len) {
  return sdb_text_compare(t->text, bytes, len);
}

// The exact tf of posting i of term id.
uint32_t sdb_posting_tf(const sdb_terms *d, uint32_t id, uint32_t i);

// Releases everything the dictionary owns; it is empty afterwards.
void sdb_terms_free(sdb_terms *d);

// The id of the term of rank r (first-occurrence order).
inline uint32_t sdb_terms_by_first(const sdb_terms *d, uint32_t r) {
  return d->lent ? r : d->by_first[r];
}

// ---- Changing the dictionary (the builds of build.cc) ----
//
// Every function that may run out of memory only makes room: it leaves
// every term, posting and order as it was, so a change can make all the
// room it needs first and then apply itself without a failure point.
// None of them may be called on a lent dictionary before sdb_terms_own.

// Makes a lent dictionary's lists its own and fills its exact lookup, as
// a change needs; answers stay the same. False, nothing changed, when
// memory ran out.
bool sdb_terms_own(sdb_terms *d);

// Room for n more term ids and n more entries in the three lists, and a
// lookup table that keeps its load at most 1/2 with them. False when memory
// ran out.
bool sdb_terms_reserve(sdb_terms *d, uint32_t n);

// The same room, a part at a time: records for n more ids; a lookup table
// for n more terms; n more entries in the lists.
bool sdb_terms_reserve_records(sdb_terms *d, uint32_t n);
bool sdb_terms_reserve_lookup(sdb_terms *d, uint32_t n);
bool sdb_terms_reserve_lists(sdb_terms *d, uint32_t n);

// Room for texts of n bytes in all (with a length byte and a NUL each) in
// the text store.
bool sdb_terms_reserve_text(sdb_terms *d, uint64_t n);

// Room for n more big tfs.
bool sdb_terms_reserve_big_tfs(sdb_terms *d, uint32_t n);

// Gives term id arrays of its own with room for cap postings (cap >= its
// count), keeping its postings.
bool sdb_terms_own_postings(sdb_terms *d, uint32_t id, uint32_t cap);

// Adds a term with no postings yet; room must have been made. key is
// sdb_term_key of the bytes. Returns its id. Its rank, first_pos and place
// in the lists are the caller's to set.
uint32_t sdb_terms_add(sdb_terms *d, const char *bytes, uint32_t len, uint64_t key);

// Enters every term of terms[0 .. ids), all live and count of them, into
// an empty exact lookup: for records set whole from elsewhere (a derived
// file). False when memory ran out.
bool sdb_terms_enter_all(sdb_terms *d);

// Removes term id (its postings already gone) from the lookup table and
// frees its record; the lists are the caller's to update.
void sdb_terms_remove(sdb_terms *d, uint32_t id);

// Sets or clears the big tf of (id, slot); room must have been made.
void sdb_terms_set_big_tf(sdb_terms *d, uint32_t id, uint32_t slot, uint32_t tf);
void sdb_terms_clear_big_tf(sdb_terms *d, uint32_t id, uint32_t slot);

// The byte a posting with tf and the title mark takes (SDB_TF_OVERFLOW when
// tf needs the side table).
uint8_t sdb_tf_byte(uint32_t tf, bool title);

// Puts every live term into the byte order (order, order_text and lcp),
// and moves the texts into one block in that order, so that walks of the
// order read them one after another. False when memory ran out; the order
// is then complete all the same, only the texts stay where they are.
bool sdb_terms_sort_by_text(sdb_terms *d);

// Leading bytes two terms share.
uint8_t sdb_terms_common_prefix(const sdb_term *a, const sdb_term *b);
