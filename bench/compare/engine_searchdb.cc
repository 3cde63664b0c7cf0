#include "engine_searchdb.h"

#include <yyjson.h>

#include <cstring>

namespace {

const char *const kIndex = kSearchdbIndex;

// One searchdb_documents_add of the whole corpus as a JSON array.
struct SearchdbEngine : Engine {
  explicit SearchdbEngine(const SearchdbApi &a) : api(a) {}
  SearchdbApi api;
  std::string batch = "[";
  std::string answer;
  bool open = false;

  ~SearchdbEngine() override {
    if (open) api.cleanup();
  }
  void Stage(const std::string &json) override {
    if (batch.size() > 1) batch += ',';
    batch += json;
  }
  bool Build(const std::string &dir) override {
    batch += ']';
    open = api.init(dir.c_str()) == 0;
    return open && api.index_create(kIndex, nullptr) == 0 &&
           api.documents_add(kIndex, batch.c_str()) > 0;
  }
  bool Open(const std::string &dir) override {
    open = api.init(dir.c_str()) == 0;
    return open;
  }
  void Search(const Query &q) override { answer = api.search(kIndex, q.text.c_str(), 20, 0); }
  std::vector<std::string> LastIds() override {
    std::vector<std::string> ids;
    yyjson_doc *doc = yyjson_read(answer.data(), answer.size(), 0);
    size_t i, n;
    yyjson_val *hit;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "hits"), i, n, hit) {
      const char *id = yyjson_get_str(yyjson_obj_get(hit, "id"));
      ids.push_back(id ? id : "");
    }
    yyjson_doc_free(doc);
    return ids;
  }
  std::string Error() override { return api.last_error(); }

  std::string request_error;

  void Prepare(Request *r) override { r->prepared = SearchdbRequestJson(*r); }

  bool Run(const Request &r) override {
    if (!api.search_request) {
      answer = "null";
      request_error = "this library has no searchdb_search_request";
      return false;
    }
    answer = api.search_request(
        kIndex, r.prepared.empty() ? SearchdbRequestJson(r).c_str() : r.prepared.c_str());
    if (answer != "null") return true;
    request_error = api.last_error();
    return false;
  }
  std::string LastText() override { return answer; }
  bool Add(const std::string &json) override {
    return api.documents_add(kIndex, json.c_str()) == 1;
  }
  Outcome LastOutcome() override {
    Outcome out;
    yyjson_doc *doc = yyjson_read(answer.data(), answer.size(), 0);
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(root)) {
      out.error = request_error;
      yyjson_doc_free(doc);
      return out;
    }
    out.ok = true;
    out.total = yyjson_get_sint(yyjson_obj_get(root, "totalHits"));
    size_t i, n;
    yyjson_val *hit;
    yyjson_arr_foreach(yyjson_obj_get(root, "hits"), i, n, hit) {
      const char *id = yyjson_get_str(yyjson_obj_get(hit, "id"));
      out.ids.push_back(id ? id : "");
      yyjson_val *size = yyjson_obj_get(hit, kSizeField);
      out.sizes.push_back(yyjson_is_num(size) ? yyjson_get_num(size) : -1);
      const char *text =
          yyjson_get_str(yyjson_obj_get(yyjson_obj_get(hit, "_highlight"), kHighlightField));
      out.marked += text && strstr(text, kMarkStart);
    }
    size_t fi, fn;
    yyjson_val *field, *counts;
    yyjson_obj_foreach(yyjson_obj_get(root, "facets"), fi, fn, field, counts) {
      auto &list = out.facets[yyjson_get_str(field)];
      yyjson_val *entry;
      yyjson_arr_foreach(counts, i, n, entry) {
        yyjson_val *value = yyjson_obj_get(entry, "value");
        list.emplace_back(yyjson_is_str(value) ? yyjson_get_str(value) : "",
                          yyjson_get_sint(yyjson_obj_get(entry, "count")));
      }
    }
    yyjson_doc_free(doc);
    return out;
  }
};

}  // namespace

std::unique_ptr<Engine> NewSearchdbApiEngine(const SearchdbApi &api) {
  return std::make_unique<SearchdbEngine>(api);
}
