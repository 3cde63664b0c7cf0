// Arbitrary request text given to searchdb_search_request over a small
// fixed index whose documents hold every kind of value.
//
// Properties checked for every input:
//  - the answer is "null" with a message, or JSON that parses, with a
//    total no smaller than its page and a page no longer than its limit;
//  - text that is not a JSON object is refused with "request: ...";
//  - a request that is answered is answered alike with limit 0 and offset
//    0 put in, and its page at limit 3, offset 1 is the slice [1, 4) of
//    that full answer, with the same total and facets: ordering is total
//    and paging cuts it exactly;
//  - a hit of a request without fields or highlight is a stored document.
// Leaks are the sanitizer's to find.
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "index/canonical.h"
#include "api/registry.h"
#include "fuzz_support.h"
#include "index/index.h"

namespace {

std::string g_root;
std::set<std::string> g_stored;

const char kDocuments[] = R"([
  {"id":1,"title":"New York pizza","n":1,"s":"apple","tags":["x","y"],"o":{"k":"v","n":5}},
  {"id":2,"name":"york new things","n":1.0,"s":"Banana","tags":["y","y"],"objs":[{"k":"a"},{"k":2}]},
  {"id":"three","title":"Ölförsäljning på Åland","n":"1","tags":[],"nul":null,"mix":[3,"b",true,null]},
  {"id":4,"body":"search search search","n":-2.5,"flag":true,"o":{},"tags":"x"},
  {"id":5,"title":"","body":"running runner run ru r","nested":[[{"k":"a"}]],"mix":false},
  {"id":6,"list":[[1],"a b c",null,false],"s":"","n":1e300},
  {"id":7,"title":"databsae typo","body":"algorithm algorithms algorithmic","n":12345678901},
  {"id":8,"body":"e-mail foo_bar-Baz42 3.14 x\u00d7y \"quoted words\"","s":"\u0000nul"}
])";

// A page of an answer: its hits as written, its total and its facets.
struct page {
  std::vector<std::string> hits;
  int64_t total = 0;
  std::string facets;
};

std::string written(yyjson_val *v) {
  char *text = yyjson_val_write(v, 0, nullptr);
  FUZZ_CHECK(text != nullptr, "no memory");
  std::string out = text;
  free(text);
  return out;
}

// Runs the request; false when it is refused.
bool run(const std::string &request, page *p, bool shaped) {
  const char *answer = searchdb_search_request("f", request.c_str());
  FUZZ_CHECK(answer != nullptr, "null pointer");
  if (strcmp(answer, "null") == 0) {
    FUZZ_CHECK(*searchdb_last_error() != '\0', "refused without a message: " + request);
    return false;
  }
  yyjson_doc *doc = yyjson_read(answer, strlen(answer), 0);
  FUZZ_CHECK(doc != nullptr, std::string("answer does not parse: ") + answer);
  yyjson_val *root = yyjson_doc_get_root(doc);
  yyjson_val *hits = yyjson_obj_get(root, "hits");
  yyjson_val *total = yyjson_obj_get(root, "totalHits");
  yyjson_val *limit = yyjson_obj_get(root, "limit");
  FUZZ_CHECK(yyjson_is_arr(hits) && yyjson_is_int(total) && yyjson_is_int(limit), answer);
  p->total = yyjson_get_sint(total);
  size_t idx, max;
  yyjson_val *hit;
  yyjson_arr_foreach(hits, idx, max, hit) {
    p->hits.push_back(written(hit));
    if (!shaped) {
      char *text = sdb_val_to_json(hit, nullptr);
      FUZZ_CHECK(text != nullptr, "no memory");
      const bool stored = g_stored.count(text) > 0;
      free(text);
      FUZZ_CHECK(stored, "not stored: " + p->hits.back());
    }
  }
  yyjson_val *facets = yyjson_obj_get(root, "facets");
  if (facets != nullptr) p->facets = written(facets);
  FUZZ_CHECK(p->total >= static_cast<int64_t>(p->hits.size()), answer);
  const int64_t lim = yyjson_get_sint(limit);
  FUZZ_CHECK(lim == 0 || static_cast<int64_t>(p->hits.size()) <= lim, answer);
  yyjson_doc_free(doc);
  return true;
}

// The request object with its limit and offset replaced.
std::string with_page(yyjson_doc *request, int limit, int offset) {
  yyjson_mut_doc *doc = yyjson_doc_mut_copy(request, nullptr);
  FUZZ_CHECK(doc != nullptr, "no memory");
  yyjson_mut_val *root = yyjson_mut_doc_get_root(doc);
  yyjson_mut_obj_remove_key(root, "limit");
  yyjson_mut_obj_remove_key(root, "offset");
  yyjson_mut_obj_add_int(doc, root, "limit", limit);
  yyjson_mut_obj_add_int(doc, root, "offset", offset);
  char *text = yyjson_mut_write(doc, 0, nullptr);
  FUZZ_CHECK(text != nullptr, "no memory");
  std::string out = text;
  free(text);
  yyjson_mut_doc_free(doc);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_root = fuzz::make_storage_root("search_request");
  atexit([] {
    searchdb_cleanup();
    fuzz::remove_tree(g_root);
  });
  FUZZ_CHECK(searchdb_init(g_root.c_str()) == 0, g_root);
  FUZZ_CHECK(searchdb_index_create("f", nullptr) == 0, "create");
  FUZZ_CHECK(searchdb_documents_add("f", kDocuments) == 8, searchdb_last_error());
  const sdb_index *ix = sdb_index_find("f");
  for (uint32_t slot = 0; slot < ix->doc_count; slot++)
    g_stored.insert(fuzz::stored_text(ix->docs[slot]));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The export takes NUL-terminated text.
  const std::string text(reinterpret_cast<const char *>(data),
                         strnlen(reinterpret_cast<const char *>(data), size));
  yyjson_doc *request = yyjson_read(text.data(), text.size(), 0);
  const bool object = request != nullptr && yyjson_is_obj(yyjson_doc_get_root(request));
  page as_given;
  const bool answered = run(text, &as_given, true);
  if (!object) {
    FUZZ_CHECK(!answered, "not an object, answered: " + text);
    FUZZ_CHECK(strncmp(searchdb_last_error(), "request: ", 9) == 0, searchdb_last_error());
    yyjson_doc_free(request);
    return 0;
  }
  yyjson_val *root = yyjson_doc_get_root(request);
  const bool shaped = yyjson_obj_get(root, "fields") || yyjson_obj_get(root, "highlight");
  if (answered) {
    page all, slice;
    FUZZ_CHECK(run(with_page(request, 0, 0), &all, shaped), "refused when paged: " + text);
    FUZZ_CHECK(all.total == as_given.total && all.facets == as_given.facets,
               "paging changed the total or the facets: " + text);
    FUZZ_CHECK(all.total == static_cast<int64_t>(all.hits.size()), "full page is not the total");
    FUZZ_CHECK(run(with_page(request, 3, 1), &slice, shaped), "refused when paged: " + text);
    std::vector<std::string> expected;
    for (size_t i = 1; i < all.hits.size() && i < 4; i++) expected.push_back(all.hits[i]);
    FUZZ_CHECK(slice.total == all.total && slice.hits == expected,
               "the page is not a slice of the full answer: " + text);
  }
  yyjson_doc_free(request);
  return 0;
}
