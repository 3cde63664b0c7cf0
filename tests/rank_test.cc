#include "search/rank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "memory_index.h"
#include "index/bm25.h"

namespace {

class RankTest : public ::testing::Test {
 protected:
  void TearDown() override { sdb_scoring_end(&sc_); }

  // Adds documents (stored texts) in slot order.
  void Docs(const std::vector<std::string> &raws) {
    for (const std::string &raw : raws) index_.Put(std::to_string(next_id_++), raw);
    ASSERT_TRUE(index_.Apply());
  }

  uint32_t Term(const std::string &text) {
    const uint32_t id = sdb_terms_find(&ix_->terms, text.data(), (uint32_t)text.size());
    EXPECT_NE(id, SDB_NO_TERM) << text;
    return id;
  }

  // Scores the given terms, in order, from a fresh start.
  void Score(const std::vector<std::string> &terms) {
    sdb_scoring_end(&sc_);
    ASSERT_TRUE(sdb_scoring_begin(&sc_, ix_));
    for (const std::string &t : terms) sdb_score_term(&sc_, Term(t));
  }

  MemoryIndex index_;
  sdb_index *ix_ = index_.get();
  sdb_scoring sc_ = {};
  int next_id_ = 0;
};

TEST_F(RankTest, ScoresMatchHandComputedFigures) {
  // N 3, 6 tokens, avgdl 2. "apple": df 2, idf ln(1.5 / 2.5 + 1) = ln 1.6.
  //  slot 0: tf 2, dl 3: 4.4 / ((1.5 * 0.75 + 0.25) * 1.2 + 2) * ln 1.6
  //  slot 1: tf 1, dl 2: 2.2 / ((1 * 0.75 + 0.25) * 1.2 + 1) * ln 1.6 = ln 1.6
  Docs({R"(["apple apple banana"])", R"(["apple cherry"])", R"(["pear"])"});
  Score({"apple"});
  EXPECT_DOUBLE_EQ(sc_.avgdl, 2.0);
  EXPECT_DOUBLE_EQ(sdb_score_of(&sc_, 0), 0.5665797174469143);
  EXPECT_DOUBLE_EQ(sdb_score_of(&sc_, 1), 0.47000362924573563);
  EXPECT_EQ(sdb_score_of(&sc_, 2), 0.0);
  // A second term adds to the same documents: "banana" has df 1,
  // idf ln(2.5 / 1.5 + 1), tf 1, dl 3: 2.2 / 2.65 * idf.
  Score({"apple", "banana"});
  EXPECT_DOUBLE_EQ(sdb_score_of(&sc_, 0),
                   0.5665797174469143 + 2.2 / 2.65 * std::log(2.5 / 1.5 + 1.0));
}

// The length part of each slot is computed ahead by each change; it must be
// what the whole formula computes, to the last bit, or sums, ties and
// orders could change.
TEST_F(RankTest, PrecomputedLengthPartIsTheFormulasToTheLastBit) {
  std::mt19937 rng(5);
  std::vector<std::string> raws;
  for (int d = 0; d < 300; d++) {  // documents of 1 to 60 tokens
    std::string text = "k";
    for (int n = (int)(rng() % 60); n > 0; n--) text += " w";
    raws.push_back("[\"" + text + "\"]");
  }
  Docs(raws);
  index_.Kill(7);
  ASSERT_TRUE(index_.Apply());
  Score({"k"});
  for (uint32_t slot = 0; slot < ix_->doc_count; slot++) {
    if (slot == 7) {
      EXPECT_LT(ix_->norms[slot], 0.0);
      continue;
    }
    const double dl = std::max(1.0, (double)ix_->docs[slot].token_count);
    ASSERT_EQ(ix_->norms[slot], ((dl / sc_.avgdl) * 0.75 + 0.25) * 1.2) << slot;
  }
}

TEST_F(RankTest, TermInEveryDocumentStillCounts) {
  Docs({R"(["x"])", R"(["x"])"});
  Score({"x"});
  // idf ln(0.5 / 2.5 + 1); dl equals avgdl, so the tf part is 1.
  EXPECT_DOUBLE_EQ(sdb_score_of(&sc_, 0), std::log(1.2));
  EXPECT_GT(sdb_score_of(&sc_, 1), 0.0);
}

TEST_F(RankTest, ShortDocumentsAndAverageAreRaisedToOne) {
  // 1 token over 3 live documents: avgdl 1/3 is raised to 1.0, so the
  // document of one token scores exactly its idf ln(2.5 / 1.5 + 1).
  Docs({R"(["solo"])", R"([])", R"({})"});
  Score({"solo"});
  EXPECT_DOUBLE_EQ(sc_.avgdl, 1.0);
  EXPECT_DOUBLE_EQ(sdb_score_of(&sc_, 0), std::log(2.5 / 1.5 + 1.0));
}

TEST_F(RankTest, TitlePostingCountsDouble) {
  Docs({R"({"title":"apple","b":"pear"})", R"({"body":"apple","b":"pear"})"});
  Score({"apple"});
  EXPECT_GT(sdb_score_of(&sc_, 1), 0.0);
  EXPECT_EQ(sdb_score_of(&sc_, 0), 2 * sdb_score_of(&sc_, 1));
}

TEST_F(RankTest, DeletedDocumentsNeitherScoreNorRank) {
  Docs({R"(["apple"])", R"(["apple"])", R"(["apple pie"])", R"(["x"])", R"(["y"])"});
  index_.Kill(1);
  ASSERT_TRUE(index_.Apply());
  Score({"apple"});
  EXPECT_EQ(sc_.live, 4u);
  EXPECT_GT(sdb_score_of(&sc_, 0), 0.0);
  EXPECT_EQ(sdb_score_of(&sc_, 1), 0.0);
  sdb_score_add(&sc_, 1, 5.0);  // even a score given to a dead slot is not ranked
  sdb_ranking r;
  ASSERT_TRUE(sdb_rank(&sc_, 0, 0, &r));
  ASSERT_EQ(r.total, 2u);
  EXPECT_EQ(r.hits[0].doc, 0u);
  EXPECT_EQ(r.hits[1].doc, 2u);
  sdb_ranking_free(&r);
}

TEST(HitCmp, HigherScoreFirstThenLowerSlot) {
  sdb_hit hits[] = {{4, 1.0}, {2, 3.0}, {9, 1.0}, {1, 1.0}, {7, 3.0}};
  qsort(hits, 5, sizeof(sdb_hit), sdb_hit_cmp);
  const uint32_t order[] = {2, 7, 1, 4, 9};
  for (int i = 0; i < 5; i++) EXPECT_EQ(hits[i].doc, order[i]) << i;
  EXPECT_EQ(sdb_hit_cmp(&hits[0], &hits[0]), 0);
}

// Ranks random scores, with many ties, and checks every page against the
// fully sorted list.
class PagingTest : public RankTest {
 protected:
  void SetUp() override {
    RankTest::SetUp();
    std::vector<std::string> raws(kDocs, R"(["w"])");
    Docs(raws);
    ASSERT_TRUE(sdb_scoring_begin(&sc_, ix_));
    std::mt19937 rng(3);
    // Scored in shuffled slot order, as terms reach documents.
    std::vector<uint32_t> slots(kDocs);
    for (uint32_t s = 0; s < kDocs; s++) slots[s] = s;
    std::shuffle(slots.begin(), slots.end(), rng);
    for (uint32_t s : slots) {
      // A fifth of the documents score nothing; the rest share few values.
      if (rng() % 5 == 0) continue;
      sdb_score_add(&sc_, s, 0.25 * (double)(1 + rng() % 6));
      sorted_.push_back({s, sdb_score_of(&sc_, s)});
    }
    qsort(sorted_.data(), sorted_.size(), sizeof(sdb_hit), sdb_hit_cmp);
  }

  void ExpectPage(uint32_t offset, uint32_t limit) {
    sdb_ranking r;
    ASSERT_TRUE(sdb_rank(&sc_, offset, limit, &r));
    ASSERT_EQ(r.total, sorted_.size());
    uint32_t start = std::min<uint32_t>(offset, r.total);
    uint32_t end = limit == 0 ? r.total : std::min<uint64_t>((uint64_t)start + limit, r.total);
    EXPECT_EQ(r.page_start, start);
    ASSERT_EQ(r.page_end, end) << offset << "/" << limit;
    for (uint32_t i = start; i < end; i++) {
      EXPECT_EQ(r.hits[i].doc, sorted_[i].doc) << "offset " << offset << " limit " << limit;
      EXPECT_EQ(r.hits[i].score, sorted_[i].score);
    }
    sdb_ranking_free(&r);
  }

  static constexpr uint32_t kDocs = 700;  // the ranking list grows past 256
  std::vector<sdb_hit> sorted_;
};

TEST_F(PagingTest, EveryPageEqualsTheSameSliceOfTheSortedList) {
  const uint32_t total = (uint32_t)sorted_.size();
  const uint32_t offsets[] = {0, 1, 19, 255, 256, total - 1, total, total + 5, 0xFFFFFFFFu};
  const uint32_t limits[] = {0, 1, 20, 300, total, 0x7FFFFFFFu};
  for (uint32_t offset : offsets)
    for (uint32_t limit : limits) ExpectPage(offset, limit);
}

}  // namespace
