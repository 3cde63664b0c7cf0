#include <yyjson.h>

#include "engines.h"
#include "searchdb.h"

namespace {

const char kIndex[] = "bench";

// One searchdb_documents_add of the whole corpus as a JSON array.
struct SearchdbEngine : Engine {
  std::string batch = "[";
  std::string answer;
  bool open = false;

  ~SearchdbEngine() override {
    if (open) searchdb_cleanup();
  }
  void Stage(const std::string &json) override {
    if (batch.size() > 1) batch += ',';
    batch += json;
  }
  bool Build(const std::string &dir) override {
    batch += ']';
    open = searchdb_init(dir.c_str()) == 0;
    return open && searchdb_index_create(kIndex, nullptr) == 0 &&
           searchdb_documents_add(kIndex, batch.c_str()) > 0;
  }
  bool Open(const std::string &dir) override {
    open = searchdb_init(dir.c_str()) == 0;
    return open;
  }
  void Search(const Query &q) override { answer = searchdb_search(kIndex, q.text.c_str(), 20, 0); }
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
  std::string Error() override { return searchdb_last_error(); }
};

}  // namespace

std::unique_ptr<Engine> NewSearchdbEngine() {
  return std::make_unique<SearchdbEngine>();
}
