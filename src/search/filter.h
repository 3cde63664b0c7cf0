// The filter of a search request: which matched documents are kept.
//
// A filter is {"field": PATH, "op": OP, "value": V}, {"and": [FILTER, ...]},
// {"or": [FILTER, ...]} or {"not": FILTER}. OP is eq, ne, lt, lte, gt, gte
// (V a string, number, true, false or null; the order comparisons only with
// a string or a number), in, not_in (V an array of such scalars) or exists
// (no value). The values of a field are those of its column (columns.h):
// a field matches when any of its values matches; ne and not_in hold when
// none is equal; a missing field matches only ne, not_in and not exists.
// Numbers compare as doubles and strings byte for byte; an order comparison
// between a number and a string is false, and true, false and null are
// only ever equal to themselves. {"and": []} keeps everything and
// {"or": []} nothing.
#pragma once

#include <yyjson.h>

#include <cstdint>

#include "index/columns.h"

// How deep filters nest, how many nodes one has, and how many values one
// in or not_in list holds, at most: SDB_FILTER_*_MAX (base/limits.h).

// The distinct field paths of a request; each has one column.
struct sdb_path_list {
  sdb_path *items;
  uint32_t count, cap;
};

enum : uint32_t { SDB_PATH_NO_MEMORY = UINT32_MAX, SDB_PATH_TOO_MANY = UINT32_MAX - 1 };

// The index of path in list, added when new; SDB_PATH_TOO_MANY when that
// would make more than SDB_COLUMNS_KEPT, SDB_PATH_NO_MEMORY when memory ran
// out.
uint32_t sdb_path_list_add(sdb_path_list *list, const char *bytes, uint32_t len);

// The fault of a request naming more paths than that.
#define SDB_PATHS_FAULT "more than %d distinct field paths in one request"

void sdb_path_list_free(sdb_path_list *list);

// True when s[0 .. n) is a path: member names, none empty and none holding
// a NUL, joined by '.'.
bool sdb_path_valid(const char *s, size_t n);

enum sdb_filter_kind : uint8_t { SDB_FILTER_LEAF, SDB_FILTER_AND, SDB_FILTER_OR, SDB_FILTER_NOT };

enum sdb_filter_op : uint8_t {
  SDB_OP_EQ,
  SDB_OP_NE,
  SDB_OP_LT,
  SDB_OP_LTE,
  SDB_OP_GT,
  SDB_OP_GTE,
  SDB_OP_IN,
  SDB_OP_NOT_IN,
  SDB_OP_EXISTS,
};

// One node; the nodes of a filter lie in pre-order, so the children of node
// i begin at i + 1 and each is followed by its next sibling `size` nodes on.
struct sdb_filter_node {
  sdb_filter_kind kind;
  sdb_filter_op op;
  uint32_t size;      // nodes in its subtree, itself included
  uint32_t path;      // a leaf's field, in the request's path list
  yyjson_val *value;  // a leaf's value, in the parsed request
  // Compiled against the field's column:
  uint32_t id;    // eq, ne: the value's id (SDB_NO_VALUE: no cell holds it)
  uint32_t *set;  // in, not_in: the ids of the listed values, ascending (owned)
  uint32_t set_count;
  uint32_t lo, hi;  // lt .. gte: the ranks [lo, hi) that compare true
  const sdb_column *column;
  // A bit per slot that passes, kept with the column for a leaf asked for
  // again (column_bits.h); nullptr: the cells are read.
  const uint64_t *bits;
};

struct sdb_filter {
  sdb_filter_node *nodes;  // nullptr: no filter
  uint32_t count, cap;
  const sdb_column **columns;  // the distinct columns of the leaves, once compiled
  uint32_t column_count;
  // What the leaves read per slot, once compiled: each array once, with
  // the size of its entries.
  const char **reads;
  uint8_t *read_sizes;
  uint32_t read_count;
  // When every leaf has bits and there are enough candidates to pay for
  // it: the whole filter's, word by word (owned, with room for the words
  // of its inner nodes).
  uint64_t *bits;
};

// Reads the filter of a request from val. False with the message set (the
// member path, as in "filter.and[0]: unknown op 'regex'") when it is not one,
// or "oom: search_request" (*oom set) when memory ran out.
bool sdb_filter_parse(yyjson_val *val, sdb_filter *f, sdb_path_list *paths, bool *oom);

// Whether the filter compares by order (and so needs ordered columns).
bool sdb_filter_needs_order(const sdb_filter *f, uint32_t path);

// Resolves every leaf against its column (columns[leaf.path]), whose order
// must be ready where the leaf compares by order, and finds the bits kept
// for a leaf asked for before (or makes them); candidates is how many
// slots the filter will be asked about; what an earlier compile made is
// let go first. False when memory ran out.
bool sdb_filter_compile(sdb_filter *f, sdb_column *const *columns, uint32_t candidates);

// Whether the document in slot passes the filter (true without one).
bool sdb_filter_pass(const sdb_filter *f, uint32_t slot);

// Ask for what the filter reads for slot ahead of sdb_filter_pass:
// candidates lie scattered over columns far larger than the caches, and
// asking a few slots ahead overlaps their misses. The cells first, then,
// once they are likely in, the values of cells that hold several.
inline void sdb_filter_prefetch_cells(const sdb_filter *f, uint32_t slot) {
  for (uint32_t i = 0; i < f->read_count; i++)
    __builtin_prefetch(f->reads[i] + static_cast<uint64_t>(slot) * f->read_sizes[i]);
}
inline void sdb_filter_prefetch_values(const sdb_filter *f, uint32_t slot) {
  for (uint32_t i = 0; i < f->column_count; i++) {
    const sdb_column *c = f->columns[i];
    if (!c->several) continue;
    const sdb_cell cell = c->cells[slot];
    if ((cell.n & SDB_CELL_COUNT) > 1) __builtin_prefetch(c->pool + cell.at);
  }
}

// The whole filter as one bit per slot, once compiled, when it is one:
// combined from its leaves, or its only leaf's; else nullptr.
inline const uint64_t *sdb_filter_whole_bits(const sdb_filter *f) {
  if (f->bits != nullptr) return f->bits;
  return f->count == 1 ? f->nodes[0].bits : nullptr;
}

void sdb_filter_free(sdb_filter *f);
