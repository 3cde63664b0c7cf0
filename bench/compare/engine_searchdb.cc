#include <dlfcn.h>
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engines.h"
#include "searchdb.h"

namespace {

const char *const kIndex = kSearchdbIndex;

// The library's functions, reached either through the link or through
// dlsym on a library loaded apart from the linked one (which may be older
// than searchdb_search_request: then that one is null).
struct Api {
  int (*init)(const char *);
  void (*cleanup)(void);
  const char *(*last_error)(void);
  int (*index_create)(const char *, const char *);
  int (*index_delete)(const char *);
  const char *(*indexes_list_json)(void);
  int (*documents_add)(const char *, const char *);
  const char *(*document_get)(const char *, const char *);
  int (*document_delete)(const char *, const char *);
  const char *(*search)(const char *, const char *, int, int);
  const char *(*index_stats_json)(const char *);
  const char *(*search_request)(const char *, const char *);
};

const Api kLinked = {searchdb_init,          searchdb_cleanup,          searchdb_last_error,
                     searchdb_index_create,  searchdb_index_delete,     searchdb_indexes_list_json,
                     searchdb_documents_add, searchdb_document_get,     searchdb_document_delete,
                     searchdb_search,        searchdb_index_stats_json, searchdb_search_request};

template <typename F>
bool Resolve(void *lib, const char *name, F *fn) {
  *fn = reinterpret_cast<F>(dlsym(lib, name));
  if (*fn == nullptr) fprintf(stderr, "searchdb-before: %s is missing: %s\n", name, dlerror());
  return *fn != nullptr;
}

// The library at path, loaded with its own symbols first, so that its calls
// between its own functions never reach the linked library of the same
// names. Sanitizers refuse that binding; their builds load it plainly.
bool LoadApi(const std::string &path, Api *api) {
#if defined(__SANITIZE_ADDRESS__)
  const int flags = RTLD_NOW | RTLD_LOCAL;
#else
  const int flags = RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND;
#endif
  void *lib = dlopen(path.c_str(), flags);
  if (lib == nullptr) {
    fprintf(stderr, "searchdb-before: %s\n", dlerror());
    return false;
  }
  // Kept loaded for the life of the process: the engine's answers point
  // into it.
  return Resolve(lib, "searchdb_init", &api->init) &&
         Resolve(lib, "searchdb_cleanup", &api->cleanup) &&
         Resolve(lib, "searchdb_last_error", &api->last_error) &&
         Resolve(lib, "searchdb_index_create", &api->index_create) &&
         Resolve(lib, "searchdb_index_delete", &api->index_delete) &&
         Resolve(lib, "searchdb_indexes_list_json", &api->indexes_list_json) &&
         Resolve(lib, "searchdb_documents_add", &api->documents_add) &&
         Resolve(lib, "searchdb_document_get", &api->document_get) &&
         Resolve(lib, "searchdb_document_delete", &api->document_delete) &&
         Resolve(lib, "searchdb_search", &api->search) &&
         Resolve(lib, "searchdb_index_stats_json", &api->index_stats_json) &&
         ((api->search_request = reinterpret_cast<decltype(api->search_request)>(
               dlsym(lib, "searchdb_search_request"))),
          true);
}

// One searchdb_documents_add of the whole corpus as a JSON array.
struct SearchdbEngine : Engine {
  explicit SearchdbEngine(const Api &a) : api(a) {}
  Api api;
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

std::unique_ptr<Engine> NewSearchdbEngine() {
  return std::make_unique<SearchdbEngine>(kLinked);
}

std::string ReferenceLibraryPath() {
  if (const char *env = getenv("SEARCHDB_REFERENCE_LIB"); env && *env) return env;
#ifdef SEARCHDB_REFERENCE_LIBRARY
  return SEARCHDB_REFERENCE_LIBRARY;
#else
  return "";
#endif
}

std::unique_ptr<Engine> NewSearchdbBeforeEngine() {
  Api api;
  const std::string path = ReferenceLibraryPath();
  if (path.empty() || !LoadApi(path, &api)) return nullptr;
  return std::make_unique<SearchdbEngine>(api);
}
