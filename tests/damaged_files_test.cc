// A stored file that exists but did not load whole is set aside as
// "<file>.corrupt" (or the first free "<file>.corrupt.N") at the start,
// before any save can write over it, and the start says so in the
// last-error text; a damaged list is rebuilt from the index directories.
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
  EXPECT_EQ(LastError(), "set aside 1 file(s): books/docs.json -> books/docs.json.corrupt");
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

TEST_F(DamagedFilesTest, ValidJsonThatIsNotAnArrayIsDamagedTooAndNoKeptCopyIsReplaced) {
  const std::string kept[] = {R"({"__id":"1","raw":"{}"})", "", "null"};
  for (int i = 0; i < 3; i++) {
    PutBooks(kept[i]);
    Open();
    const std::string aside =
        i == 0 ? "books/docs.json.corrupt" : "books/docs.json.corrupt." + std::to_string(i + 1);
    EXPECT_EQ(LastError(), "set aside 1 file(s): books/docs.json -> " + aside);
    searchdb_cleanup();
  }
  EXPECT_EQ(ReadFile(Path("books/docs.json.corrupt")), kept[0]);
  EXPECT_EQ(ReadFile(Path("books/docs.json.corrupt.2")), kept[1]);
  EXPECT_EQ(ReadFile(Path("books/docs.json.corrupt.3")), kept[2]);
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

TEST_F(DamagedFilesTest, SettingsThatDoNotParseAreSetAsideAndWrittenAgainWithTheKeyId) {
  PutBooks(R"([{"__id":"1","raw":"{\"id\":1}"}])");
  Put("books/meta.json", "{not json");
  Open();
  EXPECT_EQ(LastError(), "set aside 1 file(s): books/meta.json -> books/meta.json.corrupt");
  EXPECT_EQ(ReadFile(Path("books/meta.json.corrupt")), "{not json");
  EXPECT_EQ(ReadFile(Path("books/meta.json")), R"({"name":"books","primary_key":"id"})");
  EXPECT_STREQ(searchdb_document_get("books", "1"), R"({"id":1})");
  Reopen();
  EXPECT_EQ(LastError(), "");
}

TEST_F(DamagedFilesTest, ADamagedListIsSetAsideAndRebuiltFromTheIndexDirectories) {
  PutBooks("[]");
  Put("shop/items/meta.json", R"({"name":"shop/items","primary_key":"sku"})");
  Put("_indexes/lost/meta.json", "{}");  // the reserved folder holds no index
  Put("empty/docs.json", "[]");          // no settings: not an index
  const std::string lists[] = {R"(["books")", R"({"books":1})"};
  for (int i = 0; i < 2; i++) {
    Put("_indexes/list.json", lists[i]);
    Open();
    const std::string aside =
        i == 0 ? "_indexes/list.json.corrupt" : "_indexes/list.json.corrupt.2";
    EXPECT_EQ(LastError(),
              "set aside 1 file(s): _indexes/list.json -> " + aside + "; 2 indexes recovered");
    EXPECT_EQ(ReadFile(Path(aside)), lists[i]);
    EXPECT_STREQ(
        searchdb_indexes_list_json(),
        R"([{"name":"books","primary_key":"id"},{"name":"shop/items","primary_key":"sku"}])");
    EXPECT_EQ(ReadFile(Path("_indexes/list.json")), R"(["books","shop/items"])");
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
