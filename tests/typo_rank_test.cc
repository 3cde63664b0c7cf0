// The typo-aware order ("rank": "typo_aware") against a plain restatement
// of its rule, computed from the stored documents, over random corpora
// whose words are one or two edits from each other, prefixes of each
// other, repeated and tied, through changes and a restart; and its hits
// and counts against BM25's for the same requests.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "api/registry.h"
#include "fixture.h"
#include "index/bm25.h"
#include "index/flatten.h"
#include "index/index.h"
#include "index/tokenizer.h"
#include "search/typo.h"

namespace {

using Strings = std::vector<std::string>;

Strings Tokens(const std::string &text) {
  char **tokens = nullptr;
  uint64_t *lens = nullptr;
  const uint64_t n = sdb_tokenize(text.c_str(), &tokens, &lens);
  Strings out;
  for (uint64_t i = 0; i < n; i++) out.emplace_back(tokens[i], std::min<uint64_t>(lens[i], 255));
  sdb_tokens_free(tokens, lens, n);
  return out;
}

size_t Edits(const std::string &a, const std::string &b) {
  std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) prev[j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); j++)
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1])});
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

// The rule, restated from its description over what the documents hold.
class Restatement {
 public:
  // docs: id -> stored text of every live document.
  Restatement(const sdb_index *ix, const std::map<std::string, std::string> &docs) {
    sdb_field_tokens list{};
    uint64_t total = 0;
    for (const auto &[id, text] : docs) {
      yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
      sdb_field_tokens_reset(&list);
      sdb_collect_doc_tokens(yyjson_doc_get_root(doc), &list);
      yyjson_doc_free(doc);
      Doc d{id, static_cast<uint32_t>(list.count), {}};
      const uint32_t slot = sdb_id_map_find(ix, id.c_str());
      for (uint64_t i = 0; i < list.count; i++) {
        std::string t(list.bytes + list.items[i].off, std::min<uint64_t>(list.items[i].len, 255));
        Posting &p = postings_[t][slot];
        p.tf++;
        p.title |= list.items[i].tag == -1;
        if (list.items[i].tag == -1) d.title.push_back(t);
      }
      total += d.length;
      docs_[slot] = d;
    }
    sdb_field_tokens_free(&list);
    live_ = static_cast<double>(docs.size());
    if (!docs.empty()) avgdl_ = sdb_average_length(total, static_cast<uint32_t>(docs.size()));
  }

  // The ids of every hit of q, in the rule's order; *titled counts those
  // titled the query as it reads, *misread those of them whose title is
  // not the query's words.
  Strings Rank(const std::string &q, int *titled, int *misread) const {
    const Strings query = Tokens(q);
    struct Sums {
      uint32_t words = 0, closeness = 0;
      double score = 0.0;
    };
    std::map<uint32_t, Sums> sums;
    // Per token: the level of each reading, and per slot its closest.
    std::vector<std::map<std::string, uint32_t>> levels(query.size());
    std::vector<std::map<uint32_t, std::pair<uint32_t, double>>> closests(query.size());
    for (size_t j = 0; j < query.size(); j++) {
      const std::string &token = query[j];
      struct Reading {
        const std::string *term;
        uint64_t df, cost;
        uint32_t level;
      };
      std::vector<Reading> readings;
      for (const auto &[term, holders] : postings_) {
        const bool whole = postings_.count(token) > 0;
        const bool prefix = token.size() >= 2 && term.size() > token.size() &&
                            term.compare(0, token.size(), token) == 0;
        const size_t edits = Edits(token, term);
        const int budget = sdb_typo_budget(token.size());
        if (whole ? term == token : prefix || (budget > 0 && edits <= size_t(budget)))
          readings.push_back({&term, holders.size(), prefix ? 0 : edits, 0});
      }
      // a more than f times as likely as b: df_a / 64^cost_a > f * df_b / 64^cost_b.
      auto likelier = [](const Reading &a, const Reading &b, uint64_t f) {
        return a.df * (uint64_t{1} << 6 * b.cost) > f * b.df * (uint64_t{1} << 6 * a.cost);
      };
      std::stable_sort(readings.begin(), readings.end(),
                       [&](const Reading &a, const Reading &b) { return likelier(a, b, 1); });
      uint64_t commonest = 0;
      for (size_t k = 0, lead = 0; k < readings.size(); k++) {
        if (likelier(readings[lead], readings[k], 4)) lead = k;
        readings[k].level = k == 0 ? 0 : readings[k - 1].level + (lead == k);
        commonest = std::max(commonest, readings[k].df);
        levels[j][*readings[k].term] = readings[k].level;
      }
      const double w = sdb_bm25_weight(live_, static_cast<double>(commonest));
      auto &closest = closests[j];  // slot: level, contribution
      for (const Reading &r : readings) {
        for (const auto &[slot, p] : postings_.at(*r.term)) {
          const double norm = sdb_length_norm(docs_.at(slot).length, avgdl_);
          const double c = sdb_bm25_contribution(p.tf, norm, w, p.title);
          auto [at, made] = closest.try_emplace(slot, r.level, c);
          if (!made && (r.level < at->second.first ||
                        (r.level == at->second.first && c > at->second.second)))
            at->second = {r.level, c};
        }
      }
      for (const auto &[slot, best] : closest) {
        Sums &s = sums[slot];
        s.words++;
        s.closeness += best.first;
        s.score = best.second + s.score;
      }
    }
    // Titled: title word j is a reading of token j as close as the
    // closest the document holds.
    auto is_titled = [&](uint32_t slot) {
      const Strings &title = docs_.at(slot).title;
      if (title.size() != query.size()) return false;
      for (size_t j = 0; j < title.size(); j++) {
        const auto level = levels[j].find(title[j]);
        const auto closest = closests[j].find(slot);
        if (level == levels[j].end() || closest == closests[j].end() ||
            level->second != closest->second.first)
          return false;
      }
      return true;
    };
    std::vector<std::pair<uint32_t, Sums>> order(sums.begin(), sums.end());
    std::sort(order.begin(), order.end(), [&](const auto &a, const auto &b) {
      const bool ta = is_titled(a.first), tb = is_titled(b.first);
      if (a.second.words != b.second.words) return a.second.words > b.second.words;
      if (a.second.closeness != b.second.closeness) return a.second.closeness < b.second.closeness;
      if (ta != tb) return ta;
      if (a.second.score != b.second.score) return a.second.score > b.second.score;
      return a.first < b.first;
    });
    Strings ids;
    for (const auto &entry : order) {
      ids.push_back(docs_.at(entry.first).id);
      if (is_titled(entry.first)) {
        *titled += 1;
        *misread += docs_.at(entry.first).title != query;
      }
    }
    return ids;
  }

 private:
  struct Posting {
    uint32_t tf = 0;
    bool title = false;
  };
  struct Doc {
    std::string id;
    uint32_t length;
    Strings title;
  };
  std::map<std::string, std::map<uint32_t, Posting>> postings_;
  std::map<uint32_t, Doc> docs_;
  double live_ = 0.0, avgdl_ = 1.0;
};

// Words one or two edits apart, prefixes of one another, short words
// without a typo budget and long ones with two edits of it, and a word
// longer than a term, which the index cuts; each with two variants one
// edit away.
const std::string kLong = std::string(255, 'z') + "a";
const Strings kWords = [] {
  Strings words = {"vim",        "debian",    "library",  "search", "git",       "editor",
                   "navigation", "plugin",    "linux",    "lines",  kLong,       "vi",
                   "gitk",       "debani",    "deban",    "libre",  "librar",    "lib",
                   "serch",      "searching", "searched", "seach",  "navigatin", "navigating",
                   "plugins",    "pluggin",   "edit",     "Edito",  "links"};
  std::mt19937 rng(5);
  for (size_t i = 0, n = words.size(); i < n; i++) {
    for (int k = 0; k < 2; k++) {
      std::string w = words[i];
      w[rng() % w.size()] = static_cast<char>('a' + rng() % 26);
      words.push_back(w);
    }
  }
  return words;
}();
const size_t kWordCount = kWords.size();

std::string Quoted(const std::string &s) {
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\\\"") : std::string(1, c);
  return out + "\"";
}

class TypoRankTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    Open();
    ASSERT_EQ(searchdb_index_create("t", nullptr), 0);
  }

  // Some words are far more common than others, so that readings of one
  // token differ in df by every factor the rule compares.
  const std::string &Word() {
    return kWords[rng_() % 2 ? rng_() % kWordCount : rng_() % (1 + rng_() % kWordCount)];
  }

  std::string Words(unsigned n) {
    std::string s;
    for (unsigned i = 0; i < n; i++) s += std::string(i ? " " : "") + Word();
    return s;
  }

  // A document: a title (under "title" or "name", as a string or an array,
  // sometimes both keys, sometimes none), a body, a number and tags.
  std::string Doc(const std::string &id) {
    std::string doc = "{\"id\":" + Quoted(id);
    const std::string title = Words(1 + rng_() % 3);
    switch (rng_() % 5) {
      case 0:
        doc += ",\"name\":" + Quoted(title);
        break;
      case 1:
        doc += ",\"body\":" + Quoted(Words(2)) + ",\"title\":[" + Quoted(title) + ",\"x\"]";
        break;
      case 2:
        doc += ",\"name\":" + Quoted(title) + ",\"title\":" + Quoted(Words(1));
        break;
      case 3:
        break;
      default:
        doc += ",\"title\":" + Quoted(title);
    }
    doc += ",\"body\":" + Quoted(Words(rng_() % 7)) + ",\"n\":" + std::to_string(rng_() % 4) +
           ",\"tags\":[" + Quoted(kWords[rng_() % 4]) + "]}";
    return doc;
  }

  // Adds or replaces count documents (some as copies of others, for ties).
  void Add(unsigned count) {
    std::string batch = "[";
    for (unsigned i = 0; i < count; i++) {
      const std::string id = "d" + std::to_string(rng_() % kIds);
      std::string doc = Doc(id);
      if (!docs_.empty() && rng_() % 6 == 0) {  // a copy of another document
        auto other = docs_.begin();
        std::advance(other, rng_() % docs_.size());
        doc = "{\"id\":" + Quoted(id) + other->second.substr(other->second.find(','));
      }
      batch += (i ? "," : "") + doc;
    }
    ASSERT_GT(searchdb_documents_add("t", (batch + "]").c_str()), 0) << LastError();
    // The stored texts of what the batch changed.
    for (unsigned k = 0; k < kIds; k++) {
      const std::string id = "d" + std::to_string(k);
      const char *stored = searchdb_document_get("t", id.c_str());
      if (stored != nullptr) docs_[id] = stored;
    }
  }

  void Delete() {
    if (docs_.empty()) return;
    auto it = docs_.begin();
    std::advance(it, rng_() % docs_.size());
    ASSERT_EQ(searchdb_document_delete("t", it->first.c_str()), 0);
    docs_.erase(it);
  }

  // A query of exact words, prefixes, misspellings and repeats, or a
  // document's title; the long word, when there, differs past the bytes
  // the index keeps.
  std::string Query() {
    std::string q = TitleOrWords();
    const size_t at = q.find(kLong);
    if (at != std::string::npos && rng_() % 2) q[at + kLong.size() - 1] = 'b';
    return q;
  }

  std::string TitleOrWords() {
    if (rng_() % 5 == 0 && !docs_.empty()) {
      auto it = docs_.begin();
      std::advance(it, rng_() % docs_.size());
      yyjson_doc *doc = yyjson_read(it->second.data(), it->second.size(), 0);
      yyjson_val *key = sdb_title_key(yyjson_doc_get_root(doc));
      std::string title = yyjson_is_str(yyjson_obj_iter_get_val(key))
                              ? yyjson_get_str(yyjson_obj_iter_get_val(key))
                              : Words(1);
      yyjson_doc_free(doc);
      return title;
    }
    std::string q;
    for (unsigned i = 0, n = 1 + rng_() % 3; i < n; i++) {
      std::string w = Word();
      switch (rng_() % 4) {
        case 0:
          w.resize(2 + rng_() % (w.size() - 1));
          break;
        case 1:
          w[rng_() % w.size()] = static_cast<char>('a' + rng_() % 26);
          break;
        case 2:
          if (!q.empty()) w = q.substr(q.rfind(' ') + 1);  // a repeat
          break;
      }
      q += (q.empty() ? "" : " ") + w;
    }
    return q;
  }

  // The ids of the hits of a request, and its totalHits.
  static Strings Ids(const std::string &request, long *total = nullptr) {
    const char *answer = searchdb_search_request("t", request.c_str());
    Strings ids;
    yyjson_doc *doc = yyjson_read(answer, strlen(answer), 0);
    EXPECT_TRUE(doc && yyjson_is_obj(yyjson_doc_get_root(doc)))
        << request << " -> " << answer << " " << LastError();
    if (!doc) return ids;
    yyjson_val *root = yyjson_doc_get_root(doc);
    size_t i, n;
    yyjson_val *hit;
    yyjson_arr_foreach(yyjson_obj_get(root, "hits"), i, n, hit) {
      ids.emplace_back(yyjson_get_str(yyjson_obj_get(hit, "id")));
    }
    if (total) *total = static_cast<long>(yyjson_get_int(yyjson_obj_get(root, "totalHits")));
    yyjson_doc_free(doc);
    return ids;
  }

  static constexpr unsigned kIds = 150;
  std::mt19937 rng_{17};
  std::map<std::string, std::string> docs_;
};

TEST_F(TypoRankTest, OrdersAsTheRuleSaysThroughChangesAndARestart) {
  // A long document titled the long word, and a short one that holds it
  // more often, and scores higher: the long word mistyped past the bytes
  // the index keeps is still the first one's title.
  const std::string mistyped_long = kLong.substr(0, kLong.size() - 1) + "b";
  std::string padding;
  for (int i = 0; i < 40; i++) padding += " x";
  ASSERT_EQ(
      searchdb_documents_add(
          "t", ("[{\"id\":\"long1\",\"title\":" + Quoted(kLong) + ",\"body\":" + Quoted(padding) +
                "},{\"id\":\"long2\",\"body\":" + Quoted(kLong + " " + kLong + " " + kLong) + "}]")
                   .c_str()),
      2);
  for (const char *id : {"long1", "long2"}) docs_[id] = searchdb_document_get("t", id);
  Add(60);
  int compared = 0, titled = 0, misread = 0, reordered = 0;
  for (int round = 0; round < 40; round++) {
    if (round == 39) {
      Reopen();
    } else if (round % 10 == 9) {
      Add(40);  // enough to have the columns built again
    } else if (round > 0) {
      rng_() % 3 ? Add(1 + rng_() % 3) : Delete();
    }
    const Restatement rule(sdb_index_find("t"), docs_);
    for (int k = 0; k < 25; k++) {
      const std::string q = k == 0 ? mistyped_long : Query();
      const Strings expected = rule.Rank(q, &titled, &misread);
      const std::string request = R"({"rank":"typo_aware","limit":0,"q":)" + Quoted(q) + "}";
      ASSERT_EQ(Ids(request), expected) << "round " << round << ": " << q;
      // A page of it.
      const Strings page = Ids(R"({"rank":"typo_aware","limit":3,"offset":2,"q":)" + Quoted(q) +
                               R"(,"sort":["relevance"]})");
      const Strings slice(expected.begin() + std::min<size_t>(2, expected.size()),
                          expected.begin() + std::min<size_t>(5, expected.size()));
      ASSERT_EQ(page, slice) << q;
      compared++;
      reordered += expected != Ids(R"({"limit":0,"q":)" + Quoted(q) + "}");
    }
  }
  EXPECT_EQ(compared, 1000);
  // The cases reach orders that differ from BM25's, and titles, some of
  // them only as the query reads.
  EXPECT_GT(reordered, 200);
  EXPECT_GT(titled, 100);
  EXPECT_GT(misread, 20);
}

TEST_F(TypoRankTest, HitsAndCountsAreBm25s) {
  Add(70);
  const char *const kMore[] = {
      "",
      R"(,"operator":"and")",
      R"(,"filter":{"field":"n","op":"lt","value":2})",
      R"(,"filter":{"or":[{"field":"tags","op":"in","value":["vim","git"]},{"field":"n","op":"eq","value":3}]})",
      R"(,"facets":["n"],"sort":[{"field":"n","order":"desc"},"relevance"])",
      R"(,"limit":4,"offset":3)",
  };
  for (int k = 0; k < 300; k++) {
    std::string q = Query();
    if (k % 7 == 0) q = "\"" + q + "\"";  // a phrase
    const std::string more = kMore[k % 6];
    const std::string base = R"({"fields":["id"],"q":)" + Quoted(q) + more;
    long bm25_total = -1, typo_total = -2;
    const std::string limit = more.find("limit") == std::string::npos ? R"(,"limit":0)" : "";
    Strings bm25 = Ids(base + limit + "}", &bm25_total);
    Strings typo = Ids(base + limit + R"(,"rank":"typo_aware"})", &typo_total);
    EXPECT_EQ(typo_total, bm25_total) << base;
    if (limit.empty()) {
      EXPECT_EQ(typo.size(), bm25.size()) << base;
    } else {
      std::sort(bm25.begin(), bm25.end());
      std::sort(typo.begin(), typo.end());
      EXPECT_EQ(typo, bm25) << base;
    }
  }
}

}  // namespace
