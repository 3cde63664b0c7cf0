#include "search/match.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "index/walk_order.h"
#include "memory_index.h"

namespace {

// An index whose only terms are the given words: each word is one document
// whose root is an array, so no member key or id adds a term.
class MatchTest : public ::testing::Test {
 protected:
  void Vocabulary(std::initializer_list<std::string> words) {
    std::vector<std::string> v(words);
    VocabularyOf(v);
  }
  void VocabularyOf(const std::vector<std::string> &words) {
    for (size_t i = 0; i < words.size(); i++) ix_.Put(std::to_string(i), "[\"" + words[i] + "\"]");
    ASSERT_TRUE(ix_.Load());
  }

  // The ids of the terms the token matches, in the order they are handed out.
  std::vector<uint32_t> MatchIds(const std::string &token) {
    sdb_match m;
    EXPECT_TRUE(sdb_match_start(&m, &ix_->terms, token.data(), token.size()));
    std::vector<uint32_t> out;
    for (uint32_t id = sdb_match_next(&m); id != SDB_NO_TERM; id = sdb_match_next(&m))
      out.push_back(id);
    sdb_match_end(&m);
    return out;
  }
  // The edits the matcher hands out with each term, in order.
  std::vector<uint32_t> MatchEdits(const std::string &token) {
    sdb_match m;
    EXPECT_TRUE(sdb_match_start(&m, &ix_->terms, token.data(), token.size()));
    std::vector<uint32_t> out;
    for (uint32_t id = sdb_match_next(&m); id != SDB_NO_TERM; id = sdb_match_next(&m))
      out.push_back(m.edits);
    sdb_match_end(&m);
    return out;
  }
  std::vector<std::string> Matches(const std::string &token) {
    std::vector<std::string> out;
    for (uint32_t id : MatchIds(token))
      out.emplace_back(ix_->terms.terms[id].text, ix_->terms.terms[id].len);
    return out;
  }
  // What the plain scan of the table walk hands out: every term the scan
  // accepts, in the walk's order.
  std::vector<uint32_t> ScanMatches(const std::string &token) {
    const sdb_terms *d = &ix_->terms;
    const std::string q = token.substr(0, SDB_TERM_MAX);
    const bool is_term = ix_.Find(q) != nullptr;
    std::vector<std::pair<uint64_t, uint32_t>> walk;
    for (uint32_t id = 0; id < d->ids; id++)
      if (d->terms[id].text) walk.emplace_back(sdb_scan_key(d, &d->terms[id]), id);
    std::sort(walk.begin(), walk.end());
    std::vector<uint32_t> out;
    sdb_edit_rows rows;
    for (auto [key, id] : walk)
      if (sdb_token_matches(q.data(), q.size(), is_term, d->terms[id].text, d->terms[id].len,
                            &rows))
        out.push_back(id);
    return out;
  }
  std::vector<std::string> SortedMatches(const std::string &token) {
    std::vector<std::string> v = Matches(token);
    std::sort(v.begin(), v.end());
    return v;
  }

  MemoryIndex ix_;
};

using Words = std::vector<std::string>;

TEST_F(MatchTest, TokenThatIsATermMatchesOnlyThatTerm) {
  Vocabulary({"run", "running", "runs"});
  EXPECT_EQ(Matches("run"), Words{"run"});
}

TEST_F(MatchTest, ShortTokensMatchLongerTermsByPrefixOnly) {
  Vocabulary({"run", "running", "rub", "r", "xu"});
  EXPECT_EQ(Matches("q"), Words{});
  EXPECT_EQ(Matches("u"), Words{});  // one byte: no prefix either
  EXPECT_EQ(SortedMatches("ru"), (Words{"rub", "run", "running"}));
  // Budget 0: "rum" is one substitution from "run" and "rub" but matches
  // neither; only the longer term beginning with it would do.
  EXPECT_EQ(Matches("rum"), Words{});
  // Four bytes have a budget of 1, which reaches back to "run".
  EXPECT_EQ(SortedMatches("runn"), (Words{"run", "running"}));
}

TEST_F(MatchTest, FourToSevenBytesTolerateOneEdit) {
  Vocabulary({"search", "sea", "seat", "kitchen"});
  EXPECT_EQ(Matches("serch"), Words{"search"});  // one insertion
  // Seven bytes are the last with one edit only.
  EXPECT_EQ(Matches("kitchex"), Words{"kitchen"});
  EXPECT_EQ(Matches("kitchxx"), Words{});
  EXPECT_EQ(Matches("seerch"), Words{"search"});  // one substitution
  EXPECT_EQ(Matches("serach"), Words{});          // a swap of neighbours is two edits
  EXPECT_EQ(Matches("sxarxh"), Words{});
  EXPECT_EQ(SortedMatches("seax"), (Words{"sea", "seat"}));  // deletion, substitution
}

TEST_F(MatchTest, EightBytesAndMoreTolerateTwoEdits) {
  Vocabulary({"database", "databases"});
  // Two substitutions from "database"; three edits from "databases".
  EXPECT_EQ(Matches("databsae"), Words{"database"});
  EXPECT_EQ(Matches("xatabasx"), Words{"database"});
  EXPECT_EQ(Matches("dtaabsae"), Words{});  // four edits
  EXPECT_EQ(SortedMatches("databas"), (Words{"database", "databases"}));
}

TEST_F(MatchTest, LengthWindowDecidesBeforeDistance) {
  Vocabulary({"search", "algorithms"});
  // 9 bytes against 6: beyond the budget of 2, although "search" is a
  // prefix of the token.
  EXPECT_EQ(Matches("searching"), Words{});
  EXPECT_EQ(Matches("searchin"), Words{"search"});  // 8 against 6: within
  // Far shorter than the term: still a prefix match.
  EXPECT_EQ(Matches("algor"), Words{"algorithms"});
  EXPECT_EQ(Matches("algxr"), Words{});
}

TEST_F(MatchTest, TermReachedByPrefixAndDistanceIsHandedOutOnce) {
  Words words = {"serv", "servers"};
  for (char c = 'a'; c <= 'z'; c++) words.push_back(std::string("serve") + c);
  VocabularyOf(words);
  // "serve" begins "server" and is one edit from it, as from "serv"; so
  // with every "serve?". Each is handed out once, as a longer term.
  Words expected = words;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(SortedMatches("serve"), expected);
  const std::vector<std::string> matches = Matches("serve");
  const std::vector<uint32_t> edits = MatchEdits("serve");
  for (size_t i = 0; i < matches.size(); i++)
    EXPECT_EQ(edits[i], matches[i] == "serv" ? 1u : 0u) << matches[i];
}

TEST_F(MatchTest, MultiByteLettersCountPerByte) {
  Vocabulary({"caf\xc3\xa9", "na\xc3\xafve"});
  EXPECT_EQ(Matches("kaf\xc3\xa9"), Words{"caf\xc3\xa9"});   // one byte substituted
  EXPECT_EQ(Matches("cafe"), Words{});                       // one letter, but two bytes away
  EXPECT_EQ(Matches("naive"), Words{});                      // likewise
  EXPECT_EQ(Matches("na\xc3\xafv"), Words{"na\xc3\xafve"});  // prefix
  EXPECT_EQ(Matches("caf\xc3"), Words{"caf\xc3\xa9"});       // a prefix may end inside a letter
}

TEST_F(MatchTest, OverlongTokenFindsTheTermItsIndexedFormBecame) {
  const std::string long_word(300, 'a');
  const std::string cut(SDB_TERM_MAX, 'a');
  VocabularyOf({long_word, std::string(SDB_TERM_MAX - 1, 'a')});
  EXPECT_EQ(Matches(long_word), Words{cut});
  EXPECT_EQ(Matches(cut), Words{cut});
  EXPECT_EQ(Matches(std::string(SDB_TERM_MAX + 1, 'a')), Words{cut});
}

// Words over a small alphabet (so that near spellings abound), with some
// two-byte letters and a few words past the longest term text.
std::string RandomWord(std::mt19937 &rng) {
  static const char *const kLetters[] = {"a", "b", "c", "d", "e", "\xc3\xa9", "_", "7"};
  std::string w;
  const int n = rng() % 50 == 0 ? 250 + (int)(rng() % 20) : 1 + (int)(rng() % 11);
  while ((int)w.size() < n) w += kLetters[rng() % 8];
  return w;
}

// A query token near w: w itself, a beginning of it, or w with up to three
// random byte edits.
std::string Near(std::mt19937 &rng, std::string w) {
  switch (rng() % 3) {
    case 0:
      return w;
    case 1:
      return w.substr(0, 1 + rng() % w.size());
    default:
      for (int e = (int)(rng() % 4); e > 0; e--) {
        const size_t at = rng() % (w.size() + 1);
        const char c = "abcdx\xc3"[rng() % 6];
        if (rng() % 3 == 0 || at == w.size()) {
          w.insert(at, 1, c);
        } else if (rng() % 2 && w.size() > 1) {
          w.erase(at, 1);
        } else {
          w[at] = c;
        }
      }
      return w;
  }
}

// The byte order must hand out exactly what the scan does, in the scan's
// order, since scores are summed in that order: over a dictionary built
// whole, and over one changed document by document and batch by batch
// (new terms entered into the order, removed ones taken out).
// Plain edit distance over bytes, the whole table, no shortcuts.
int Levenshtein(const std::string &a, const std::string &b) {
  std::vector<int> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) prev[j] = (int)j;
  for (size_t i = 1; i <= a.size(); i++) {
    cur[0] = (int)i;
    for (size_t j = 1; j <= b.size(); j++)
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1])});
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

// Also the edits handed out with each term: none for a longer term that
// begins with the token (many terms are reached both ways), else the
// distance.
TEST_F(MatchTest, TermOrderFindsWhatTheScanFindsInTheSameOrder) {
  std::mt19937 rng(11);
  std::vector<std::string> words;
  for (int i = 0; i < 3000; i++) words.push_back(RandomWord(rng));
  auto random_doc = [&] {
    std::string raw = "[\"";
    for (int k = 0; k < 4; k++) raw += (k ? " " : "") + words[rng() % words.size()];
    return raw + "\"]";
  };
  size_t compared = 0, matched = 0;
  for (int round = 0; round < 4; round++) {
    if (round == 0) {
      for (int d = 0; d < 600; d++) ix_.Put(std::to_string(d), random_doc());
      ASSERT_TRUE(ix_.Load());
    } else {
      // Small changes, then one large enough to be built whole.
      const int changes = round == 3 ? 900 : 40;
      for (int c = 0; c < changes; c++) {
        const uint32_t slot = rng() % (ix_->doc_count + 20);
        if (slot < ix_->doc_count && rng() % 3 == 0) {
          ix_.Kill(slot);
        } else {
          ix_.Put(std::to_string(slot), random_doc());
        }
        if (round < 3) {
          ASSERT_TRUE(ix_.Apply());
        }
      }
      if (round == 3) {
        ASSERT_TRUE(ix_.Apply());
      }
    }
    for (int i = 0; i < 1500; i++) {
      const std::string q = Near(rng, words[rng() % words.size()]);
      const std::vector<uint32_t> expected = ScanMatches(q);
      ASSERT_EQ(MatchIds(q), expected) << q;
      const std::string cut = q.substr(0, SDB_TERM_MAX);
      std::vector<uint32_t> edits;
      for (uint32_t id : expected) {
        const std::string t(ix_->terms.terms[id].text, ix_->terms.terms[id].len);
        edits.push_back(t.compare(0, cut.size(), cut) == 0 ? 0 : Levenshtein(cut, t));
      }
      ASSERT_EQ(MatchEdits(q), edits) << q;
      compared++;
      matched += expected.size();
    }
  }
  EXPECT_EQ(compared, 6000u);
  EXPECT_GT(matched, 6000u);  // the queries reach many terms, not none
}

TEST(EditWithin, AgreesWithTheFullTableOnRandomStrings) {
  std::mt19937 rng(42);
  sdb_edit_rows rows;
  auto random_word = [&](int max_len) {
    std::string s(rng() % (max_len + 1), ' ');
    for (char &c : s) c = (char)('a' + rng() % 3);
    return s;
  };
  for (int i = 0; i < 20000; i++) {
    const std::string a = random_word(12), b = random_word(12);
    const int budget = (int)(rng() % 4);
    const int d = Levenshtein(a, b);
    ASSERT_EQ(sdb_edit_within(a.data(), a.size(), b.data(), b.size(), budget, &rows), d <= budget)
        << a << " / " << b << " budget " << budget << " distance " << d;
  }
}

TEST(EditWithin, HandlesTheWidestTerms) {
  sdb_edit_rows rows;
  std::string a(SDB_TERM_MAX, 'x'), b(SDB_TERM_MAX, 'x');
  b[0] = 'y';
  b[SDB_TERM_MAX - 1] = 'y';
  EXPECT_TRUE(sdb_edit_within(a.data(), a.size(), b.data(), b.size(), 2, &rows));
  EXPECT_FALSE(sdb_edit_within(a.data(), a.size(), b.data(), b.size(), 1, &rows));
  EXPECT_TRUE(sdb_edit_within(a.data(), a.size() - 2, b.data(), b.size() - 1, 2, &rows));
  EXPECT_TRUE(sdb_edit_within("", 0, "ab", 2, 2, &rows));
  EXPECT_FALSE(sdb_edit_within("", 0, "abc", 3, 2, &rows));
}

}  // namespace
