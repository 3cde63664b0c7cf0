// Arbitrary contents for the files the loader reads at initialisation.
//
// The input is split at the byte 0x1E (which valid JSON never holds outside
// a string) into up to three parts: "_indexes/list.json", then "meta.json"
// and "docs.json" of the index directory "a". A part that is not there
// leaves its file missing.
//
// Properties checked for every input:
//  - initialisation succeeds, and the index list response parses;
//  - no file written is lost: each is still there unchanged or, only when
//    it does not hold a JSON array, kept unchanged as "<file>.corrupt";
//  - every loaded document can be fetched by its id (the first index of a
//    name answers) and the statistics of every loaded index parse;
//  - loading is a fixed point: after every reachable index has written its
//    files again, a restart loads the same indexes, keys and documents.
#include <yyjson.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "frame/registry.h"
#include "fuzz_support.h"
#include "index/index.h"

namespace {

std::string g_root;

struct loaded_index {
  std::string name;
  std::string primary_key;
  std::vector<std::pair<std::string, std::string>> docs;  // live, in slot order
  bool operator==(const loaded_index &) const = default;
};

std::vector<loaded_index> snapshot() {
  std::vector<loaded_index> all;
  for (uint32_t i = 0; i < s_index_count; i++) {
    const sdb_index *ix = s_indexes[i];
    loaded_index li{ix->name, ix->primary_key, {}};
    for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
      const sdb_doc &d = ix->docs[slot];
      if (d.alive) li.docs.emplace_back(d.id, std::string(d.raw, d.raw_len));
    }
    all.push_back(std::move(li));
  }
  return all;
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool holds_array(const std::string &text) {
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  bool array = yyjson_is_arr(yyjson_doc_get_root(doc));
  yyjson_doc_free(doc);
  return array;
}

// The file at path holds bytes, or was set aside as damaged with them.
void check_kept(const std::string &path, const std::string &bytes) {
  std::error_code ec;
  if (std::filesystem::exists(path + ".corrupt", ec)) {
    FUZZ_CHECK(read_file(path + ".corrupt") == bytes, "kept file differs: " + path);
    FUZZ_CHECK(!holds_array(bytes), "a JSON array was set aside: " + path);
    FUZZ_CHECK(!std::filesystem::exists(path, ec), "set aside but still there: " + path);
  } else {
    FUZZ_CHECK(read_file(path) == bytes, "changed or lost: " + path);
  }
}

bool parses(const char *text) {
  yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
  yyjson_doc_free(doc);
  return doc != nullptr;
}

void check_answers(const std::vector<loaded_index> &indexes) {
  const char *list = searchdb_indexes_list_json();
  FUZZ_CHECK(parses(list), list);
  for (size_t i = 0; i < indexes.size(); i++) {
    const loaded_index &li = indexes[i];
    const char *stats = searchdb_index_stats_json(li.name.c_str());
    FUZZ_CHECK(parses(stats), li.name + ": " + stats);
    // Only the first index of a name listed twice can be reached by name.
    if (sdb_index_find(li.name.c_str()) != s_indexes[i]) continue;
    for (const auto &[id, raw] : li.docs) {
      const char *got = searchdb_document_get(li.name.c_str(), id.c_str());
      FUZZ_CHECK(got != nullptr && raw == got, li.name + ": get '" + id + "'");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_root = fuzz::make_storage_root("load");
  atexit([] { fuzz::remove_tree(g_root); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> parts;
  for (size_t start = 0; parts.size() < 3;) {
    size_t end = input.find('\x1e', start);
    parts.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  fuzz::clear_directory(g_root);
  std::filesystem::create_directories(g_root + "/_indexes");
  std::filesystem::create_directories(g_root + "/a");
  const char *files[] = {"/_indexes/list.json", "/a/meta.json", "/a/docs.json"};
  for (size_t i = 0; i < parts.size(); i++) write_file(g_root + files[i], parts[i]);

  FUZZ_CHECK(searchdb_init(g_root.c_str()) == 0, g_root);
  for (size_t i = 0; i < parts.size(); i++) check_kept(g_root + files[i], parts[i]);
  std::vector<loaded_index> first = snapshot();
  check_answers(first);
  // An empty batch rewrites an index's "docs.json" and "meta.json".
  for (const loaded_index &li : first) {
    FUZZ_CHECK(searchdb_documents_add(li.name.c_str(), "[]") == 0, li.name);
  }
  searchdb_cleanup();
  FUZZ_CHECK(searchdb_init(g_root.c_str()) == 0, g_root);
  FUZZ_CHECK(snapshot() == first, "a rewrite and restart changed what loads");
  searchdb_cleanup();
  return 0;
}
