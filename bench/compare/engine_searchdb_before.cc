// searchdb as another build of the library, loaded with dlopen.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "engine_searchdb.h"

namespace {

template <typename F>
bool Resolve(void *lib, const char *name, F *fn) {
  *fn = reinterpret_cast<F>(dlsym(lib, name));
  if (*fn == nullptr) fprintf(stderr, "searchdb-before: %s is missing: %s\n", name, dlerror());
  return *fn != nullptr;
}

// The library at path, loaded with its own symbols first, so that its calls
// between its own functions never reach the linked library of the same
// names. Sanitizers refuse that binding; their builds load it plainly.
bool LoadApi(const std::string &path, SearchdbApi *api) {
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

}  // namespace

std::string ReferenceLibraryPath() {
  if (const char *env = getenv("SEARCHDB_REFERENCE_LIB"); env && *env) return env;
#ifdef SEARCHDB_REFERENCE_LIBRARY
  return SEARCHDB_REFERENCE_LIBRARY;
#else
  return "";
#endif
}

std::unique_ptr<Engine> NewSearchdbBeforeEngine() {
  SearchdbApi api;
  const std::string path = ReferenceLibraryPath();
  if (path.empty() || !LoadApi(path, &api)) return nullptr;
  return NewSearchdbApiEngine(api);
}
