// Arbitrary contents for the files the loader reads at initialisation.
//
// The input is split at the byte 0x1E (which valid JSON never holds outside
// a string) into up to three parts: "_indexes/list.json", then "meta.json"
// and "docs.json" of the index directory "a". A part that is not there
// leaves its file missing.
//
// Properties checked for every input:
//  - initialisation succeeds, and the index list response parses;
//  - no byte written is lost: each file is still there unchanged, or its
//    bytes were set aside as "<file>.corrupt" — for the list and the
//    documents exactly when the JSON library does not read them as an
//    array;
//  - the documents of "a" are what a plain reading of its file with the
//    JSON library gives (elements that are objects with string "__id" and
//    "raw" members free of NUL bytes; a later id replacing an earlier one's
//    text in its place): the loader's own scanner answers the same;
//  - no name loads twice; every loaded document can be fetched by its id
//    and the statistics of every loaded index parse;
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

#include "api/registry.h"
#include "fuzz_support.h"
#include "index/index.h"

namespace {

std::string g_root;

using doc_list = std::vector<std::pair<std::string, std::string>>;  // id, text

struct loaded_index {
  std::string name;
  std::string primary_key;
  doc_list docs;  // live, in slot order
  bool operator==(const loaded_index &) const = default;
};

std::vector<loaded_index> snapshot() {
  std::vector<loaded_index> all;
  for (uint32_t i = 0; i < s_registry.count; i++) {
    const sdb_index *ix = s_registry.items[i];
    loaded_index li{ix->name, ix->primary_key, {}};
    for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
      const sdb_doc &d = ix->docs[slot];
      if (d.alive) li.docs.emplace_back(d.id, fuzz::stored_text(d));
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

// A string member free of NUL bytes, as the loader takes it.
const char *plain_string(yyjson_val *v) {
  const char *s = yyjson_get_str(v);
  return s && strlen(s) == yyjson_get_len(v) ? s : nullptr;
}

// The documents a plain reading of a stored documents file gives.
doc_list plain_documents(const std::string &text) {
  doc_list docs;
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  size_t i, n;
  yyjson_val *element;
  yyjson_arr_foreach(yyjson_doc_get_root(doc), i, n, element) {
    if (!yyjson_is_obj(element)) continue;
    const char *id = plain_string(yyjson_obj_get(element, "__id"));
    const char *raw = plain_string(yyjson_obj_get(element, "raw"));
    if (!id || !raw) continue;
    bool replaced = false;
    for (auto &[seen, text] : docs)
      if (seen == id) text = raw, replaced = true;
    if (!replaced) docs.emplace_back(id, raw);
  }
  yyjson_doc_free(doc);
  return docs;
}

// The file at path held bytes: they are still there, or set aside.
void check_kept(const std::string &path, const std::string &bytes, bool damaged) {
  std::error_code ec;
  const bool aside = std::filesystem::exists(path + ".corrupt", ec);
  if (aside) FUZZ_CHECK(read_file(path + ".corrupt") == bytes, "set aside differs: " + path);
  if (damaged) FUZZ_CHECK(aside, "a damaged file was not set aside: " + path);
  if (!aside) FUZZ_CHECK(read_file(path) == bytes, "changed or lost: " + path);
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
    FUZZ_CHECK(sdb_index_find(li.name.c_str()) == s_registry.items[i], li.name + " loaded twice");
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
    parts.push_back(
        input.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  fuzz::clear_directory(g_root);
  std::filesystem::create_directories(g_root + "/_indexes");
  std::filesystem::create_directories(g_root + "/a");
  const char *files[] = {"/_indexes/list.json", "/a/meta.json", "/a/docs.json"};
  for (size_t i = 0; i < parts.size(); i++) write_file(g_root + files[i], parts[i]);

  FUZZ_CHECK(searchdb_init(g_root.c_str()) == 0, g_root);
  std::vector<loaded_index> first = snapshot();
  bool a_loaded = false;
  for (const loaded_index &li : first) {
    if (li.name != "a") continue;
    a_loaded = true;
    FUZZ_CHECK(li.docs == (parts.size() > 2 ? plain_documents(parts[2]) : doc_list{}),
               "the loaded documents differ from a plain reading");
  }
  // The list is damaged when it is there and not an array; the documents
  // when their index loads and they are not an array.
  if (parts.size() > 0) check_kept(g_root + files[0], parts[0], !holds_array(parts[0]));
  if (parts.size() > 1) check_kept(g_root + files[1], parts[1], false);
  if (parts.size() > 2) check_kept(g_root + files[2], parts[2], a_loaded && !holds_array(parts[2]));
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
