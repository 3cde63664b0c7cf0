#include "index/columns.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/hashing.h"
#include "base/holders.h"
#include "base/memory.h"
#include "base/table.h"
#include "base/utf8.h"
#include "index/column_bits.h"
#include "index/entry.h"
#include "index/stored_doc.h"
#include "index/title_column.h"
#include "index/value_scan.h"

namespace {

// ---- Values ----

uint64_t number_bits(double num) {
  if (num == 0.0) num = 0.0;  // -0 is 0
  uint64_t bits;
  memcpy(&bits, &num, sizeof bits);
  return bits;
}

double bits_number(uint64_t bits) {
  double num;
  memcpy(&num, &bits, sizeof num);
  return num;
}

uint64_t value_hash(const sdb_value &v) {
  // Values of different kinds never compare equal; their hashes need not
  // differ, but cheaply do.
  if (v.kind == SDB_VALUE_STRING) return sdb_table_hash(v.str, v.len);
  if (v.kind == SDB_VALUE_NUMBER) return sdb_table_hash_u64(number_bits(v.num));
  return sdb_table_hash_u64(static_cast<uint64_t>(v.kind));
}

bool same_value(const sdb_column *c, uint32_t id, const sdb_value &v) {
  const sdb_column_value &have = c->values[id];
  if (have.kind != v.kind) return false;
  if (v.kind == SDB_VALUE_NUMBER) return have.payload == number_bits(v.num);
  if (v.kind == SDB_VALUE_STRING)
    return have.len == v.len && (v.len == 0 || memcmp(c->arena + have.payload, v.str, v.len) == 0);
  return true;
}

// The value table's positions hold ids + 1, placed by the value's hash.
struct value_ops {
  static constexpr unsigned char kEmptyByte = 0;
  static bool empty(uint32_t place) { return place == 0; }
  const sdb_column *c;
  uint64_t hash(uint32_t place) const { return value_hash(sdb_column_value_of(c, place - 1)); }
};

// The table position of v: where it is, or the empty one where it goes.
uint32_t probe(const sdb_column *c, const sdb_value &v) {
  return sdb_table_probe<uint32_t, value_ops>(
      c->table, value_hash(v), [&](uint32_t place) { return same_value(c, place - 1, v); });
}

// Room for extra more values of extra_bytes string bytes in all, so that
// interning them cannot fail. False when memory ran out (the column is as
// it was, some arrays larger).
bool reserve_values(sdb_column *c, uint64_t extra, uint64_t extra_bytes) {
  const uint64_t need = c->value_count + extra;
  if (need >= SDB_NO_VALUE / 2) return false;
  if (!sdb_reserve(&c->values, &c->value_cap, need, 16) ||
      !sdb_reserve(&c->arena, &c->arena_cap, c->arena_len + extra_bytes, 256))
    return false;
  if (c->table.slots != nullptr && need * 2 <= uint64_t{c->table.mask} + 1) return true;
  return sdb_table_resize(&c->table, sdb_table_cap_for(need, 1, 2, 16), value_ops{c});
}

// The id of v, added when new; reserve_values must have made room.
uint32_t intern(sdb_column *c, const sdb_value &v) {
  const uint32_t pos = probe(c, v);
  if (!value_ops::empty(c->table.slots[pos])) return c->table.slots[pos] - 1;
  const uint32_t id = c->value_count++;
  sdb_column_value &slot = c->values[id];
  slot.kind = v.kind;
  slot.len = 0;
  slot.payload = 0;
  if (v.kind == SDB_VALUE_NUMBER) {
    slot.payload = number_bits(v.num);
  } else if (v.kind == SDB_VALUE_STRING) {
    slot.payload = c->arena_len;
    slot.len = v.len;
    if (v.len > 0) memcpy(c->arena + c->arena_len, v.str, v.len);
    c->arena_len += v.len;
  }
  sdb_table_put_at(&c->table, pos, id + 1);
  return id;
}

}  // namespace

sdb_value sdb_value_of(yyjson_val *val) {
  switch (yyjson_get_type(val)) {
    case YYJSON_TYPE_STR:
      return {SDB_VALUE_STRING, 0.0, yyjson_get_str(val),
              static_cast<uint32_t>(yyjson_get_len(val))};
    case YYJSON_TYPE_NUM:
      return {SDB_VALUE_NUMBER, yyjson_get_num(val), nullptr, 0};
    case YYJSON_TYPE_BOOL:
      return {yyjson_get_bool(val) ? SDB_VALUE_TRUE : SDB_VALUE_FALSE, 0.0, nullptr, 0};
    default:
      return {SDB_VALUE_NULL, 0.0, nullptr, 0};
  }
}

namespace {

// ---- Walking a path through a document ----

struct walk_item {
  yyjson_val *obj;
  uint32_t at;  // where the rest of the path starts
};

struct walk_stack {
  walk_item *items;
  uint64_t count, cap;
  sdb_title_scratch title;  // for the title column
};

void walk_stack_free(walk_stack *st) {
  free(st->items);
  sdb_title_scratch_free(&st->title);
  *st = walk_stack{};
}

bool push(walk_stack *st, yyjson_val *obj, uint32_t at) {
  if (!sdb_reserve(&st->items, &st->cap, st->count + 1, 16)) return false;
  st->items[st->count++] = walk_item{obj, at};
  return true;
}

// Calls emit(scalar value) for every scalar the path gives in root and
// sets *present when the path ends on a member anywhere. False when memory
// ran out (emit's false included).
template <typename Emit>
bool walk_path(yyjson_val *root, const char *path, uint32_t len, walk_stack *st, bool *present,
               Emit &&emit) {
  *present = false;
  st->count = 0;
  if (!yyjson_is_obj(root)) return true;
  if (!push(st, root, 0)) return false;
  while (st->count > 0) {
    const walk_item item = st->items[--st->count];
    const char *step = path + item.at;
    const auto *dot = static_cast<const char *>(memchr(step, '.', len - item.at));
    const uint32_t step_len = dot ? static_cast<uint32_t>(dot - step) : len - item.at;
    yyjson_val *member = yyjson_obj_getn(item.obj, step, step_len);
    if (member == nullptr) continue;
    if (dot == nullptr) {
      *present = true;
      if (yyjson_is_arr(member)) {
        size_t idx, max;
        yyjson_val *elem;
        yyjson_arr_foreach(member, idx, max, elem) {
          if (!yyjson_is_ctn(elem) && !emit(sdb_value_of(elem))) return false;
        }
      } else if (!yyjson_is_obj(member) && !emit(sdb_value_of(member))) {
        return false;
      }
      continue;
    }
    const uint32_t next = item.at + step_len + 1;
    if (yyjson_is_obj(member)) {
      if (!push(st, member, next)) return false;
    } else if (yyjson_is_arr(member)) {
      size_t idx, max;
      yyjson_val *elem;
      yyjson_arr_foreach(member, idx, max, elem) {
        if (yyjson_is_obj(elem) && !push(st, elem, next)) return false;
      }
    }
  }
  return true;
}

// Calls emit(scalar value) for every value column c takes from root and
// sets *present as walk_path does; the title column takes the title's
// token sequence. False when memory ran out.
template <typename Emit>
bool column_values(const sdb_column *c, yyjson_val *root, walk_stack *st, bool *present,
                   Emit &&emit) {
  if (!sdb_is_title_column(c)) return walk_path(root, c->path, c->path_len, st, present, emit);
  if (!sdb_title_of(root, &st->title)) return false;
  const sdb_title_text &t = st->title.text;
  *present = t.len > 0;
  return t.len == 0 ||
         emit(sdb_value{SDB_VALUE_STRING, 0.0, t.bytes, static_cast<uint32_t>(t.len)});
}

// ---- Cells ----

// Sorts ids[0 .. n) and drops repeats; returns the count left.
uint32_t sort_unique(uint32_t *ids, uint32_t n) {
  if (n < 2) return n;
  std::sort(ids, ids + n);
  return static_cast<uint32_t>(std::unique(ids, ids + n) - ids);
}

// Writes the cell of slot from ids[0 .. n) (ascending, distinct); room in
// the pool must have been made.
void set_cell(sdb_column *c, uint32_t slot, const uint32_t *ids, uint32_t n, bool present) {
  sdb_cell &cell = c->cells[slot];
  cell.n = n | (present ? uint32_t{SDB_CELL_PRESENT} : 0u);
  cell.at = 0;
  if (n == 1) {
    cell.at = ids[0];
  } else if (n > 1) {
    cell.at = static_cast<uint32_t>(c->pool_len);
    memcpy(c->pool + c->pool_len, ids, n * sizeof(uint32_t));
    c->pool_len += n;
  }
  c->refs += n;
  c->several |= n > 1;
}

void column_free(sdb_column *c) {
  if (c == nullptr) return;
  free(c->path);
  free(c->cells);
  free(c->pool);
  free(c->values);
  sdb_table_free(&c->table);
  free(c->arena);
  free(c->rank);
  free(c->sorted);
  free(c->asc);
  free(c->desc);
  sdb_column_bits_free(c->bits);
  free(c);
}

sdb_column *column_new(const sdb_path &path, uint32_t slots) {
  auto *c = static_cast<sdb_column *>(calloc(1, sizeof(sdb_column)));
  if (c == nullptr) return nullptr;
  c->path = static_cast<char *>(malloc(path.len + 1));
  c->cells = static_cast<sdb_cell *>(calloc(slots ? slots : 1, sizeof(sdb_cell)));
  if (c->path == nullptr || c->cells == nullptr) {
    column_free(c);
    return nullptr;
  }
  sdb_advise_huge(c->cells, (slots ? slots : 1) * sizeof(sdb_cell));  // filled whole
  memcpy(c->path, path.bytes, path.len);
  c->path[path.len] = '\0';
  c->path_len = path.len;
  c->cell_cap = slots ? slots : 1;
  c->cell_count = slots;
  return c;
}

// Scratch for reading cells out of documents.
struct cell_scratch {
  uint32_t *ids;
  uint64_t count, cap;
  walk_stack stack;
};

void scratch_free(cell_scratch *s) {
  free(s->ids);
  walk_stack_free(&s->stack);
  *s = cell_scratch{};
}

// Reads the cell of slot from its parsed document root into c. False when
// memory ran out.
bool build_cell(sdb_column *c, uint32_t slot, yyjson_val *root, cell_scratch *s) {
  s->count = 0;
  bool present = false;
  const bool ok = column_values(c, root, &s->stack, &present, [&](sdb_value v) {
    if (!reserve_values(c, 1, v.kind == SDB_VALUE_STRING ? v.len : 0) ||
        !sdb_reserve(&s->ids, &s->cap, s->count + 1, 16))
      return false;
    s->ids[s->count++] = intern(c, v);
    return true;
  });
  if (!ok) return false;
  const uint32_t n = sort_unique(s->ids, static_cast<uint32_t>(s->count));
  if (n > 1 && !sdb_reserve(&c->pool, &c->pool_cap, c->pool_len + n, 256)) return false;
  set_cell(c, slot, s->ids, n, present);
  return true;
}

// Sets the cells of slot in cols[0 .. n) from what the scan of its text
// found. False when memory ran out.
bool scanned_cells(sdb_column **cols, uint32_t n, uint32_t slot, const sdb_value_scan &found,
                   cell_scratch *s) {
  for (uint32_t i = 0; i < n; i++) {
    sdb_column *c = cols[i];
    uint64_t values = 0, bytes = 0;
    for (uint64_t k = 0; k < found.value_count; k++) {
      const sdb_scanned_value &f = found.values[k];
      values += f.path == i;
      bytes += f.path == i ? f.len : 0;
    }
    if (values > 0 &&
        (!reserve_values(c, values, bytes) || !sdb_reserve(&s->ids, &s->cap, values, 16)))
      return false;
    s->count = 0;
    for (uint64_t k = 0; k < found.value_count; k++) {
      const sdb_scanned_value &f = found.values[k];
      if (f.path != i) continue;
      const sdb_value v{f.kind, f.num, found.bytes ? found.bytes + f.off : "", f.len};
      s->ids[s->count++] = intern(c, v);
    }
    const uint32_t count = sort_unique(s->ids, static_cast<uint32_t>(s->count));
    if (count > 1 && !sdb_reserve(&c->pool, &c->pool_cap, c->pool_len + count, 256)) return false;
    set_cell(c, slot, s->ids, count, ((found.present >> i) & 1) != 0);
  }
  return true;
}

// Fills the new columns cols[0 .. n) from every live document, scanning
// each text for the columns' paths where how allows and the scan is sure,
// else parsing it whole. False when memory ran out.
bool build_columns(const sdb_index *ix, sdb_column **cols, uint32_t n, sdb_column_reader how) {
  sdb_doc_reader reader{};
  cell_scratch scratch{};
  sdb_release_cursor passed;
  bool ok = true;
  // The paths to scan for; the title column takes more than values.
  sdb_path paths[SDB_SCAN_PATHS_MAX];
  bool scan = how == SDB_COLUMNS_SCAN && n <= SDB_SCAN_PATHS_MAX;
  for (uint32_t i = 0; scan && i < n; i++) {
    scan = !sdb_is_title_column(cols[i]);
    paths[i] = sdb_path{cols[i]->path, cols[i]->path_len};
  }
  sdb_value_scan found{};
  for (uint32_t slot = 0; ok && slot < ix->doc_count; slot++) {
    const sdb_doc *d = &ix->docs[slot];
    if (!d->alive) continue;
    if (scan) {
      const char *text = d->entry + d->raw_off;
      const sdb_scan_result got = sdb_scan_values(
          text, text + sdb_entry_escaped_length(d->entry_len, d->raw_off), paths, n, &found);
      if (got != SDB_SCAN_UNSURE) {
        sdb_release_behind(ix, d, &passed);
        ok = got == SDB_SCAN_DONE && scanned_cells(cols, n, slot, found, &scratch);
        continue;
      }
    }
    bool oom = false;
    yyjson_doc *doc = sdb_doc_read(&reader, d, &oom);
    sdb_release_behind(ix, d, &passed);
    if (doc == nullptr) {
      ok = !oom;  // a text that does not parse gives empty cells
      continue;
    }
    yyjson_val *root = yyjson_doc_get_root(doc);
    for (uint32_t i = 0; ok && i < n; i++) ok = build_cell(cols[i], slot, root, &scratch);
    yyjson_doc_free(doc);
  }
  sdb_release_behind(ix, nullptr, &passed);
  sdb_value_scan_free(&found);
  sdb_doc_reader_free(&reader);
  scratch_free(&scratch);
  return ok;
}

// Lays the column out again from its cells, keeping only the values some
// cell holds and the pool entries in use. Nothing changes when memory runs
// out: the column answers the same either way.
void relayout(sdb_column *c) {
  sdb_column fresh{};
  auto *map = static_cast<uint32_t *>(malloc((c->value_count ? c->value_count : 1) * 4));
  bool ok = map != nullptr;
  uint64_t multi = 0, bytes = 0, kept = 0;
  if (ok) {
    for (uint32_t id = 0; id < c->value_count; id++) map[id] = SDB_NO_VALUE;
    for (uint32_t slot = 0; slot < c->cell_count; slot++) {
      uint32_t n;
      const uint32_t *ids = sdb_cell_ids(c, slot, &n);
      if (n > 1) multi += n;
      for (uint32_t k = 0; k < n; k++) map[ids[k]] = 0;
    }
    for (uint32_t id = 0; id < c->value_count; id++) {
      if (map[id] == SDB_NO_VALUE) continue;
      kept++;
      if (c->values[id].kind == SDB_VALUE_STRING) bytes += c->values[id].len;
    }
    ok = reserve_values(&fresh, kept, bytes) &&
         sdb_reserve(&fresh.pool, &fresh.pool_cap, multi ? multi : 1, 1);
  }
  if (ok) {
    // Ids are given in the old order, so every cell stays ascending.
    for (uint32_t id = 0; id < c->value_count; id++)
      if (map[id] != SDB_NO_VALUE) map[id] = intern(&fresh, sdb_column_value_of(c, id));
    for (uint32_t slot = 0; slot < c->cell_count; slot++) {
      sdb_cell &cell = c->cells[slot];
      const uint32_t n = cell.n & SDB_CELL_COUNT;
      if (n == 1) {
        cell.at = map[cell.at];
      } else if (n > 1) {
        uint32_t *to = fresh.pool + fresh.pool_len;
        for (uint32_t k = 0; k < n; k++) to[k] = map[c->pool[cell.at + k]];
        cell.at = static_cast<uint32_t>(fresh.pool_len);
        fresh.pool_len += n;
      }
    }
    std::swap(c->values, fresh.values);
    std::swap(c->value_count, fresh.value_count);
    std::swap(c->value_cap, fresh.value_cap);
    std::swap(c->table, fresh.table);
    std::swap(c->arena, fresh.arena);
    std::swap(c->arena_len, fresh.arena_len);
    std::swap(c->arena_cap, fresh.arena_cap);
    std::swap(c->pool, fresh.pool);
    std::swap(c->pool_len, fresh.pool_len);
    std::swap(c->pool_cap, fresh.pool_cap);
    c->stale = 0;
    c->version++;
  }
  free(map);
  free(fresh.values);
  sdb_table_free(&fresh.table);
  free(fresh.arena);
  free(fresh.pool);
}

sdb_column *find_column(const sdb_columns *cols, const sdb_path &path) {
  for (uint32_t i = 0; i < cols->count; i++) {
    sdb_column *c = cols->items[i];
    if (c->path_len == path.len && memcmp(c->path, path.bytes, path.len) == 0) return c;
  }
  return nullptr;
}

// Drops the least recently used columns the current request does not use
// until room remains for `coming` more within SDB_COLUMNS_KEPT.
void drop_unused(sdb_columns *cols, uint32_t coming) {
  while (cols->count > 0 && cols->count + coming > SDB_COLUMNS_KEPT) {
    uint32_t oldest = cols->count;
    for (uint32_t i = 0; i < cols->count; i++) {
      const sdb_column *c = cols->items[i];
      if (c->used == cols->clock) continue;
      if (oldest == cols->count || c->used < cols->items[oldest]->used) oldest = i;
    }
    if (oldest == cols->count) return;
    column_free(cols->items[oldest]);
    cols->items[oldest] = cols->items[--cols->count];
  }
}

int compare_values(const sdb_column *c, uint32_t id, const sdb_value &v) {
  const sdb_column_value &have = c->values[id];
  if (v.kind == SDB_VALUE_NUMBER) {
    const double x = bits_number(have.payload);
    return x < v.num ? -1 : (x > v.num ? 1 : 0);
  }
  const uint32_t n = std::min(have.len, v.len);
  const int cmp = n ? memcmp(c->arena + have.payload, v.str, n) : 0;
  if (cmp != 0) return cmp;
  return have.len < v.len ? -1 : (have.len > v.len ? 1 : 0);
}

}  // namespace

sdb_value sdb_column_value_of(const sdb_column *c, uint32_t id) {
  const sdb_column_value &v = c->values[id];
  if (v.kind == SDB_VALUE_NUMBER) return {v.kind, bits_number(v.payload), nullptr, 0};
  // A column whose strings are all empty has no arena; its value still has bytes.
  if (v.kind == SDB_VALUE_STRING) return {v.kind, 0.0, c->arena ? c->arena + v.payload : "", v.len};
  return {v.kind, 0.0, nullptr, 0};
}

uint32_t sdb_column_find(const sdb_column *c, const sdb_value *v) {
  if (c->table.slots == nullptr) return SDB_NO_VALUE;
  const uint32_t pos = probe(c, *v);
  return c->table.slots[pos] ? c->table.slots[pos] - 1 : SDB_NO_VALUE;
}

bool sdb_columns_get(sdb_index *ix, const sdb_path *paths, uint32_t n, sdb_column **out,
                     sdb_column_reader how, uint32_t *built) {
  if (built != nullptr) *built = 0;
  if (ix->columns == nullptr) {
    ix->columns = static_cast<sdb_columns *>(calloc(1, sizeof(sdb_columns)));
    if (ix->columns == nullptr) return false;
    ix->columns_free = sdb_columns_free;
  }
  sdb_columns *cols = ix->columns;
  cols->clock++;
  // The paths no column has yet, each once.
  uint32_t missing = 0;
  for (uint32_t i = 0; i < n; i++) {
    out[i] = find_column(cols, paths[i]);
    if (out[i] != nullptr) {
      out[i]->used = cols->clock;
      continue;
    }
    bool repeated = false;
    for (uint32_t k = 0; k < i && !repeated; k++)
      repeated = out[k] == nullptr && paths[k].len == paths[i].len &&
                 memcmp(paths[k].bytes, paths[i].bytes, paths[i].len) == 0;
    missing += !repeated;
  }
  if (missing > 0) {
    drop_unused(cols, missing);
    if (!sdb_reserve(&cols->items, &cols->cap, cols->count + missing, 8)) return false;
    auto *fresh = static_cast<sdb_column **>(malloc(missing * sizeof(sdb_column *)));
    if (fresh == nullptr) return false;
    uint32_t made = 0;
    bool ok = true;
    for (uint32_t i = 0; ok && i < n; i++) {
      if (out[i] != nullptr) continue;
      bool repeated = false;
      for (uint32_t k = 0; k < made && !repeated; k++)
        repeated = fresh[k]->path_len == paths[i].len &&
                   memcmp(fresh[k]->path, paths[i].bytes, paths[i].len) == 0;
      if (repeated) continue;
      fresh[made] = column_new(paths[i], ix->doc_count);
      ok = fresh[made] != nullptr;
      made += ok;
    }
    ok = ok && build_columns(ix, fresh, made, how);
    if (!ok) {
      for (uint32_t k = 0; k < made; k++) column_free(fresh[k]);
      free(fresh);
      for (uint32_t i = 0; i < n; i++) out[i] = nullptr;
      return false;
    }
    for (uint32_t k = 0; k < made; k++) {
      fresh[k]->used = cols->clock;
      cols->items[cols->count++] = fresh[k];
    }
    if (built != nullptr) *built = made;
    free(fresh);
    for (uint32_t i = 0; i < n; i++)
      if (out[i] == nullptr) out[i] = find_column(cols, paths[i]);
  }
  // Changes leave values and pool entries behind; once they outnumber
  // those in use (and the cells, which a relayout walks), the column is
  // laid out again.
  for (uint32_t i = 0; i < n; i++) {
    const sdb_column *c = out[i];
    if (c->stale > std::max<uint64_t>(c->refs, c->cell_count / 16) + 16) relayout(out[i]);
  }
  return true;
}

void sdb_column_free(sdb_column *c) {
  column_free(c);
}

bool sdb_columns_has(const sdb_index *ix, const sdb_path &path) {
  return ix->columns != nullptr && find_column(ix->columns, path) != nullptr;
}

bool sdb_columns_adopt(sdb_index *ix, sdb_column *c) {
  if (ix->columns == nullptr) {
    ix->columns = static_cast<sdb_columns *>(calloc(1, sizeof(sdb_columns)));
    if (ix->columns == nullptr) return false;
    ix->columns_free = sdb_columns_free;
  }
  sdb_columns *cols = ix->columns;
  if (cols->count >= SDB_COLUMNS_KEPT || !sdb_reserve(&cols->items, &cols->cap, cols->count + 1, 8))
    return false;
  c->used = cols->clock;
  cols->items[cols->count++] = c;
  return true;
}

// ---- Packed columns ----

namespace {

// Appends to a block sized before.
struct packer {
  unsigned char *at;
  template <typename T>
  void put(T v) {
    memcpy(at, &v, sizeof v);
    at += sizeof v;
  }
  void bytes(const void *p, uint64_t n) {
    if (n > 0) memcpy(at, p, n);
    at += n;
  }
};

// Reads from bytes[0 .. len): every read is checked against what is left.
struct unpacker {
  const unsigned char *at, *end;
  template <typename T>
  bool get(T *v) {
    if (static_cast<uint64_t>(end - at) < sizeof *v) return false;
    memcpy(v, at, sizeof *v);
    at += sizeof *v;
    return true;
  }
  const unsigned char *take(uint64_t n) {
    if (static_cast<uint64_t>(end - at) < n) return nullptr;
    const unsigned char *p = at;
    at += n;
    return p;
  }
};

// A packed cell's pool reference, checked: ids ascending, distinct and
// values of c.
bool cell_ids_fit(const sdb_column *c, const uint32_t *ids, uint32_t n) {
  for (uint32_t k = 0; k < n; k++)
    if (ids[k] >= c->value_count || (k > 0 && ids[k] <= ids[k - 1])) return false;
  return true;
}

}  // namespace

unsigned char *sdb_column_pack(const sdb_index *ix, const sdb_column *c, uint64_t *len) {
  uint32_t live = 0;
  uint64_t pool = 0, size = 4 + c->path_len + 4 + 4 + 8;
  for (uint32_t id = 0; id < c->value_count; id++) {
    const sdb_column_value &v = c->values[id];
    size += 1 + (v.kind == SDB_VALUE_NUMBER ? 8 : v.kind == SDB_VALUE_STRING ? 4 + v.len : 0);
  }
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const uint32_t n = c->cells[slot].n & SDB_CELL_COUNT;
    if (!ix->docs[slot].alive) continue;
    live++;
    if (n > 1) pool += n;
  }
  size += uint64_t{live} * 8 + pool * 4;
  auto *block = static_cast<unsigned char *>(sdb_alloc_touched(size));
  if (block == nullptr) return nullptr;
  packer p{block};
  p.put(c->path_len);
  p.bytes(c->path, c->path_len);
  p.put(c->value_count);
  for (uint32_t id = 0; id < c->value_count; id++) {
    const sdb_column_value &v = c->values[id];
    p.put(static_cast<uint8_t>(v.kind));
    if (v.kind == SDB_VALUE_NUMBER) p.put(v.payload);
    if (v.kind != SDB_VALUE_STRING) continue;
    p.put(v.len);
    p.bytes(c->arena + v.payload, v.len);
  }
  p.put(live);
  p.put(pool);
  // Cells in slot order, their pool entries laid out afresh in that order.
  uint32_t at = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    if (!ix->docs[slot].alive) continue;
    const sdb_cell &cell = c->cells[slot];
    const uint32_t n = cell.n & SDB_CELL_COUNT;
    p.put(n > 1 ? at : cell.at);
    p.put(cell.n);
    at += n > 1 ? n : 0;
  }
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const sdb_cell &cell = c->cells[slot];
    const uint32_t n = cell.n & SDB_CELL_COUNT;
    if (ix->docs[slot].alive && n > 1) p.bytes(c->pool + cell.at, n * 4);
  }
  *len = size;
  return block;
}

bool sdb_packed_path(const unsigned char *bytes, uint64_t len, sdb_path *path) {
  unpacker u{bytes, bytes + len};
  uint32_t n;
  const unsigned char *at;
  if (!u.get(&n) || (at = u.take(n)) == nullptr) return false;
  *path = sdb_path{reinterpret_cast<const char *>(at), n};
  return true;
}

sdb_column *sdb_column_unpack(const sdb_index *ix, const unsigned char *bytes, uint64_t len,
                              bool *oom) {
  *oom = false;
  sdb_path path;
  if (!sdb_packed_path(bytes, len, &path)) return nullptr;
  unpacker u{bytes + 4 + path.len, bytes + len};
  uint32_t values;
  // Each value takes a byte at least: a count beyond what is left is no column.
  if (!u.get(&values) || values >= SDB_NO_VALUE / 2 || values > static_cast<uint64_t>(u.end - u.at))
    return nullptr;
  sdb_column *c = column_new(path, ix->doc_count);
  if (c == nullptr || !sdb_reserve(&c->values, &c->value_cap, values ? values : 1, 1) ||
      !sdb_table_resize(&c->table, sdb_table_cap_for(values, 1, 2, 16), value_ops{c})) {
    column_free(c);
    *oom = true;
    return nullptr;
  }
  bool ok = true;
  for (uint32_t id = 0; ok && id < values; id++) {
    uint8_t kind;
    ok = u.get(&kind) && kind <= SDB_VALUE_NULL;
    if (!ok) break;
    sdb_value v{static_cast<sdb_value_kind>(kind), 0.0, nullptr, 0};
    if (v.kind == SDB_VALUE_NUMBER) {
      uint64_t bits;
      ok = u.get(&bits) && std::isfinite(bits_number(bits)) &&
           bits == number_bits(bits_number(bits));
      v.num = bits_number(bits);
    } else if (v.kind == SDB_VALUE_STRING) {
      // A document's strings are UTF-8, and an answer can only hold such
      // (the title column's tokens, cut to a length, are never answered).
      ok = u.get(&v.len) && (v.str = reinterpret_cast<const char *>(u.take(v.len))) != nullptr &&
           (path.len == 0 || sdb_utf8_valid(v.str, v.len));
    }
    if (!ok) break;
    if (!reserve_values(c, 1, v.len)) {
      *oom = true;
      ok = false;
      break;
    }
    // A value met before makes the ids of the cells ambiguous.
    ok = intern(c, v) == id;
  }
  uint32_t live = 0;
  uint64_t pool = 0;
  ok = ok && u.get(&live) && u.get(&pool) && live == sdb_index_live_slots(ix) &&
       uint64_t{live} * 8 <= static_cast<uint64_t>(u.end - u.at) &&
       pool * 4 == static_cast<uint64_t>(u.end - u.at) - uint64_t{live} * 8;
  const unsigned char *cells = ok ? u.take(uint64_t{live} * 8) : nullptr;
  const unsigned char *pooled = ok ? u.take(pool * 4) : nullptr;
  if (ok && pool > 0) {
    ok = pool < SDB_CELL_COUNT && sdb_reserve(&c->pool, &c->pool_cap, pool, 1);
    *oom = !ok && pool < SDB_CELL_COUNT;
    if (ok) memcpy(c->pool, pooled, pool * 4);
  }
  // The k-th packed cell is the k-th live slot's: where no slot is dead,
  // the cells are taken whole.
  const bool dense = ok && live == ix->doc_count;
  if (dense && live > 0) memcpy(c->cells, cells, uint64_t{live} * 8);
  for (uint32_t slot = 0, k = 0; ok && slot < ix->doc_count; slot++) {
    sdb_cell cell;
    if (dense) {
      cell = c->cells[slot];
    } else {
      if (!ix->docs[slot].alive) continue;
      memcpy(&cell.at, cells + uint64_t{k} * 8, 4);
      memcpy(&cell.n, cells + uint64_t{k} * 8 + 4, 4);
      k++;
    }
    const uint32_t n = cell.n & SDB_CELL_COUNT;
    if (n > 0 && !(cell.n & SDB_CELL_PRESENT))
      ok = false;
    else if (n == 0)
      ok = cell.at == 0;
    else if (n == 1)
      ok = cell.at < c->value_count;
    else
      ok = uint64_t{cell.at} + n <= pool && cell_ids_fit(c, c->pool + cell.at, n);
    c->cells[slot] = cell;
    c->refs += n;
    c->several |= n > 1;
  }
  if (ok) {
    c->pool_len = pool;
    return c;
  }
  column_free(c);
  return nullptr;
}

void sdb_columns_drop(sdb_index *ix) {
  sdb_columns *cols = ix->columns;
  if (cols == nullptr) return;
  for (uint32_t i = 0; i < cols->count; i++) column_free(cols->items[i]);
  cols->count = 0;
}

void sdb_columns_free(sdb_columns *cols) {
  if (cols == nullptr) return;
  for (uint32_t i = 0; i < cols->count; i++) column_free(cols->items[i]);
  free(cols->items);
  free(cols);
}

namespace {

// Each cell's least and greatest rank (asc and desc) for the order made.
bool order_slots(sdb_column *c) {
  const size_t cells = c->cell_count ? c->cell_count : 1;
  // Each array is resized whatever became of the other: what was resized
  // stays, and the next try has less to do.
  if (!(sdb_resize(&c->asc, cells) & sdb_resize(&c->desc, cells))) return false;
  sdb_advise_huge(c->asc, cells * sizeof(uint32_t));  // written whole below
  sdb_advise_huge(c->desc, cells * sizeof(uint32_t));
  const uint32_t *rank = c->rank;
  const uint32_t count = c->sorted_count;
  for (uint32_t slot = 0; slot < c->cell_count; slot++) {
    uint32_t n;
    const uint32_t *ids = sdb_cell_ids(c, slot, &n);
    uint32_t least = SDB_NO_RANK, greatest = 0;
    bool any = false;
    for (uint32_t k = 0; k < n; k++) {
      const uint32_t r = rank[ids[k]];
      if (r == SDB_NO_RANK) continue;
      any = true;
      least = std::min(least, r);
      greatest = std::max(greatest, r);
    }
    c->asc[slot] = least;
    c->desc[slot] = any ? count - 1 - greatest : SDB_NO_RANK;
  }
  c->slots_ordered = true;
  return true;
}

}  // namespace

bool sdb_column_order(sdb_column *c, bool slots) {
  if (c->ordered && c->ordered_version == c->version)
    return !slots || c->slots_ordered || order_slots(c);
  c->ordered = false;
  c->slots_ordered = false;
  const size_t values = c->value_count ? c->value_count : 1;
  if (!(sdb_resize(&c->rank, values) & sdb_resize(&c->sorted, values))) return false;
  uint32_t *rank = c->rank, *sorted = c->sorted;
  uint32_t count = 0, numbers = 0;
  for (uint32_t id = 0; id < c->value_count; id++) {
    const sdb_value_kind kind = c->values[id].kind;
    if (kind == SDB_VALUE_NUMBER || kind == SDB_VALUE_STRING) sorted[count++] = id;
    numbers += kind == SDB_VALUE_NUMBER;
  }
  std::sort(sorted, sorted + count, [c](uint32_t a, uint32_t b) {
    const sdb_column_value &x = c->values[a], &y = c->values[b];
    if (x.kind != y.kind) return x.kind < y.kind;
    if (x.kind == SDB_VALUE_NUMBER) return bits_number(x.payload) < bits_number(y.payload);
    return compare_values(c, a, sdb_column_value_of(c, b)) < 0;
  });
  for (uint32_t id = 0; id < c->value_count; id++) rank[id] = SDB_NO_RANK;
  for (uint32_t r = 0; r < count; r++) rank[sorted[r]] = r;
  c->sorted_count = count;
  c->number_count = numbers;
  c->ordered = true;
  c->ordered_version = c->version;
  return !slots || order_slots(c);
}

uint32_t sdb_column_bound(const sdb_column *c, const sdb_value *v, bool after_equal,
                          uint32_t *kind_lo, uint32_t *kind_hi) {
  const bool number = v->kind == SDB_VALUE_NUMBER;
  *kind_lo = number ? 0 : c->number_count;
  *kind_hi = number ? c->number_count : c->sorted_count;
  uint32_t lo = *kind_lo, hi = *kind_hi;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const int cmp = compare_values(c, c->sorted[mid], *v);
    if (cmp < 0 || (after_equal && cmp == 0)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// ---- Changes ----

namespace {

// A value read for a change, its string bytes in the change's own store
// (the documents they came from are released as soon as they are read).
struct pending_value {
  sdb_value_kind kind;
  uint32_t len;
  double num;
  uint64_t off;
};

// The new cell of one slot of one column: values[first .. first + count).
struct pending_cell {
  uint32_t column;
  uint32_t slot;
  uint64_t first;
  uint32_t count;
  bool present;
};

// What one change adds to a column, for making room.
struct column_need {
  uint64_t values, bytes, pool;
  uint32_t widest;
};

}  // namespace

struct sdb_columns_change_state {
  pending_cell *cells;
  uint64_t cell_count, cell_cap;
  pending_value *values;
  uint64_t value_count, value_cap;
  char *bytes;
  uint64_t byte_count, byte_cap;
  uint32_t *ids;  // commit's scratch, room for the widest cell
  uint32_t doc_count;
};

namespace {

void state_free(sdb_columns_change_state *st) {
  if (st == nullptr) return;
  free(st->cells);
  free(st->values);
  free(st->bytes);
  free(st->ids);
  free(st);
}

// Reads the new cells of every column for the slot (alive or not) into st.
bool read_slot(const sdb_index *ix, uint32_t slot, sdb_columns_change_state *st,
               sdb_doc_reader *reader, walk_stack *stack) {
  const sdb_columns *cols = ix->columns;
  const sdb_doc *d = &ix->docs[slot];
  yyjson_doc *doc = nullptr;
  if (d->alive) {
    bool oom = false;
    doc = sdb_doc_read(reader, d, &oom);
    if (doc == nullptr && oom) return false;
  }
  sdb_doc_ptr hold(doc);
  if (!sdb_reserve(&st->cells, &st->cell_cap, st->cell_count + cols->count, 64)) return false;
  yyjson_val *root = doc ? yyjson_doc_get_root(doc) : nullptr;
  for (uint32_t i = 0; i < cols->count; i++) {
    const sdb_column *c = cols->items[i];
    pending_cell cell{i, slot, st->value_count, 0, false};
    if (root != nullptr) {
      const bool ok = column_values(c, root, stack, &cell.present, [&](sdb_value v) {
        if (!sdb_reserve(&st->values, &st->value_cap, st->value_count + 1, 64)) return false;
        pending_value p{v.kind, v.len, v.num, st->byte_count};
        if (v.kind == SDB_VALUE_STRING) {
          if (!sdb_reserve(&st->bytes, &st->byte_cap, st->byte_count + v.len, 256)) return false;
          if (v.len > 0) memcpy(st->bytes + st->byte_count, v.str, v.len);
          st->byte_count += v.len;
        }
        st->values[st->value_count++] = p;
        return true;
      });
      if (!ok) return false;
    }
    cell.count = static_cast<uint32_t>(st->value_count - cell.first);
    st->cells[st->cell_count++] = cell;
  }
  return true;
}

// Makes every room the commit of st needs.
bool make_room(sdb_index *ix, sdb_columns_change_state *st) {
  sdb_columns *cols = ix->columns;
  auto *needs = static_cast<column_need *>(calloc(cols->count, sizeof(column_need)));
  if (needs == nullptr) return false;
  uint32_t widest = 1;
  for (uint64_t k = 0; k < st->cell_count; k++) {
    const pending_cell &cell = st->cells[k];
    column_need &need = needs[cell.column];
    need.values += cell.count;
    if (cell.count > 1) need.pool += cell.count;
    for (uint32_t v = 0; v < cell.count; v++) need.bytes += st->values[cell.first + v].len;
    widest = std::max(widest, cell.count);
  }
  bool ok = true;
  for (uint32_t i = 0; ok && i < cols->count; i++) {
    sdb_column *c = cols->items[i];
    ok = reserve_values(c, needs[i].values, needs[i].bytes) &&
         sdb_reserve(&c->pool, &c->pool_cap, c->pool_len + needs[i].pool, 256) &&
         sdb_reserve(&c->cells, &c->cell_cap, ix->doc_count, 64);
  }
  free(needs);
  st->ids = static_cast<uint32_t *>(malloc(widest * sizeof(uint32_t)));
  return ok && st->ids != nullptr;
}

// A change of many documents is cheaper to build again on the next use
// than to apply cell by cell (the same measure as the dictionary's).
bool rebuild_instead(const sdb_index *ix, uint32_t count) {
  return static_cast<uint64_t>(count) * 4 > ix->live_count;
}

}  // namespace

sdb_columns_change sdb_columns_prepare(sdb_index *ix, const sdb_slot_change *changes,
                                       uint32_t count) {
  if (ix->columns == nullptr || ix->columns->count == 0 || count == 0) return {nullptr, false};
  if (rebuild_instead(ix, count)) return {nullptr, true};
  auto *st = static_cast<sdb_columns_change_state *>(calloc(1, sizeof(sdb_columns_change_state)));
  if (st == nullptr) return {nullptr, true};
  st->doc_count = ix->doc_count;
  sdb_doc_reader reader{};
  walk_stack stack{};
  bool ok = true;
  for (uint32_t i = 0; ok && i < count; i++)
    ok = read_slot(ix, changes[i].slot, st, &reader, &stack);
  sdb_doc_reader_free(&reader);
  walk_stack_free(&stack);
  ok = ok && make_room(ix, st);
  if (!ok) {
    state_free(st);
    return {nullptr, true};
  }
  return {st, false};
}

void sdb_columns_commit(sdb_index *ix, sdb_columns_change *change) {
  if (change->drop) sdb_columns_drop(ix);
  sdb_columns_change_state *st = change->state;
  *change = sdb_columns_change{};
  if (st == nullptr) return;
  sdb_columns *cols = ix->columns;
  for (uint32_t i = 0; i < cols->count; i++) {
    sdb_column *c = cols->items[i];
    // Slots the change made are all among its cells; they start empty.
    for (uint32_t slot = c->cell_count; slot < st->doc_count; slot++) c->cells[slot] = sdb_cell{};
    c->cell_count = st->doc_count;
    c->version++;
  }
  for (uint64_t k = 0; k < st->cell_count; k++) {
    const pending_cell &cell = st->cells[k];
    sdb_column *c = cols->items[cell.column];
    for (uint32_t v = 0; v < cell.count; v++) {
      const pending_value &p = st->values[cell.first + v];
      const sdb_value value{p.kind, p.num, st->bytes + p.off, p.len};
      st->ids[v] = intern(c, value);
    }
    const uint32_t old = c->cells[cell.slot].n & SDB_CELL_COUNT;
    c->refs -= old;
    c->stale += old;
    set_cell(c, cell.slot, st->ids, sort_unique(st->ids, cell.count), cell.present);
  }
  state_free(st);
}

void sdb_columns_discard(sdb_columns_change *change) {
  state_free(change->state);
  *change = sdb_columns_change{};
}
