// The lifecycle exports and the conventions every export shares.
#include <cstring>
#include <string>

#include "fixture.h"
#include "api/frame.h"

namespace {

class FrameTest : public StorageTest {};

TEST_F(FrameTest, InitRefusesMissingEmptyAndOverlongDirectories) {
  EXPECT_EQ(searchdb_init(nullptr), -1);
  EXPECT_EQ(LastError(), "storage_dir empty");
  EXPECT_EQ(searchdb_init(""), -1);
  EXPECT_EQ(LastError(), "storage_dir empty");
  std::string long_dir = root_ + "/" + std::string(8192, 'd');
  EXPECT_EQ(searchdb_init(long_dir.c_str()), -1);
  EXPECT_EQ(LastError(), "storage_dir too long");
  EXPECT_FALSE(Exists(root_ + "/" + std::string(100, 'd')));
  EXPECT_EQ(searchdb_indexes_list_json(), std::string("[]"));
  EXPECT_EQ(LastError(), "not initialized");
}

TEST_F(FrameTest, InitCreatesTheStorageDirectoryAndClearsTheLastError) {
  EXPECT_EQ(searchdb_index_create("x", nullptr), -1);  // leaves "not initialized"
  Open();
  EXPECT_EQ(LastError(), "");
  EXPECT_TRUE(std::filesystem::is_directory(Path("_indexes")));
  const char *list = searchdb_indexes_list_json();
  EXPECT_EQ(list, s_result);  // the empty list is a result, not the failure constant
  EXPECT_STREQ(list, "[]");
}

TEST_F(FrameTest, SecondInitIsRefusedAndKeepsTheLoadedState) {
  Open();
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  EXPECT_EQ(searchdb_init(dir_.c_str()), -1);
  EXPECT_EQ(LastError(), "already initialized");
  EXPECT_EQ(searchdb_init(""), -1);
  EXPECT_EQ(LastError(), "storage_dir empty");
  EXPECT_STREQ(searchdb_indexes_list_json(), R"([{"name":"books","primary_key":"id"}])");
}

TEST_F(FrameTest, EveryExportRefusesBeforeInitAndAfterCleanup) {
  for (int round = 0; round < 2; round++) {
    if (round == 1) {
      Open();
      searchdb_cleanup();
      EXPECT_EQ(LastError(), "");
    }
    EXPECT_EQ(searchdb_index_create("a", nullptr), -1);
    EXPECT_EQ(searchdb_index_delete("a"), -1);
    EXPECT_STREQ(searchdb_indexes_list_json(), "[]");
    EXPECT_EQ(searchdb_documents_add("a", "{}"), -1);
    EXPECT_EQ(searchdb_document_get("a", "1"), nullptr);
    EXPECT_EQ(searchdb_document_delete("a", "1"), -1);
    EXPECT_STREQ(searchdb_search("a", "q", 10, 0), "null");
    EXPECT_STREQ(searchdb_index_stats_json("a"), "null");
    EXPECT_EQ(LastError(), "not initialized");
  }
}

TEST_F(FrameTest, CleanupIsHarmlessWhenRepeated) {
  searchdb_cleanup();
  searchdb_cleanup();
  EXPECT_EQ(LastError(), "");
  Open();
  searchdb_cleanup();
  searchdb_cleanup();
  Open();
}

TEST_F(FrameTest, AFailureMessageOutlivesLaterSuccesses) {
  Open();
  EXPECT_EQ(searchdb_index_delete("nope"), -1);
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  EXPECT_STREQ(searchdb_indexes_list_json(), R"([{"name":"books","primary_key":"id"}])");
  EXPECT_EQ(LastError(), "index 'nope' not found");
}

TEST_F(FrameTest, LongMessagesAreCutTo1023Characters) {
  Open();
  std::string name(2000, 'n');
  EXPECT_EQ(searchdb_index_delete(name.c_str()), -1);
  std::string expected = ("index '" + name).substr(0, 1023);
  EXPECT_EQ(LastError(), expected);
}

TEST_F(FrameTest, TextResultsShareOneBuffer) {
  Open();
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  ASSERT_EQ(searchdb_documents_add("books", R"({"id":1,"title":"A"})"), 1);
  const char *doc = searchdb_document_get("books", "1");
  ASSERT_NE(doc, nullptr);
  EXPECT_STREQ(doc, R"({"id":1,"title":"A"})");
  const char *list = searchdb_indexes_list_json();
  EXPECT_EQ(list, doc);
  EXPECT_STREQ(doc, R"([{"name":"books","primary_key":"id"}])");
}

TEST(ResultBuffer, ATextThatDoesNotFitIsRefusedAndTheBufferKept) {
  ASSERT_NE(sdb_result_set("kept", 4), nullptr);
  std::string big(SDB_RESULT_SIZE, 'x');
  EXPECT_EQ(sdb_result_set(big.data(), big.size()), nullptr);
  EXPECT_STREQ(s_error, "result too large");
  EXPECT_STREQ(s_result, "kept");
  EXPECT_NE(sdb_result_set(big.data(), big.size() - 1), nullptr);
  EXPECT_EQ(strlen(s_result), big.size() - 1);
}

}  // namespace
