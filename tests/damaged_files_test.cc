// A stored list or documents file that exists but does not hold a JSON
// array is set aside as "<file>.corrupt" at the start, before any save can
// write over it, and the start says so in the last-error text.
#include <filesystem>
#include <string>

#include "fixture.h"

namespace fs = std::filesystem;

namespace {

class DamagedFilesTest : public StorageTest {
 protected:
  void Put(const std::string &rel, const std::string &data) {
    fs::create_directories(fs::path(Path(rel)).parent_path());
    WriteFile(Path(rel), data);
  }
  // A stored index "books" whose documents file holds docs.
  void PutBooks(const std::string &docs) {
    Put("_indexes/list.json", R"(["books"])");
    Put("books/meta.json", R"({"name":"books","primary_key":"id"})");
    Put("books/docs.json", docs);
  }
  static std::string Stats() { return searchdb_index_stats_json("books"); }
};

TEST_F(DamagedFilesTest, DocumentsThatDoNotParseAreKeptAsideAndTheIndexStartsEmpty) {
  const std::string damaged = R"([{"__id":"1","raw":"{\"id\":1}"},{"__id":"2","ra)";
  PutBooks(damaged);
  Open();
  EXPECT_EQ(LastError(), "index 'books': " + Path("books/docs.json") +
                             " did not hold a JSON array; kept as " + Path("books/docs.json.corrupt"));
  EXPECT_EQ(ReadFile(Path("books/docs.json.corrupt")), damaged);
  EXPECT_FALSE(Exists(Path("books/docs.json")));
  EXPECT_NE(Stats().find("\"document_count\":0,"), std::string::npos) << Stats();

  // The next save writes a fresh file beside the kept one.
  ASSERT_EQ(searchdb_documents_add("books", R"({"id":"new"})"), 1);
  EXPECT_EQ(ReadFile(Path("books/docs.json.corrupt")), damaged);
  Reopen();
  EXPECT_EQ(LastError(), "");
  EXPECT_STREQ(searchdb_document_get("books", "new"), R"({"id":"new"})");
}

TEST_F(DamagedFilesTest, ValidJsonThatIsNotAnArrayIsDamagedToo) {
  for (const std::string docs : {R"({"__id":"1","raw":"{}"})", "", "null"}) {
    SCOPED_TRACE(docs);
    PutBooks(docs);
    Open();
    EXPECT_NE(LastError().find("kept as"), std::string::npos);
    // A newer damaged file replaces an older kept one.
    EXPECT_EQ(ReadFile(Path("books/docs.json.corrupt")), docs);
    searchdb_cleanup();
  }
}

TEST_F(DamagedFilesTest, MissingOrEmptyFilesAreNotDamage) {
  PutBooks("[]");
  Put("shop/meta.json", R"({"name":"shop","primary_key":"id"})");
  Put("_indexes/list.json", R"(["books","shop"])");
  Open();
  EXPECT_EQ(LastError(), "");
  EXPECT_FALSE(Exists(Path("books/docs.json.corrupt")));
  EXPECT_FALSE(Exists(Path("shop/docs.json.corrupt")));
  EXPECT_FALSE(Exists(Path("_indexes/list.json.corrupt")));
}

TEST_F(DamagedFilesTest, UnreadableSettingsAreNotSetAside) {
  PutBooks(R"([{"__id":"1","raw":"{\"id\":1}"}])");
  Put("books/meta.json", "{not json");
  Open();
  EXPECT_EQ(LastError(), "");
  EXPECT_FALSE(Exists(Path("books/meta.json.corrupt")));
  EXPECT_STREQ(searchdb_document_get("books", "1"), R"({"id":1})");
}

TEST_F(DamagedFilesTest, ADamagedListIsKeptAsideAndNoIndexLoads) {
  PutBooks("[]");
  for (const std::string list : {R"(["books")", R"({"books":1})"}) {
    SCOPED_TRACE(list);
    Put("_indexes/list.json", list);
    Open();
    EXPECT_EQ(LastError(), "index list: " + Path("_indexes/list.json") +
                               " did not hold a JSON array; kept as " +
                               Path("_indexes/list.json.corrupt"));
    EXPECT_EQ(ReadFile(Path("_indexes/list.json.corrupt")), list);
    EXPECT_STREQ(searchdb_indexes_list_json(), "[]");
    // The index's own files are untouched, to be listed again by hand.
    ASSERT_EQ(searchdb_index_create("shop", nullptr), 0);
    EXPECT_EQ(ReadFile(Path("_indexes/list.json")), R"(["shop"])");
    EXPECT_EQ(ReadFile(Path("books/docs.json")), "[]");
    ASSERT_EQ(searchdb_index_delete("shop"), 0);
    searchdb_cleanup();
  }
}

TEST_F(DamagedFilesTest, DeletingAnIndexRemovesItsKeptDocuments) {
  PutBooks("[1,");
  Open();
  ASSERT_TRUE(Exists(Path("books/docs.json.corrupt")));
  ASSERT_EQ(searchdb_index_delete("books"), 0);
  EXPECT_FALSE(Exists(Path("books")));
}

}  // namespace
