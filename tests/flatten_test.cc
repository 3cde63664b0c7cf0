#include "index/flatten.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "index/tokenizer.h"

namespace {

// ---- Field tokens of one document ----

using Tagged = std::vector<std::pair<std::string, int>>;

// The field tokens of the JSON text json, with their tags.
Tagged Collect(const std::string &json) {
  yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
  EXPECT_NE(doc, nullptr) << json;
  if (doc == nullptr) return {};
  sdb_field_tokens list{};
  sdb_collect_doc_tokens(yyjson_doc_get_root(doc), &list);
  yyjson_doc_free(doc);
  Tagged out;
  for (uint64_t i = 0; i < list.count; i++) {
    out.emplace_back(std::string(list.bytes + list.items[i].off, list.items[i].len),
                     list.items[i].tag);
  }
  sdb_field_tokens_free(&list);
  return out;
}

// The tokens alone.
std::vector<std::string> Words(const std::string &json) {
  std::vector<std::string> out;
  for (auto &[word, tag] : Collect(json)) out.push_back(word);
  return out;
}

using W = std::vector<std::string>;

TEST(FieldTokens, NumbersArePrintedWithTenDigits) {
  EXPECT_EQ(Words(R"({"a":3.5,"b":-5,"c":12345678901})"),
            (W{"3", "5", "5", "1", "23456789e", "10"}));
  EXPECT_EQ(Words(R"({"u":18446744073709551615,"i":-9223372036854775808})"),
            (W{"1", "844674407e", "19", "9", "223372037e", "18"}));
}

TEST(FieldTokens, BooleansAreWordsAndNullOrObjectsGiveNothing) {
  EXPECT_EQ(Words(R"({"a":true,"b":false,"c":null,"d":{"x":"hidden"},"e":"Seen"})"),
            (W{"true", "false", "seen"}));
}

TEST(FieldTokens, StringsStopAtTheirFirstNul) {
  EXPECT_EQ(Words(R"({"a":"ab\u0000cd","b":["x\u0000y","z"]})"), (W{"ab", "x", "z"}));
}

TEST(FieldTokens, ArraysJoinStringsAndNumbersOnly) {
  EXPECT_EQ(Words(R"({"tags":["Red","green",3,true,null,["x"],{"y":"z"},2.5]})"),
            (W{"red", "green", "3", "2", "5"}));
}

TEST(FieldTokens, JoinedArraysAreCutAt2047Bytes) {
  // 2045 bytes, a space and one byte of the next element fill the text;
  // the element after that is lost.
  std::string first(2045, 'a');
  auto words = Words(R"({"t":[")" + first + R"(","bcd","zzz"]})");
  EXPECT_EQ(words, (W{first, "b"}));
  // A single string member is never cut.
  std::string whole(3000, 'c');
  EXPECT_EQ(Words(R"({"s":")" + whole + R"( tail"})"), (W{whole, "tail"}));
}

TEST(FieldTokens, TagsAreMemberPositionsAndTheTitleIsMinusOne) {
  EXPECT_EQ(Collect(R"({"id":"7","title":"Hello World","body":"hello"})"),
            (Tagged{{"7", 0}, {"hello", -1}, {"world", -1}, {"hello", 2}}));
}

TEST(FieldTokens, FirstOfNameOrTitleIsTheTitle) {
  EXPECT_EQ(Collect(R"({"Title":"a","name":"b","title":"c"})"),
            (Tagged{{"a", 0}, {"b", -1}, {"c", 2}}));
  EXPECT_EQ(Collect(R"({"title":"a","title":"b"})"), (Tagged{{"a", -1}, {"b", 1}}));
}

TEST(FieldTokens, ATitleWithoutTextMarksNothing) {
  EXPECT_EQ(Collect(R"({"title":{"x":"y"},"name":"text"})"), (Tagged{{"text", 1}}));
  EXPECT_EQ(Collect(R"({"name":null,"title":"text"})"), (Tagged{{"text", 1}}));
}

TEST(FieldTokens, RootArrayElementsAreTaggedZero) {
  EXPECT_EQ(Collect(R"(["a b",5,{"x":"y"},["c",["d"]],null])"),
            (Tagged{{"a", 0}, {"b", 0}, {"5", 0}, {"c", 0}}));
}

TEST(FieldTokens, OtherRootsGiveNothing) {
  for (const char *json : {"{}", "[]", "\"text\"", "12", "true", "null"}) {
    EXPECT_TRUE(Collect(json).empty()) << json;
  }
}

TEST(FieldTokens, StringMembersTokenizeLikeTheTokenizer) {
  // Pieces that are valid inside a JSON string as written; "\\n" is the one
  // escape, decoded to a newline.
  const char *pieces[] = {"A", "z", "_", "9", " ", "-", "\\n", "À", "Ж", "Ё", "×", "€", "😀", "."};
  const char *decoded[] = {"A", "z", "_", "9", " ", "-", "\n", "À", "Ж", "Ё", "×", "€", "😀", "."};
  srand(7);
  for (int round = 0; round < 200; round++) {
    std::string json = R"({"s":")", text;
    int n = rand() % 60;
    for (int i = 0; i < n; i++) {
      int k = rand() % 14;
      json += pieces[k];
      text += decoded[k];
    }
    json += R"("})";
    char **tokens = nullptr;
    uint64_t *lens = nullptr;
    uint64_t count = sdb_tokenize(text.c_str(), &tokens, &lens);
    W expected;
    for (uint64_t i = 0; i < count; i++) expected.emplace_back(tokens[i], lens[i]);
    sdb_tokens_free(tokens, lens, count);
    EXPECT_EQ(Words(json), expected) << json;
  }
}

}  // namespace
