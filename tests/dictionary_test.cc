// The dictionary, checked against a plain rebuild kept here: a chained hash
// table that every change rebuilds from the live documents, entering each
// token at its first occurrence at the head of its chain and doubling before
// it holds more than three terms per four buckets. Whatever way the
// dictionary got to its state (a build from scratch, changes applied term by
// term, large changes built anew), its terms, postings, token counts and the
// order in which the table walk visits the terms must be the plain
// rebuild's.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "index/flatten.h"
#include "index/walk_order.h"
#include "memory_index.h"

namespace {

struct Posting {
  uint32_t slot;
  uint32_t tf;
  bool title;
  bool operator==(const Posting &o) const {
    return slot == o.slot && tf == o.tf && title == o.title;
  }
};

// The rebuild as it was before the dictionary kept itself up to date.
struct PlainRebuild {
  uint32_t buckets = SDB_FIRST_BUCKETS;  // carried from one rebuild to the next
  std::vector<std::string> walk;         // the terms in table walk order
  std::map<std::string, std::vector<Posting>> postings;
  std::vector<uint32_t> token_counts;

  void Run(const sdb_index *ix) {
    struct Entry {
      std::string text;
      uint64_t hash;
      int next;
    };
    std::vector<Entry> entries;
    std::vector<int> heads(buckets, -1);
    postings.clear();
    token_counts.assign(ix->doc_count, 0);
    sdb_field_tokens list{};
    for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
      if (!ix->docs[slot].alive) continue;
      const std::string raw = StoredText(ix->docs[slot]);
      yyjson_doc *doc = yyjson_read(raw.data(), raw.size(), 0);
      if (doc == nullptr) continue;
      sdb_field_tokens_reset(&list);
      sdb_collect_doc_tokens(yyjson_doc_get_root(doc), &list);
      yyjson_doc_free(doc);
      token_counts[slot] = static_cast<uint32_t>(list.count);
      for (uint64_t i = 0; i < list.count; i++) {
        const std::string text(list.bytes + list.items[i].off,
                               std::min<uint64_t>(list.items[i].len, SDB_TERM_MAX));
        const uint64_t hash = sdb_hash(text.data(), text.size());
        int e = heads[hash % buckets];
        while (e >= 0 && entries[e].text != text) e = entries[e].next;
        if (e < 0) {
          if (entries.size() + 1 > buckets * 3 / 4) Double(&heads, entries);
          entries.push_back({text, hash, heads[hash % buckets]});
          heads[hash % buckets] = static_cast<int>(entries.size() - 1);
        }
        std::vector<Posting> &p = postings[text];
        const bool title = list.items[i].tag == -1;
        if (!p.empty() && p.back().slot == slot) {
          p.back().tf++;
          p.back().title |= title;
        } else {
          p.push_back({slot, 1, title});
        }
      }
    }
    sdb_field_tokens_free(&list);
    walk.clear();
    for (int head : heads)
      for (int e = head; e >= 0; e = entries[e].next) walk.push_back(entries[e].text);
  }

  template <typename E>
  void Double(std::vector<int> *heads, std::vector<E> &entries) {
    buckets *= 2;
    std::vector<int> grown(buckets, -1);
    for (int head : *heads) {
      for (int e = head; e >= 0;) {
        const int next = entries[e].next;
        entries[e].next = grown[entries[e].hash % buckets];
        grown[entries[e].hash % buckets] = e;
        e = next;
      }
    }
    *heads = grown;
  }
};

// Everything the dictionary of ix says, checked against the plain rebuild.
void ExpectSameAsPlain(const sdb_index *ix, const PlainRebuild &plain) {
  const sdb_terms *d = &ix->terms;
  ASSERT_EQ(d->count, plain.postings.size());
  ASSERT_EQ(d->bucket_count, plain.buckets);
  std::vector<std::pair<uint64_t, std::string>> walk;
  for (uint32_t id = 0; id < d->ids; id++) {
    const sdb_term &t = d->terms[id];
    if (t.text == nullptr) continue;
    const std::string text(t.text, t.len);
    walk.emplace_back(sdb_scan_key(d, &t), text);
    ASSERT_EQ(t.hash, sdb_hash(t.text, t.len));
    auto it = plain.postings.find(text);
    ASSERT_NE(it, plain.postings.end()) << text;
    std::vector<Posting> got;
    for (uint32_t i = 0; i < t.count; i++)
      got.push_back({t.docs[i], sdb_posting_tf(d, id, i), (t.tfs[i] & SDB_TF_TITLE) != 0});
    ASSERT_EQ(got, it->second) << text;
    ASSERT_EQ(d->terms[d->by_first[t.rank]].text, t.text);
  }
  std::sort(walk.begin(), walk.end());
  std::vector<std::string> order;
  for (auto &w : walk) order.push_back(w.second);
  ASSERT_EQ(order, plain.walk);
  for (uint32_t i = 0; i < d->count; i++) {
    const sdb_term &t = d->terms[d->order[i]];
    if (i == 0) continue;
    const sdb_term &prev = d->terms[d->order[i - 1]];
    ASSERT_LT(sdb_term_compare(&prev, t.text, t.len), 0) << i;
    ASSERT_EQ(d->lcp[i], sdb_terms_common_prefix(&prev, &t)) << i;
  }
  uint64_t total = 0;
  uint32_t live = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    ASSERT_EQ(ix->docs[slot].token_count, plain.token_counts[slot]) << slot;
    total += plain.token_counts[slot];
    live += ix->docs[slot].alive;
  }
  ASSERT_EQ(ix->total_tokens, total);
  ASSERT_EQ(ix->live_count, live);
}

// Words that are prefixes and near spellings of one another, some long
// enough to be cut, a few that fold.
std::string RandomText(std::mt19937 &rng) {
  static const char *const kWords[] = {
      "data",         "datab",      "database", "databases", "databse", "dtabase", "a",
      "ab",           "abc",        "search",   "serch",     "Search",  "SEARCH",  "\xc3\x80pple",
      "\xc3\xa0pple", "\xd0\x96uk", "x7",       "_",         "tf",      "tf tf tf"};
  std::string text;
  for (int n = 1 + rng() % 8; n > 0; n--) {
    if (rng() % 40 == 0) {
      text += std::string(250 + rng() % 12, 'k') + " ";
    } else if (rng() % 6 == 0) {
      text += "w" + std::to_string(rng() % 3000) + " ";
    } else {
      text += kWords[rng() % 20];
      text += " ";
    }
  }
  return text;
}

std::string RandomDocument(std::mt19937 &rng) {
  switch (rng() % 6) {
    case 0:
      return "[\"" + RandomText(rng) + "\", " + std::to_string(rng() % 100) + "]";
    case 1:
      return "{\"name\":\"" + RandomText(rng) + "\",\"title\":\"" + RandomText(rng) + "\"}";
    case 2:
      return "{\"x\":\"" + RandomText(rng) + "\"";  // does not parse: no tokens
    case 3: {  // a term repeated around what a posting's byte holds
      std::string text;
      for (int i = 100 + rng() % 100; i > 0; i--) text += "big ";
      return "{\"w\":\"" + text + "\"}";
    }
    default:
      return "{\"body\":\"" + RandomText(rng) + "\",\"title\":\"" + RandomText(rng) + "\"}";
  }
}

TEST(Dictionary, EveryChangeLeavesWhatAPlainRebuildMakes) {
  std::mt19937 rng(2024);
  const int rounds =
      getenv("SEARCHDB_DICTIONARY_ROUNDS") ? atoi(getenv("SEARCHDB_DICTIONARY_ROUNDS")) : 6;
  for (int round = 0; round < rounds; round++) {
    MemoryIndex ix;
    PlainRebuild plain;
    // Many terms, so that some changes cross a doubling of the table.
    for (int i = 0; i < 300; i++) ix.Put(std::to_string(i), RandomDocument(rng));
    ASSERT_TRUE(ix.Apply());
    plain.Run(ix.get());
    ExpectSameAsPlain(ix.get(), plain);
    for (int step = 0; step < 60; step++) {
      // Mostly one document; sometimes a batch, sometimes one big enough
      // to be built anew; now and then a load, which starts the table over.
      const int kind = rng() % 20;
      if (kind == 0) {
        ASSERT_TRUE(ix.Load());
        plain.buckets = SDB_FIRST_BUCKETS;
      } else {
        const int changes = kind == 1 ? 200 : (kind < 5 ? 1 + rng() % 10 : 1);
        for (int c = 0; c < changes; c++) {
          const uint32_t id = rng() % (ix->doc_count + 30);
          if (rng() % 4 == 0) {
            const uint32_t slot = sdb_id_map_find(ix.get(), std::to_string(id).c_str());
            if (slot != SDB_NO_SLOT) ix.Kill(slot);
          } else {
            ix.Put(std::to_string(id), RandomDocument(rng));
          }
        }
        ASSERT_TRUE(ix.Apply());
      }
      plain.Run(ix.get());
      ASSERT_NO_FATAL_FAILURE(ExpectSameAsPlain(ix.get(), plain))
          << "round " << round << " step " << step;
    }
  }
}

// The table walk's order in a bucket depends on the doublings since the
// rebuild began; the keys must follow it for any start and any number of
// terms, doublings included.
TEST(Dictionary, ScanKeysFollowTheWalkOfAChainedTable) {
  std::mt19937 rng(99);
  for (int round = 0; round < 40; round++) {
    const uint32_t start = SDB_FIRST_BUCKETS << (rng() % 3);
    const uint32_t n = rng() % (start * 4);
    std::vector<int> heads(start, -1);
    struct Entry {
      uint64_t hash;
      int next;
    };
    std::vector<Entry> entries;
    uint32_t buckets = start;
    for (uint32_t i = 0; i < n; i++) {
      if (i + 1 > buckets * 3 / 4) {
        buckets *= 2;
        std::vector<int> grown(buckets, -1);
        for (int head : heads)
          for (int e = head; e >= 0;) {
            const int next = entries[e].next;
            entries[e].next = grown[entries[e].hash % buckets];
            grown[entries[e].hash % buckets] = e;
            e = next;
          }
        heads = grown;
      }
      const uint64_t hash = (uint64_t{rng()} << 32) | rng();
      entries.push_back({hash, heads[hash % buckets]});
      heads[hash % buckets] = static_cast<int>(i);
    }
    std::vector<uint32_t> walk;
    for (int head : heads)
      for (int e = head; e >= 0; e = entries[e].next) walk.push_back(static_cast<uint32_t>(e));
    sdb_terms d{};
    d.start_buckets = start;
    d.bucket_count = sdb_buckets_after(start, n);
    ASSERT_EQ(d.bucket_count, buckets);
    std::vector<std::pair<uint64_t, uint32_t>> keys;
    for (uint32_t i = 0; i < n; i++) {
      sdb_term t{};
      t.hash = entries[i].hash;
      t.rank = i;
      keys.emplace_back(sdb_scan_key(&d, &t), i);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<uint32_t> by_key;
    for (auto &k : keys) by_key.push_back(k.second);
    ASSERT_EQ(by_key, walk) << "start " << start << " terms " << n;
  }
}

}  // namespace
