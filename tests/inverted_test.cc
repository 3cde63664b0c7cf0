#include "index/inverted.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "index/index.h"
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

// ---- Rebuild ----

class Rebuild : public ::testing::Test {
 protected:
  void SetUp() override {
    ix_ = sdb_index_new("t", nullptr);
    ASSERT_NE(ix_, nullptr);
  }
  void TearDown() override { sdb_index_free(ix_); }

  uint32_t Add(const std::string &id, const std::string &json) {
    return sdb_index_add_raw_doc(ix_, id.c_str(), json.c_str(), json.size());
  }
  // Makes a slot dead the way deletion does.
  void Kill(uint32_t slot) {
    sdb_doc *d = &ix_->docs[slot];
    free(d->id);
    free(d->raw);
    *d = sdb_doc{};
  }
  const sdb_term *Find(const std::string &word) const {
    return sdb_term_find(ix_->bucket_count, ix_->buckets, word.data(), word.size(),
                         sdb_hash(word.data(), word.size()));
  }
  // Every entry, checking that each sits in the chain of its own bucket.
  std::vector<const sdb_term *> Entries() const {
    std::vector<const sdb_term *> out;
    for (uint32_t b = 0; b < ix_->bucket_count; b++) {
      for (const sdb_term *t = ix_->buckets[b]; t; t = t->next) {
        EXPECT_EQ(t->hash % ix_->bucket_count, b);
        out.push_back(t);
      }
    }
    return out;
  }

  sdb_index *ix_ = nullptr;
};

TEST_F(Rebuild, CountsOccurrencesAndMarksTitlePostings) {
  Add("1", R"({"title":"Hello World","body":"hello"})");
  sdb_index_rebuild(ix_);
  EXPECT_EQ(ix_->term_count, 2u);
  const sdb_term *hello = Find("hello");
  ASSERT_NE(hello, nullptr);
  ASSERT_EQ(hello->posting_count, 1u);
  EXPECT_EQ(hello->doc_freq, 1u);
  EXPECT_EQ(hello->posting_cap, 8u);
  EXPECT_EQ(hello->postings[0].doc, 0u);
  EXPECT_EQ(hello->postings[0].tf, 2u);
  EXPECT_EQ(hello->postings[0].flags, unsigned{SDB_POSTING_TITLE});
  const sdb_term *world = Find("world");
  ASSERT_NE(world, nullptr);
  EXPECT_EQ(world->postings[0].tf, 1u);
  EXPECT_EQ(world->postings[0].flags, unsigned{SDB_POSTING_TITLE});
  EXPECT_EQ(ix_->docs[0].token_count, 3u);
  EXPECT_EQ(ix_->total_tokens, 3u);
}

TEST_F(Rebuild, ALaterTitleOccurrenceMarksTheExistingPosting) {
  Add("1", R"({"body":"x y","name":"x"})");
  sdb_index_rebuild(ix_);
  EXPECT_EQ(Find("x")->postings[0].flags, unsigned{SDB_POSTING_TITLE});
  EXPECT_EQ(Find("x")->postings[0].tf, 2u);
  EXPECT_EQ(Find("y")->postings[0].flags, 0u);
}

TEST_F(Rebuild, PostingsAscendBySlotOnePerDocument) {
  for (int i = 0; i < 9; i++) {
    Add(std::to_string(i), R"({"t":")" + std::string(i % 3 + 1, 'z') + R"( common common"})");
  }
  sdb_index_rebuild(ix_);
  const sdb_term *common = Find("common");
  ASSERT_NE(common, nullptr);
  ASSERT_EQ(common->posting_count, 9u);
  EXPECT_EQ(common->doc_freq, 9u);
  EXPECT_EQ(common->posting_cap, 16u);
  for (uint32_t i = 0; i < 9; i++) {
    EXPECT_EQ(common->postings[i].doc, i);
    EXPECT_EQ(common->postings[i].tf, 2u);
  }
  const sdb_term *zz = Find("zz");
  ASSERT_NE(zz, nullptr);
  ASSERT_EQ(zz->posting_count, 3u);
  EXPECT_EQ(zz->postings[0].doc, 1u);
  EXPECT_EQ(zz->postings[1].doc, 4u);
  EXPECT_EQ(zz->postings[2].doc, 7u);
  EXPECT_EQ(ix_->term_count, 4u);  // z, zz, zzz, common
  EXPECT_EQ(ix_->total_tokens, 9u * 3u);
}

TEST_F(Rebuild, DeadAndUnparsableSlotsGiveNoTokens) {
  Add("a", R"({"w":"alpha shared"})");
  Add("b", R"({"w":"beta shared"})");
  Add("c", R"({"w":"gamma shared")");  // not valid JSON
  Add("d", R"({"w":"delta shared"})");
  sdb_index_rebuild(ix_);
  EXPECT_EQ(ix_->docs[1].token_count, 2u);
  Kill(1);
  sdb_index_rebuild(ix_);
  EXPECT_EQ(Find("beta"), nullptr);
  EXPECT_EQ(Find("gamma"), nullptr);
  EXPECT_EQ(ix_->docs[1].token_count, 0u);
  EXPECT_EQ(ix_->docs[2].token_count, 0u);
  const sdb_term *shared = Find("shared");
  ASSERT_NE(shared, nullptr);
  ASSERT_EQ(shared->posting_count, 2u);
  EXPECT_EQ(shared->postings[0].doc, 0u);
  EXPECT_EQ(shared->postings[1].doc, 3u);
  EXPECT_EQ(ix_->total_tokens, 4u);
  EXPECT_EQ(ix_->term_count, 3u);
}

TEST_F(Rebuild, RebuildingReplacesRatherThanAdds) {
  Add("1", R"({"w":"same same"})");
  sdb_index_rebuild(ix_);
  sdb_index_rebuild(ix_);
  EXPECT_EQ(ix_->term_count, 1u);
  EXPECT_EQ(Find("same")->postings[0].tf, 2u);
  EXPECT_EQ(ix_->total_tokens, 2u);
  Add("1", R"({"w":"other"})");
  sdb_index_rebuild(ix_);
  EXPECT_EQ(Find("same"), nullptr);
  EXPECT_NE(Find("other"), nullptr);
  EXPECT_EQ(Entries().size(), 1u);
}

// n distinct words, each followed by a space.
std::string Distinct(int from, int n) {
  std::string text;
  for (int i = from; i < from + n; i++) text += "t" + std::to_string(i) + " ";
  return text;
}

std::string Doc(const std::string &text) {
  return R"({"w":")" + text + R"("})";
}

TEST_F(Rebuild, TableDoublesAtThe769thTermAndNeverShrinks) {
  Add("x", Doc(Distinct(0, 768)));
  sdb_index_rebuild(ix_);
  EXPECT_EQ(ix_->term_count, 768u);
  EXPECT_EQ(ix_->bucket_count, 1024u);
  Add("y", Doc(Distinct(768, 1)));
  sdb_index_rebuild(ix_);
  EXPECT_EQ(ix_->term_count, 769u);
  EXPECT_EQ(ix_->bucket_count, 2048u);
  Add("z", Doc(Distinct(769, 2000)));
  sdb_index_rebuild(ix_);
  EXPECT_EQ(ix_->term_count, 2769u);
  EXPECT_EQ(ix_->bucket_count, 4096u);
  EXPECT_EQ(Entries().size(), ix_->term_count);
  for (int i = 0; i < 2769; i++) EXPECT_NE(Find("t" + std::to_string(i)), nullptr) << i;
  for (uint32_t s = 0; s < 3; s++) Kill(s);
  sdb_index_rebuild(ix_);
  EXPECT_EQ(ix_->term_count, 0u);
  EXPECT_EQ(ix_->total_tokens, 0u);
  EXPECT_EQ(ix_->bucket_count, 4096u);
  EXPECT_TRUE(Entries().empty());
}

// Two distinct words whose hashes share their low `bits` bits.
std::pair<std::string, std::string> Colliding(int bits) {
  uint64_t mask = (uint64_t{1} << bits) - 1;
  std::vector<std::string> seen;
  for (int i = 0;; i++) {
    std::string w = "c" + std::to_string(i);
    uint64_t h = sdb_hash(w.data(), w.size());
    for (const auto &s : seen) {
      if (((sdb_hash(s.data(), s.size()) ^ h) & mask) == 0) return {s, w};
    }
    seen.push_back(w);
  }
}

TEST_F(Rebuild, NewEntriesGoAtTheHeadOfTheirChain) {
  auto [a, b] = Colliding(10);
  Add("1", Doc(a + " " + b + " " + a));
  sdb_index_rebuild(ix_);
  const sdb_term *head = ix_->buckets[sdb_hash(a.data(), a.size()) % 1024];
  ASSERT_NE(head, nullptr);
  ASSERT_NE(head->next, nullptr);
  EXPECT_EQ(std::string(head->text), b);
  EXPECT_EQ(std::string(head->next->text), a);
}

TEST_F(Rebuild, DoublingRelinksEachChainFromItsHead) {
  auto [a, b] = Colliding(11);
  // a then b fill one bucket (b at its head); 766 more terms, then the
  // 769th term doubles the table, which reverses the pair.
  Add("1", Doc(a + " " + b + " " + Distinct(0, 767)));
  sdb_index_rebuild(ix_);
  ASSERT_EQ(ix_->term_count, 769u);
  ASSERT_EQ(ix_->bucket_count, 2048u);
  const sdb_term *head = ix_->buckets[sdb_hash(a.data(), a.size()) % 2048];
  ASSERT_NE(head, nullptr);
  ASSERT_NE(head->next, nullptr);
  EXPECT_EQ(std::string(head->text), a);
  EXPECT_EQ(std::string(head->next->text), b);
}

TEST_F(Rebuild, LongTokensAreCutTo255BytesAndFoundByTheirCut) {
  std::string base(300, 'k');
  std::string other = std::string(255, 'k') + "different";
  Add("1", R"({"w":")" + base + " " + base + R"("})");
  Add("2", R"({"w":")" + other + R"("})");
  sdb_index_rebuild(ix_);
  const sdb_term *t = Find(std::string(255, 'k'));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->len, 255u);
  EXPECT_EQ(std::string(t->text), std::string(255, 'k'));
  ASSERT_EQ(t->posting_count, 2u);
  EXPECT_EQ(t->postings[0].tf, 2u);
  EXPECT_EQ(t->postings[1].tf, 1u);
  EXPECT_EQ(ix_->term_count, 1u);
  EXPECT_EQ(ix_->docs[0].token_count, 2u);
}

TEST_F(Rebuild, LongTokensAreFoldedBeforeTheyAreCut) {
  // U+0420 folds to U+0440, which changes its first byte (D0 A0 to D1 80);
  // that byte is the 255th of the token.
  Add("1", R"({"w":")" + std::string(254, 'a') + "Р" + R"("})");
  sdb_index_rebuild(ix_);
  std::string cut = std::string(254, 'a') + "\xd1";
  const sdb_term *t = Find(cut);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->len, 255u);
}

}  // namespace
