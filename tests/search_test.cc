#include "search/search.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fixture.h"
#include "index/index.h"
#include "searchdb.h"

namespace {

class SearchTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    Open();
    ASSERT_EQ(searchdb_index_create("books", nullptr), 0) << LastError();
  }

  void Add(const std::string &json) {
    ASSERT_GT(searchdb_documents_add("books", json.c_str()), 0) << LastError();
  }

  // The answer with its processingTimeMs value replaced by T, which must
  // be a non-negative number.
  static std::string Untimed(const char *answer) {
    const std::string s = answer, key = "\"processingTimeMs\":";
    const size_t at = s.find(key);
    if (at == std::string::npos) return s;
    const size_t from = at + key.size(), to = s.find(',', from);
    EXPECT_GE(std::stod(s.substr(from, to - from)), 0.0) << s;
    return s.substr(0, from) + "T" + s.substr(to);
  }

  std::string Search(const char *query, int limit = 20, int offset = 0) {
    return Untimed(searchdb_search("books", query, limit, offset));
  }

  // The ids of the hits of an answer, in order.
  static std::vector<std::string> Ids(const std::string &answer) {
    std::vector<std::string> ids;
    yyjson_doc *doc = yyjson_read(answer.data(), answer.size(), 0);
    EXPECT_NE(doc, nullptr) << answer;
    if (!doc) return ids;
    yyjson_val *hits = yyjson_obj_get(yyjson_doc_get_root(doc), "hits");
    size_t i, n;
    yyjson_val *hit;
    yyjson_arr_foreach(hits, i, n, hit) ids.emplace_back(yyjson_get_str(yyjson_obj_get(hit, "id")));
    yyjson_doc_free(doc);
    return ids;
  }
  std::vector<std::string> IdsOf(const char *query, int limit = 20, int offset = 0) {
    return Ids(searchdb_search("books", query, limit, offset));
  }
};

using Ids_ = std::vector<std::string>;

TEST_F(SearchTest, AnswerHoldsThePageAndItsParametersInOrder) {
  Add(R"([{"id":"1","title":"Hello   World","n":1.50},{"id":"2","body":"goodbye"}])");
  EXPECT_EQ(Search("HELLO"),
            R"({"hits":[{"id":"1","title":"Hello   World","n":1.5}],"query":"HELLO",)"
            R"("processingTimeMs":T,"limit":20,"offset":0,"totalHits":1})");
}

TEST_F(SearchTest, QueriesWithoutTokensGiveTheEmptyAnswer) {
  Add(R"({"id":"1","title":"hello"})");
  const std::string empty_tail = R"("processingTimeMs":T,"limit":5,"offset":2,"totalHits":0})";
  EXPECT_EQ(Search(nullptr, 5, 2), R"({"hits":[],"query":"",)" + empty_tail);
  EXPECT_EQ(Search("", 5, 2), R"({"hits":[],"query":"",)" + empty_tail);
  EXPECT_EQ(Search("-- !? \"", 5, 2), R"({"hits":[],"query":"-- !? \"",)" + empty_tail);
  EXPECT_EQ(Search("nothing", 5, 2), R"({"hits":[],"query":"nothing",)" + empty_tail);
}

TEST_F(SearchTest, EmptyIndexGivesTheEmptyAnswer) {
  EXPECT_EQ(Search("hello"), R"({"hits":[],"query":"hello","processingTimeMs":T,)"
                             R"("limit":20,"offset":0,"totalHits":0})");
}

TEST_F(SearchTest, RanksByScoreThenByInsertionOrder) {
  Add(R"([{"id":"a","body":"cat dog"},{"id":"b","title":"cat"},)"
      R"({"id":"c","body":"cat dog"},{"id":"d","body":"dog"},{"id":"e","body":"bird"}])");
  // b has the title bonus; a and c tie and keep their slot order; d lacks cat.
  EXPECT_EQ(IdsOf("cat"), (Ids_{"b", "a", "c"}));
  // The doubled "cat" of b (1.157) still outweighs "cat" + "dog" of a and c
  // (0.489 each); d (2 tokens) has "dog" alone (0.578).
  EXPECT_EQ(IdsOf("cat dog"), (Ids_{"b", "a", "c", "d"}));
  // A repeated token counts again: "dog" twice lifts a and c (1.467) above
  // b, and d to exactly b's score, where the earlier slot wins.
  EXPECT_EQ(IdsOf("cat dog dog"), (Ids_{"a", "c", "b", "d"}));
}

TEST_F(SearchTest, TypoAndPrefixQueriesReachDocuments) {
  Add(R"([{"id":"1","body":"searching databases"},{"id":"2","body":"algorithms"}])");
  EXPECT_EQ(IdsOf("databsaes"), Ids_{"1"});
  EXPECT_EQ(IdsOf("algo"), Ids_{"2"});
  // Same idf, and document 2 is the shorter one.
  EXPECT_EQ(IdsOf("sear algor"), (Ids_{"2", "1"}));
}

TEST_F(SearchTest, DeletedDocumentsAreNeverReturned) {
  Add(R"([{"id":"1","body":"apple"},{"id":"2","body":"apple"},{"id":"3","body":"apple"}])");
  ASSERT_EQ(searchdb_document_delete("books", "2"), 0);
  EXPECT_EQ(IdsOf("apple"), (Ids_{"1", "3"}));
  EXPECT_NE(Search("apple").find(R"("totalHits":2})"), std::string::npos);
}

TEST_F(SearchTest, PagingClampsAndCountsEveryHit) {
  std::string docs = "[";
  for (int i = 0; i < 5; i++)
    docs += std::string(i ? "," : "") + R"({"id":")" + std::to_string(i) + R"(","body":"same"})";
  Add(docs + "]");
  EXPECT_EQ(IdsOf("same", 2, 1), (Ids_{"1", "2"}));
  EXPECT_EQ(IdsOf("same", 2, 4), Ids_{"4"});
  EXPECT_EQ(IdsOf("same", 0, 3), (Ids_{"3", "4"}));  // 0: no limit
  EXPECT_EQ(IdsOf("same", -7, -2), (Ids_{"0", "1", "2", "3", "4"}));
  EXPECT_NE(Search("same", -7, -2).find(R"("limit":0,"offset":0,"totalHits":5})"),
            std::string::npos);
  EXPECT_EQ(IdsOf("same", 3, 9), Ids_{});
  const std::string beyond = Search("same", 3, 9);
  EXPECT_NE(beyond.find(R"("limit":3,"offset":9,"totalHits":5})"), std::string::npos) << beyond;
  EXPECT_EQ(IdsOf("same", 2147483647, 2147483647), Ids_{});
}

TEST_F(SearchTest, QueriesThatAreNotUtf8OrTooLongAreRefusedWithTheirReason) {
  Add(R"({"id":"1","body":"caf\u00e9 word"})");
  EXPECT_STREQ(searchdb_search("missing", "caf\xc3", 1, 0), "null");
  EXPECT_EQ(LastError(), "index 'missing' not found");
  EXPECT_STREQ(searchdb_search("books", "caf\xc3", 10, 0), "null");
  EXPECT_EQ(LastError(), "query is not valid UTF-8");
  std::string words = "word";
  for (int i = 1; i < 1024; i++) words += i % 2 ? " w" + std::to_string(i) : " word";
  const std::string answer = searchdb_search("books", words.c_str(), 10, 0);
  EXPECT_NE(answer.find(R"("totalHits":1})"), std::string::npos)
      << answer.substr(answer.size() - 80);
  words += " x";
  EXPECT_STREQ(searchdb_search("books", words.c_str(), 10, 0), "null");
  EXPECT_EQ(LastError(), "query has 1025 tokens, over the limit of 1024");
}

TEST_F(SearchTest, ResultThatDoesNotFitIsRefused) {
  // 20 documents of about 1.7 MB exceed the 32 MiB result buffer together.
  const std::string filler(1700000, 'q');
  std::string docs = "[";
  for (int i = 0; i < 20; i++)
    docs += std::string(i ? "," : "") + R"({"id":")" + std::to_string(i) + R"(","body":"big )" +
            filler + R"("})";
  Add(docs + "]");
  const char *before = searchdb_search("books", "big", 1, 0);
  ASSERT_NE(std::string(before), "null");
  const std::string kept = before;
  EXPECT_STREQ(searchdb_search("books", "big", 0, 0), "null");
  EXPECT_EQ(LastError(), "result too large");
  EXPECT_EQ(std::string(before), kept);  // the earlier answer is untouched
}

TEST_F(SearchTest, StatisticsLine) {
  EXPECT_STREQ(searchdb_index_stats_json("books"),
               R"({"name":"books","primary_key":"id","document_count":0,"term_count":0,)"
               R"("total_tokens":0,"avg_doc_len":0.00,"bm25":{"k1":1.2,"b":0.75}})");
  // Tokens: 1 hello world | 2 hello | 3 x y z -> 8 in 3 documents.
  Add(R"([{"id":"1","t":"Hello world"},{"id":"2","t":"hello"},{"id":"3","t":"x y z"}])");
  EXPECT_STREQ(searchdb_index_stats_json("books"),
               R"({"name":"books","primary_key":"id","document_count":3,"term_count":8,)"
               R"("total_tokens":9,"avg_doc_len":3.00,"bm25":{"k1":1.2,"b":0.75}})");
  ASSERT_EQ(searchdb_document_delete("books", "3"), 0);
  EXPECT_STREQ(searchdb_index_stats_json("books"),
               R"({"name":"books","primary_key":"id","document_count":2,"term_count":4,)"
               R"("total_tokens":5,"avg_doc_len":2.50,"bm25":{"k1":1.2,"b":0.75}})");
}

TEST_F(SearchTest, StatisticsEscapeNameAndKey) {
  ASSERT_EQ(searchdb_index_create("a\"b\\c", "k\"\t"), 0) << LastError();
  EXPECT_STREQ(searchdb_index_stats_json("a\"b\\c"),
               R"({"name":"a\"b\\c","primary_key":"k\"\t","document_count":0,"term_count":0,)"
               R"("total_tokens":0,"avg_doc_len":0.00,"bm25":{"k1":1.2,"b":0.75}})");
}

TEST(StatsLine, IsWholeHoweverLongTheEscapedNamesGrow) {
  // 255 control bytes escape to 1530 bytes: the line outgrows any small
  // fixed buffer and must still be whole JSON.
  const std::string name(255, '\x01'), key(127, '\x1f');
  sdb_index *ix = sdb_index_new(name.c_str(), key.c_str());
  ASSERT_NE(ix, nullptr);
  uint64_t len = 0;
  char *line = sdb_stats_line(ix, &len);
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(len, strlen(line));
  EXPECT_GT(len, 2000u);
  yyjson_doc *doc = yyjson_read(line, len, 0);
  ASSERT_NE(doc, nullptr) << line;
  EXPECT_EQ(std::string(yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), "name"))), name);
  EXPECT_EQ(std::string(yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), "primary_key"))),
            key);
  yyjson_doc_free(doc);
  free(line);
  sdb_index_free(ix);
}

TEST_F(StorageTest, SearchAndStatisticsRefuseInOrder) {
  EXPECT_STREQ(searchdb_search(nullptr, "x", 1, 0), "null");
  EXPECT_EQ(LastError(), "not initialized");
  EXPECT_STREQ(searchdb_index_stats_json(nullptr), "null");
  EXPECT_EQ(LastError(), "not initialized");
  Open();
  EXPECT_STREQ(searchdb_search(nullptr, "x", 1, 0), "null");
  EXPECT_EQ(LastError(), "index_name NULL");
  EXPECT_STREQ(searchdb_index_stats_json(nullptr), "null");
  EXPECT_EQ(LastError(), "index_name NULL");
  EXPECT_STREQ(searchdb_search("", "x", 1, 0), "null");
  EXPECT_EQ(LastError(), "index '' not found");
  EXPECT_STREQ(searchdb_index_stats_json("nope"), "null");
  EXPECT_EQ(LastError(), "index 'nope' not found");
}

TEST(ElapsedMs, BorrowsFromTheSecondsWhenNanosecondsWrap) {
  const timespec start = {10, 999000000}, end = {12, 1000000};
  EXPECT_DOUBLE_EQ(sdb_elapsed_ms(&start, &end), 1002.0);
  const timespec same = {5, 250};
  EXPECT_EQ(sdb_elapsed_ms(&same, &same), 0.0);
}

}  // namespace
