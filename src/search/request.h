// A search request as searchdb_search_request takes it: one JSON object,
// every member optional, no member twice at any level (searchdb.h lists
// them). Reading one checks it whole, so that a bad request is refused
// before any work, with a message naming the member and the fault.
#pragma once

#include <yyjson.h>

#include <cstdint>

#include "base/holders.h"
#include "base/limits.h"
#include "search/filter.h"

// What a request asks for when it does not say; how many facets,
// highlighted members, chosen fields and sort keys it may name is in
// base/limits.h.
enum {
  SDB_FACET_SIZE_DEFAULT = 100,
  SDB_LIMIT_DEFAULT = 20,
};

// How the documents that match are ranked: a rule orders them by keys it
// computes per document while scoring, then by score. BM25 has score
// alone; the typo-aware rule is typo_rank.h's.
enum sdb_rank_rule { SDB_RANK_BM25, SDB_RANK_TYPO_AWARE };

// One sort key: a field's column in order or, with path SDB_SORT_RELEVANCE,
// the rank rule's order.
struct sdb_sort_key {
  uint32_t path;
  bool desc;
};
enum : uint32_t { SDB_SORT_RELEVANCE = UINT32_MAX };

// A name given as a JSON string: len bytes (it may hold a NUL).
struct sdb_name {
  const char *bytes;
  uint32_t len;
};

struct sdb_request {
  sdb_doc_ptr doc;          // the parsed request: every text below points into it
  const char *q = nullptr;  // nullptr: browse every live document
  int32_t limit = SDB_LIMIT_DEFAULT;
  int32_t offset = 0;
  sdb_path_list paths{};  // every field path the request names, once
  sdb_filter filter{};
  sdb_sort_key *sort = nullptr;
  uint32_t sort_count = 0;
  uint32_t *facets = nullptr;  // paths
  uint32_t facet_count = 0;
  bool has_facets = false;
  int32_t facet_size = SDB_FACET_SIZE_DEFAULT;  // 0: every value
  sdb_name *fields = nullptr;
  uint32_t field_count = 0;
  sdb_name *highlight = nullptr;
  uint32_t highlight_count = 0;
  bool has_highlight = false;
  sdb_name tags[2] = {{"<mark>", 6}, {"</mark>", 7}};
  uint32_t snippet_words = 0;  // 0: whole texts
  bool all_words = false;      // "operator": "and"
  sdb_rank_rule rank = SDB_RANK_BM25;
  uint64_t q_tokens = 0;
  sdb_request() = default;
  sdb_request(const sdb_request &) = delete;
  sdb_request &operator=(const sdb_request &) = delete;
  ~sdb_request();
};

// Reads json into r. False with the message set when it is not a request
// we take; *oom tells whether memory ran out ("oom: search_request").
bool sdb_request_parse(const char *json, sdb_request *r, bool *oom);
