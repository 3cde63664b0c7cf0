// Arbitrary text handed to searchdb_documents_add on a fresh index.
//
// Properties checked for every input:
//  - the call returns -1 with a message, or a count; a refused batch leaves
//    the index empty;
//  - every stored text parses strictly and is its own canonical form
//    (writing it again gives the same bytes), and get returns it. One known
//    exception: a real negative zero is written "-0", which reads back as
//    the integer 0, so inputs holding one skip the fixed-point check;
//  - a restart loads exactly the same documents, in the same order.
#include <yyjson.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "index/canonical.h"
#include "api/registry.h"
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
    if (d.alive) docs.emplace_back(d.id, fuzz::stored_text(d));
  }
  return docs;
}

bool holds_negative_zero(yyjson_val *val) {
  if (yyjson_is_real(val)) return yyjson_get_real(val) == 0 && std::signbit(yyjson_get_real(val));
  size_t idx, max;
  yyjson_val *item, *key;
  if (yyjson_is_arr(val)) {
    yyjson_arr_foreach(val, idx, max, item) {
      if (holds_negative_zero(item)) return true;
    }
  } else if (yyjson_is_obj(val)) {
    yyjson_obj_foreach(val, idx, max, key, item) {
      if (holds_negative_zero(item)) return true;
    }
  }
  return false;
}

bool input_holds_negative_zero(const std::string &text) {
  yyjson_doc *doc = yyjson_read(text.c_str(), strlen(text.c_str()), 0);
  bool found = holds_negative_zero(yyjson_doc_get_root(doc));
  yyjson_doc_free(doc);
  return found;
}

void check_canonical(const std::string &id, const std::string &raw, bool fixed_point) {
  yyjson_doc *doc = yyjson_read(raw.data(), raw.size(), 0);
  FUZZ_CHECK(doc != nullptr, "stored text does not parse: " + raw);
  uint64_t len = 0;
  char *again = sdb_val_to_json(yyjson_doc_get_root(doc), &len);
  yyjson_doc_free(doc);
  FUZZ_CHECK(again != nullptr, "no memory");
  std::string rewritten(again, len);
  free(again);
  FUZZ_CHECK(!fixed_point || rewritten == raw, "not canonical: " + raw + " -> " + rewritten);
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
    FUZZ_CHECK(!before.empty() || taken == 0,
               "count " + std::to_string(taken) + " but no document");
    FUZZ_CHECK(before.size() <= static_cast<size_t>(taken), "more documents than taken");
    bool fixed_point = !input_holds_negative_zero(text);
    for (const auto &[id, raw] : before) check_canonical(id, raw, fixed_point);
  }

  searchdb_cleanup();
  FUZZ_CHECK(searchdb_init(g_root.c_str()) == 0, g_root);
  FUZZ_CHECK(snapshot("f") == before, "a restart changed the documents of: " + text);
  searchdb_cleanup();
  return 0;
}
