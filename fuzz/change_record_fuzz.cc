// Damaged and crafted change records (storage/change_record.h) for an
// index whose derived file describes the docs.json before a few changes.
//
// The input edits the record those changes wrote:
//   byte 0, flags: 1 seal the result (every record's checksum made to
//     match, so that the checks behind it are reached); 2 cut it to the
//     length in the next four bytes (modulo its size + 1); 4 the rest of
//     the input is the record, not edits of the good one;
//   then five bytes per edit: a little-endian offset (modulo the size) and
//     a byte to exclusive-or there.
//
// Properties checked for every input:
//  - a load never reads outside the record, the derived file or docs.json
//    (the sanitizers' part) and every search, request and the statistics
//    answer;
//  - unsealed, the record is the good one or refused: the answers are
//    exactly a build's, and the good one is followed (docs.json mapped).
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "api/registry.h"
#include "fuzz_support.h"
#include "index/index.h"
#include "storage/change_record.h"
#include "storage/layout.h"

namespace {

std::string g_dir;
std::string g_derived;
std::string g_record;
std::string g_reference;

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const void *bytes, size_t n) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char *>(bytes), static_cast<std::streamsize>(n));
}

std::string path_of(const char *file) {
  return g_dir + "/a/" + file;
}

std::string answers(bool *unanswered) {
  *unanswered = false;
  auto take = [&](const char *answer) {
    *unanswered = *unanswered || strcmp(answer, "null") == 0;
    return std::string(answer);
  };
  std::string seen = take(searchdb_index_stats_json("a"));
  for (const char *q : {"red", "re", "x", "sto", "zebra apple", "new", "qq"}) {
    seen += take(searchdb_search("a", q, 10, 0));
    seen += take(searchdb_search_request(
        "a", (std::string("{\"q\":\"") + q +
              "\",\"sort\":[{\"field\":\"n\",\"order\":\"asc\"}],\"facets\":[\"n\"]}")
                 .c_str()));
  }
  for (const char *id : {"1", "2", "3", "4", "5", "6"}) {
    const char *doc = searchdb_document_get("a", id);
    seen += doc ? doc : searchdb_last_error();
  }
  return fuzz::without_time(seen);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_dir = fuzz::make_storage_root("change_record");
  FUZZ_CHECK(searchdb_init(g_dir.c_str()) == 0, searchdb_last_error());
  FUZZ_CHECK(searchdb_index_create("a", nullptr) == 0, searchdb_last_error());
  // Enough documents that a catch-up takes on the changes below.
  static const char *const kWords[] = {"red", "apple", "green", "zebra", "x", "stone", "reader"};
  std::string docs = "[";
  for (int i = 1; i <= 40; i++)
    docs += std::string(i > 1 ? "," : "") + "{\"id\":\"" + std::to_string(i) + "\",\"title\":\"" +
            kWords[i % 7] + " " + kWords[(i * 3) % 7] + "\",\"n\":" + std::to_string(i % 5) + "}";
  FUZZ_CHECK(searchdb_documents_add("a", (docs + "]").c_str()) == 40, searchdb_last_error());
  searchdb_cleanup();
  // A load that reads docs.json builds on its first search and writes the
  // derived file.
  FUZZ_CHECK(searchdb_init(g_dir.c_str()) == 0, searchdb_last_error());
  FUZZ_CHECK(strcmp(searchdb_search("a", "red", 1, 0), "null") != 0, searchdb_last_error());
  searchdb_cleanup();
  g_derived = read_file(path_of(SDB_DERIVED_FILE));
  FUZZ_CHECK(!g_derived.empty(), "no derived file written");
  // Changes by another process: one revived and one replaced at once, one
  // deleted, one added.
  FUZZ_CHECK(searchdb_init(g_dir.c_str()) == 0, searchdb_last_error());
  FUZZ_CHECK(searchdb_document_delete("a", "2") == 0, searchdb_last_error());
  FUZZ_CHECK(
      searchdb_documents_add(
          "a", R"([{"id":"2","title":"green new","n":7},{"id":"4","title":"sto","n":8}])") == 2,
      searchdb_last_error());
  FUZZ_CHECK(searchdb_document_delete("a", "5") == 0, searchdb_last_error());
  FUZZ_CHECK(searchdb_documents_add("a", R"({"id":"7","title":"new red","n":9})") == 1,
             searchdb_last_error());
  searchdb_cleanup();
  g_record = read_file(path_of(SDB_CHANGES_FILE));
  FUZZ_CHECK(!g_record.empty(), "no change record written");
  // The reference: a build, with neither file.
  std::filesystem::remove(path_of(SDB_DERIVED_FILE));
  std::filesystem::remove(path_of(SDB_CHANGES_FILE));
  FUZZ_CHECK(searchdb_init(g_dir.c_str()) == 0, searchdb_last_error());
  bool unanswered;
  g_reference = answers(&unanswered);
  FUZZ_CHECK(!unanswered, searchdb_last_error());
  searchdb_cleanup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t flags;
  std::vector<unsigned char> bytes = fuzz::damaged_copy(data, size, g_record, &flags);
  if (flags & 1) sdb_changes_seal(bytes.data(), bytes.size(), nullptr);
  const bool good = std::string(bytes.begin(), bytes.end()) == g_record;
  // Both files as the changes left them, whatever the last input's
  // searches wrote.
  write_file(path_of(SDB_DERIVED_FILE), g_derived.data(), g_derived.size());
  write_file(path_of(SDB_CHANGES_FILE), bytes.data(), bytes.size());
  FUZZ_CHECK(searchdb_init(g_dir.c_str()) == 0, searchdb_last_error());
  const sdb_index *ix = sdb_index_find("a");
  FUZZ_CHECK(ix != nullptr && ix->doc_count > 0, "index a not loaded");
  const bool followed = ix->blocks[ix->docs[0].block].mapped;
  if (good) FUZZ_CHECK(followed, "the good record was not followed");
  bool unanswered;
  const std::string seen = answers(&unanswered);
  FUZZ_CHECK(!unanswered, searchdb_last_error());
  if (!(flags & 1) || good) FUZZ_CHECK(seen == g_reference, "answers differ from a build's");
  searchdb_cleanup();
  return 0;
}
