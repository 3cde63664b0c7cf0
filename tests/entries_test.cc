// The stored entries of a documents file, over random texts heavy in the
// bytes that need escapes: what an entry holds decodes back to the text,
// reads as the same object with the JSON library, and a file of entries
// scans to the same documents.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "index/entry.h"
#include "storage/docs_scan.h"

namespace {

// Quotation marks and backslashes (alone and in runs), control bytes, plain
// letters and multi-byte characters, in proportions that put escapes on
// both sides of every sixteen-byte boundary.
std::string RandomText(std::mt19937 &rng, int most) {
  static const char *const pieces[] = {"\"",  "\"",      "\"",   "\\",   "\\\\", "\n",
                                       "\t",  "\x01",    "\x1f", "a",    "b",    "c",
                                       "xyz", "{\"k\":", "é",    "日本", "😀",    "/"};
  std::string text;
  const int n = static_cast<int>(rng() % most);
  for (int i = 0; i < n; i++) text += pieces[rng() % std::size(pieces)];
  return text;
}

std::string Decode(const std::string &entry, uint32_t raw_off, uint64_t cap) {
  std::vector<char> out(cap);
  const uint64_t len =
      sdb_entry_decode(entry.data(), entry.size(), raw_off, out.data(), out.size());
  return std::string(out.data(), len);
}

TEST(Entries, EveryTextComesBackWhateverItsEscapes) {
  std::mt19937 rng(5);
  std::string file = "[";
  std::vector<std::pair<std::string, std::string>> docs;
  for (int round = 0; round < 3000; round++) {
    const std::string id = RandomText(rng, 6), raw = RandomText(rng, 120);
    const uint64_t size = sdb_entry_size(id.data(), id.size(), raw.data(), raw.size());
    std::string entry(size, '\0');
    const uint32_t raw_off =
        sdb_entry_write(entry.data(), id.data(), id.size(), raw.data(), raw.size());
    ASSERT_EQ(entry.back(), ',');
    entry.pop_back();
    const uint64_t escaped = sdb_entry_escaped_length(entry.size(), raw_off);
    ASSERT_EQ(escaped, sdb_entry_escaped_size(raw.data(), raw.size()));
    // With the room that copies fast, and with no more than the text needs.
    ASSERT_EQ(Decode(entry, raw_off, escaped + 1), raw) << round;
    ASSERT_EQ(Decode(entry, raw_off, raw.size() + 1), raw) << round;
    uint64_t len = 0;
    char *plain = sdb_decode_string(entry.data() + raw_off, escaped, &len);
    ASSERT_EQ(std::string(plain, len), raw);
    free(plain);

    yyjson_doc *doc = yyjson_read(entry.data(), entry.size(), 0);
    ASSERT_NE(doc, nullptr) << entry;
    yyjson_val *root = yyjson_doc_get_root(doc);
    yyjson_val *v = yyjson_obj_get(root, "raw");
    EXPECT_EQ(std::string(yyjson_get_str(v), yyjson_get_len(v)), raw);
    v = yyjson_obj_get(root, "__id");
    EXPECT_EQ(std::string(yyjson_get_str(v), yyjson_get_len(v)), id);
    yyjson_doc_free(doc);
    file += (docs.empty() ? "" : ",") + entry;
    docs.emplace_back(id, raw);
  }
  file += "]";

  sdb_stored_docs stored{};
  ASSERT_EQ(sdb_scan_stored_docs(file.c_str(), file.size(), &stored), SDB_SCAN_OK);
  ASSERT_EQ(stored.count, docs.size());
  EXPECT_EQ(stored.skipped, 0u);
  for (uint64_t i = 0; i < stored.count; i++) {
    const sdb_stored_doc &d = stored.docs[i];
    ASSERT_NE(d.entry, nullptr) << "written by the writer, so kept as it is";
    const std::string entry(d.entry, d.entry_len);
    ASSERT_EQ(Decode(entry, d.raw_off, d.raw_len + 1), docs[i].second);
    uint64_t len = 0;
    char *id = sdb_decode_string(d.id, d.id_len, &len);
    EXPECT_EQ(std::string(id, len), docs[i].first);
    free(id);
  }
  sdb_stored_docs_free(&stored);
}

}  // namespace
