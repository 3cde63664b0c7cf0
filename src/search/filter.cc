#include "search/filter.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/error.h"
#include "base/holders.h"
#include "index/column_bits.h"
#include "search/request_where.h"

uint32_t sdb_path_list_add(sdb_path_list *list, const char *bytes, uint32_t len) {
  for (uint32_t i = 0; i < list->count; i++)
    if (list->items[i].len == len && memcmp(list->items[i].bytes, bytes, len) == 0) return i;
  if (list->count == SDB_COLUMNS_KEPT) return SDB_PATH_TOO_MANY;
  if (!sdb_reserve(&list->items, &list->cap, list->count + 1, 16)) return SDB_PATH_NO_MEMORY;
  list->items[list->count] = sdb_path{bytes, len};
  return list->count++;
}

void sdb_path_list_free(sdb_path_list *list) {
  free(list->items);
  *list = sdb_path_list{};
}

bool sdb_path_valid(const char *s, size_t n) {
  if (n == 0 || n >= UINT32_MAX || memchr(s, '\0', n) != nullptr) return false;
  if (s[0] == '.' || s[n - 1] == '.') return false;
  for (size_t i = 1; i < n; i++)
    if (s[i] == '.' && s[i - 1] == '.') return false;
  return true;
}

namespace {

struct op_name {
  const char *name;
  sdb_filter_op op;
};

constexpr op_name kOps[] = {
    {"eq", SDB_OP_EQ},   {"ne", SDB_OP_NE},         {"lt", SDB_OP_LT},
    {"lte", SDB_OP_LTE}, {"gt", SDB_OP_GT},         {"gte", SDB_OP_GTE},
    {"in", SDB_OP_IN},   {"not_in", SDB_OP_NOT_IN}, {"exists", SDB_OP_EXISTS},
};

struct parser {
  sdb_filter *f;
  sdb_path_list *paths;
  sdb_where where;
  bool *oom;
};

bool refuse(parser *p, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Sets the message "<where>: <fmt ...>" with code (SEARCHDB_INVALID, or
// SEARCHDB_TOOBIG for a limit).
bool refuse(parser *p, int code, const char *fmt, ...) {
  char fault[SDB_ERROR_SIZE];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(fault, sizeof fault, fmt, ap);
  va_end(ap);
  sdb_error(code, "%s: %s", p->where.text, fault);
  return false;
}

// Refuses the member name of the node at hand: "%s.<member>: <fault>".
bool refuse_member(parser *p, int code, const char *member, const char *fault) {
  const size_t back = sdb_where_member(&p->where, member);
  refuse(p, code, "%s", fault);
  sdb_where_back(&p->where, back);
  return false;
}

bool no_memory(parser *p) {
  *p->oom = true;
  sdb_error(SEARCHDB_NOMEM, "oom: search_request");
  return false;
}

bool is_scalar(yyjson_val *v) {
  return !yyjson_is_ctn(v);
}

// The value of a leaf with op, checked.
bool check_value(parser *p, sdb_filter_op op, yyjson_val *value, const char *op_text) {
  if (op == SDB_OP_EXISTS) {
    if (value == nullptr) return true;
    return refuse(p, SEARCHDB_INVALID, "op 'exists' takes no value");
  }
  if (value == nullptr) return refuse(p, SEARCHDB_INVALID, "op '%s' needs a value", op_text);
  switch (op) {
    case SDB_OP_EQ:
    case SDB_OP_NE:
      if (is_scalar(value)) return true;
      return refuse_member(p, SEARCHDB_INVALID, "value",
                           "expected a string, number, true, false or null");
    case SDB_OP_IN:
    case SDB_OP_NOT_IN: {
      bool ok = yyjson_is_arr(value);
      size_t idx, max;
      yyjson_val *elem;
      yyjson_arr_foreach(value, idx, max, elem) ok = ok && is_scalar(elem);
      if (!ok)
        return refuse_member(p, SEARCHDB_INVALID, "value",
                             "expected an array of strings, numbers, true, false or null");
      if (yyjson_arr_size(value) > SDB_FILTER_IN_MAX) {
        char fault[64];
        snprintf(fault, sizeof fault, "more than %d values", SDB_FILTER_IN_MAX);
        return refuse_member(p, SEARCHDB_TOOBIG, "value", fault);
      }
      return true;
    }
    default: {
      if (yyjson_is_str(value) || yyjson_is_num(value)) return true;
      char fault[64];
      snprintf(fault, sizeof fault, "op '%s' takes a string or a number", op_text);
      return refuse_member(p, SEARCHDB_INVALID, "value", fault);
    }
  }
}

bool parse_node(parser *p, yyjson_val *val, uint32_t depth);

// The elements of an and or or list, each a filter.
bool parse_list(parser *p, const char *member, yyjson_val *list, uint32_t depth) {
  const size_t back = sdb_where_member(&p->where, member);
  if (!yyjson_is_arr(list)) {
    refuse(p, SEARCHDB_INVALID, "expected an array of filters");
    return false;
  }
  size_t idx, max;
  yyjson_val *elem;
  yyjson_arr_foreach(list, idx, max, elem) {
    const size_t here = sdb_where_index(&p->where, idx);
    if (!parse_node(p, elem, depth + 1)) return false;
    sdb_where_back(&p->where, here);
  }
  sdb_where_back(&p->where, back);
  return true;
}

bool parse_leaf(parser *p, uint32_t at, yyjson_val *field, yyjson_val *op, yyjson_val *value) {
  if (field == nullptr || op == nullptr)
    return refuse(p, SEARCHDB_INVALID, "expected field and op, or one of and, or, not");
  if (!yyjson_is_str(field) || !sdb_path_valid(yyjson_get_str(field), yyjson_get_len(field)))
    return refuse_member(p, SEARCHDB_INVALID, "field",
                         "expected a path: member names joined by '.'");
  if (!yyjson_is_str(op)) return refuse_member(p, SEARCHDB_INVALID, "op", "expected a string");
  const char *op_text = yyjson_get_str(op);
  const op_name *known = nullptr;
  for (const op_name &o : kOps)
    if (yyjson_equals_str(op, o.name)) known = &o;
  if (known == nullptr) return refuse(p, SEARCHDB_INVALID, "unknown op '%s'", op_text);
  if (!check_value(p, known->op, value, op_text)) return false;
  const uint32_t path = sdb_path_list_add(p->paths, yyjson_get_str(field),
                                          static_cast<uint32_t>(yyjson_get_len(field)));
  if (path == SDB_PATH_NO_MEMORY) return no_memory(p);
  if (path == SDB_PATH_TOO_MANY) {
    char fault[64];
    snprintf(fault, sizeof fault, SDB_PATHS_FAULT, SDB_COLUMNS_KEPT);
    return refuse_member(p, SEARCHDB_TOOBIG, "field", fault);
  }
  sdb_filter_node &node = p->f->nodes[at];
  node.op = known->op;
  node.path = path;
  node.value = value;
  return true;
}

bool parse_node(parser *p, yyjson_val *val, uint32_t depth) {
  if (depth > SDB_FILTER_DEPTH_MAX)
    return refuse(p, SEARCHDB_TOOBIG, "nested deeper than %d", SDB_FILTER_DEPTH_MAX);
  if (p->f->count == SDB_FILTER_NODES_MAX) {
    sdb_error(SEARCHDB_TOOBIG, "filter: more than %d nodes", SDB_FILTER_NODES_MAX);
    return false;
  }
  if (!yyjson_is_obj(val)) return refuse(p, SEARCHDB_INVALID, "expected a filter object");
  if (!sdb_reserve(&p->f->nodes, &p->f->cap, p->f->count + 1, 16)) return no_memory(p);
  const uint32_t at = p->f->count++;
  p->f->nodes[at] = sdb_filter_node{};
  p->f->nodes[at].id = SDB_NO_VALUE;
  // The members a node may have, each at most once.
  static const char *const kMembers[] = {"field", "op", "value", "and", "or", "not"};
  yyjson_val *found[6] = {};
  size_t idx, max;
  yyjson_val *key, *member;
  yyjson_obj_foreach(val, idx, max, key, member) {
    int which = -1;
    for (int k = 0; k < 6 && which < 0; k++)
      if (yyjson_equals_str(key, kMembers[k])) which = k;
    if (which < 0) return refuse(p, SEARCHDB_INVALID, "unknown member '%s'", yyjson_get_str(key));
    if (found[which] != nullptr)
      return refuse(p, SEARCHDB_INVALID, "duplicate member '%s'", kMembers[which]);
    found[which] = member;
  }
  const bool leaf = found[0] || found[1] || found[2];
  const int shapes = leaf + (found[3] != nullptr) + (found[4] != nullptr) + (found[5] != nullptr);
  if (shapes != 1)
    return refuse(p, SEARCHDB_INVALID, "expected field and op, or one of and, or, not");
  bool ok;
  if (found[3] || found[4]) {
    p->f->nodes[at].kind = found[3] ? SDB_FILTER_AND : SDB_FILTER_OR;
    ok = parse_list(p, found[3] ? "and" : "or", found[3] ? found[3] : found[4], depth);
  } else if (found[5]) {
    p->f->nodes[at].kind = SDB_FILTER_NOT;
    const size_t back = sdb_where_member(&p->where, "not");
    ok = parse_node(p, found[5], depth + 1);
    sdb_where_back(&p->where, back);
  } else {
    p->f->nodes[at].kind = SDB_FILTER_LEAF;
    ok = parse_leaf(p, at, found[0], found[1], found[2]);
  }
  p->f->nodes[at].size = p->f->count - at;
  return ok;
}

// Whether any of ids[0 .. n) is in set[0 .. count), both ascending: short
// lists are walked side by side, else the shorter list is looked up in the
// longer one.
inline bool any_in_set(const uint32_t *set, uint32_t count, const uint32_t *ids, uint32_t n) {
  if (n == 1 && count <= 16) {  // the usual cell: without a branch per value
    bool found = false;
    for (uint32_t i = 0; i < count; i++) found |= set[i] == ids[0];
    return found;
  }
  if (count <= 16 && n <= 16) {
    for (uint32_t i = 0, k = 0; i < count && k < n;) {
      if (set[i] == ids[k]) return true;
      if (set[i] < ids[k]) {
        i++;
      } else {
        k++;
      }
    }
    return false;
  }
  if (count <= n) {
    for (uint32_t k = 0; k < count; k++)
      if (std::binary_search(ids, ids + n, set[k])) return true;
    return false;
  }
  for (uint32_t k = 0; k < n; k++)
    if (std::binary_search(set, set + count, ids[k])) return true;
  return false;
}

bool holds(const uint32_t *ids, uint32_t n, uint32_t id) {
  for (uint32_t k = 0; k < n && ids[k] <= id; k++)
    if (ids[k] == id) return true;
  return false;
}

bool compares_by_order(sdb_filter_op op) {
  return op == SDB_OP_LT || op == SDB_OP_LTE || op == SDB_OP_GT || op == SDB_OP_GTE;
}

// Where no cell holds more than one value, a cell's least rank is its only
// one, read from one array half the size of the cells.
bool reads_ranks_only(const sdb_filter_node &node) {
  return !node.column->several && compares_by_order(node.op);
}

inline bool leaf_pass(const sdb_filter_node &node, uint32_t slot) {
  if (node.bits != nullptr) return (node.bits[slot / 64] >> (slot % 64)) & 1;
  const sdb_column *c = node.column;
  if (reads_ranks_only(node)) {
    const uint32_t r = c->asc[slot];
    return r >= node.lo && r < node.hi;
  }
  uint32_t n;
  const uint32_t *ids = sdb_cell_ids(c, slot, &n);
  switch (node.op) {
    case SDB_OP_EQ:
      return node.id != SDB_NO_VALUE && holds(ids, n, node.id);
    case SDB_OP_NE:
      return node.id == SDB_NO_VALUE || !holds(ids, n, node.id);
    case SDB_OP_IN:
      return any_in_set(node.set, node.set_count, ids, n);
    case SDB_OP_NOT_IN:
      return !any_in_set(node.set, node.set_count, ids, n);
    case SDB_OP_EXISTS:
      return sdb_cell_present(c, slot);
    default:
      for (uint32_t k = 0; k < n; k++) {
        const uint32_t r = c->rank[ids[k]];
        if (r >= node.lo && r < node.hi) return true;
      }
      return false;
  }
}

bool pass(const sdb_filter *f, uint32_t i, uint32_t slot) {
  const sdb_filter_node &node = f->nodes[i];
  const uint32_t end = i + node.size;
  switch (node.kind) {
    case SDB_FILTER_LEAF:
      return leaf_pass(node, slot);
    case SDB_FILTER_NOT:
      return !pass(f, i + 1, slot);
    case SDB_FILTER_AND:
      for (uint32_t c = i + 1; c < end; c += f->nodes[c].size)
        if (!pass(f, c, slot)) return false;
      return true;
    default:
      for (uint32_t c = i + 1; c < end; c += f->nodes[c].size)
        if (pass(f, c, slot)) return true;
      return false;
  }
}

// The bits of a leaf asked for before, made from its cells the second
// time: the leaf's operator and what it compares with, in the column's
// value ids and ranks, are its key. Best effort: without memory for them,
// the cells are read.
void find_bits(sdb_filter_node *node, sdb_column *c) {
  const bool eq = node->op == SDB_OP_EQ || node->op == SDB_OP_NE;
  const bool in = node->op == SDB_OP_IN || node->op == SDB_OP_NOT_IN;
  // Leaves that pass all slots or none read nothing worth keeping.
  if ((eq && node->id == SDB_NO_VALUE) || (in && node->set_count == 0) ||
      (compares_by_order(node->op) && node->lo >= node->hi))
    return;
  const uint32_t head[4] = {node->op, node->id, node->lo, node->hi};
  const uint32_t len = static_cast<uint32_t>(sizeof head + node->set_count * sizeof(uint32_t));
  sdb_text_ptr key(static_cast<char *>(malloc(len)));
  if (!key) return;
  memcpy(key.get(), head, sizeof head);
  if (node->set_count > 0)
    memcpy(key.get() + sizeof head, node->set, node->set_count * sizeof(uint32_t));
  bool build = false;
  uint64_t *bits =
      sdb_column_bits_find(&c->bits, c->version, c->used, c->cell_count, key.get(), len, &build);
  for (uint32_t slot = 0; build && slot < c->cell_count; slot++)
    bits[slot / 64] |= uint64_t{leaf_pass(*node, slot)} << (slot % 64);
  node->bits = bits;
}

// The bits of the subtree of inner node i into levels[depth] (words
// words), the levels below it serving its inner children.
void combine(const sdb_filter *f, uint32_t i, uint32_t words, uint64_t *levels, uint32_t depth) {
  const sdb_filter_node &node = f->nodes[i];
  uint64_t *out = levels + static_cast<uint64_t>(depth) * words;
  const bool all = node.kind != SDB_FILTER_OR;  // and, and not's one child
  memset(out, all ? 0xFF : 0, words * sizeof(uint64_t));
  for (uint32_t c = i + 1; c < i + node.size; c += f->nodes[c].size) {
    const uint64_t *in = f->nodes[c].bits;
    if (f->nodes[c].kind != SDB_FILTER_LEAF) {
      combine(f, c, words, levels, depth + 1);
      in = out + words;
    }
    if (node.kind == SDB_FILTER_OR) {
      for (uint32_t w = 0; w < words; w++) out[w] |= in[w];
    } else {
      for (uint32_t w = 0; w < words; w++) out[w] &= in[w];
    }
  }
  if (node.kind == SDB_FILTER_NOT)
    for (uint32_t w = 0; w < words; w++) out[w] = ~out[w];
}

// Inner nodes on the longest path down from node i.
uint32_t inner_depth(const sdb_filter *f, uint32_t i) {
  const sdb_filter_node &node = f->nodes[i];
  if (node.kind == SDB_FILTER_LEAF) return 0;
  uint32_t below = 0;
  for (uint32_t c = i + 1; c < i + node.size; c += f->nodes[c].size)
    below = std::max(below, inner_depth(f, c));
  return below + 1;
}

// Makes the whole filter's bits when every leaf has them and the filter is
// asked about more slots than it takes words to combine them. Best effort.
void combine_bits(sdb_filter *f, uint32_t candidates) {
  if (f->count < 2) return;  // one leaf reads its own bits
  uint32_t slots = UINT32_MAX;
  for (uint32_t i = 0; i < f->count; i++) {
    const sdb_filter_node &node = f->nodes[i];
    if (node.kind != SDB_FILTER_LEAF) continue;
    if (node.bits == nullptr) return;
    slots = std::min(slots, node.column->cell_count);
  }
  const uint32_t words = slots / 64 + 1, deepest = inner_depth(f, 0);
  if (static_cast<uint64_t>(candidates) * f->count < words) return;
  f->bits = static_cast<uint64_t *>(malloc(uint64_t{deepest} * words * sizeof(uint64_t)));
  if (f->bits != nullptr) combine(f, 0, words, f->bits, 0);
}

}  // namespace

bool sdb_filter_parse(yyjson_val *val, sdb_filter *f, sdb_path_list *paths, bool *oom) {
  parser p{f, paths, {}, oom};
  *oom = false;
  sdb_where_member(&p.where, "filter");
  return parse_node(&p, val, 1);
}

bool sdb_filter_needs_order(const sdb_filter *f, uint32_t path) {
  for (uint32_t i = 0; i < f->count; i++) {
    const sdb_filter_node &node = f->nodes[i];
    if (node.kind == SDB_FILTER_LEAF && node.path == path && compares_by_order(node.op))
      return true;
  }
  return false;
}

bool sdb_filter_compile(sdb_filter *f, sdb_column *const *columns, uint32_t candidates) {
  // A request may be answered again, against columns made anew: nothing
  // of an earlier compile is kept.
  for (uint32_t i = 0; i < f->count; i++) {
    free(f->nodes[i].set);
    f->nodes[i].set = nullptr;
    f->nodes[i].set_count = 0;
    f->nodes[i].bits = nullptr;
  }
  free(f->columns);
  free(f->reads);
  free(f->read_sizes);
  free(f->bits);
  f->columns = nullptr;
  f->reads = nullptr;
  f->read_sizes = nullptr;
  f->bits = nullptr;
  f->column_count = f->read_count = 0;
  for (uint32_t i = 0; i < f->count; i++) {
    sdb_filter_node &node = f->nodes[i];
    if (node.kind != SDB_FILTER_LEAF) continue;
    sdb_column *c = columns[node.path];
    node.column = c;
    if (node.op == SDB_OP_EQ || node.op == SDB_OP_NE) {
      const sdb_value v = sdb_value_of(node.value);
      node.id = sdb_column_find(c, &v);
    } else if (node.op == SDB_OP_IN || node.op == SDB_OP_NOT_IN) {
      // As long as the list at most, not as the column's values: a short
      // request cannot claim much memory.
      const size_t listed = yyjson_arr_size(node.value);
      node.set = static_cast<uint32_t *>(malloc((listed ? listed : 1) * sizeof(uint32_t)));
      if (node.set == nullptr) return false;
      size_t idx, max;
      yyjson_val *elem;
      yyjson_arr_foreach(node.value, idx, max, elem) {
        const sdb_value v = sdb_value_of(elem);
        const uint32_t id = sdb_column_find(c, &v);
        if (id != SDB_NO_VALUE) node.set[node.set_count++] = id;
      }
      std::sort(node.set, node.set + node.set_count);
      node.set_count =
          static_cast<uint32_t>(std::unique(node.set, node.set + node.set_count) - node.set);
    } else if (compares_by_order(node.op)) {
      const sdb_value v = sdb_value_of(node.value);
      const bool after_equal = node.op == SDB_OP_LTE || node.op == SDB_OP_GT;
      uint32_t lo, hi;
      const uint32_t bound = sdb_column_bound(c, &v, after_equal, &lo, &hi);
      if (node.op == SDB_OP_LT || node.op == SDB_OP_LTE) {
        node.lo = lo;
        node.hi = bound;
      } else {
        node.lo = bound;
        node.hi = hi;
      }
    }
    find_bits(&node, c);
  }
  // What the leaves without bits read, for prefetching.
  const size_t n = f->count ? f->count : 1;
  f->columns = static_cast<const sdb_column **>(malloc(n * sizeof(void *)));
  f->reads = static_cast<const char **>(malloc(n * sizeof(char *)));
  f->read_sizes = static_cast<uint8_t *>(malloc(n));
  if (f->columns == nullptr || f->reads == nullptr || f->read_sizes == nullptr) return false;
  for (uint32_t i = 0; i < f->count; i++) {
    const sdb_filter_node &node = f->nodes[i];
    if (node.kind != SDB_FILTER_LEAF || node.bits != nullptr) continue;
    const sdb_column *c = node.column;
    bool listed = false;
    for (uint32_t k = 0; k < f->column_count && !listed; k++) listed = f->columns[k] == c;
    if (!listed) f->columns[f->column_count++] = c;
    const char *read = reads_ranks_only(node) ? reinterpret_cast<const char *>(c->asc)
                                              : reinterpret_cast<const char *>(c->cells);
    listed = false;
    for (uint32_t k = 0; k < f->read_count && !listed; k++) listed = f->reads[k] == read;
    if (!listed) {
      f->reads[f->read_count] = read;
      f->read_sizes[f->read_count++] = reads_ranks_only(node) ? sizeof(uint32_t) : sizeof(sdb_cell);
    }
  }
  combine_bits(f, candidates);
  return true;
}

bool sdb_filter_pass(const sdb_filter *f, uint32_t slot) {
  if (f->count == 0) return true;
  if (f->bits != nullptr) return (f->bits[slot / 64] >> (slot % 64)) & 1;
  return f->nodes[0].kind == SDB_FILTER_LEAF ? leaf_pass(f->nodes[0], slot) : pass(f, 0, slot);
}

void sdb_filter_free(sdb_filter *f) {
  for (uint32_t i = 0; i < f->count; i++) free(f->nodes[i].set);
  free(f->nodes);
  free(f->columns);
  free(f->reads);
  free(f->read_sizes);
  free(f->bits);
  *f = sdb_filter{};
}
