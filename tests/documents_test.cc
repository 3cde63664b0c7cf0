// Adding, fetching and deleting documents through the public interface.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <string>

#include "fixture.h"

namespace {

class DocumentsTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    Open();
    ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  }
  static std::string Get(const char *id) {
    const char *doc = searchdb_document_get("books", id);
    return doc ? doc : "<null: " + LastError() + ">";
  }
  std::string Docs() const { return ReadFile(Path("books/docs.json")); }
  // A directory where the documents' temporary file must go makes every
  // save of "docs.json" fail, also for root.
  void BreakSaves() { std::filesystem::create_directories(Path("books/docs.json.tmp")); }
  void MendSaves() { std::filesystem::remove(Path("books/docs.json.tmp")); }
};

TEST_F(DocumentsTest, ChecksRunInOrderWithTheirMessages) {
  EXPECT_EQ(searchdb_documents_add(nullptr, "{}"), -1);
  EXPECT_EQ(LastError(), "index_name NULL");
  EXPECT_EQ(searchdb_documents_add("nope", nullptr), -1);
  EXPECT_EQ(LastError(), "index 'nope' not found");
  EXPECT_EQ(searchdb_documents_add("books", nullptr), -1);
  EXPECT_EQ(LastError(), "documents_json NULL");
  for (const char *bad :
       {"", "  ", "{\"id\":1,}", "{\"id\":1} x", "/*c*/{\"id\":1}", "[NaN]", "{\"id\":1e999}"}) {
    EXPECT_EQ(searchdb_documents_add("books", bad), -1) << bad;
    EXPECT_EQ(LastError(), "invalid JSON in documents_add") << bad;
  }
  for (const char *scalar : {"\"s\"", "1", "true", "false", "null"}) {
    EXPECT_EQ(searchdb_documents_add("books", scalar), -1);
    EXPECT_EQ(LastError(), "documents_json must be an object or array of objects");
  }
  EXPECT_EQ(searchdb_document_get(nullptr, "1"), nullptr);
  EXPECT_EQ(LastError(), "index_name NULL");
  EXPECT_EQ(searchdb_document_get("books", nullptr), nullptr);
  EXPECT_EQ(LastError(), "doc_id NULL");
  EXPECT_EQ(searchdb_document_delete("books", "never"), -1);
  EXPECT_EQ(LastError(), "document 'never' not found");
}

TEST_F(DocumentsTest, StoresTheCanonicalTextAndCountsTheBatch) {
  EXPECT_EQ(searchdb_documents_add("books", "{ \"id\" : 1,\n \"title\": \"A\" }"), 1);
  EXPECT_EQ(Get("1"), R"({"id":1,"title":"A"})");
  EXPECT_EQ(searchdb_documents_add("books", R"([{"id":"a"},{"id":"b"},{"id":"c"}])"), 3);
  EXPECT_EQ(searchdb_documents_add("books", "[]"), 0);
  EXPECT_EQ(
      Docs(),
      R"([{"__id":"1","raw":"{\"id\":1,\"title\":\"A\"}"},{"__id":"a","raw":"{\"id\":\"a\"}"},)"
      R"({"__id":"b","raw":"{\"id\":\"b\"}"},{"__id":"c","raw":"{\"id\":\"c\"}"}])");
}

TEST_F(DocumentsTest, ABatchWithOneBadDocumentAddsNothing) {
  EXPECT_EQ(searchdb_documents_add("books", R"([{"id":"a"},{"id":"b"},{"title":"no id"}])"), -1);
  EXPECT_EQ(LastError(), "document missing primary key 'id'");
  for (const char *bad :
       {R"([{"id":"a"},3])", R"([{"id":"a"},"s"])", R"([{"id":"a"},[]])", R"({"id":null})",
        R"({"id":true})", R"({"id":{}})", R"({"id":[1]})", R"({"ID":1})", R"({"id ":1})", "{}"}) {
    EXPECT_EQ(searchdb_documents_add("books", bad), -1) << bad;
    EXPECT_EQ(LastError(), "document missing primary key 'id'") << bad;
  }
  EXPECT_EQ(searchdb_documents_add("books", R"([{"id":"a"},{"id":"x\u0000y"}])"), -1);
  EXPECT_EQ(LastError(), "document id contains a NUL byte");
  EXPECT_EQ(Get("a"), "<null: document 'a' not found>");
  EXPECT_EQ(Docs(), "[]");
}

TEST_F(DocumentsTest, NumericIdsArePrintedAsWholeNumbers) {
  EXPECT_EQ(searchdb_documents_add("books",
                                   R"([{"id":42},{"id":3.7},{"id":-0.4},{"id":9007199254740993},)"
                                   R"({"id":12345678901234567890},{"id":1e300}])"),
            6);
  EXPECT_EQ(Get("42"), R"({"id":42})");
  EXPECT_EQ(Get("4"), R"({"id":3.7000000000000002})");
  EXPECT_EQ(Get("-0"), R"({"id":-0.40000000000000002})");
  EXPECT_EQ(Get("9007199254740992"), R"({"id":9007199254740992})");
  EXPECT_EQ(Get("12345678901234567168"), R"({"id":12345678901234567168})");
  char full[400];
  snprintf(full, sizeof full, "%.0f", 1e300);
  ASSERT_EQ(strlen(full), 301u);
  EXPECT_NE(searchdb_document_get("books", std::string(full, 255).c_str()), nullptr) << LastError();
  // The string "42" names the same document as the number 42.
  EXPECT_EQ(searchdb_documents_add("books", R"({"id":"42","v":2})"), 1);
  EXPECT_EQ(Get("42"), R"({"id":"42","v":2})");
}

// Hosts run under locales that write decimal commas (this program runs once
// more under one): numbers are stored, read back, found and counted in the
// C locale's form all the same.
TEST_F(DocumentsTest, NumbersAreWrittenAsInTheCLocale) {
  ASSERT_EQ(searchdb_documents_add("books", R"({"id":2.5,"price":1.5,"sizes":[0.25,-2e-9]})"), 1);
  const std::string stored = R"({"id":2.5,"price":1.5,"sizes":[0.25,-2.0000000000000001e-09]})";
  EXPECT_EQ(Get("2"), stored);
  const std::string stats =
      R"({"name":"books","primary_key":"id","document_count":1,"term_count":7,)"
      R"("total_tokens":8,"avg_doc_len":8.00,"bm25":{"k1":1.2,"b":0.75}})";
  EXPECT_EQ(searchdb_index_stats_json("books"), stats);
  Reopen();
  EXPECT_EQ(Get("2"), stored);
  const std::string found = searchdb_search("books", "09", 0, 0);
  EXPECT_EQ(found.substr(0, 26), R"({"hits":[{"id":2.5,"price")") << found;
  EXPECT_NE(found.find(R"("totalHits":1})"), std::string::npos) << found;
  EXPECT_EQ(searchdb_index_stats_json("books"), stats);
}

TEST_F(DocumentsTest, TheFirstMemberWithThePrimaryKeyDecides) {
  EXPECT_EQ(searchdb_documents_add("books", R"({"id":"first","id":"second"})"), 1);
  EXPECT_EQ(Get("first"), R"({"id":"first","id":"second"})");
  EXPECT_EQ(searchdb_documents_add("books", R"({"id":""})"), 1);
  EXPECT_EQ(Get(""), R"({"id":""})");
}

TEST_F(DocumentsTest, LaterDuplicatesInABatchWin) {
  EXPECT_EQ(searchdb_documents_add("books", R"([{"id":"a","v":1},{"id":"a","v":2}])"), 2);
  EXPECT_EQ(Get("a"), R"({"id":"a","v":2})");
  EXPECT_EQ(Docs(), R"([{"__id":"a","raw":"{\"id\":\"a\",\"v\":2}"}])");
}

TEST_F(DocumentsTest, DeletedDocumentsAreToldApartAndRevivedInTheirSlot) {
  ASSERT_EQ(searchdb_documents_add("books", R"([{"id":"a"},{"id":"b"},{"id":"c"}])"), 3);
  ASSERT_EQ(searchdb_document_delete("books", "a"), 0);
  EXPECT_EQ(Get("a"), "<null: document 'a' deleted>");
  EXPECT_EQ(searchdb_document_delete("books", "a"), 0);  // deleting again is fine
  EXPECT_EQ(Docs(), R"([{"__id":"b","raw":"{\"id\":\"b\"}"},{"__id":"c","raw":"{\"id\":\"c\"}"}])");
  ASSERT_EQ(searchdb_documents_add("books", R"({"id":"a","back":true})"), 1);
  // Slot order: the revived document is first again.
  EXPECT_EQ(Docs().rfind(R"([{"__id":"a",)", 0), 0u) << Docs();
  ASSERT_EQ(searchdb_document_delete("books", "b"), 0);
  Reopen();
  EXPECT_EQ(Get("b"), "<null: document 'b' not found>");
  EXPECT_EQ(Get("a"), R"({"id":"a","back":true})");
}

TEST_F(DocumentsTest, AFailedSaveTakesTheWholeBatchBack) {
  ASSERT_EQ(
      searchdb_documents_add("books", R"([{"id":"live","w":"stale"},{"id":"dead","w":"stale"}])"),
      2);
  ASSERT_EQ(searchdb_document_delete("books", "dead"), 0);
  std::string before = Docs();
  BreakSaves();
  EXPECT_EQ(
      searchdb_documents_add(
          "books",
          R"([{"id":"live","w":"fresh"},{"id":"dead","w":"fresh"},{"id":"new","w":"fresh"}])"),
      -1);
  EXPECT_EQ(LastError().rfind("fopen " + Path("books/docs.json.tmp") + ": ", 0), 0u) << LastError();
  EXPECT_EQ(Get("live"), R"({"id":"live","w":"stale"})");
  EXPECT_EQ(Get("dead"), "<null: document 'dead' deleted>");
  EXPECT_EQ(Get("new"), "<null: document 'new' not found>");
  // The term table was rebuilt from the restored documents.
  EXPECT_NE(std::string(searchdb_search("books", "fresh", 0, 0)).find("\"totalHits\":0"),
            std::string::npos);
  EXPECT_NE(std::string(searchdb_search("books", "stale", 0, 0)).find("\"totalHits\":1"),
            std::string::npos);
  EXPECT_EQ(Docs(), before);
  MendSaves();
  EXPECT_EQ(searchdb_documents_add("books", R"({"id":"new","w":"fresh"})"), 1);
  Reopen();
  EXPECT_EQ(Get("new"), R"({"id":"new","w":"fresh"})");
  EXPECT_EQ(Get("live"), R"({"id":"live","w":"stale"})");
}

// Random failed batches: stored ids repeated within the batch, dead ones
// revived, and enough new ids to make the id map grow. Each leaves every
// stored document as it was, found by its id and by its words, and the
// same batch then succeeds as if the failure had never been.
TEST_F(DocumentsTest, FailedBatchesOfEveryShapeLeaveEveryDocumentAsItWas) {
  std::mt19937 rng(7);
  // One word per round, none a prefix or an edit of another.
  const char *const words[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot"};
  std::map<std::string, std::string> stored;  // id -> text; "" once deleted
  for (int round = 0; round < 6; round++) {
    const int fresh = 20 + static_cast<int>(rng() % 400);
    std::string batch = "[";
    std::map<std::string, std::string> after = stored;
    for (int i = 0; i < fresh + static_cast<int>(stored.size()); i++) {
      const bool old = !stored.empty() && rng() % 2;
      std::string id = old ? std::next(stored.begin(), rng() % stored.size())->first
                           : "r" + std::to_string(round) + "n" + std::to_string(rng() % fresh);
      const std::string text = R"({"id":")" + id + R"(","w":")" + words[round] + R"("})";
      batch += (batch.size() > 1 ? "," : "") + text;
      after[id] = text;
    }
    batch += "]";
    const std::string before = Docs();
    BreakSaves();
    ASSERT_EQ(searchdb_documents_add("books", batch.c_str()), -1);
    EXPECT_EQ(Docs(), before);
    for (const auto &[id, text] : after) {
      const auto was = stored.find(id);
      if (was != stored.end() && !was->second.empty()) {
        ASSERT_EQ(Get(id.c_str()), was->second) << id;
      } else {
        ASSERT_EQ(searchdb_document_get("books", id.c_str()), nullptr) << id;
      }
    }
    const std::string hits = searchdb_search("books", words[round], 0, 0);
    EXPECT_NE(hits.find("\"totalHits\":0}"), std::string::npos) << hits;
    MendSaves();
    ASSERT_EQ(searchdb_documents_add("books", batch.c_str()),
              fresh + static_cast<int>(stored.size()));
    stored = after;
    // Some die, to be revived by a later round.
    for (auto &[id, text] : stored) {
      if (!text.empty() && rng() % 5 == 0) {
        ASSERT_EQ(searchdb_document_delete("books", id.c_str()), 0);
        text.clear();
      }
    }
  }
  Reopen();
  for (const auto &[id, text] : stored) {
    if (!text.empty()) {
      EXPECT_EQ(Get(id.c_str()), text) << id;
    }
  }
}

TEST_F(DocumentsTest, AFailedSaveKeepsADeletedDocument) {
  ASSERT_EQ(searchdb_documents_add("books", R"({"id":"a","title":"kept words"})"), 1);
  BreakSaves();
  EXPECT_EQ(searchdb_document_delete("books", "a"), -1);
  EXPECT_EQ(LastError().rfind("fopen ", 0), 0u) << LastError();
  EXPECT_EQ(Get("a"), R"({"id":"a","title":"kept words"})");
  EXPECT_NE(std::string(searchdb_search("books", "kept", 0, 0)).find("\"totalHits\":1"),
            std::string::npos);
  MendSaves();
  EXPECT_EQ(searchdb_document_delete("books", "a"), 0);
  Reopen();
  EXPECT_EQ(Get("a"), "<null: document 'a' not found>");
}

TEST_F(DocumentsTest, OtherPrimaryKeysAreMatchedExactly) {
  ASSERT_EQ(searchdb_index_create("users", "email"), 0);
  EXPECT_EQ(searchdb_documents_add("users", R"({"id":1})"), -1);
  EXPECT_EQ(LastError(), "document missing primary key 'email'");
  EXPECT_EQ(searchdb_documents_add("users", R"({"email":"a@b","id":1})"), 1);
  EXPECT_STREQ(searchdb_document_get("users", "a@b"), R"({"email":"a@b","id":1})");
}

}  // namespace
