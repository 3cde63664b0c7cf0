// searchdb_search_request through the public interface: refusals with
// their messages, the meaning of every member on small corpora built to
// hold the hard cases, columns that follow changes, and plain requests
// against searchdb_search.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <yyjson.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "api/registry.h"
#include "fixture.h"
#include "index/columns.h"
#include "index/index.h"
#include "storage/column_file.h"
#include "storage/layout.h"

namespace {

using Strings = std::vector<std::string>;

// s as a JSON string.
std::string Quoted(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

class RequestTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    Open();
  }

  void Make(const char *index, const std::string &docs) {
    ASSERT_EQ(searchdb_index_create(index, nullptr), 0) << LastError();
    ASSERT_GT(searchdb_documents_add(index, docs.c_str()), 0) << LastError();
  }

  static std::string Ask(const char *index, const std::string &request) {
    const char *answer = searchdb_search_request(index, request.c_str());
    if (answer == nullptr) return "<nullptr>";
    if (std::string(answer) == "null") return "null: " + LastError();
    return Untimed(answer);
  }

  // The message a refused request leaves.
  static std::string Refusal(const char *index, const std::string &request) {
    const char *answer = searchdb_search_request(index, request.c_str());
    EXPECT_STREQ(answer, "null") << request;
    return LastError();
  }

  static yyjson_val *Member(yyjson_doc *doc, const char *name) {
    return yyjson_obj_get(yyjson_doc_get_root(doc), name);
  }

  // The "id" of every hit, in order ("?" for a hit without one).
  static Strings Ids(const char *index, const std::string &request) {
    const std::string answer = Ask(index, request);
    Strings ids;
    yyjson_doc *doc = yyjson_read(answer.data(), answer.size(), 0);
    EXPECT_NE(doc, nullptr) << request << " -> " << answer;
    if (!doc) return ids;
    size_t i, n;
    yyjson_val *hit;
    yyjson_arr_foreach(Member(doc, "hits"), i, n, hit) {
      yyjson_val *id = yyjson_obj_get(hit, "id");
      ids.emplace_back(yyjson_is_str(id) ? yyjson_get_str(id) : "?");
    }
    yyjson_doc_free(doc);
    return ids;
  }

  static Strings Sorted(Strings s) {
    std::sort(s.begin(), s.end());
    return s;
  }

  // A member of the answer, as compact JSON.
  static std::string Part(const char *index, const std::string &request, const char *name) {
    const std::string answer = Ask(index, request);
    yyjson_doc *doc = yyjson_read(answer.data(), answer.size(), 0);
    EXPECT_NE(doc, nullptr) << request << " -> " << answer;
    if (!doc) return "";
    char *text = yyjson_val_write(Member(doc, name), 0, nullptr);
    std::string out = text ? text : "<missing>";
    free(text);
    yyjson_doc_free(doc);
    return out;
  }
};

// Each value kind where the rules tell kinds apart: 1 and 1.0 against "1",
// case in strings, arrays (with a repeat) against scalars, present null,
// [] and {}, nested objects, arrays of objects, a nested array.
const char kValues[] = R"([
  {"id":"d1","title":"red apple pie","n":1,"s":"apple","tags":["x","y"],"o":{"k":"v1","n":5},
   "objs":[{"k":"a"},{"k":"b"}],"mix":[3,"b",true]},
  {"id":"d2","title":"green apple","n":1.0,"s":"Banana","tags":["y","y"],"o":{"k":"v2"},
   "objs":[{"k":"c"}],"mix":"c"},
  {"id":"d3","title":"apple red","n":"1","s":"apple","tags":[],"nul":null,
   "objs":[[{"k":"a"}]],"mix":[]},
  {"id":"d4","title":"blue sky","n":-2.5,"s":"cherry","tags":"x","o":{},"mix":false},
  {"id":"d5","title":"red sky at night","body":"apple red","n":10,"tags":["z"],"mix":null,
   "objs":{"k":"a"}}
])";

std::string Filter(const std::string &field, const std::string &op, const std::string &value) {
  return R"({"fields":["id"],"filter":{"field":")" + field + R"(","op":")" + op + "\"" +
         (value.empty() ? "" : ",\"value\":" + value) + "}}";
}

TEST_F(RequestTest, RefusalsNameTheMemberAndTheFault) {
  Make("v", kValues);
  // 32 levels, and an or of 1,024 nodes in all.
  const std::string deep = [] {
    std::string f = R"({"field":"n","op":"exists"})";
    for (int i = 1; i < 32; i++) f = R"({"not":)" + f + "}";
    return f;
  }();
  auto or_of = [](int n) {
    std::string f = R"({"or":[)";
    for (int i = 0; i < n; i++) f += std::string(i ? "," : "") + R"({"and":[]})";
    return f + "]}";
  };
  const std::string many = or_of(1023);
  auto list_of = [](const std::string &item, int n) {
    std::string list = "[";
    for (int i = 0; i < n; i++) list += (i ? "," : "") + item;
    return list + "]";
  };
  std::string values = "[0";
  for (int i = 1; i < 10001; i++) values += "," + std::to_string(i);
  values += "]";
  std::string words = "\"w";
  for (int i = 1; i < 65; i++) words += " w";
  words += "\"";
  std::string long_q;
  for (int i = 0; i < 1025; i++) long_q += "w ";
  // Filters on paths p<from> .. p<to - 1>, each after a comma.
  auto leaves = [](int from, int to) {
    std::string list;
    for (int i = from; i < to; i++)
      list += R"(,{"field":"p)" + std::to_string(i) + R"(","op":"exists"})";
    return list;
  };
  auto names = [](const char *prefix, int n) {
    std::string list = "[";
    for (int i = 0; i < n; i++)
      list += std::string(i ? "," : "") + "\"" + prefix + std::to_string(i) + "\"";
    return list + "]";
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[1]", "request: expected an object"},
      {R"({"q":"a","fitler":{}})", "request has unknown member 'fitler'"},
      {R"({"q":"a","q":"b"})", "request has duplicate member 'q'"},
      {R"({"q":5})", "q: expected a string or null"},
      {R"({"q":)" + Quoted(long_q) + "}", "q: query has 1025 tokens, over the limit of 1024"},
      {R"({"q":)" + Quoted(words) + "}", "q: a phrase of more than 64 words"},
      {R"({"limit":"5"})", "limit: expected an integer from -2147483648 to 2147483647"},
      {R"({"offset":2147483648})", "offset: expected an integer from -2147483648 to 2147483647"},
      {R"({"limit":1.0})", "limit: expected an integer from -2147483648 to 2147483647"},
      {R"({"filter":[]})", "filter: expected a filter object"},
      {R"({"filter":{}})", "filter: expected field and op, or one of and, or, not"},
      {R"({"filter":{"and":[],"field":"n","op":"exists"}})",
       "filter: expected field and op, or one of and, or, not"},
      {R"({"filter":{"field":"n"}})", "filter: expected field and op, or one of and, or, not"},
      {R"({"filter":{"and":{}}})", "filter.and: expected an array of filters"},
      {R"({"filter":{"or":[{"field":"n","op":"eq","value":1},{"feld":"n"}]}})",
       "filter.or[1]: unknown member 'feld'"},
      {R"({"filter":{"and":[{"not":{"field":"n","op":"eq","op":"ne","value":1}}]}})",
       "filter.and[0].not: duplicate member 'op'"},
      {R"({"filter":{"and":[{"field":"n","op":"regex","value":"x"}]}})",
       "filter.and[0]: unknown op 'regex'"},
      {R"({"filter":{"field":"n","op":1}})", "filter.op: expected a string"},
      {R"({"filter":{"field":"a..b","op":"exists"}})",
       "filter.field: expected a path: member names joined by '.'"},
      {R"({"filter":{"field":"","op":"exists"}})",
       "filter.field: expected a path: member names joined by '.'"},
      {R"({"filter":{"field":"a.","op":"exists"}})",
       "filter.field: expected a path: member names joined by '.'"},
      {R"({"filter":{"field":"n","op":"eq"}})", "filter: op 'eq' needs a value"},
      {R"({"filter":{"field":"n","op":"exists","value":null}})",
       "filter: op 'exists' takes no value"},
      {R"({"filter":{"field":"n","op":"ne","value":[1]}})",
       "filter.value: expected a string, number, true, false or null"},
      {R"({"filter":{"field":"n","op":"gte","value":true}})",
       "filter.value: op 'gte' takes a string or a number"},
      {R"({"filter":{"field":"n","op":"in","value":1}})",
       "filter.value: expected an array of strings, numbers, true, false or null"},
      {R"({"filter":{"field":"n","op":"not_in","value":[1,{}]}})",
       "filter.value: expected an array of strings, numbers, true, false or null"},
      {R"({"filter":{"field":"n","op":"in","value":)" + values + "}}",
       "filter.value: more than 10000 values"},
      {R"({"filter":{"not":)" + deep + "}}", "filter" +
                                                 [] {
                                                   std::string p;
                                                   for (int i = 0; i < 32; i++) p += ".not";
                                                   return p;
                                                 }() +
                                                 ": nested deeper than 32"},
      {R"({"filter":)" + or_of(1024) + "}", "filter: more than 1024 nodes"},
      {R"({"sort":"n"})", "sort: expected an array"},
      {R"({"sort":["relevance",3]})",
       "sort[1]: expected a string or an object with field and order"},
      {R"({"sort":["score"]})", "sort[0]: unknown sort 'score'"},
      {R"({"sort":[{"field":"n"}]})",
       "sort[0]: expected a string or an object with field and order"},
      {R"({"sort":[{"field":"n","order":"up"}]})", "sort[0].order: expected \"asc\" or \"desc\""},
      {R"({"sort":[{"field":"n","order":"asc","dir":1}]})", "sort[0]: unknown member 'dir'"},
      {R"({"sort":[{"field":"n","field":"s","order":"asc"}]})",
       "sort[0]: duplicate member 'field'"},
      {R"({"sort":[{"field":".n","order":"asc"}]})",
       "sort[0].field: expected a path: member names joined by '.'"},
      {R"({"sort":)" + list_of("\"relevance\"", 33) + "}", "sort: more than 32 keys"},
      {R"({"facets":"n"})", "facets: expected an array of field paths"},
      {R"({"facets":["n",""]})", "facets[1]: expected a path: member names joined by '.'"},
      {R"({"facets":["n","s","n"]})", "facets[2]: 'n' is listed twice"},
      {R"({"facets":)" + names("f", 33) + "}", "facets: more than 32 fields"},
      {R"({"facet_size":-1})", "facet_size: expected an integer from 0 to 2147483647"},
      {R"({"fields":[]})", "fields: expected a non-empty array of member names"},
      {R"({"fields":["id",7]})", "fields[1]: expected a member name"},
      {R"({"fields":)" + names("f", 257) + "}", "fields: more than 256 members"},
      {R"({"operator":"xor"})", "operator: expected \"or\" or \"and\""},
      {R"({"highlight":"title"})", "highlight: expected an array of member names"},
      {R"({"highlight":["title","title"]})", "highlight[1]: 'title' is listed twice"},
      {R"({"highlight":)" + names("h", 33) + "}", "highlight: more than 32 members"},
      {R"({"highlight_tags":["<b>"]})", "highlight_tags: expected an array of two strings"},
      {R"({"snippet_words":0})", "snippet_words: expected an integer from 1 to 2147483647"},
      {R"({"rank":"typo"})", "rank: unknown rank 'typo'"},
      {R"({"rank":1})", "rank: expected a string"},
      {R"({"filter":{"or":[{"field":"n","op":"exists"})" + leaves(0, 64) + "]}}",
       "filter.or[64].field: more than 64 distinct field paths in one request"},
      {R"({"facets":["n"],"filter":{"or":[{"and":[]})" + leaves(0, 63) +
           R"(]},"sort":["relevance",{"field":"x","order":"asc"}]})",
       "sort[1].field: more than 64 distinct field paths in one request"},
  };
  for (const auto &[request, message] : cases) EXPECT_EQ(Refusal("v", request), message) << request;
  EXPECT_EQ(Refusal("v", "{\"q\":"), "request: unexpected end of data at byte 5");
  EXPECT_EQ(searchdb_search_request("v", nullptr), std::string("null"));
  EXPECT_EQ(LastError(), "request_json NULL");
  EXPECT_EQ(Refusal("nope", "{}"), "index 'nope' not found");
  EXPECT_EQ(Refusal(nullptr, "{}"), "index_name NULL");
  // Every limit is taken up to its value.
  std::string most_values = values.substr(0, values.rfind(',')) + "]";
  std::string most_words = words.substr(0, words.size() - 3) + "\"";
  for (const std::string &fine :
       {R"({"filter":)" + deep + "}", R"({"filter":)" + many + "}",
        R"({"filter":{"field":"n","op":"in","value":)" + most_values + "}}",
        R"({"q":)" + Quoted(most_words) + "}", R"({"facets":)" + names("f", 32) + "}",
        R"({"highlight":)" + names("h", 32) + "}", R"({"fields":)" + names("f", 256) + "}",
        R"({"sort":)" + list_of("\"relevance\"", 32) + "}"}) {
    EXPECT_NE(std::string(searchdb_search_request("v", fine.c_str())), "null")
        << fine.substr(0, 80) << ": " << LastError();
  }
  searchdb_cleanup();
  EXPECT_STREQ(searchdb_search_request("v", "{}"), "null");
  EXPECT_EQ(LastError(), "not initialized");
}

TEST_F(RequestTest, FiltersCompareValuesByTheirKinds) {
  Make("v", kValues);
  const std::vector<std::pair<std::string, Strings>> cases = {
      {Filter("n", "eq", "1"), {"d1", "d2"}},
      {Filter("n", "eq", "1.0"), {"d1", "d2"}},
      {Filter("n", "eq", "\"1\""), {"d3"}},
      {Filter("n", "ne", "1"), {"d3", "d4", "d5"}},
      {Filter("s", "ne", "\"apple\""), {"d2", "d4", "d5"}},
      {Filter("tags", "eq", "\"y\""), {"d1", "d2"}},
      {Filter("tags", "ne", "\"y\""), {"d3", "d4", "d5"}},
      {Filter("tags", "eq", "\"x\""), {"d1", "d4"}},
      {Filter("tags", "in", R"(["z","x"])"), {"d1", "d4", "d5"}},
      {Filter("tags", "not_in", R"(["y","z"])"), {"d3", "d4"}},
      {Filter("n", "lt", "1"), {"d4"}},
      {Filter("n", "lte", "1"), {"d1", "d2", "d4"}},
      {Filter("n", "gt", "1"), {"d5"}},
      {Filter("n", "gte", "1"), {"d1", "d2", "d5"}},
      {Filter("n", "gt", "-2.5"), {"d1", "d2", "d5"}},
      {Filter("n", "lt", "\"5\""), {"d3"}},
      {Filter("s", "lt", "\"apple\""), {"d2"}},
      {Filter("s", "gte", "\"b\""), {"d4"}},
      {Filter("s", "gt", "\"B\""), {"d1", "d2", "d3", "d4"}},
      {Filter("s", "lte", "\"apple\""), {"d1", "d2", "d3"}},
      {Filter("mix", "lt", "5"), {"d1"}},
      {Filter("mix", "gt", "\"a\""), {"d1", "d2"}},
      {Filter("mix", "gte", "\"c\""), {"d2"}},
      {Filter("mix", "eq", "true"), {"d1"}},
      {Filter("mix", "eq", "false"), {"d4"}},
      {Filter("mix", "eq", "null"), {"d5"}},
      {Filter("mix", "ne", "null"), {"d1", "d2", "d3", "d4"}},
      {Filter("mix", "in", "[null,false]"), {"d4", "d5"}},
      {Filter("nul", "eq", "null"), {"d3"}},
      {Filter("nul", "exists", ""), {"d3"}},
      {Filter("o", "exists", ""), {"d1", "d2", "d4"}},
      {Filter("mix", "exists", ""), {"d1", "d2", "d3", "d4", "d5"}},
      {Filter("missing", "ne", "1"), {"d1", "d2", "d3", "d4", "d5"}},
      {Filter("missing", "not_in", "[1]"), {"d1", "d2", "d3", "d4", "d5"}},
      {Filter("missing", "eq", "null"), {}},
      {Filter("o.k", "eq", "\"v1\""), {"d1"}},
      {Filter("o.k", "exists", ""), {"d1", "d2"}},
      {Filter("o.n", "gt", "4"), {"d1"}},
      {Filter("objs.k", "eq", "\"a\""), {"d1", "d5"}},
      {Filter("objs.k", "in", R"(["c","q"])"), {"d2"}},
      {Filter("objs.k", "exists", ""), {"d1", "d2", "d5"}},
      {R"({"fields":["id"],"filter":{"and":[]}})", {"d1", "d2", "d3", "d4", "d5"}},
      {R"({"fields":["id"],"filter":{"or":[]}})", {}},
      {R"({"fields":["id"],"filter":{"not":{"field":"o","op":"exists"}}})", {"d3", "d5"}},
      {R"({"fields":["id"],"filter":{"or":[{"field":"s","op":"eq","value":"cherry"},{"and":[)"
       R"({"field":"n","op":"eq","value":1},{"not":{"field":"tags","op":"eq","value":"x"}}]}]}})",
       {"d2", "d4"}},
  };
  for (const auto &[request, ids] : cases) EXPECT_EQ(Ids("v", request), ids) << request;
  // With a query, the filter keeps the matched documents that pass it.
  EXPECT_EQ(Sorted(Ids("v", R"({"q":"apple","filter":{"field":"n","op":"eq","value":1}})")),
            (Strings{"d1", "d2"}));
  EXPECT_EQ(Part("v", R"({"q":"apple","filter":{"field":"n","op":"eq","value":1}})", "totalHits"),
            "2");
}

TEST_F(RequestTest, SortPutsMissingAndOtherValuesLastBothWays) {
  Make("v", kValues);
  auto sorted = [](const std::string &keys) {
    return R"({"fields":["id"],"sort":[)" + keys + "]}";
  };
  EXPECT_EQ(Ids("v", sorted(R"({"field":"n","order":"asc"})")),
            (Strings{"d4", "d1", "d2", "d5", "d3"}));
  EXPECT_EQ(Ids("v", sorted(R"({"field":"n","order":"desc"})")),
            (Strings{"d3", "d5", "d1", "d2", "d4"}));
  EXPECT_EQ(Ids("v", sorted(R"({"field":"mix","order":"asc"})")),
            (Strings{"d1", "d2", "d3", "d4", "d5"}));
  EXPECT_EQ(Ids("v", sorted(R"({"field":"mix","order":"desc"})")),
            (Strings{"d2", "d1", "d3", "d4", "d5"}));
  EXPECT_EQ(Ids("v", sorted(R"({"field":"tags","order":"asc"})")),
            (Strings{"d1", "d4", "d2", "d5", "d3"}));
  EXPECT_EQ(Ids("v", sorted(R"({"field":"tags","order":"desc"})")),
            (Strings{"d5", "d1", "d2", "d4", "d3"}));
  EXPECT_EQ(Ids("v", sorted(R"({"field":"s","order":"asc"},{"field":"n","order":"desc"})")),
            (Strings{"d2", "d3", "d1", "d4", "d5"}));
  EXPECT_EQ(Ids("v", sorted(R"({"field":"objs.k","order":"desc"})")),
            (Strings{"d2", "d1", "d5", "d3", "d4"}));
  // Pages cut the sorted order.
  EXPECT_EQ(
      Ids("v", R"({"fields":["id"],"sort":[{"field":"n","order":"asc"}],"offset":1,"limit":3})"),
      (Strings{"d1", "d2", "d5"}));
  EXPECT_EQ(
      Ids("v", R"({"fields":["id"],"sort":[{"field":"n","order":"asc"}],"offset":4,"limit":0})"),
      (Strings{"d3"}));
  // Equal keys fall through to the score, then to the slot: "apple" ranks
  // d1, d2, d3 and d5 by score, and n ties d1 with d2.
  const Strings ranked = Ids("v", R"({"q":"apple","fields":["id"]})");
  ASSERT_EQ(Sorted(ranked), (Strings{"d1", "d2", "d3", "d5"}));
  auto before = [&](const std::string &a, const std::string &b) {
    return std::find(ranked.begin(), ranked.end(), a) < std::find(ranked.begin(), ranked.end(), b);
  };
  const Strings by_n =
      Ids("v", R"({"q":"apple","fields":["id"],"sort":[{"field":"n","order":"asc"}]})");
  EXPECT_EQ(by_n, (before("d1", "d2") ? Strings{"d1", "d2", "d5", "d3"}
                                      : Strings{"d2", "d1", "d5", "d3"}));
  EXPECT_EQ(
      Ids("v", R"({"q":"apple","fields":["id"],"sort":["relevance",{"field":"n","order":"asc"}]})"),
      ranked);
  EXPECT_EQ(
      Ids("v", R"({"q":"apple","fields":["id"],"sort":[{"field":"nothing","order":"desc"}]})"),
      ranked);
}

TEST_F(RequestTest, FacetsCountEveryKeptDocumentOncePerValue) {
  Make("v", kValues);
  EXPECT_EQ(Part("v", R"({"facets":["tags","n","mix"],"limit":1})", "facets"),
            R"({"tags":[{"value":"x","count":2},{"value":"y","count":2},{"value":"z","count":1}],)"
            R"("n":[{"value":1,"count":2},{"value":-2.5,"count":1},{"value":10,"count":1},)"
            R"({"value":"1","count":1}],)"
            R"("mix":[{"value":3,"count":1},{"value":"b","count":1},{"value":"c","count":1},)"
            R"({"value":false,"count":1},{"value":true,"count":1},{"value":null,"count":1}]})");
  EXPECT_EQ(Part("v", R"({"facets":["mix"],"facet_size":2})", "facets"),
            R"({"mix":[{"value":3,"count":1},{"value":"b","count":1}]})");
  EXPECT_EQ(
      Part("v", R"({"facets":["objs.k","nothing"],"facet_size":0})", "facets"),
      R"({"objs.k":[{"value":"a","count":2},{"value":"b","count":1},{"value":"c","count":1}],)"
      R"("nothing":[]})");
  EXPECT_EQ(Part("v",
                 R"({"q":"apple","filter":{"field":"s","op":"eq","value":"apple"},)"
                 R"("facets":["tags"],"limit":1})",
                 "facets"),
            R"({"tags":[{"value":"x","count":1},{"value":"y","count":1}]})");
  EXPECT_EQ(Part("v", R"({"q":"zebra","facets":["tags"]})", "facets"), R"({"tags":[]})");
  EXPECT_EQ(Part("v", R"({"q":"","facets":["tags"]})", "facets"), R"({"tags":[]})");
  // The answer is searchdb_search's, then the facets.
  EXPECT_EQ(Ask("v", R"({"q":"sky","fields":["id"],"facets":["s"]})"),
            R"({"hits":[{"id":"d4"},{"id":"d5"}],"query":"sky","limit":20,"offset":0,)"
            R"("totalHits":2,"facets":{"s":[{"value":"cherry","count":1}]}})");
}

TEST_F(RequestTest, FieldsKeepTheNamedMembersInStoredOrder) {
  Make("v", kValues);
  EXPECT_EQ(Part("v", R"({"q":"night","fields":["n","title","absent"]})", "hits"),
            R"([{"title":"red sky at night","n":10}])");
  EXPECT_EQ(Part("v", R"({"q":"night","fields":["absent"]})", "hits"), "[{}]");
  // Browsing lists every live document in slot order, score 0 for all.
  EXPECT_EQ(Ids("v", R"({"q":null,"fields":["id"],"offset":1,"limit":2})"), (Strings{"d2", "d3"}));
  ASSERT_EQ(searchdb_document_delete("v", "d2"), 0);
  EXPECT_EQ(Ids("v", R"({"fields":["id"]})"), (Strings{"d1", "d3", "d4", "d5"}));
  EXPECT_EQ(Part("v", R"({"fields":["id"]})", "totalHits"), "4");
}

// Phrases stand in one member's token sequence; words outside phrases match
// as always.
const char kPhrases[] = R"([
  {"id":"p1","a":"new york city","b":"york new"},
  {"id":"p2","a":"new","b":"york"},
  {"id":"p3","tags":["old","new","york"]},
  {"id":"p4","a":"York, New-York!"},
  {"id":"p5","a":"newyork yorkshire new yorkshire"},
  {"id":"p6","a":"new jersey","b":"york"}
])";

TEST_F(RequestTest, PhrasesAndAllWordsNarrowTheMatches) {
  Make("p", kPhrases);
  auto ids = [&](const std::string &q, const char *more = "") {
    return Sorted(Ids("p", R"({"fields":["id"],"q":)" + Quoted(q) + more + "}"));
  };
  EXPECT_EQ(ids("\"new york\""), (Strings{"p1", "p3", "p4"}));
  EXPECT_EQ(ids("\"York new\""), (Strings{"p1", "p4"}));
  EXPECT_EQ(ids("\"new york\" \"york city\""), (Strings{"p1"}));
  EXPECT_EQ(ids("\"new\" \"york\""), (Strings{"p1", "p2", "p3", "p4", "p6"}));
  EXPECT_EQ(ids("\"yor\""), (Strings{}));
  EXPECT_EQ(ids("yor"), (Strings{"p1", "p2", "p3", "p4", "p5", "p6"}));
  EXPECT_EQ(ids("\"new york"), (Strings{"p1", "p2", "p3", "p4", "p5", "p6"}));
  EXPECT_EQ(ids("\"\" city"), (Strings{"p1"}));
  EXPECT_EQ(ids("old \"york new\""), (Strings{"p1", "p4"}));
  EXPECT_EQ(ids("new city", R"(,"operator":"and")"), (Strings{"p1"}));
  EXPECT_EQ(ids("new city", R"(,"operator":"or")"), (Strings{"p1", "p2", "p3", "p4", "p5", "p6"}));
  // "york" is a term, so it matches that term alone, not "yorkshire".
  EXPECT_EQ(ids("york new new", R"(,"operator":"and")"), (Strings{"p1", "p2", "p3", "p4", "p6"}));
  EXPECT_EQ(ids("old yorkshir", R"(,"operator":"and")"), (Strings{}));
  EXPECT_EQ(ids("newyor yorkshire", R"(,"operator":"and")"), (Strings{"p5"}));
  EXPECT_EQ(Part("p", R"({"q":"\"new york\" city","limit":1})", "totalHits"), "3");
}

const char kTexts[] = R"([
  {"id":"h1","title":"Red Apple pie","text":"one two three four five six seven","n":5,
   "arr":["alpha beta",42,true,["nested"],"gamma"],"o":{"text":"red"}},
  {"id":"h2","title":"red sky","text":"apple red","long":[")"
                      "xxxxxxxxxx"
                      R"("],"empty":""}
])";

TEST_F(RequestTest, HighlightsMarkWhatMatchedInTheWholeTextOrASnippet) {
  std::string docs = kTexts;
  // An array whose text is cut inside a two-byte character.
  docs.replace(docs.find("xxxxxxxxxx"), 10, std::string(2046, 'x') + "\xC3\xA9");
  Make("h", docs);
  auto marks = [&](const std::string &q, const std::string &more) {
    return Part(
        "h",
        R"({"fields":["id"],"sort":[{"field":"id","order":"asc"}],"q":)" + Quoted(q) + more + "}",
        "hits");
  };
  EXPECT_EQ(marks("aple RED", R"(,"highlight":["title","n","o","arr","nothing"])"),
            R"([{"id":"h1","_highlight":{"title":"<mark>Red</mark> <mark>Apple</mark> pie",)"
            R"("arr":"alpha beta 42 gamma"}},)"
            R"({"id":"h2","_highlight":{"title":"<mark>red</mark> sky"}}])");
  EXPECT_EQ(marks("sky", R"(,"highlight":["empty"],"snippet_words":2)"),
            R"([{"id":"h2","_highlight":{"empty":""}}])");
  // A phrase's words are marked only where they form it; the tags are
  // inserted as given.
  EXPECT_EQ(marks("\"red sky\" gam", R"(,"highlight":["text","title","arr"],)"
                                     R"("highlight_tags":["[","]"])"),
            R"([{"id":"h2","_highlight":{"text":"apple red","title":"[red] [sky]"}}])");
  EXPECT_EQ(marks("gamma", R"(,"highlight":["arr"])"),
            R"([{"id":"h1","_highlight":{"arr":"alpha beta 42 <mark>gamma</mark>"}}])");
  auto snippet = [&](const char *q, int n) {
    return marks(q, R"(,"highlight":["text"],"snippet_words":)" + std::to_string(n));
  };
  const std::string h1 = R"([{"id":"h1","_highlight":{"text":")";
  EXPECT_EQ(snippet("five", 3), h1 + R"(…four <mark>five</mark> six…"}}])");
  EXPECT_EQ(snippet("five", 4), h1 + R"(…four <mark>five</mark> six seven"}}])");
  EXPECT_EQ(snippet("five", 10), h1 + R"(one two three four <mark>five</mark> six seven"}}])");
  EXPECT_EQ(snippet("seven", 3), h1 + R"(…six <mark>seven</mark>"}}])");
  EXPECT_EQ(snippet("one", 2), h1 + R"(<mark>one</mark> two…"}}])");
  EXPECT_EQ(snippet("pie", 2), h1 + R"(one two…"}}])");
  // Browsing marks nothing; a snippet is then the first words.
  EXPECT_EQ(
      Part("h", R"({"fields":["id"],"highlight":["text"],"snippet_words":1,"limit":1})", "hits"),
      h1 + R"(one…"}}])");
  // Without fields the highlights follow the whole document.
  const std::string whole = Part("h", R"({"q":"sky","highlight":["long"]})", "hits");
  EXPECT_EQ(whole.substr(0, 40), R"([{"id":"h2","title":"red sky","text":"ap)");
  EXPECT_NE(whole.find(R"("_highlight":{"long":")" + std::string(2046, 'x') + "\"}}]"),
            std::string::npos);
  EXPECT_EQ(Part("h", R"({"q":"sky","highlight":[]})", "hits").find(R"(,"_highlight":{}})"),
            whole.find(R"(,"_highlight":)"));
}

// ---- Columns follow changes ----

// A random document: numbers, strings, arrays, nested objects, arrays of
// objects, null, missing members.
std::string RandomDoc(std::mt19937 &rng, int id) {
  auto scalar = [&]() -> std::string {
    switch (rng() % 7) {
      case 0:
        return std::to_string(static_cast<int>(rng() % 7) - 2);
      case 1:
        return std::to_string(rng() % 5) + ".5";
      case 2:
        return "null";
      case 3:
        return rng() % 2 ? "true" : "false";
      default: {
        // "" among them: a change may hold no string but empty ones.
        const unsigned letter = rng() % 6;
        return "\"" + std::string(letter < 5 ? 1 : 0, static_cast<char>('a' + letter)) + "\"";
      }
    }
  };
  auto value = [&]() -> std::string {
    switch (rng() % 4) {
      case 0: {
        std::string a = "[";
        for (unsigned i = 0, n = rng() % 4; i < n; i++) a += (i ? "," : "") + scalar();
        return a + "]";
      }
      case 1:
        return R"({"k":)" + scalar() + "}";
      case 2:
        return R"([{"k":)" + scalar() + R"(},{"k":)" + scalar() + R"(},[{"k":1}]])";
      default:
        return scalar();
    }
  };
  std::string doc =
      R"({"id":"r)" + std::to_string(id) + R"(","w":"word)" + std::to_string(rng() % 3) + "\"";
  for (const char *name : {"a", "b", "c"})
    if (rng() % 5) doc += std::string(",\"") + name + "\":" + value();
  return doc + "}";
}

const char *const kPaths[] = {"a", "b", "c", "a.k", "b.k", "c.k"};

// A filter of one leaf.
std::string RandomLeaf(std::mt19937 &rng) {
  static const char *const kOps[] = {"eq",  "ne",     "lt", "lte",   "gt",
                                     "gte", "exists", "in", "not_in"};
  const std::string path = kPaths[rng() % 6];
  const std::string op = kOps[rng() % 9];
  std::string value;
  const char *values[] = {"1", "0.5", "\"b\"", "\"c\"", "null", "true", "-1"};
  if (op == "in" || op == "not_in") {
    value = std::string("[") + values[rng() % 7] + "," + values[rng() % 7] + "]";
  } else if (op == "lt" || op == "lte" || op == "gt" || op == "gte") {
    value = values[rng() % 4];
  } else if (op != "exists") {
    value = values[rng() % 7];
  }
  std::string leaf = R"({"field":")" + path + R"(","op":")" + op + "\"";
  if (!value.empty()) leaf += ",\"value\":" + value;
  return leaf + "}";
}

std::string RandomRequest(std::mt19937 &rng) {
  std::string r = R"({"limit":0,"fields":["id"],"filter":)" + RandomLeaf(rng);
  r += std::string(",\"sort\":[{\"field\":\"") + kPaths[rng() % 6] + "\",\"order\":\"" +
       (rng() % 2 ? "asc" : "desc") + "\"}],\"facets\":[\"" + kPaths[rng() % 6] + "\"]";
  if (rng() % 2) r += ",\"q\":\"word" + std::to_string(rng() % 3) + "\"";
  return r + "}";
}

TEST_F(RequestTest, ColumnsKeptThroughChangesAnswerAsColumnsBuiltAfresh) {
  // The same changes go to two indexes: "kept" keeps its columns through
  // all of them, "fresh" builds its columns again before every request.
  std::mt19937 rng(7);
  auto change = [&](const std::string &batch, const std::string &deleted) {
    for (const char *index : {"kept", "fresh"}) {
      if (!deleted.empty()) {
        searchdb_document_delete(index, deleted.c_str());
      } else {
        ASSERT_GT(searchdb_documents_add(index, batch.c_str()), 0) << LastError();
      }
    }
  };
  std::string batch = "[";
  for (int id = 0; id < 40; id++) batch += (id ? "," : "") + RandomDoc(rng, id);
  for (const char *index : {"kept", "fresh"}) ASSERT_EQ(searchdb_index_create(index, nullptr), 0);
  change(batch + "]", "");
  std::vector<std::string> requests;
  for (int i = 0; i < 12; i++) requests.push_back(RandomRequest(rng));
  for (int step = 0; step < 200; step++) {
    // Changes of one to three documents are applied to the kept columns
    // (which are laid out again once they have let go of enough values);
    // one change is large enough to have them built again.
    if (step == 140) {
      std::string many = "[";
      for (int i = 0; i < 20; i++)
        many += (i ? "," : "") + RandomDoc(rng, static_cast<int>(rng() % 60));
      change(many + "]", "");
    } else if (rng() % 3 == 0) {
      change("", "r" + std::to_string(rng() % 60));
    } else {
      std::string few = "[";
      for (unsigned i = 0, n = 1 + rng() % 3; i < n; i++)
        few += (i ? "," : "") + RandomDoc(rng, static_cast<int>(rng() % 60));
      change(few + "]", "");
    }
    for (const std::string &r : requests) {
      sdb_columns_drop(sdb_index_find("fresh"));
      ASSERT_EQ(Ask("kept", r), Ask("fresh", r)) << "step " << step << ": " << r;
    }
  }
  std::vector<std::string> before;
  for (const std::string &r : requests) before.push_back(Ask("kept", r));
  Reopen();
  for (size_t i = 0; i < requests.size(); i++) EXPECT_EQ(before[i], Ask("kept", requests[i]));
}

// Columns a later process takes from the columns file answer as columns
// built from the documents: over restarts and changes, with the file
// intact, cut short, with a byte flipped, put back from before a change,
// or missing; one crafted to pass its checksums must only never make a
// request fail.
TEST_F(RequestTest, ColumnsTakenFromTheFileAnswerAsColumnsBuilt) {
  std::mt19937 rng(41);
  std::string batch = "[";
  for (int id = 0; id < 70; id++) batch += (id ? "," : "") + RandomDoc(rng, id);
  for (const char *index : {"file", "built"}) Make(index, batch + "]");
  // A column counted first, then sorted and filtered by: its cells' ranks
  // are made only then.
  std::vector<std::string> requests = {
      R"({"limit":0,"facets":["b"]})",
      R"({"limit":80,"fields":["id"],"sort":[{"field":"b","order":"desc"}],)"
      R"("filter":{"field":"b","op":"gte","value":0}})"};
  for (int i = 0; i < 8; i++) {
    std::string r = RandomRequest(rng);
    requests.push_back(r.replace(r.find("\"limit\":0"), 9, "\"limit\":80"));
  }
  const std::string cols = Path(std::string("file/") + SDB_COLUMNS_FILE);
  auto inode = [](const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  // Whether the file was replaced since hold(): a second link keeps its
  // inode from being given to a file written after it.
  const std::string witness = root_ + "/witness";
  auto hold = [&] {
    std::filesystem::remove(witness);
    if (inode(cols) != 0) std::filesystem::create_hard_link(cols, witness);
  };
  auto replaced = [&] { return inode(cols) != inode(witness); };
  std::string older;
  int taken = 0;
  // Whether the file holds the columns of the documents as they are: a
  // damaged one stays until a process needs a column it does not keep.
  bool good = false;
  unsigned header_edits = 0;
  for (int step = 0; step < 200; step++) {
    // Most steps are a new process; in the others the process that made
    // changes (deletes leave its slots dead) builds and writes.
    if (step % 3 != 2) Reopen();
    const bool change = rng() % 3 == 0;
    if (change) {
      const int id = static_cast<int>(rng() % 80);
      // Now and then a value no document had, between two others: every
      // rank above it moves.
      const std::string doc = rng() % 2
                                  ? RandomDoc(rng, id)
                                  : R"({"id":"r)" + std::to_string(id) + R"(","w":"word1","b":)" +
                                        std::to_string(0.75 + step / 1000.0) + "}";
      hold();
      const bool held = inode(cols) != 0;
      bool changed = true;
      for (const char *index : {"file", "built"}) {
        if (id % 2)
          changed = searchdb_document_delete(index, ("r" + std::to_string(id)).c_str()) == 0;
        else
          ASSERT_EQ(searchdb_documents_add(index, doc.c_str()), 1) << LastError();
      }
      // A change writes the columns along with the documents: those the
      // process keeps, else those it found in a good file.
      const bool kept = step % 3 == 2;
      if (changed && held && (good || kept)) {
        EXPECT_TRUE(replaced()) << "step " << step;
      }
      good = good || (changed && kept);
    }
    if (step % 9 == 0) older = ReadFile(cols);
    std::string bytes = ReadFile(cols);
    unsigned kind = bytes.empty() ? 0 : rng() % 7;
    bool sealed = false;
    if (kind == 6 && bytes.size() < 64) kind = 5;
    if (kind == 1) {
      bytes.resize(rng() % bytes.size());
    } else if (kind == 2 || kind == 3) {
      bytes[rng() % bytes.size()] ^= static_cast<char>(1 + rng() % 255);
    } else if (kind == 4) {
      bytes = older;
    } else if (kind == 5) {
      std::filesystem::remove(cols);
    } else if (kind == 6) {
      // Its header edited, each way in turn: another magic or version
      // (sealed), a byte of its padding (not sealed), or a byte more than
      // it says it holds.
      const unsigned edit = header_edits++ % 4;
      if (edit == 0) bytes[0] ^= 1;
      if (edit == 1) bytes[8] ^= 2;
      if (edit == 2) bytes[36] ^= 1;
      if (edit == 3) bytes += '\0';
      sealed = edit < 2;
    }
    if (kind == 3 || sealed) {
      const sdb_index *ix = sdb_index_find("file");
      sdb_column_file_seal(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(),
                           ix->file_size, ix->file_sum, sdb_index_live_slots(ix));
    }
    if (kind != 0 && kind != 5) WriteFile(cols, bytes);
    good = good && kind == 0;
    hold();
    const bool before = inode(cols) != 0;
    // Whether the first request, which counts "b" alone (a column the
    // file always holds), had to build it.
    bool first_built = false;
    auto ask_all = [&] {
      for (const std::string &r : requests) {
        std::filesystem::remove(Path(std::string("built/") + SDB_COLUMNS_FILE));
        sdb_columns_drop(sdb_index_find("built"));
        const std::string got = Ask("file", r);
        if (kind == 3) {
          EXPECT_NE(got.rfind("null", 0), 0u) << "step " << step << ": " << r << " -> " << got;
        } else {
          ASSERT_EQ(got, Ask("built", r)) << "step " << step << " kind " << kind << ": " << r;
        }
        if (&r == &requests[0]) first_built = replaced();
      }
    };
    ask_all();
    // The last process wrote every column these requests use, and a change
    // since carried them along: a new process takes them all, builds none
    // and so writes none.
    if (good && before && step % 3 != 2) {
      EXPECT_FALSE(replaced()) << "step " << step;
      taken++;
    }
    // A new process that keeps no columns passes a file with an edited
    // header over, builds and writes it anew.
    if (kind == 6 && !change && step % 3 != 2) {
      EXPECT_TRUE(first_built) << "step " << step;
    }
    // Damaged, it was written anew if a request had to build.
    good = good || replaced();
    // A process that changed documents lets a column go, as when it keeps
    // too many: building it again writes those it changed beside it. Then
    // it takes them all back, into a table whose deletes left dead slots.
    if (step % 3 == 2) {
      // A slot in the middle dies, when its document is still there.
      const std::string gone = "r" + std::to_string(rng() % 35);
      for (const char *index : {"file", "built"}) searchdb_document_delete(index, gone.c_str());
      sdb_columns *kept = sdb_index_find("file")->columns;
      ASSERT_TRUE(kept != nullptr && kept->count > 0);
      sdb_column_free(kept->items[--kept->count]);
      ask_all();
      hold();
      sdb_columns_drop(sdb_index_find("file"));
      ask_all();
      if (kind != 3) {
        EXPECT_FALSE(replaced()) << "step " << step;
      }
      good = true;
    }
    // A crafted file, and the columns taken from it, are not left for the
    // next step.
    if (kind == 3) {
      std::filesystem::remove(cols);
      sdb_columns_drop(sdb_index_find("file"));
    }
    good = good && kind != 3;
  }
  EXPECT_GE(taken, 4);
}

// A change carries the columns file along only while it is small beside
// docs.json (or 1 MB): a column of one 1.5 MB value is neither taken by a
// change of a process that keeps none nor written by one that keeps it.
TEST_F(RequestTest, AChangeCarriesOnlyAColumnsFileSmallBesideItsDocuments) {
  std::string docs = R"([{"id":"a","s":")" + std::string(1500000, 'x') + R"("})";
  for (int i = 0; i < 9; i++) docs += R"(,{"id":"b)" + std::to_string(i) + R"(","s":"y"})";
  Make("big", docs + "]");
  const std::string cols = Path(std::string("big/") + SDB_COLUMNS_FILE);
  const std::string request = R"({"limit":0,"facets":["s"]})";
  ASSERT_EQ(Part("big", request, "totalHits"), "10");
  const std::string written = ReadFile(cols);
  ASSERT_GT(written.size(), 1u << 20);  // a request writes it whatever its size
  Reopen();
  ASSERT_EQ(searchdb_documents_add("big", R"({"id":"c","s":"z"})"), 1) << LastError();
  const sdb_columns *kept = sdb_index_find("big")->columns;
  EXPECT_TRUE(kept == nullptr || kept->count == 0);
  EXPECT_EQ(ReadFile(cols), written);
  // Kept by this process, its change does not write it either.
  ASSERT_EQ(Part("big", request, "totalHits"), "11");
  const std::string rebuilt = ReadFile(cols);
  ASSERT_NE(rebuilt, written);
  ASSERT_EQ(searchdb_documents_add("big", R"({"id":"d","s":"w"})"), 1) << LastError();
  EXPECT_EQ(ReadFile(cols), rebuilt);
  EXPECT_EQ(Part("big", request, "totalHits"), "12");
}

// Leaves asked for again are answered from bits kept with their columns:
// against columns built afresh for every request, through changes, with
// more leaves on one column than it keeps bits for, and more documents
// than a word of bits holds.
TEST_F(RequestTest, LeavesAskedForAgainAnswerAsTheirCells) {
  std::mt19937 rng(23);
  std::vector<std::string> leaves;
  for (int i = 0; i < 24; i++) leaves.push_back(RandomLeaf(rng));
  // And ranges of one column from one end to several places.
  for (const char *value : {"-1", "0.5", "1", "3", "\"b\"", "\"c\""})
    for (const char *op : {"lt", "gte"})
      leaves.push_back(R"({"field":"a","op":")" + std::string(op) + R"(","value":)" + value + "}");
  const size_t ranges = 12;
  std::vector<std::string> requests;
  for (int i = 0; i < 10; i++) {
    std::string list;
    for (unsigned k = 0, n = 1 + rng() % 14; k < n; k++)
      list += (k ? "," : "") + leaves[rng() % leaves.size()];
    const char *kind[] = {"or", "and", "or"};
    requests.push_back(R"({"limit":0,"fields":["id"],"filter":{")" + std::string(kind[i % 3]) +
                       R"(":[)" + list + "]}}");
  }
  // Nested: inner nodes within inner nodes.
  auto leaf = [&] { return leaves[rng() % 24]; };
  for (int i = 0; i < 3; i++)
    requests.push_back(R"({"limit":0,"fields":["id"],"filter":{"or":[{"and":[)" + leaf() + "," +
                       leaf() + R"(]},{"not":)" + leaf() + R"(},{"and":[)" + leaf() +
                       R"(,{"or":[)" + leaf() + "," + leaf() + "]}]}]}}");
  // Every range of the column in one request, in pairs.
  std::string pairs;
  for (size_t k = 0; k + 1 < ranges; k += 2)
    pairs += std::string(k ? "," : "") + R"({"and":[)" + leaves[leaves.size() - ranges + k] + "," +
             leaves[leaves.size() - ranges + (k + 3) % ranges] + "]}";
  requests.push_back(R"({"limit":0,"fields":["id"],"filter":{"or":[)" + pairs + "]}}");
  std::string batch = "[";
  for (int id = 0; id < 300; id++) batch += (id ? "," : "") + RandomDoc(rng, id);
  for (const char *index : {"kept", "fresh"}) {
    ASSERT_EQ(searchdb_index_create(index, nullptr), 0);
    ASSERT_EQ(searchdb_documents_add(index, (batch + "]").c_str()), 300) << LastError();
  }
  for (int step = 0; step < 40; step++) {
    if (step % 4 == 3) {
      const std::string doc = RandomDoc(rng, static_cast<int>(rng() % 320));
      for (const char *index : {"kept", "fresh"})
        ASSERT_EQ(searchdb_documents_add(index, doc.c_str()), 1) << LastError();
    }
    for (const std::string &r : requests) {
      sdb_columns_drop(sdb_index_find("fresh"));
      ASSERT_EQ(Ask("kept", r), Ask("fresh", r)) << "step " << step << ": " << r;
    }
  }
}

TEST_F(RequestTest, AChangeThatWasNotSavedLeavesTheColumnsAsTheyWere) {
  Make("v", kValues);
  const std::string ones = Filter("n", "eq", "1");
  EXPECT_EQ(Ids("v", ones), (Strings{"d1", "d2"}));
  // A directory where the documents' temporary file goes fails every save.
  std::filesystem::create_directories(Path("v/docs.json.tmp"));
  EXPECT_EQ(searchdb_documents_add("v", R"({"id":"d6","n":1})"), -1);
  EXPECT_EQ(searchdb_document_delete("v", "d1"), -1);
  EXPECT_EQ(searchdb_documents_add("v", R"({"id":"d2","n":2})"), -1);
  EXPECT_EQ(Ids("v", ones), (Strings{"d1", "d2"}));
  std::filesystem::remove(Path("v/docs.json.tmp"));
  EXPECT_EQ(searchdb_documents_add("v", R"({"id":"d6","n":1})"), 1) << LastError();
  EXPECT_EQ(Ids("v", ones), (Strings{"d1", "d2", "d6"}));
}

TEST_F(RequestTest, AnIndexKeepsTheColumnsItUsedLast) {
  Make("v", kValues);
  auto exists = [](const std::string &prefix, int from, int to) {
    std::string list;
    for (int i = from; i < to; i++)
      list += R"(,{"field":")" + prefix + std::to_string(i) + R"(","op":"exists"})";
    return list;
  };
  auto kept_paths = [] {
    std::set<std::string> paths;
    const sdb_columns *kept = sdb_index_find("v")->columns;
    for (uint32_t i = 0; kept && i < kept->count; i++) paths.insert(kept->items[i]->path);
    return paths;
  };
  // One column per request, a0 the least recently used.
  for (int i = 0; i < SDB_COLUMNS_KEPT; i++)
    ASSERT_EQ(
        Part("v", R"({"filter":{"or":[)" + exists("a", i, i + 1).substr(1) + "]}}", "totalHits"),
        "0");
  EXPECT_EQ(Part("v", R"({"filter":{"field":"s","op":"eq","value":"apple"}})", "totalHits"), "2");
  std::set<std::string> paths = kept_paths();
  EXPECT_EQ(paths.size(), static_cast<size_t>(SDB_COLUMNS_KEPT));
  EXPECT_EQ(paths.count("a0"), 0u);
  EXPECT_EQ(paths.count("a1"), 1u);
  EXPECT_EQ(paths.count("s"), 1u);
  // A request that needs nearly as many as an index keeps: every column it
  // does not use goes, and none it uses.
  const std::string wide = R"({"filter":{"or":[{"field":"s","op":"eq","value":"apple"})" +
                           exists("a", 1, 5) + exists("p", 0, SDB_COLUMNS_KEPT - 5) + "]}}";
  EXPECT_EQ(Part("v", wide, "totalHits"), "2");
  paths = kept_paths();
  EXPECT_EQ(paths.size(), static_cast<size_t>(SDB_COLUMNS_KEPT));
  for (const char *path : {"s", "a1", "a4", "p0"}) EXPECT_EQ(paths.count(path), 1u) << path;
  EXPECT_EQ(paths.count("a5"), 0u);
  EXPECT_EQ(Ids("v", R"({"fields":["id"],"filter":{"field":"s","op":"eq","value":"apple"}})"),
            (Strings{"d1", "d3"}));
}

// ---- Plain requests answer as searchdb_search ----

TEST_F(RequestTest, PlainRequestsAnswerAsSearchByteForByte) {
  static const char *const kWords[] = {
      "search", "engine", "index",  "text", "query",  "typo", "serch",   "indexes",   "Tokens",
      "ranked", "rank",   "e-mail", "ÀÉÎ",  "привет", "3.14", "foo_bar", "searching", "in"};
  std::mt19937 rng(11);
  ASSERT_EQ(searchdb_index_create("t", nullptr), 0);
  auto text = [&](unsigned n) {
    std::string s;
    for (unsigned i = 0; i < n; i++) s += std::string(i ? " " : "") + kWords[rng() % 18];
    return s;
  };
  auto doc = [&](unsigned id) {
    return R"({"id":")" + std::to_string(id) + R"(","title":)" + Quoted(text(1 + rng() % 3)) +
           R"(,"body":)" + Quoted(text(rng() % 12)) + R"(,"tags":[)" + Quoted(text(1)) + ",7]}";
  };
  int compared = 0;
  for (int round = 0; round < 30; round++) {
    std::string batch = "[";
    for (unsigned i = 0, n = 1 + rng() % (round == 0 ? 80 : 6); i < n; i++)
      batch += (i ? "," : "") + doc(rng() % 120);
    ASSERT_GT(searchdb_documents_add("t", (batch + "]").c_str()), 0) << LastError();
    if (round % 4 == 3) searchdb_document_delete("t", std::to_string(rng() % 120).c_str());
    for (int q = 0; q < 40; q++) {
      std::string query = text(rng() % 4);
      if (rng() % 4 == 0 && !query.empty()) {  // a prefix, cut between characters
        query.resize(1 + rng() % query.size());
        while (!query.empty() && static_cast<unsigned char>(query.back()) >= 0x80) query.pop_back();
      }
      if (rng() % 8 == 0) query += " -- !?";
      if (rng() % 10 == 0) query = text(3) + " " + query;
      const int limit = static_cast<int>(rng() % 8) - 2, offset = static_cast<int>(rng() % 6) - 1;
      std::string request;
      switch (rng() % 4) {
        case 0:
          request = "{\"q\":" + Quoted(query) + "}";
          break;
        case 1:
          request = "{\"offset\":" + std::to_string(offset) + ",\"q\":" + Quoted(query) +
                    ",\"limit\":" + std::to_string(limit) + "}";
          break;
        case 2:
          request = "{\"q\":" + Quoted(query) + ",\"limit\":" + std::to_string(limit) + "}";
          break;
        default:
          request = "{\"q\":" + Quoted(query) + ",\"offset\":" + std::to_string(offset) + "}";
      }
      const bool has_limit = request.find("\"limit\"") != std::string::npos;
      const bool has_offset = request.find("\"offset\"") != std::string::npos;
      const std::string expected = Untimed(
          searchdb_search("t", query.c_str(), has_limit ? limit : 20, has_offset ? offset : 0));
      ASSERT_EQ(Ask("t", request), expected) << request;
      compared++;
    }
  }
  EXPECT_EQ(compared, 1200);
}

}  // namespace
