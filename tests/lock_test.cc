// The generations of the lock file over random changes. Every index's own
// generation rises by one with each change that writes it and with nothing
// else: not with a change of another index, even one of its bucket; it
// never falls, and goes on across a delete and a restart. Another process
// reads the same for every name. And the part an earlier version reads
// rises as that version would need: the list's with every list written,
// a bucket's with every change of one of its indexes.
#include "storage/lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fixture.h"
#include "peer.h"

namespace {

// What an earlier version reads: the first 528 bytes, or zeros when they
// do not read whole.
struct older_view {
  uint64_t list = 0;
  std::vector<uint64_t> bucket = std::vector<uint64_t>(SDB_GEN_BUCKETS);
  bool operator==(const older_view &) const = default;
};

older_view ReadOlderView(const std::string &path) {
  older_view v;
  unsigned char h[16 + 8 * SDB_GEN_BUCKETS];
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd < 0 ? -1 : pread(fd, h, sizeof h, 0);
  if (fd >= 0) close(fd);
  if (n != static_cast<ssize_t>(sizeof h) || memcmp(h, "sdbgen01", 8) != 0) return v;
  auto word = [&](size_t at) {
    uint64_t x = 0;
    for (int i = 7; i >= 0; i--) x = x << 8 | h[at + i];
    return x;
  };
  v.list = word(8);
  for (int b = 0; b < SDB_GEN_BUCKETS; b++) v.bucket[b] = word(16 + 8 * b);
  return v;
}

// Every name's generation as this process reads it now.
std::vector<uint64_t> Generations(const std::vector<std::string> &names) {
  sdb_generations g;
  EXPECT_EQ(sdb_generations_prepare(&g, false), 0);
  std::vector<uint64_t> out;
  for (const std::string &name : names) {
    uint64_t gen = 0;
    EXPECT_TRUE(sdb_index_generation(&g, name.c_str(), &gen)) << name;
    out.push_back(gen);
  }
  return out;
}

// Names in pairs that share a bucket, and one alone.
std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (const std::string base : {"books", "shop/items"}) {
    names.push_back(base);
    for (int k = 0;; k++) {
      const std::string other = "n" + std::to_string(k);
      if (sdb_gen_bucket(other.c_str()) != sdb_gen_bucket(base.c_str())) continue;
      names.push_back(other);
      break;
    }
  }
  names.push_back("z");
  return names;
}

class GenerationsTest : public StorageTest {};

TEST_F(GenerationsTest, EachChangeRaisesItsOwnIndexAndWhatEarlierVersionsRead) {
  const std::vector<std::string> names = Names();
  ASSERT_EQ(sdb_gen_bucket(names[0].c_str()), sdb_gen_bucket(names[1].c_str()));
  const std::string lock = Path("_indexes/lock");
  Open();
  // The first name's slot comes first; those of long names made and
  // deleted push the others' beyond what one read of the header takes in.
  ASSERT_EQ(searchdb_index_create(names[0].c_str(), nullptr), 0);
  ASSERT_EQ(searchdb_index_delete(names[0].c_str()), 0);
  for (int k = 0; k < 14; k++) {
    const std::string padding = std::string(200, 'p') + std::to_string(k);
    ASSERT_EQ(searchdb_index_create(padding.c_str(), nullptr), 0);
    ASSERT_EQ(searchdb_index_delete(padding.c_str()), 0);
  }
  ASSERT_GT(std::filesystem::file_size(lock), static_cast<uintmax_t>(SDB_GEN_READ));
  std::vector<uint64_t> gens = Generations(names);
  older_view older = ReadOlderView(lock);
  std::map<std::string, std::vector<std::string>> live;  // index -> live ids
  std::mt19937 rng(11);
  for (int step = 0; step < 150; step++) {
    const size_t pick = rng() % names.size();
    const std::string &name = names[pick];
    const bool exists = live.count(name) > 0;
    const unsigned op = rng() % 10;
    std::string what;
    bool raised = false, listed = false;
    if (op == 0) {
      what = "restart";
      Reopen();
      EXPECT_EQ(LastError(), "");
    } else if (op < 3) {
      what = "create " + name;
      EXPECT_EQ(searchdb_index_create(name.c_str(), nullptr), exists ? -1 : 0) << LastError();
      raised = listed = !exists;
      if (!exists) live[name];
    } else if (op < 4) {
      what = "delete " + name;
      EXPECT_EQ(searchdb_index_delete(name.c_str()), exists ? 0 : -1) << LastError();
      raised = listed = exists;
      live.erase(name);
    } else if (op < 8 || !exists || live[name].empty()) {
      const std::string id = "d" + std::to_string(rng() % 5);
      what = "add " + id + " to " + name;
      EXPECT_EQ(searchdb_documents_add(name.c_str(), (R"({"id":")" + id + R"("})").c_str()),
                exists ? 1 : -1);
      raised = exists;
      if (exists && std::find(live[name].begin(), live[name].end(), id) == live[name].end())
        live[name].push_back(id);
    } else {
      const std::string id = live[name][rng() % live[name].size()];
      what = "remove " + id + " from " + name;
      EXPECT_EQ(searchdb_document_delete(name.c_str(), id.c_str()), 0) << LastError();
      live[name].erase(std::find(live[name].begin(), live[name].end(), id));
      raised = true;
    }
    SCOPED_TRACE("step " + std::to_string(step) + ": " + what);
    if (raised) {
      gens[pick]++;
      older.bucket[sdb_gen_bucket(name.c_str())]++;
    }
    if (listed) older.list++;
    EXPECT_EQ(Generations(names), gens);
    EXPECT_EQ(ReadOlderView(lock), older);
    if (HasFailure()) return;
  }
  // Another process finds each name where this one does.
  Peer other([&](const std::vector<std::string> &call, Peer::Answer *a) {
    if (call[0] != "generations") return false;
    for (uint64_t gen : Generations(names)) a->text += std::to_string(gen) + " ";
    a->rc = 0;
    return true;
  });
  ASSERT_EQ(other.Call({"init", dir_}).rc, 0);
  std::string expected;
  for (uint64_t gen : gens) expected += std::to_string(gen) + " ";
  EXPECT_EQ(other.Call({"generations"}).text, expected);
}

}  // namespace
