// Index creation, deletion and listing through the public interface.
#include "api/registry.h"

#include <string>

#include "base/utf8.h"
#include "fixture.h"

namespace {

class RegistryTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    Open();
  }
  static std::string List() { return searchdb_indexes_list_json(); }
};

TEST_F(RegistryTest, CreateChecksItsArgumentsInOrder) {
  EXPECT_EQ(searchdb_index_create(nullptr, nullptr), -1);
  EXPECT_EQ(LastError(), "index name empty");
  EXPECT_EQ(searchdb_index_create("", "id"), -1);
  EXPECT_EQ(LastError(), "index name empty");
  EXPECT_EQ(searchdb_index_create(std::string(256, 'n').c_str(), nullptr), -1);
  EXPECT_EQ(LastError(), "index name too long");
  EXPECT_EQ(searchdb_index_create("bad\xff", nullptr), -1);
  EXPECT_EQ(LastError(), "index name is not valid UTF-8");
  EXPECT_EQ(searchdb_index_create("books", "k\xc0\x80"), -1);
  EXPECT_EQ(LastError(), "primary key is not valid UTF-8");
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  EXPECT_EQ(searchdb_index_create("books", "isbn"), -1);
  EXPECT_EQ(LastError(), "index 'books' already exists");
  EXPECT_EQ(List(), R"([{"name":"books","primary_key":"id"}])");
}

TEST_F(RegistryTest, NamesThatWouldLeaveTheirDirectoryAreRefused) {
  for (const char *name : {"/a", "a/", "a//b", ".", "..", "../x", "a/../b", "a/./b", "x/.."}) {
    EXPECT_EQ(searchdb_index_create(name, nullptr), -1) << name;
    EXPECT_EQ(LastError(), "index name invalid") << name;
  }
  EXPECT_EQ(List(), "[]");
  ASSERT_EQ(searchdb_index_create("shop/books", nullptr), 0);
  EXPECT_TRUE(Exists(Path("shop/books/meta.json")));
  ASSERT_EQ(searchdb_index_create("..a", nullptr), 0);  // only whole components count
  ASSERT_EQ(searchdb_index_create(std::string(255, 'n').c_str(), nullptr), 0);
}

TEST_F(RegistryTest, PrimaryKeyDefaultsToIdAndIsRefusedOver127Bytes) {
  ASSERT_EQ(searchdb_index_create("a", nullptr), 0);
  ASSERT_EQ(searchdb_index_create("b", ""), 0);
  ASSERT_EQ(searchdb_index_create("c", std::string(127, 'k').c_str()), 0);
  EXPECT_EQ(searchdb_index_create("d", std::string(128, 'k').c_str()), -1);
  EXPECT_EQ(LastError(), "primary key too long");
  EXPECT_FALSE(Exists(Path("d")));
  EXPECT_EQ(List(), R"([{"name":"a","primary_key":"id"},{"name":"b","primary_key":""},)"
                    R"({"name":"c","primary_key":")" +
                        std::string(127, 'k') + R"("}])");
}

TEST_F(RegistryTest, NamesAreComparedExactly) {
  ASSERT_EQ(searchdb_index_create("Books", nullptr), 0);
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  EXPECT_EQ(searchdb_index_delete("BOOKS"), -1);
  EXPECT_EQ(LastError(), "index 'BOOKS' not found");
  EXPECT_EQ(searchdb_index_delete(nullptr), -1);
  EXPECT_EQ(LastError(), "name NULL");
  EXPECT_EQ(searchdb_index_delete(""), -1);
  EXPECT_EQ(LastError(), "index '' not found");
}

TEST_F(RegistryTest, DeleteMovesTheLastIndexIntoTheFreedSlot) {
  for (const char *name : {"a", "b", "c", "d"}) ASSERT_EQ(searchdb_index_create(name, nullptr), 0);
  ASSERT_EQ(searchdb_index_delete("b"), 0);
  EXPECT_EQ(List(), R"([{"name":"a","primary_key":"id"},{"name":"d","primary_key":"id"},)"
                    R"({"name":"c","primary_key":"id"}])");
  ASSERT_EQ(searchdb_index_delete("c"), 0);
  EXPECT_EQ(List(), R"([{"name":"a","primary_key":"id"},{"name":"d","primary_key":"id"}])");
  EXPECT_EQ(ReadFile(Path("_indexes/list.json")), R"(["a","d"])");
}

TEST_F(RegistryTest, RegistryGrowsPastEightAndSixteen) {
  for (int i = 0; i < 17; i++) {
    ASSERT_EQ(searchdb_index_create(("ix" + std::to_string(i)).c_str(), nullptr), 0);
  }
  EXPECT_EQ(s_registry.count, 17u);
  EXPECT_EQ(s_registry.cap, 32u);
  for (int i = 0; i < 17; i++) {
    EXPECT_STRNE(searchdb_index_stats_json(("ix" + std::to_string(i)).c_str()), "null");
  }
}

TEST_F(RegistryTest, DeleteRemovesTheFilesButKeepsADirectoryWithStrayFiles) {
  ASSERT_EQ(searchdb_index_create("a", nullptr), 0);
  ASSERT_EQ(searchdb_index_create("b", nullptr), 0);
  WriteFile(Path("a/docs.json.tmp"), "partial");
  WriteFile(Path("b/notes.txt"), "the host's own");
  ASSERT_EQ(searchdb_index_delete("a"), 0);
  ASSERT_EQ(searchdb_index_delete("b"), 0);
  EXPECT_FALSE(Exists(Path("a")));
  EXPECT_EQ(ReadFile(Path("b/notes.txt")), "the host's own");
  EXPECT_FALSE(Exists(Path("b/docs.json")));
  EXPECT_EQ(List(), "[]");
}

TEST_F(RegistryTest, AnIndexCreatedAgainAfterDeleteIsEmpty) {
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  ASSERT_EQ(searchdb_documents_add("books", R"({"id":"x"})"), 1);
  ASSERT_EQ(searchdb_index_delete("books"), 0);
  ASSERT_EQ(searchdb_index_create("books", "isbn"), 0);
  EXPECT_EQ(searchdb_document_get("books", "x"), nullptr);
  EXPECT_EQ(LastError(), "document 'x' not found");
  Reopen();
  EXPECT_EQ(List(), R"([{"name":"books","primary_key":"isbn"}])");
}

TEST_F(RegistryTest, AFailedCreateLeavesNoIndexBehind) {
  // A directory where the settings file's temporary file must go makes the
  // index's save fail, whoever runs the test.
  std::filesystem::create_directories(Path("books/meta.json.tmp"));
  EXPECT_EQ(searchdb_index_create("books", nullptr), -1);
  EXPECT_EQ(LastError().rfind("fopen " + Path("books/meta.json.tmp") + ": ", 0), 0u) << LastError();
  EXPECT_EQ(List(), "[]");
  EXPECT_EQ(ReadFile(Path("_indexes/list.json")), "[]");
  std::filesystem::remove(Path("books/meta.json.tmp"));
  EXPECT_EQ(searchdb_index_create("books", nullptr), 0);
  Reopen();
  EXPECT_EQ(List(), R"([{"name":"books","primary_key":"id"}])");
}

TEST_F(RegistryTest, AFailedListSaveFailsTheCreate) {
  std::filesystem::create_directories(Path("_indexes/list.json.tmp"));
  EXPECT_EQ(searchdb_index_create("books", nullptr), -1);
  EXPECT_EQ(LastError().rfind("fopen ", 0), 0u) << LastError();
  EXPECT_EQ(List(), "[]");
}

TEST(Utf8, AcceptsWellFormedTextOnly) {
  EXPECT_TRUE(sdb_utf8_valid("plain", 5));
  EXPECT_TRUE(sdb_utf8_valid("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 9));
  EXPECT_TRUE(sdb_utf8_valid("\xf4\x8f\xbf\xbf", 4));   // U+10FFFF
  EXPECT_FALSE(sdb_utf8_valid("\xf4\x90\x80\x80", 4));  // above U+10FFFF
  EXPECT_FALSE(sdb_utf8_valid("\xc0\xaf", 2));          // overlong '/'
  EXPECT_FALSE(sdb_utf8_valid("\xe0\x80\xaf", 3));      // overlong
  EXPECT_FALSE(sdb_utf8_valid("\xed\xa0\x80", 3));      // surrogate
  EXPECT_FALSE(sdb_utf8_valid("\xc3", 1));              // truncated
  EXPECT_FALSE(sdb_utf8_valid("\x80", 1));              // stray continuation
}

}  // namespace
