// The index held in memory against a rebuild of its documents: every
// sequence of changes and restarts keeps the two equal, and the check
// notices a damaged part of the index.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "api/registry.h"
#include "fixture.h"
#include "index/check.h"
#include "index/index.h"
#include "searchdb.h"

namespace {

class IndexCheckTest : public StorageTest {
 protected:
  // A document of a few words from a small vocabulary (so that changes
  // share terms and move first occurrences), sometimes with a title, and
  // now and then one word repeated past the tf a posting's byte holds.
  std::string RandomDocument(std::mt19937 &rng, int id) {
    static const char *const kWords[] = {"ant", "bee",  "cat", "dog", "eel",  "fox",  "gnu",
                                         "hen", "ibis", "jay", "koi", "lark", "mole", "newt"};
    const int n = static_cast<int>(rng() % 8);
    std::string body;
    for (int i = 0; i < n; i++) {
      if (!body.empty()) body += ' ';
      body += kWords[rng() % std::size(kWords)];
      if (rng() % 3 == 0) body += std::to_string(rng() % 5);  // rarer terms
    }
    if (rng() % 20 == 0)
      for (int i = 0; i < 130; i++) body += " hum";
    std::string doc = "{\"id\":\"" + std::to_string(id) + "\",\"body\":\"" + body + "\"";
    if (rng() % 2 == 0) doc += std::string(",\"title\":\"") + kWords[rng() % 5] + "\"";
    return doc + "}";
  }

  static void ExpectConsistent(const std::string &after) {
    ASSERT_EQ(searchdb_index_check("ix"), 0) << after << ": " << searchdb_last_error();
  }
};

TEST_F(IndexCheckTest, ChangesAndRestartsKeepTheIndexEqualToARebuild) {
  for (uint32_t seed = 1; seed <= 6; seed++) {
    SCOPED_TRACE(seed);
    searchdb_cleanup();
    std::filesystem::remove_all(dir_);
    Open();
    ASSERT_EQ(searchdb_index_create("ix", nullptr), 0);
    std::mt19937 rng(seed);
    for (int step = 0; step < 50; step++) {
      const std::string at = "step " + std::to_string(step);
      const unsigned what = rng() % 10;
      if (what < 5) {  // a few documents: the change is applied term by term
        std::string batch = "[";
        for (unsigned n = 1 + rng() % 2; n > 0; n--)
          batch += (batch.size() > 1 ? "," : "") + RandomDocument(rng, rng() % 30);
        ASSERT_GE(searchdb_documents_add("ix", (batch + "]").c_str()), 0) << searchdb_last_error();
      } else if (what < 6) {  // many: rebuilt from scratch
        std::string batch = "[";
        for (int n = 0; n < 12; n++) batch += (n ? "," : "") + RandomDocument(rng, rng() % 30);
        ASSERT_GE(searchdb_documents_add("ix", (batch + "]").c_str()), 0) << searchdb_last_error();
      } else if (what < 9) {
        searchdb_document_delete("ix", std::to_string(rng() % 30).c_str());
      } else {
        Reopen();
      }
      ExpectConsistent(at);
    }
  }
}

TEST_F(IndexCheckTest, ADamagedIndexIsReportedAtItsFirstDifference) {
  Open();
  ASSERT_EQ(searchdb_index_create("ix", nullptr), 0);
  ASSERT_EQ(searchdb_documents_add("ix", R"([{"id":"1","title":"cat","body":"dog eel"},
      {"id":"2","body":"dog fox dog"},{"id":"3","body":"eel"}])"),
            3);
  ExpectConsistent("added");
  sdb_index *ix = sdb_index_find("ix");
  ASSERT_NE(ix, nullptr);
  sdb_terms *d = &ix->terms;
  const uint32_t dog = sdb_terms_find(d, "dog", 3);
  ASSERT_NE(dog, SDB_NO_TERM);
  sdb_term *t = &d->terms[dog];
  ASSERT_EQ(t->count, 2u);
  const uint32_t tokens = ix->docs[2].token_count;
  struct damage {
    const char *what;
    const char *reported;
    std::function<void()> apply, undo;
  };
  const damage damages[] = {
      {"a posting's slot", "term 'dog': posting 1 is slot 0, a rebuild has 1",
       [&] { t->docs[1] = 0; }, [&] { t->docs[1] = 1; }},
      {"a posting's tf", "term 'dog': slot 1 has tf 1, a rebuild has 2", [&] { t->tfs[1]--; },
       [&] { t->tfs[1]++; }},
      {"a title mark", "term 'dog': slot 0 has tf 1 (title), a rebuild has 1",
       [&] { t->tfs[0] ^= SDB_TF_TITLE; }, [&] { t->tfs[0] ^= SDB_TF_TITLE; }},
      {"a df", "term 'dog' has df 1, a rebuild has 2", [&] { t->count--; }, [&] { t->count++; }},
      {"a walk rank", "term 'dog' has walk rank", [&] { t->rank += 1; }, [&] { t->rank -= 1; }},
      {"a first position", "term 'dog' first occurs at", [&] { t->first_pos++; },
       [&] { t->first_pos--; }},
      {"a token count", "slot 2 has 0 tokens, a rebuild has", [&] { ix->docs[2].token_count = 0; },
       [&] { ix->docs[2].token_count = tokens; }},
      {"a norm", "slot 1 has norm", [&] { ix->norms[1] += 1e-12; }, [&] { ix->norms[1] -= 1e-12; }},
      {"the collection's length", "tokens, a rebuild has", [&] { ix->total_tokens--; },
       [&] { ix->total_tokens++; }},
  };
  for (const damage &dm : damages) {
    SCOPED_TRACE(dm.what);
    const double norm = ix->norms[1];
    dm.apply();
    EXPECT_EQ(searchdb_index_check("ix"), -1);
    EXPECT_EQ(searchdb_last_error_code(), SEARCHDB_CORRUPT);
    EXPECT_EQ(LastError().rfind("index 'ix' differs from a rebuild: ", 0), 0u) << LastError();
    EXPECT_NE(LastError().find(dm.reported), std::string::npos) << LastError();
    dm.undo();
    ix->norms[1] = norm;
    ExpectConsistent("undone");
  }
  // The same conventions as every call naming an index.
  EXPECT_EQ(searchdb_index_check("nope"), -1);
  EXPECT_EQ(LastError(), "index 'nope' not found");
  EXPECT_EQ(searchdb_index_check(nullptr), -1);
  EXPECT_EQ(LastError(), "index_name NULL");
}

}  // namespace
