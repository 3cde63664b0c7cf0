// Crash consistency. A child process changes indexes and documents and dies
// part-way; a start on the same storage directory must then find every file
// whole and exactly the changes the child saw succeed. The one change in
// flight may or may not be there, but never in part.
//
// Two ways of dying:
//  - SIGKILL at a random moment of a random workload, over many rounds on
//    one directory, with decoy ".tmp" files planted between rounds that must
//    never be taken for data. SEARCHDB_SOAK_ROUNDS sets the number of rounds
//    (default 12), SEARCHDB_CRASH_SEED the seed (default 1).
//  - an exit right before the k-th rename, link or unlink of a scripted
//    workload, or write into the lock file, for every k: each state the
//    directory can be left in by a process crash (files are only ever
//    replaced whole) is visited once. A process that had the store open
//    all along must then, through its next calls, hold what a fresh start
//    finds: the generations it follows were raised before every file.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/registry.h"
#include "fixture.h"
#include "index/index.h"
#include "memory_index.h"
#include "storage/derived.h"
#include "storage/derived_format.h"
#include "storage/derived_map.h"
#include "storage/layout.h"

// ---- crash points ----
//
// The test program's own renameat, linkat, unlinkat, pwrite (the lock
// file's generations) and writev into an index's change record (an
// append) stand in front of the C library's. Armed in a child, they count
// the calls and end the process right before the one numbered g_crash_at,
// as a crash would.

namespace {

long g_crash_at = 0;  // 0: disarmed
long g_mutations = 0;

void MaybeCrash() {
  if (++g_mutations == g_crash_at) _exit(0);
}

template <typename F>
F RealFunction(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int renameat(int from_dir, const char *from, int to_dir, const char *to) noexcept {
  static auto real = RealFunction<int (*)(int, const char *, int, const char *)>("renameat");
  MaybeCrash();
  return real(from_dir, from, to_dir, to);
}

extern "C" int linkat(int from_dir, const char *from, int to_dir, const char *to,
                      int flags) noexcept {
  static auto real = RealFunction<int (*)(int, const char *, int, const char *, int)>("linkat");
  MaybeCrash();
  return real(from_dir, from, to_dir, to, flags);
}

extern "C" int unlinkat(int dir, const char *path, int flags) noexcept {
  static auto real = RealFunction<int (*)(int, const char *, int)>("unlinkat");
  MaybeCrash();
  return real(dir, path, flags);
}

extern "C" ssize_t writev(int fd, const struct iovec *pieces, int count) {
  static auto real = RealFunction<ssize_t (*)(int, const struct iovec *, int)>("writev");
  const std::string name = FdPath(fd);
  if (name.size() > sizeof SDB_CHANGES_FILE &&
      name.compare(name.size() - strlen(SDB_CHANGES_FILE), std::string::npos, SDB_CHANGES_FILE) ==
          0)
    MaybeCrash();
  return real(fd, pieces, count);
}

extern "C" ssize_t pwrite(int fd, const void *bytes, size_t n, off_t at) {
  static auto real = RealFunction<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
  MaybeCrash();
  return real(fd, bytes, n, at);
}

namespace {

using doc_map = std::map<std::string, std::string>;  // id -> stored text
using state = std::map<std::string, doc_map>;        // index name -> its documents

// One change as the child logs it: "B <kind> <index> [<id> [<text>]]...".
struct change {
  char kind = 0;  // 'c' create index, 'r' delete index, 'a' add batch, 'd' delete document
  std::string index;
  std::vector<std::pair<std::string, std::string>> docs;  // 'a': id and text; 'd': id only
};

const char *const kIndexNames[] = {"books", "users", "shop/items"};
constexpr int kIdSpace = 16;

int EnvInt(const char *name, int fallback) {
  const char *v = getenv(name);
  return v && *v ? atoi(v) : fallback;
}

void Apply(state &s, const change &c) {
  switch (c.kind) {
    case 'c':
      s.emplace(c.index, doc_map{});
      break;
    case 'r':
      s.erase(c.index);
      break;
    case 'a':
      for (const auto &[id, text] : c.docs) s[c.index][id] = text;
      break;
    case 'd':
      s[c.index].erase(c.docs[0].first);
      break;
  }
}

std::string Describe(const state &s) {
  std::ostringstream out;
  for (const auto &[name, docs] : s) {
    out << name << ":";
    for (const auto &[id, text] : docs) out << " " << id << "=" << text;
    out << "\n";
  }
  return out.str();
}

// ---- the child ----

void Log(int fd, const std::string &line) {
  // One write of less than PIPE_BUF bytes reaches the pipe whole.
  ssize_t n = write(fd, line.data(), line.size());
  if (n != static_cast<ssize_t>(line.size())) _exit(3);
}

change RandomChange(std::mt19937 &rng, long serial) {
  change c;
  c.index = kIndexNames[rng() % 3];
  int roll = static_cast<int>(rng() % 100);
  if (roll < 15) {
    c.kind = 'c';
  } else if (roll < 20) {
    c.kind = 'r';
  } else if (roll < 40) {
    c.kind = 'd';
    c.docs.push_back({"d" + std::to_string(rng() % kIdSpace), ""});
  } else {
    c.kind = 'a';
    int count = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < count; i++) {
      std::string id = "d" + std::to_string(rng() % kIdSpace);
      std::string word = "w" + std::to_string(serial) + "x" + std::to_string(i);
      c.docs.push_back({id, R"({"id":")" + id + R"(","title":")" + word + R"("})"});
    }
  }
  return c;
}

std::string BatchJson(const change &c) {
  std::string json = "[";
  for (const auto &[id, text] : c.docs) json += (json.size() > 1 ? "," : "") + text;
  return json + "]";
}

bool Perform(const change &c) {
  switch (c.kind) {
    case 'c':
      return searchdb_index_create(c.index.c_str(), nullptr) == 0;
    case 'r':
      return searchdb_index_delete(c.index.c_str()) == 0;
    case 'a':
      // A request first, so that the process keeps a column, writes it, and
      // writes it again with the change.
      searchdb_search_request(c.index.c_str(), R"({"limit":0,"facets":["title"]})");
      return searchdb_documents_add(c.index.c_str(), BatchJson(c).c_str()) ==
             static_cast<int>(c.docs.size());
    default:
      return searchdb_document_delete(c.index.c_str(), c.docs[0].first.c_str()) == 0;
  }
}

void PerformLogged(int fd, const change &c) {
  std::string line = std::string("B ") + c.kind + " " + c.index;
  for (const auto &[id, text] : c.docs) line += " " + id + (text.empty() ? "" : " " + text);
  Log(fd, line + "\n");
  Log(fd, Perform(c) ? "A\n" : "F\n");
}

[[noreturn]] void RunRandomChild(const std::string &dir, int fd, unsigned seed, long serial_base) {
  if (searchdb_init(dir.c_str()) != 0) _exit(2);
  std::mt19937 rng(seed);
  for (long serial = serial_base;; serial++) PerformLogged(fd, RandomChange(rng, serial));
}

change Doc(const char *index, std::vector<std::pair<std::string, std::string>> docs) {
  change c{'a', index, {}};
  for (auto &[id, word] : docs) {
    c.docs.push_back({id, R"({"id":")" + id + R"(","title":")" + word + R"("})"});
  }
  return c;
}

// A workload that passes through every kind of change, including deleting
// and re-creating an index that holds documents.
const std::vector<change> &Script() {
  static const std::vector<change> script = {
      {'c', "books", {}},
      Doc("books", {{"d1", "alpha"}, {"d2", "beta"}, {"d3", "gamma"}}),
      Doc("books", {{"d2", "delta"}}),
      {'d', "books", {{"d1", ""}}},
      {'c', "shop/items", {}},
      Doc("shop/items", {{"x1", "epsilon"}}),
      {'r', "books", {}},
      {'c', "books", {}},
      Doc("books", {{"d9", "zeta"}}),
      {'r', "shop/items", {}},
  };
  return script;
}

// Runs the script, dying right before the crash_at-th file-system change;
// exits 1 when the script ended first.
// Runs the changes [first, last) of the script, dying right before the
// crash_at-th file-system change from there (0: never); exits 1 when it
// got through. Before each change it logs "M <file-system changes so
// far>".
[[noreturn]] void RunScriptChild(const std::string &dir, int fd, size_t first, size_t last,
                                 long crash_at) {
  searchdb_cleanup();  // the parent's session is not this process's
  if (searchdb_init(dir.c_str()) != 0) _exit(2);
  g_mutations = 0;
  g_crash_at = crash_at;
  for (size_t i = first; i < last && i < Script().size(); i++) {
    Log(fd, "M " + std::to_string(g_mutations) + "\n");
    PerformLogged(fd, Script()[i]);
  }
  _exit(1);
}

// Starts on a store that needs repair (see CrashTest::PlantDamage) and
// creates an index where stray documents lie, dying right before the
// crash_at-th file-system change; exits 1 when it got through.
[[noreturn]] void RunRepairChild(const std::string &dir, long crash_at) {
  g_mutations = 0;
  g_crash_at = crash_at;
  if (searchdb_init(dir.c_str()) != 0) _exit(2);
  if (searchdb_index_create("found", nullptr) != 0) _exit(3);
  _exit(1);
}

// ---- the parent ----

change ParseBegin(const std::string &line) {
  std::istringstream in(line.substr(2));
  change c;
  in >> c.kind >> c.index;
  std::string id, text;
  while (in >> id) {
    if (c.kind == 'a') in >> text;
    c.docs.push_back({id, c.kind == 'a' ? text : ""});
  }
  return c;
}

// Applies every acknowledged change of the log to s; returns the change
// that was in flight when the child died, if any.
std::optional<change> ReplayLog(const std::string &log, state &s, int *acknowledged) {
  std::istringstream in(log);
  std::string line;
  std::optional<change> pending;
  while (std::getline(in, line)) {
    if (line.rfind("B ", 0) == 0) {
      pending = ParseBegin(line);
    } else if (line == "A") {
      Apply(s, *pending);
      ++*acknowledged;
      pending.reset();
    } else if (line == "F") {
      pending.reset();
    }
  }
  return pending;
}

// Forks a child that runs body (which never returns) with the write end of
// a pipe for its log; the parent gets the read end in *log_fd. Returns the
// child's pid, or -1 when no child could be started.
template <class Body>
pid_t ForkLogger(int *log_fd, Body body) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    body(fds[1]);
  }
  close(fds[1]);
  *log_fd = fds[0];
  return child;
}

std::string ReadAll(int fd) {
  std::string log;
  char buf[8192];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) log.append(buf, static_cast<size_t>(n));
  return log;
}

// Reads what the child writes until the deadline, then kills it and reads
// the rest.
std::string KillAfter(pid_t child, int fd, std::chrono::microseconds delay) {
  std::string log;
  char buf[8192];
  auto deadline = std::chrono::steady_clock::now() + delay;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) > 0) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      log.append(buf, static_cast<size_t>(n));
    }
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  return log + ReadAll(fd);
}

state LoadedState() {
  state s;
  for (uint32_t i = 0; i < s_registry.count; i++) {
    const sdb_index *ix = s_registry.items[i];
    doc_map &docs = s[ix->name];
    for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
      if (ix->docs[slot].alive) docs[ix->docs[slot].id] = StoredText(ix->docs[slot]);
    }
  }
  return s;
}

class CrashTest : public StorageTest {
 protected:
  static bool ParsesAsJson(const std::string &path) {
    std::string text = ReadFile(path);
    yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
    yyjson_doc_free(doc);
    return doc != nullptr;
  }

  // Every data file under the storage directory parses.
  void ExpectFilesParse() {
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir_)) {
      std::string file = entry.path().filename();
      if (file == "list.json" || file == "meta.json" || file == "docs.json") {
        EXPECT_TRUE(ParsesAsJson(entry.path())) << entry.path();
      }
    }
  }

  // Temporary files that look like data: a list naming an index whose files
  // are complete, and documents beside every index's documents file.
  void PlantDecoys() {
    std::filesystem::create_directories(Path("ghost"));
    WriteFile(Path("ghost/meta.json"), R"({"name":"ghost","primary_key":"id"})");
    WriteFile(Path("ghost/docs.json"), R"([{"__id":"g","raw":"{\"id\":\"g\"}"}])");
    WriteFile(Path("_indexes/list.json.tmp"), R"(["books","users","shop/items","ghost"])");
    for (const char *name : kIndexNames) {
      if (!Exists(Path(name))) continue;
      WriteFile(Path(std::string(name) + "/docs.json.tmp"),
                R"([{"__id":"g","raw":"{\"id\":\"g\",\"title\":\"ghost\"}"}])");
    }
  }

  // A store in need of every repair a start makes, each file a damage of
  // its own: a list that does not parse, settings that do not parse,
  // documents with an entry that is no document, stale temporaries, and
  // documents lying where an index is about to be created. Returns the
  // bytes that must never be lost.
  std::vector<std::string> PlantDamage() {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"_indexes/list.json", R"(["books","shop/items")"},
        {"_indexes/list.json.tmp", "[]"},
        {"books/meta.json", R"({"name":"books","primary_key":"id"})"},
        {"books/docs.json", R"([{"__id":"d1","raw":"{\"id\":\"d1\",\"title\":\"alpha\"}"}])"},
        {"books/docs.json.tmp", "[]"},
        {"shop/items/meta.json", R"({"name":"shop/items","primary_key")"},
        {"shop/items/docs.json", R"([{"__id":"x1","raw":"{\"id\":\"x1\",\"title\":\"beta\"}"},7])"},
        {"found/docs.json", R"([{"__id":"f1","raw":"{\"id\":\"f1\"}"}])"},
    };
    std::vector<std::string> kept;
    for (const auto &[rel, bytes] : files) {
      std::filesystem::create_directories(std::filesystem::path(Path(rel)).parent_path());
      WriteFile(Path(rel), bytes);
      if (rel.find(".tmp") == std::string::npos) kept.push_back(bytes);
    }
    return kept;
  }

  // Starts the library on what a dead child left and checks it against the
  // acknowledged changes of its log, applied to expected; expected becomes
  // what was found. Returns whether the change in flight was there.
  bool ExpectRecovered(const std::string &log, state &expected, int *acknowledged) {
    state before = expected;
    std::optional<change> pending = ReplayLog(log, expected, acknowledged);
    ExpectFilesParse();
    Open();
    state loaded = LoadedState();
    bool pending_found = false;
    if (pending) {
      state with_pending = expected;
      Apply(with_pending, *pending);
      if (loaded == with_pending && loaded != expected) {
        expected = with_pending;
        pending_found = true;
      }
    }
    EXPECT_EQ(Describe(loaded), Describe(expected)) << "before:\n" << Describe(before);
    if (loaded != expected) expected = loaded;
    ExpectSearchAgrees(expected);
    searchdb_cleanup();
    return pending_found;
  }

  // What a process that had the store open sees through its next calls:
  // the list, then each index it lists.
  static std::string ObservedState() {
    searchdb_indexes_list_json();
    std::vector<std::string> names;
    for (uint32_t i = 0; i < s_registry.count; i++) names.push_back(s_registry.items[i]->name);
    for (const std::string &name : names) searchdb_index_stats_json(name.c_str());
    return Describe(LoadedState());
  }

  // Every stored document is found by the word of its title, and by no
  // other document's.
  void ExpectSearchAgrees(const state &s) {
    for (const auto &[name, docs] : s) {
      for (const auto &[id, text] : docs) {
        std::string word = text.substr(text.find("\"title\":\"") + 9);
        word.resize(word.find('"'));
        std::string response = searchdb_search(name.c_str(), word.c_str(), 0, 0);
        EXPECT_NE(response.find("\"totalHits\":1}"), std::string::npos) << word << " " << response;
        EXPECT_NE(response.find(text), std::string::npos) << word << " " << response;
      }
    }
  }
};

TEST_F(CrashTest, AKilledWriterLeavesEveryAcknowledgedChangeAndNothingElse) {
  const int rounds = EnvInt("SEARCHDB_SOAK_ROUNDS", 12);
  const unsigned seed = static_cast<unsigned>(EnvInt("SEARCHDB_CRASH_SEED", 1));
  std::mt19937 rng(seed);
  state expected;
  int in_flight_seen = 0, acknowledged = 0;
  for (int round = 0; round < rounds; round++) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
    int log_fd = -1;
    pid_t child =
        ForkLogger(&log_fd, [&](int fd) { RunRandomChild(dir_, fd, rng(), 1000000L * round); });
    ASSERT_GE(child, 0);
    auto delay = std::chrono::microseconds(20000 + rng() % 150000);
    std::string log = KillAfter(child, log_fd, delay);
    close(log_fd);
    if (ExpectRecovered(log, expected, &acknowledged)) in_flight_seen++;
    if (HasFailure()) return;
    PlantDecoys();
  }
  RecordProperty("acknowledged_changes", acknowledged);
  RecordProperty("in_flight_changes_found", in_flight_seen);
  EXPECT_GT(acknowledged, rounds) << "the child hardly ever got a change through";
}

TEST_F(CrashTest, EveryCrashPointOfAScriptLeavesAConsistentStore) {
  // Where each change of the script begins, counted in file-system changes.
  std::vector<long> begins;
  {
    int log_fd = -1;
    const pid_t child =
        ForkLogger(&log_fd, [&](int fd) { RunScriptChild(dir_, fd, 0, Script().size(), 0); });
    ASSERT_GE(child, 0);
    std::istringstream log(ReadAll(log_fd));
    close(log_fd);
    waitpid(child, nullptr, 0);
    for (std::string line; std::getline(log, line);)
      if (line.rfind("M ", 0) == 0) begins.push_back(atol(line.c_str() + 2));
    ASSERT_EQ(begins.size(), Script().size());
  }
  int points = 0, acknowledged = 0;
  for (long crash_at = 1;; crash_at++) {
    SCOPED_TRACE("crash before file-system change " + std::to_string(crash_at));
    std::filesystem::remove_all(dir_);
    // The changes before the one the crash falls in are made whole; then a
    // process opens the store and keeps it open while another makes the
    // rest and dies.
    size_t first = 0;
    while (first + 1 < begins.size() && begins[first + 1] < crash_at) first++;
    std::string log;
    auto run = [&](size_t from, size_t to, long at) {
      int log_fd = -1;
      const pid_t child =
          ForkLogger(&log_fd, [&](int fd) { RunScriptChild(dir_, fd, from, to, at); });
      EXPECT_GE(child, 0);
      log += ReadAll(log_fd);
      close(log_fd);
      int status = 0;
      waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status)) << status;
      return WEXITSTATUS(status);
    };
    if (first > 0) {
      ASSERT_EQ(run(0, first, 0), 1);
    }
    Open();
    const int status = run(first, Script().size(), crash_at - begins[first]);
    const std::string observed = ObservedState();
    searchdb_cleanup();
    state expected;
    ExpectRecovered(log, expected, &acknowledged);
    EXPECT_EQ(observed, Describe(expected)) << "seen by the process that had it open";
    if (HasFailure()) return;
    if (status == 1) break;  // the script ran to its end
    ASSERT_EQ(status, 0);
    points++;
  }
  RecordProperty("crash_points", points);
  // Three files per create, two per add, five steps per index deletion,
  // and the generations each raises.
  EXPECT_GT(points, 50);
}

TEST_F(CrashTest, EveryCrashPointOfARepairingStartLosesNothing) {
  const state repaired = {
      {"books", {{"d1", R"({"id":"d1","title":"alpha"})"}}},
      {"shop/items", {{"x1", R"({"id":"x1","title":"beta"})"}}},
  };
  int points = 0;
  for (long crash_at = 1;; crash_at++) {
    SCOPED_TRACE("crash before file-system change " + std::to_string(crash_at));
    std::filesystem::remove_all(dir_);
    const std::vector<std::string> kept = PlantDamage();
    const pid_t child = fork();
    if (child == 0) RunRepairChild(dir_, crash_at);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1) << WEXITSTATUS(status);
    // Every stored byte is somewhere: in place or set aside.
    std::multiset<std::string> present;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir_)) {
      if (entry.is_regular_file() &&
          entry.path().filename().string().find(".tmp") == std::string::npos)
        present.insert(ReadFile(entry.path()));
    }
    for (const std::string &bytes : kept) EXPECT_TRUE(present.count(bytes)) << bytes;
    Open();
    state loaded = LoadedState();
    if (loaded.count("found")) {
      EXPECT_TRUE(loaded["found"].empty());
      loaded.erase("found");
    }
    EXPECT_EQ(Describe(loaded), Describe(repaired));
    searchdb_cleanup();
    if (HasFailure()) return;
    if (WEXITSTATUS(status) == 1) break;
    points++;
  }
  RecordProperty("crash_points", points);
  EXPECT_GE(points, 6);
}

}  // namespace

// The derived file is written by a search where there was none or after
// catching up with a file built before the last change, by
// searchdb_index_write_derived over whatever stands there, and by a
// search that read docs.json long enough after it changed over a file that
// could not prove that; the columns file by a request that built a column;
// each through a temporary file and a rename: a process dying at any step
// of it leaves a store that answers as before, with no temporary taken for
// the file.
TEST_F(CrashTest, EveryCrashPointOfWritingTheDerivedFileLeavesTheSameAnswers) {
  Open();
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  ASSERT_EQ(
      searchdb_documents_add("books", R"([{"id":"d1","title":"alpha"},{"id":"d2","title":"beta"},)"
                                      R"({"id":"d3","title":"gamma"},{"id":"d4","title":"delta"},)"
                                      R"({"id":"d5","title":"epsilon"},{"id":"d6","title":"zeta"},)"
                                      R"({"id":"d7","title":"eta"},{"id":"d8","title":"theta"}])"),
      8);
  const std::string derived = Path("books/docs.idx");
  Reopen();
  ASSERT_NE(std::string(searchdb_search("books", "alpha", 0, 0)), "null");
  ASSERT_EQ(searchdb_documents_add("books", R"([{"id":"d2","title":"iota"}])"), 1);
  searchdb_cleanup();
  const std::string before_change = ReadFile(derived);
  ASSERT_FALSE(before_change.empty());
  const char *request = R"({"facets":["title"],"sort":[{"field":"id","order":"desc"}]})";
  Open();
  const state expected = LoadedState();
  const std::string requested = Untimed(searchdb_search_request("books", request));
  searchdb_cleanup();
  const std::string docs = ReadFile(Path("books/docs.json"));
  const std::string columns = Path("books/docs.cols");
  std::string unsettled;
  enum { kBySearch, kAfterCatchUp, kOnRequest, kToProve, kColumns };
  for (const int how : {kBySearch, kAfterCatchUp, kOnRequest, kToProve, kColumns}) {
    const bool by_search = how != kOnRequest && how != kColumns;
    SCOPED_TRACE(how == kBySearch       ? "written by a search"
                 : how == kAfterCatchUp ? "written by a search that caught up"
                 : how == kOnRequest    ? "written anew on request"
                 : how == kToProve      ? "written again to prove docs.json unchanged"
                                        : "the columns file written by a request");
    if (how == kToProve) {
      // What a load made right after docs.json changed wrote, found by
      // loads that come late enough.
      sdb_derived::header h;
      memcpy(&h, unsettled.data(), sizeof h);
      h.docs_stat_ns = h.docs_ctime_ns;
      memcpy(unsettled.data(), &h, sizeof h);
      sdb_derived_seal(reinterpret_cast<unsigned char *>(unsettled.data()), unsettled.size(),
                       h.docs_size, h.docs_sum);
      struct stat st {};
      ASSERT_EQ(stat(Path("books/docs.json").c_str(), &st), 0);
      const auto changed = std::chrono::system_clock::time_point(
          std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::seconds(st.st_ctim.tv_sec) +
              std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
      std::this_thread::sleep_until(changed + std::chrono::nanoseconds(SDB_SETTLED_NS) +
                                    std::chrono::milliseconds(100));
    }
    int points = 0;
    for (long crash_at = 1;; crash_at++) {
      SCOPED_TRACE("crash before file-system change " + std::to_string(crash_at));
      if (how == kBySearch) {
        std::filesystem::remove(derived);
      } else if (how == kAfterCatchUp) {
        WriteFile(derived, before_change);
      } else if (how == kOnRequest) {
        WriteFile(derived, "stale");
      } else if (how == kColumns) {
        std::filesystem::remove(columns);
      } else {
        WriteFile(derived, unsettled);
      }
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        searchdb_cleanup();
        if (searchdb_init(dir_.c_str()) != 0) _exit(2);
        g_mutations = 0;
        g_crash_at = crash_at;
        if (by_search) {
          searchdb_search("books", "alpha", 0, 0);
        } else if (how == kColumns) {
          searchdb_search_request("books", request);
        } else if (searchdb_index_write_derived("books") != 0) {
          _exit(3);
        }
        _exit(1);
      }
      int status = 0;
      waitpid(child, &status, 0);
      ASSERT_TRUE(WIFEXITED(status)) << status;
      ExpectFilesParse();
      for (int start = 0; start < 2; start++) {  // with what the child left, then with a new file
        Open();
        EXPECT_EQ(Describe(LoadedState()), Describe(expected));
        ExpectSearchAgrees(expected);
        searchdb_cleanup();
        EXPECT_FALSE(Exists(derived + ".tmp"));
        EXPECT_TRUE(Exists(derived));
        EXPECT_EQ(ReadFile(Path("books/docs.json")), docs);
        if (how == kColumns) {
          Open();
          EXPECT_EQ(Untimed(searchdb_search_request("books", request)), requested);
          searchdb_cleanup();
          EXPECT_FALSE(Exists(columns + ".tmp"));
          EXPECT_TRUE(Exists(columns));
        }
      }
      if (HasFailure()) return;
      if (WEXITSTATUS(status) == 1) break;
      ASSERT_EQ(WEXITSTATUS(status), 0);
      points++;
    }
    EXPECT_GE(points, 2) << "the crashes never reached the write";
    if (how == kBySearch) unsettled = ReadFile(derived);
  }
}
