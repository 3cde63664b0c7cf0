// Faults found by fuzzing and fault injection, each pinned where the public
// interface shows it.
#include <yyjson.h>

#include <cstring>
#include <string>

#include "fixture.h"
#include "api/registry.h"
#include "index/index.h"

namespace {

bool ParsesAsJson(const char *text) {
  yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
  yyjson_doc_free(doc);
  return doc != nullptr;
}

std::string Repeat(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

class RegressionTest : public StorageTest {};

// A stored primary key longer than 127 bytes used to be cut inside a
// character: the list and statistics then held invalid UTF-8, and the
// rewritten "meta.json" no longer parsed, so the key fell back to "id" at
// the next start.
TEST_F(RegressionTest, AStoredLongPrimaryKeyIsCutBetweenCharacters) {
  std::filesystem::create_directories(Path("_indexes"));
  std::filesystem::create_directories(Path("shop"));
  WriteFile(Path("_indexes/list.json"), R"(["shop"])");
  WriteFile(Path("shop/meta.json"),
            R"({"name":"shop","primary_key":"x)" + Repeat("\\u20ac", 43) + R"("})");
  WriteFile(Path("shop/docs.json"), "[]");
  Open();
  // 1 + 3 * 43 = 130 bytes; 1 + 3 * 42 = 127 fit.
  EXPECT_EQ(std::string(searchdb_indexes_list_json()),
            R"([{"name":"shop","primary_key":"x)" + Repeat("\xe2\x82\xac", 42) + R"("}])");
  EXPECT_TRUE(ParsesAsJson(searchdb_index_stats_json("shop")));
  Reopen();
  EXPECT_EQ(std::string(sdb_index_find("shop")->primary_key), "x" + Repeat("\xe2\x82\xac", 42));
}

TEST(CopyFieldTest, CutsOnlyWhereATextDoesNotFit) {
  char field[8];
  sdb_copy_field(field, sizeof field, "abcdefg");
  EXPECT_STREQ(field, "abcdefg");
  sdb_copy_field(field, sizeof field, "abcdefgh");
  EXPECT_STREQ(field, "abcdefg");
  sdb_copy_field(field, sizeof field, "abcde\xe2\x82\xac");  // the euro sign crosses the end
  EXPECT_STREQ(field, "abcde");
  sdb_copy_field(field, sizeof field, "abcd\xe2\x82\xac!");  // it ends right at the end
  EXPECT_STREQ(field, "abcd\xe2\x82\xac");
  sdb_copy_field(field, sizeof field, "ab\xf0\x9f\x98\x80\xf0\x9f\x98\x80");
  EXPECT_STREQ(field, "ab\xf0\x9f\x98\x80");
}

}  // namespace
