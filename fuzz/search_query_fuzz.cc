// Arbitrary query text searched over a small fixed index.
//
// Properties checked for every input:
//  - a query that is valid UTF-8 and holds at most 1024 tokens gets a
//    response, which parses, echoes the query and reports a total no
//    smaller than its page; any other gets "null" and says why;
//  - every hit is a stored document, listed at most once;
//  - the page at limit 3, offset 1 is the slice [1, 4) of the full ranking,
//    with the same total: ranking is stable and paging cuts it exactly.
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "api/registry.h"
#include "base/utf8.h"
#include "fuzz_support.h"
#include "index/canonical.h"
#include "index/index.h"
#include "index/tokenizer.h"
#include "search/search.h"

namespace {

std::string g_root;

const char kDocuments[] = R"([
  {"id":1,"title":"Searching for a needle","body":"haystack search algorithms"},
  {"id":2,"name":"Database internals","tags":["storage","btree",42]},
  {"id":"three","title":"Ölförsäljning på Åland","body":"ÀÉÎ Ö ПРИВЕТ мир Ёж"},
  {"id":4,"body":"search search search","n":3.5,"flag":true},
  {"id":5,"title":"","body":"running runner run ru r"},
  {"id":6,"nested":{"title":"not a title"},"list":[[1],"a b c",null,false]},
  {"id":7,"title":"databsae typo","body":"algorithm algorithms algorithmic"},
  {"id":8,"body":"e-mail foo_bar-Baz42 3.14 x\u00d7y"},
  {"id":9,"title":"A very long title that repeats the word search and needle again","x":-5},
  {"id":10,"body":"\u65e5\u672c\u8a9e \ud83d\ude00 emoji"}
])";

struct page {
  std::vector<std::string> hits;  // canonical texts, in rank order
  int64_t total = 0;
};

page run_search(const std::string &query, int limit, int offset) {
  const char *response = searchdb_search("f", query.c_str(), limit, offset);
  FUZZ_CHECK(response != nullptr, "null pointer");
  const char *c_query = query.c_str();
  if (!sdb_utf8_valid(c_query, strlen(c_query))) {
    FUZZ_CHECK(strcmp(response, "null") == 0, "invalid UTF-8 echoed");
    FUZZ_CHECK(strcmp(searchdb_last_error(), "query is not valid UTF-8") == 0, "no reason given");
    return {};
  }
  uint64_t tokens = 0;
  for (size_t pos = 0, start, len; sdb_next_token(c_query, strlen(c_query), &pos, &start, &len);)
    tokens++;
  if (tokens > SDB_QUERY_TOKEN_MAX) {
    FUZZ_CHECK(strcmp(response, "null") == 0, "an overlong query answered");
    FUZZ_CHECK(strstr(searchdb_last_error(), "over the limit of 1024") != nullptr,
               "no reason given");
    return {};
  }
  yyjson_doc *doc = yyjson_read(response, strlen(response), 0);
  FUZZ_CHECK(doc != nullptr, std::string("response does not parse: ") + response);
  yyjson_val *root = yyjson_doc_get_root(doc);
  yyjson_val *hits = yyjson_obj_get(root, "hits");
  yyjson_val *echo = yyjson_obj_get(root, "query");
  yyjson_val *total = yyjson_obj_get(root, "totalHits");
  FUZZ_CHECK(yyjson_is_arr(hits) && yyjson_is_str(echo) && yyjson_is_int(total), response);
  FUZZ_CHECK(strcmp(yyjson_get_str(echo), c_query) == 0, response);
  FUZZ_CHECK(yyjson_get_int(yyjson_obj_get(root, "limit")) == limit, response);
  FUZZ_CHECK(yyjson_get_int(yyjson_obj_get(root, "offset")) == offset, response);
  page p;
  p.total = yyjson_get_sint(total);
  size_t idx, max;
  yyjson_val *hit;
  std::set<std::string> seen;
  yyjson_arr_foreach(hits, idx, max, hit) {
    char *text = sdb_val_to_json(hit, nullptr);
    FUZZ_CHECK(text != nullptr, "no memory");
    p.hits.emplace_back(text);
    free(text);
    FUZZ_CHECK(seen.insert(p.hits.back()).second, "listed twice: " + p.hits.back());
  }
  yyjson_doc_free(doc);
  FUZZ_CHECK(p.total >= static_cast<int64_t>(p.hits.size()), response);
  FUZZ_CHECK(limit <= 0 || p.hits.size() <= static_cast<size_t>(limit), response);
  return p;
}

std::set<std::string> g_stored;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_root = fuzz::make_storage_root("search_query");
  atexit([] {
    searchdb_cleanup();
    fuzz::remove_tree(g_root);
  });
  FUZZ_CHECK(searchdb_init(g_root.c_str()) == 0, g_root);
  FUZZ_CHECK(searchdb_index_create("f", nullptr) == 0, "create");
  FUZZ_CHECK(searchdb_documents_add("f", kDocuments) == 10, "add");
  const sdb_index *ix = sdb_index_find("f");
  for (uint32_t slot = 0; slot < ix->doc_count; slot++)
    g_stored.insert(fuzz::stored_text(ix->docs[slot]));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string query(reinterpret_cast<const char *>(data), size);
  page all = run_search(query, 0, 0);
  for (const std::string &hit : all.hits) FUZZ_CHECK(g_stored.count(hit), "not stored: " + hit);
  FUZZ_CHECK(all.total == static_cast<int64_t>(all.hits.size()), "full page is not the total");
  page slice = run_search(query, 3, 1);
  FUZZ_CHECK(slice.total == all.total, "totals differ between pages");
  std::vector<std::string> expected;
  for (size_t i = 1; i < all.hits.size() && i < 4; i++) expected.push_back(all.hits[i]);
  FUZZ_CHECK(slice.hits == expected, "the page is not a slice of the ranking");
  return 0;
}
