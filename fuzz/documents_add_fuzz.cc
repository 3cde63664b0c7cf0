// Arbitrary text handed to searchdb_documents_add on a fresh index.
//
// Properties checked for every input:
//  - the call returns -1 with a message, or a count; a refused batch leaves
//    the index empty;
//  - every stored text parses strictly and is its own canonical form
//    (writing it again gives the same bytes), and get returns it;
//  - a restart loads exactly the same documents, in the same order.
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "documents/canonical.h"
#include "frame/registry.h"
#include "fuzz_support.h"
#include "index/index.h"

namespace {

std::string g_root;

using stored_docs = std::vector<std::pair<std::string, std::string>>;

// The live documents of the index, in slot order.
stored_docs snapshot(const char *name) {
  stored_docs docs;
  const sdb_index *ix = sdb_index_find(name);
  FUZZ_CHECK(ix != nullptr, name);
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const sdb_doc &d = ix->docs[slot];
    if (d.alive) docs.emplace_back(d.id, std::string(d.raw, d.raw_len));
  }
  return docs;
}

void check_canonical(const std::string &id, const std::string &raw) {
  yyjson_doc *doc = yyjson_read(raw.data(), raw.size(), 0);
  FUZZ_CHECK(doc != nullptr, "stored text does not parse: " + raw);
  uint64_t len = 0;
  char *again = sdb_val_to_json(yyjson_doc_get_root(doc), &len);
  yyjson_doc_free(doc);
  FUZZ_CHECK(again != nullptr, "no memory");
  std::string rewritten(again, len);
  free(again);
  FUZZ_CHECK(rewritten == raw, "not canonical: " + raw + " -> " + rewritten);
  const char *got = searchdb_document_get("f", id.c_str());
  FUZZ_CHECK(got != nullptr && raw == got, "get of '" + id + "' differs from " + raw);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_root = fuzz::make_storage_root("documents_add");
  atexit([] { fuzz::remove_tree(g_root); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The export takes a C string: an input with a NUL byte ends there.
  std::string text(reinterpret_cast<const char *>(data), size);
  fuzz::clear_directory(g_root);
  FUZZ_CHECK(searchdb_init(g_root.c_str()) == 0, g_root);
  FUZZ_CHECK(searchdb_index_create("f", nullptr) == 0, "create");

  int taken = searchdb_documents_add("f", text.c_str());
  stored_docs before = snapshot("f");
  if (taken < 0) {
    FUZZ_CHECK(taken == -1 && *searchdb_last_error() != '\0', std::to_string(taken));
    FUZZ_CHECK(before.empty(), "a refused batch left documents behind");
  } else {
    FUZZ_CHECK(!before.empty() || taken == 0, "count " + std::to_string(taken) + " but no document");
    FUZZ_CHECK(before.size() <= static_cast<size_t>(taken), "more documents than taken");
    for (const auto &[id, raw] : before) check_canonical(id, raw);
  }

  searchdb_cleanup();
  FUZZ_CHECK(searchdb_init(g_root.c_str()) == 0, g_root);
  FUZZ_CHECK(snapshot("f") == before, "a restart changed the documents of: " + text);
  searchdb_cleanup();
  return 0;
}
