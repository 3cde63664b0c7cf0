// Columns: the values of one field path for every slot of an index, read
// from the stored documents, for filtering, sorting and counting.
//
// A path names a member, '.' stepping into a nested object; a step into an
// array applies to each of its object elements (nested arrays are not
// entered). Where a path ends on a member, the member is present (null and
// [] included) and gives its scalar values: itself when it is a scalar, the
// scalar elements of an array. Where an object holds a key more than once,
// the first member of that key is the one a path steps to.
//
// A column of the empty path, which no request names, holds the token
// sequences of the documents' titles instead (title_column.h).
//
// Every distinct value of a column has an id; a slot's cell holds the ids
// of its distinct values, ascending. Numbers are kept as doubles, so 1 and
// 1.0 are one value (and -0 is 0); strings are byte strings, equal byte for
// byte; true, false and null are one value each.
//
// A column is built on the first request that names its path and kept in
// the index record, so an index that never filters, sorts or counts never
// pays for one; the columns file (storage/column_file.h) keeps it for later
// processes, which take it packed (below) instead of building. Changes of documents keep the kept columns up to date: the
// change prepares their new cells beside them before it saves (every
// allocation is made then) and commits them after, without a failure
// point; a change that cannot prepare them drops every column of the
// index, and the next request builds again what it needs.
#pragma once

#include <yyjson.h>

#include <cstdint>

#include "base/limits.h"
#include "base/table.h"
#include "index/build.h"
#include "index/field_value.h"
#include "index/index.h"

enum : uint32_t { SDB_NO_VALUE = 0xFFFFFFFFu, SDB_NO_RANK = 0xFFFFFFFFu };

// One distinct value of a column.
struct sdb_column_value {
  uint64_t payload;  // a number's double bits; a string's offset in the arena
  uint32_t len;      // a string's length
  sdb_value_kind kind;
};

// The cell of one slot. With one value, at is its id; with more, the ids
// are pool[at .. at + count). SDB_CELL_PRESENT marks a slot whose document
// holds the member.
struct sdb_cell {
  uint32_t at;
  uint32_t n;  // count | SDB_CELL_PRESENT
};
enum : uint32_t { SDB_CELL_PRESENT = 0x80000000u, SDB_CELL_COUNT = 0x7FFFFFFFu };

struct sdb_column {
  char *path;  // owned, NUL-terminated
  uint32_t path_len;
  sdb_cell *cells;  // cell_count cells: one per slot of the document table
  uint32_t cell_count, cell_cap;
  uint32_t *pool;  // ids of cells with more than one value
  uint64_t pool_len, pool_cap;
  uint64_t refs;   // value ids the cells hold
  bool several;    // some cell holds (or held) more than one value
  uint64_t stale;  // value ids cells have let go of since the column was laid out
  sdb_column_value *values;
  uint32_t value_count, value_cap;
  sdb_table<uint32_t> table;  // ids + 1 by the values' table hash, 0 empty; load <= 1/2
  char *arena;                // the bytes of the strings
  uint64_t arena_len, arena_cap;
  uint64_t version;  // raised by every change of a cell
  uint64_t used;     // when a request last used it (sdb_columns::clock)
  // The order of the sortable values (numbers ascending, then strings by
  // bytes), valid while ordered_version == version and ordered is set:
  // sorted[r] is the id of rank r, numbers first (number_count of them);
  // rank[id] is its rank, SDB_NO_RANK for true, false and null. While
  // slots_ordered is set too, asc[slot] is the least rank in a cell and
  // desc[slot] the distance of its greatest from the last rank, SDB_NO_RANK
  // for a cell without a sortable value (a column only counted needs none).
  bool ordered, slots_ordered;
  uint64_t ordered_version;
  uint32_t *rank;
  uint32_t *sorted;
  uint32_t sorted_count, number_count;
  uint32_t *asc, *desc;
  struct sdb_column_bits *bits;  // column_bits.h; nullptr until asked for
};

// The title column is kept under the empty path, which no request can name.
inline bool sdb_is_title_column(const sdb_column *c) {
  return c->path_len == 0;
}

// The columns an index keeps (sdb_index::columns).
struct sdb_columns {
  sdb_column **items;
  uint32_t count, cap;
  uint64_t clock;  // counts requests, for dropping the least recently used
};

// An index keeps at most SDB_COLUMNS_KEPT columns (base/limits.h), and so
// one request may name as many distinct field paths: each costs a value per
// slot of the index.

// The path of the title column: per slot, its title's token sequence.
inline constexpr sdb_path SDB_TITLE_PATH = {"", 0};

// How a build reads the stored documents: scanning each text for the
// paths it needs (value_scan.h), the whole text parsed only where the scan
// is unsure, or parsing every text whole, the reference the scan answers
// as.
enum sdb_column_reader : uint8_t { SDB_COLUMNS_SCAN, SDB_COLUMNS_PARSE };

// The columns of paths[0 .. n) into out[0 .. n), building those the index
// lacks in one pass over its stored documents. False when memory ran out
// (no message); the index keeps what it had.
// *built (when given) receives how many it built.
bool sdb_columns_get(sdb_index *ix, const sdb_path *paths, uint32_t n, sdb_column **out,
                     sdb_column_reader how = SDB_COLUMNS_SCAN, uint32_t *built = nullptr);

// Releases every column of the index (freeing memory; the next request
// builds again what it needs).
void sdb_columns_drop(sdb_index *ix);

// Puts the sortable values of c in order for its current version, and
// with slots each cell's ranks too. False when memory ran out.
bool sdb_column_order(sdb_column *c, bool slots = true);

// The id of value v in c, or SDB_NO_VALUE when no cell holds it.
uint32_t sdb_column_find(const sdb_column *c, const sdb_value *v);

// A scalar JSON value (a string, number, true, false or null) as a value.
sdb_value sdb_value_of(yyjson_val *scalar);

// Value id as a scalar.
sdb_value sdb_column_value_of(const sdb_column *c, uint32_t id);

// For an ordered column and a number or string v: the ranks of v's kind are
// [*kind_lo, *kind_hi), and the result is the first of them whose value is
// not below v (above v when after_equal).
uint32_t sdb_column_bound(const sdb_column *c, const sdb_value *v, bool after_equal,
                          uint32_t *kind_lo, uint32_t *kind_hi);

// The ids of a slot's cell, *n of them.
inline const uint32_t *sdb_cell_ids(const sdb_column *c, uint32_t slot, uint32_t *n) {
  const sdb_cell &cell = c->cells[slot];
  *n = cell.n & SDB_CELL_COUNT;
  return *n == 1 ? &cell.at : c->pool + cell.at;
}

inline bool sdb_cell_present(const sdb_column *c, uint32_t slot) {
  return (c->cells[slot].n & SDB_CELL_PRESENT) != 0;
}

// ---- Keeping columns up to date with a change of documents ----

struct sdb_columns_change_state;

struct sdb_columns_change {
  sdb_columns_change_state *state;  // nullptr: nothing to do
  bool drop;                        // the columns could not be prepared
};

// Prepares every column of ix for a change of the document table that has
// been made already (changes as for sdb_update_prepare). Never fails: where
// memory runs out, or where the change is so large that building again is
// cheaper, the columns are to be dropped at commit.
sdb_columns_change sdb_columns_prepare(sdb_index *ix, const sdb_slot_change *changes,
                                       uint32_t count);

// Applies a prepared change once the documents are saved; cannot fail.
void sdb_columns_commit(sdb_index *ix, sdb_columns_change *c);

// Drops a prepared change (the documents were not saved).
void sdb_columns_discard(sdb_columns_change *c);

// Releases the columns an index keeps (with the index record).
void sdb_columns_free(sdb_columns *cols);

// ---- Columns as bytes, for a later process (storage/column_file.h) ----
//
// A packed column holds its path, its values in id order and a cell per
// live slot of the index in slot order, so that it fits any index whose
// live documents are the same ones in the same order, whatever slots the
// dead ones took. Little-endian: u32 path length, the path; u32 value
// count, each value a kind byte then a number's u64 bits or a string's u32
// length and bytes; u32 cell count, u64 pool length; per cell u32 at and
// u32 n; the pool's u32 ids.

// The bytes of column c for the live slots of ix into a block from malloc
// (*len bytes), or nullptr when memory ran out.
unsigned char *sdb_column_pack(const sdb_index *ix, const sdb_column *c, uint64_t *len);

// The path the packed column at bytes names; false when they do not begin
// with one.
bool sdb_packed_path(const unsigned char *bytes, uint64_t len, sdb_path *path);

// The column packed in bytes[0 .. len) laid onto ix's live slots, or
// nullptr: when the bytes are not such a column (*oom false) or memory ran
// out (*oom true). Every count, id and length is checked, and the cells
// must be as a build leaves them (ids ascending and distinct, present
// where there are any, values distinct, numbers finite and strings
// UTF-8), so that any
// bytes can make it refuse but never read outside them nor give a column
// a request could not use.
sdb_column *sdb_column_unpack(const sdb_index *ix, const unsigned char *bytes, uint64_t len,
                              bool *oom);

// Whether ix keeps a column of path.
bool sdb_columns_has(const sdb_index *ix, const sdb_path &path);

// Gives c, unpacked for ix, to the columns ix keeps, when they have room
// for one more without letting one go. False when they have not or memory
// ran out: c is then still the caller's (sdb_column_free).
bool sdb_columns_adopt(sdb_index *ix, sdb_column *c);

void sdb_column_free(sdb_column *c);
