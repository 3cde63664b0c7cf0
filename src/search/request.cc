#include "search/request.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "search/phrase.h"
#include "search/query.h"

sdb_request::~sdb_request() {
  sdb_filter_free(&filter);
  sdb_path_list_free(&paths);
  free(sort);
  free(facets);
  free(fields);
  free(highlight);
}

namespace {

// The members of a request, in the order searchdb.h lists them.
enum member {
  M_Q,
  M_LIMIT,
  M_OFFSET,
  M_FILTER,
  M_SORT,
  M_FACETS,
  M_FACET_SIZE,
  M_FIELDS,
  M_OPERATOR,
  M_HIGHLIGHT,
  M_HIGHLIGHT_TAGS,
  M_SNIPPET_WORDS,
  M_RANK,
  M_COUNT
};

constexpr const char *kMembers[M_COUNT] = {
    "q",      "limit",    "offset",    "filter",         "sort",          "facets", "facet_size",
    "fields", "operator", "highlight", "highlight_tags", "snippet_words", "rank",
};

constexpr const char kPathExpected[] = "expected a path: member names joined by '.'";

// The outcome of reading one member: done, refused (message set) or out of
// memory.
enum outcome { OK, REFUSED, NO_MEMORY };

outcome refuse(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
outcome refuse_over(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A request we do not take: SEARCHDB_INVALID.
outcome refuse(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  sdb_error_v(SEARCHDB_INVALID, fmt, ap);
  va_end(ap);
  return REFUSED;
}

// A request over one of the limits: SEARCHDB_TOOBIG.
outcome refuse_over(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  sdb_error_v(SEARCHDB_TOOBIG, fmt, ap);
  va_end(ap);
  return REFUSED;
}

// A signed 32-bit integer from lo up.
bool int32_from(yyjson_val *v, int64_t lo, int32_t *out) {
  int64_t n;
  if (yyjson_is_sint(v)) {
    n = yyjson_get_sint(v);
  } else if (yyjson_is_uint(v) && yyjson_get_uint(v) <= INT32_MAX) {
    n = static_cast<int64_t>(yyjson_get_uint(v));
  } else {
    return false;
  }
  if (n < lo || n > INT32_MAX) return false;
  *out = static_cast<int32_t>(n);
  return true;
}

sdb_name name_of(yyjson_val *s) {
  return sdb_name{yyjson_get_str(s), static_cast<uint32_t>(yyjson_get_len(s))};
}

bool same_name(sdb_name a, sdb_name b) {
  return a.len == b.len && memcmp(a.bytes, b.bytes, a.len) == 0;
}

outcome read_q(sdb_request *r, yyjson_val *v) {
  if (yyjson_is_null(v)) return OK;
  if (!yyjson_is_str(v)) return refuse("q: expected a string or null");
  // Like the query of searchdb_search, the text ends at its first NUL.
  r->q = yyjson_get_str(v);
  if (sdb_query_refused(r->q, &r->q_tokens)) {
    sdb_error_prefix("q: ");
    return REFUSED;
  }
  uint32_t longest = 0;
  sdb_find_phrases(r->q, nullptr, &longest, nullptr);
  if (longest > SDB_PHRASE_WORDS_MAX)
    return refuse_over("q: a phrase of more than %d words", SDB_PHRASE_WORDS_MAX);
  return OK;
}

outcome read_sort(sdb_request *r, yyjson_val *v) {
  if (!yyjson_is_arr(v)) return refuse("sort: expected an array");
  const size_t n = yyjson_arr_size(v);
  if (n > SDB_SORT_KEYS_MAX) return refuse_over("sort: more than %d keys", SDB_SORT_KEYS_MAX);
  r->sort = static_cast<sdb_sort_key *>(malloc((n ? n : 1) * sizeof(sdb_sort_key)));
  if (r->sort == nullptr) return NO_MEMORY;
  size_t idx, max;
  yyjson_val *elem;
  yyjson_arr_foreach(v, idx, max, elem) {
    sdb_sort_key key{SDB_SORT_RELEVANCE, false};
    if (yyjson_is_str(elem)) {
      if (!yyjson_equals_str(elem, "relevance"))
        return refuse("sort[%zu]: unknown sort '%s'", idx, yyjson_get_str(elem));
    } else if (yyjson_is_obj(elem)) {
      yyjson_val *field = nullptr, *order = nullptr;
      size_t k, kmax;
      yyjson_val *name, *member;
      yyjson_obj_foreach(elem, k, kmax, name, member) {
        yyjson_val **slot = yyjson_equals_str(name, "field")   ? &field
                            : yyjson_equals_str(name, "order") ? &order
                                                               : nullptr;
        if (slot == nullptr)
          return refuse("sort[%zu]: unknown member '%s'", idx, yyjson_get_str(name));
        if (*slot != nullptr)
          return refuse("sort[%zu]: duplicate member '%s'", idx, yyjson_get_str(name));
        *slot = member;
      }
      if (field == nullptr || order == nullptr)
        return refuse("sort[%zu]: expected a string or an object with field and order", idx);
      if (!yyjson_is_str(field) || !sdb_path_valid(yyjson_get_str(field), yyjson_get_len(field)))
        return refuse("sort[%zu].field: %s", idx, kPathExpected);
      const bool asc = yyjson_equals_str(order, "asc");
      if (!asc && !yyjson_equals_str(order, "desc"))
        return refuse("sort[%zu].order: expected \"asc\" or \"desc\"", idx);
      key.path = sdb_path_list_add(&r->paths, yyjson_get_str(field),
                                   static_cast<uint32_t>(yyjson_get_len(field)));
      if (key.path == SDB_PATH_NO_MEMORY) return NO_MEMORY;
      if (key.path == SDB_PATH_TOO_MANY)
        return refuse_over("sort[%zu].field: " SDB_PATHS_FAULT, idx, SDB_COLUMNS_KEPT);
      key.desc = !asc;
    } else {
      return refuse("sort[%zu]: expected a string or an object with field and order", idx);
    }
    r->sort[r->sort_count++] = key;
  }
  return OK;
}

outcome read_facets(sdb_request *r, yyjson_val *v) {
  if (!yyjson_is_arr(v)) return refuse("facets: expected an array of field paths");
  const size_t n = yyjson_arr_size(v);
  if (n > SDB_FACETS_MAX) return refuse_over("facets: more than %d fields", SDB_FACETS_MAX);
  r->has_facets = true;
  r->facets = static_cast<uint32_t *>(malloc((n ? n : 1) * sizeof(uint32_t)));
  if (r->facets == nullptr) return NO_MEMORY;
  size_t idx, max;
  yyjson_val *elem;
  yyjson_arr_foreach(v, idx, max, elem) {
    if (!yyjson_is_str(elem) || !sdb_path_valid(yyjson_get_str(elem), yyjson_get_len(elem)))
      return refuse("facets[%zu]: %s", idx, kPathExpected);
    const uint32_t path = sdb_path_list_add(&r->paths, yyjson_get_str(elem),
                                            static_cast<uint32_t>(yyjson_get_len(elem)));
    if (path == SDB_PATH_NO_MEMORY) return NO_MEMORY;
    if (path == SDB_PATH_TOO_MANY)
      return refuse_over("facets[%zu]: " SDB_PATHS_FAULT, idx, SDB_COLUMNS_KEPT);
    for (uint32_t k = 0; k < r->facet_count; k++)
      if (r->facets[k] == path)
        return refuse("facets[%zu]: '%s' is listed twice", idx, yyjson_get_str(elem));
    r->facets[r->facet_count++] = path;
  }
  return OK;
}

// A list of top-level member names (fields or highlight).
outcome read_names(yyjson_val *v, const char *member, bool may_be_empty, size_t most, bool unique,
                   sdb_name **out, uint32_t *count) {
  if (!yyjson_is_arr(v) || (!may_be_empty && yyjson_arr_size(v) == 0))
    return refuse("%s: expected %s array of member names", member,
                  may_be_empty ? "an" : "a non-empty");
  const size_t n = yyjson_arr_size(v);
  if (n > most) return refuse_over("%s: more than %zu members", member, most);
  *out = static_cast<sdb_name *>(malloc((n ? n : 1) * sizeof(sdb_name)));
  if (*out == nullptr) return NO_MEMORY;
  size_t idx, max;
  yyjson_val *elem;
  yyjson_arr_foreach(v, idx, max, elem) {
    if (!yyjson_is_str(elem)) return refuse("%s[%zu]: expected a member name", member, idx);
    const sdb_name name = name_of(elem);
    for (uint32_t k = 0; unique && k < *count; k++)
      if (same_name((*out)[k], name))
        return refuse("%s[%zu]: '%s' is listed twice", member, idx, name.bytes);
    (*out)[(*count)++] = name;
  }
  return OK;
}

outcome read_member(sdb_request *r, member m, yyjson_val *v) {
  switch (m) {
    case M_Q:
      return read_q(r, v);
    case M_LIMIT:
    case M_OFFSET:
      if (!int32_from(v, INT32_MIN, m == M_LIMIT ? &r->limit : &r->offset))
        return refuse("%s: expected an integer from -2147483648 to 2147483647", kMembers[m]);
      return OK;
    case M_FILTER: {
      bool oom = false;
      if (sdb_filter_parse(v, &r->filter, &r->paths, &oom)) return OK;
      return oom ? NO_MEMORY : REFUSED;
    }
    case M_SORT:
      return read_sort(r, v);
    case M_FACETS:
      return read_facets(r, v);
    case M_FACET_SIZE:
      if (!int32_from(v, 0, &r->facet_size))
        return refuse("facet_size: expected an integer from 0 to 2147483647");
      return OK;
    case M_FIELDS:
      return read_names(v, "fields", false, SDB_FIELDS_MAX, false, &r->fields, &r->field_count);
    case M_OPERATOR:
      if (yyjson_equals_str(v, "and")) {
        r->all_words = true;
      } else if (!yyjson_equals_str(v, "or")) {
        return refuse("operator: expected \"or\" or \"and\"");
      }
      return OK;
    case M_HIGHLIGHT:
      r->has_highlight = true;
      return read_names(v, "highlight", true, SDB_HIGHLIGHT_MAX, true, &r->highlight,
                        &r->highlight_count);
    case M_HIGHLIGHT_TAGS:
      if (!yyjson_is_arr(v) || yyjson_arr_size(v) != 2 || !yyjson_is_str(yyjson_arr_get(v, 0)) ||
          !yyjson_is_str(yyjson_arr_get(v, 1)))
        return refuse("highlight_tags: expected an array of two strings");
      r->tags[0] = name_of(yyjson_arr_get(v, 0));
      r->tags[1] = name_of(yyjson_arr_get(v, 1));
      return OK;
    case M_SNIPPET_WORDS: {
      int32_t n = 0;
      if (!int32_from(v, 1, &n))
        return refuse("snippet_words: expected an integer from 1 to 2147483647");
      r->snippet_words = static_cast<uint32_t>(n);
      return OK;
    }
    case M_RANK:
      if (!yyjson_is_str(v)) return refuse("rank: expected a string");
      if (yyjson_equals_str(v, "bm25")) {
        r->rank = SDB_RANK_BM25;
      } else if (yyjson_equals_str(v, "typo_aware")) {
        r->rank = SDB_RANK_TYPO_AWARE;
      } else {
        return refuse("rank: unknown rank '%s'", yyjson_get_str(v));
      }
      return OK;
    default:
      return OK;
  }
}

}  // namespace

bool sdb_request_parse(const char *json, sdb_request *r, bool *oom) {
  *oom = false;
  yyjson_read_err err;
  r->doc.reset(yyjson_read_opts(const_cast<char *>(json), strlen(json), 0, nullptr, &err));
  if (!r->doc) {
    if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
      *oom = true;
      sdb_error(SEARCHDB_NOMEM, "oom: search_request");
    } else {
      sdb_error(SEARCHDB_INVALID, "request: %s at byte %zu", err.msg, err.pos);
    }
    return false;
  }
  yyjson_val *root = yyjson_doc_get_root(r->doc.get());
  if (!yyjson_is_obj(root)) {
    sdb_error(SEARCHDB_INVALID, "request: expected an object");
    return false;
  }
  bool seen[M_COUNT] = {};
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(root, idx, max, key, val) {
    int m = 0;
    while (m < M_COUNT && !yyjson_equals_str(key, kMembers[m])) m++;
    if (m == M_COUNT) {
      sdb_error(SEARCHDB_INVALID, "request has unknown member '%s'", yyjson_get_str(key));
      return false;
    }
    if (seen[m]) {
      sdb_error(SEARCHDB_INVALID, "request has duplicate member '%s'", kMembers[m]);
      return false;
    }
    seen[m] = true;
    const outcome o = read_member(r, static_cast<member>(m), val);
    if (o == OK) continue;
    if (o == NO_MEMORY) {
      *oom = true;
      sdb_error(SEARCHDB_NOMEM, "oom: search_request");
    }
    return false;
  }
  return true;
}
