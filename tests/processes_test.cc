// Several processes on one storage directory. Four writers each change ids
// of their own and a few ids all of them change, in one shared index, and
// create and delete indexes of their own; two readers fetch ids, search for
// them and list the indexes all the while. Every call is stamped with the
// monotonic clock (shared by all processes) before and after. Afterwards:
//  - a fresh start finds, for every id and index, the value of a write that
//    no acknowledged write of another value followed in real time: nothing
//    acknowledged is missing, nothing refused is there;
//  - every read saw a value that was written before the read ended and was
//    not replaced by an acknowledged write that ended before the read began;
//  - nothing is left over: no temporary file and nothing set aside.
//
// Environment:
//   SEARCHDB_PROCS_CHANGES  changes per writer (default 50)
//   SEARCHDB_PROCS_KILLS    1: SIGKILL writers at random moments and start
//                           them again; a killed call may or may not land
//   SEARCHDB_PROCS_SEED     seed (default 1)
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"

#include "api/registry.h"
#include "peer.h"
#include "storage/lock.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWriters = 4;
constexpr int kReaders = 2;
constexpr int kOwnIds = 6;
constexpr int kSharedIds = 3;
constexpr int kOwnIndexes = 2;
constexpr char kShared[] = "shared";
constexpr char kAbsent[] = "-";
constexpr char kExists[] = "+";

long EnvLong(const char *name, long fallback) {
  const char *v = getenv(name);
  return v && *v ? atol(v) : fallback;
}

long long Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

std::string OwnId(int k, int i) {
  return "p" + std::to_string(k) + "_" + std::to_string(i);
}
std::string SharedId(int i) {
  return "s_" + std::to_string(i);
}
std::string OwnIndex(int k, int j) {
  return "own" + std::to_string(k) + "/" + std::to_string(j);
}
// The key under which an index's existence is logged.
std::string IndexKey(const std::string &name) {
  return "index:" + name;
}

// Appends one line to a log in one write, so that a kill leaves whole lines.
void Log(int fd, const std::string &line) {
  const std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(3);
}

// A document whose id is also a search word, and whose value tells which
// write made it.
std::string Document(const std::string &id, const std::string &value) {
  return R"({"id":")" + id + R"(","v":")" + value + R"("})";
}

// The value of a fetched or found document, or kAbsent.
std::string ValueOf(const char *json) {
  if (json == nullptr) return kAbsent;
  yyjson_doc *doc = yyjson_read(json, strlen(json), 0);
  const char *v = yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), "v"));
  std::string value = v ? v : "?";
  yyjson_doc_free(doc);
  return value;
}

// One writer's changes, logged as "B <pid> <seq> <key> <value> <start>"
// before the call and "A <pid> <seq> ok|noop|fail <end>" after it.
[[noreturn]] void Writer(const std::string &store, int fd, int k, long changes, unsigned seed) {
  if (searchdb_init(store.c_str()) != 0) _exit(2);
  std::mt19937 rng(seed);
  const std::string pid = std::to_string(getpid());
  for (long seq = 0; seq < changes; seq++) {
    const unsigned pick = rng() % 20;
    std::string key, value;
    const long long start = Now();
    std::string status;
    auto begin = [&] {
      Log(fd, "B " + pid + " " + std::to_string(seq) + " " + key + " " + value + " " +
                  std::to_string(start));
    };
    if (pick < 16) {
      const std::string id = pick < 9 ? OwnId(k, rng() % kOwnIds) : SharedId(rng() % kSharedIds);
      key = id;
      const bool remove = pick % 4 == 3;
      value = remove ? kAbsent : "w" + std::to_string(k) + "x" + pid + "x" + std::to_string(seq);
      begin();
      if (remove) {
        const int rc = searchdb_document_delete(kShared, id.c_str());
        status = rc == 0 ? "ok"
                 : std::string(searchdb_last_error()).find("not found") != std::string::npos
                     ? "noop"
                     : "fail";
      } else {
        status = searchdb_documents_add(kShared, Document(id, value).c_str()) == 1 ? "ok" : "fail";
      }
    } else {
      const std::string name = OwnIndex(k, rng() % kOwnIndexes);
      key = IndexKey(name);
      const bool create = pick < 18;
      value = create ? kExists : kAbsent;
      begin();
      const int rc = create ? searchdb_index_create(name.c_str(), nullptr)
                            : searchdb_index_delete(name.c_str());
      const std::string error = searchdb_last_error();
      status = rc == 0                                                                    ? "ok"
               : error.find(create ? "already exists" : "not found") != std::string::npos ? "noop"
                                                                                          : "fail";
    }
    Log(fd, "A " + pid + " " + std::to_string(seq) + " " + status + " " + std::to_string(Now()));
  }
  searchdb_cleanup();
  _exit(0);
}

// One reader, until the file done appears: "R <key> <value> <start> <end>"
// for each id fetched or searched for, and for each own index listed or not.
[[noreturn]] void Reader(const std::string &store, const std::string &done, int fd, unsigned seed) {
  if (searchdb_init(store.c_str()) != 0) _exit(2);
  std::mt19937 rng(seed);
  for (long n = 0; !fs::exists(done); n++) {
    const long long start = Now();
    const unsigned pick = rng() % 3;
    if (pick == 2) {
      const char *list = searchdb_indexes_list_json();
      const long long end = Now();
      for (int k = 0; k < kWriters; k++)
        for (int j = 0; j < kOwnIndexes; j++) {
          const std::string name = OwnIndex(k, j);
          const bool listed = strstr(list, ("\"" + name + "\"").c_str()) != nullptr;
          Log(fd, "R " + IndexKey(name) + " " + (listed ? kExists : kAbsent) + " " +
                      std::to_string(start) + " " + std::to_string(end));
        }
      continue;
    }
    const int which = static_cast<int>(rng() % (kWriters * kOwnIds + kSharedIds));
    const std::string id =
        which < kSharedIds ? SharedId(which)
                           : OwnId((which - kSharedIds) / kOwnIds, (which - kSharedIds) % kOwnIds);
    std::string value;
    if (pick == 0) {
      value = ValueOf(searchdb_document_get(kShared, id.c_str()));
    } else {
      const char *answer = searchdb_search(kShared, id.c_str(), 1, 0);
      if (answer == nullptr || strcmp(answer, "null") == 0) _exit(4);
      yyjson_doc *doc = yyjson_read(answer, strlen(answer), 0);
      yyjson_val *hit = yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc), "hits"));
      const char *found = yyjson_get_str(yyjson_obj_get(hit, "id"));
      const char *v = yyjson_get_str(yyjson_obj_get(hit, "v"));
      value = found && id == found && v ? v : kAbsent;
      yyjson_doc_free(doc);
    }
    Log(fd, "R " + id + " " + value + " " + std::to_string(start) + " " + std::to_string(Now()));
  }
  searchdb_cleanup();
  _exit(0);
}

// A write as the logs tell it.
struct write_record {
  std::string value;
  long long start = 0;
  long long end = std::numeric_limits<long long>::max();  // killed mid-call
  std::string status;                                     // "" when killed mid-call
};

struct read_record {
  std::string key, value;
  long long start, end;
};

class ProcessesTest : public StorageTest {
 protected:
  std::string LogPath(const std::string &name) { return root_ + "/" + name + ".log"; }

  int OpenLog(const std::string &name) {
    return open(LogPath(name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }

  pid_t StartWriter(int k, long changes, unsigned seed) {
    const int fd = OpenLog("w" + std::to_string(k));
    const pid_t pid = fork();
    if (pid == 0) Writer(dir_, fd, k, changes, seed);
    close(fd);
    return pid;
  }

  // Calls the writer k logged as begun.
  long Begun(int k) {
    std::ifstream in(LogPath("w" + std::to_string(k)));
    long n = 0;
    for (std::string line; std::getline(in, line);) n += line.rfind("B ", 0) == 0;
    return n;
  }

  std::map<std::string, std::vector<write_record>> ReadWrites() {
    std::map<std::string, std::vector<write_record>> writes;
    for (int k = 0; k < kWriters; k++) {
      std::ifstream in(LogPath("w" + std::to_string(k)));
      std::map<std::string, std::pair<std::string, size_t>> open;  // "<pid> <seq>" -> key, index
      for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string kind, pid, seq;
        fields >> kind >> pid >> seq;
        if (kind == "B") {
          write_record w;
          std::string key;
          fields >> key >> w.value >> w.start;
          writes[key].push_back(w);
          open[pid + " " + seq] = {key, writes[key].size() - 1};
        } else {
          const auto &[key, at] = open.at(pid + " " + seq);
          fields >> writes[key][at].status >> writes[key][at].end;
        }
      }
    }
    return writes;
  }

  std::vector<read_record> ReadReads() {
    std::vector<read_record> reads;
    for (int r = 0; r < kReaders; r++) {
      std::ifstream in(LogPath("r" + std::to_string(r)));
      for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string kind;
        read_record rr;
        fields >> kind >> rr.key >> rr.value >> rr.start >> rr.end;
        reads.push_back(rr);
      }
    }
    return reads;
  }
};

bool Acknowledged(const write_record &w) {
  return w.status == "ok" || w.status == "noop";
}

// Whether value may be what a read over [start, end] of the key saw: some
// write of it (not refused) began before the read ended, and no
// acknowledged write of another value began after it ended and ended
// before the read began. A final read has start = end = the largest time.
bool Explained(const std::vector<write_record> &writes, const std::string &value, long long start,
               long long end) {
  for (const write_record &w : writes) {
    if (w.value != value || w.status == "fail" || w.start >= end) continue;
    bool replaced = false;
    for (const write_record &o : writes)
      replaced =
          replaced || (o.value != value && Acknowledged(o) && o.start > w.end && o.end < start);
    if (!replaced) return true;
  }
  return false;
}

TEST_F(ProcessesTest, EveryAcknowledgedChangeIsSeenByEveryLaterCallOfEveryProcess) {
  const long changes = EnvLong("SEARCHDB_PROCS_CHANGES", 50);
  const bool kills = EnvLong("SEARCHDB_PROCS_KILLS", 0) != 0;
  const unsigned seed = static_cast<unsigned>(EnvLong("SEARCHDB_PROCS_SEED", 1));
  Open();
  ASSERT_EQ(searchdb_index_create(kShared, nullptr), 0);
  searchdb_cleanup();  // the children open the store themselves

  const std::string done = root_ + "/done";
  std::vector<pid_t> readers;
  for (int r = 0; r < kReaders; r++) {
    const int fd = OpenLog("r" + std::to_string(r));
    const pid_t pid = fork();
    if (pid == 0) Reader(dir_, done, fd, seed * 100 + r);
    close(fd);
    readers.push_back(pid);
  }
  std::vector<pid_t> writers(kWriters);
  for (int k = 0; k < kWriters; k++) writers[k] = StartWriter(k, changes, seed * 10 + k);

  std::mt19937 rng(seed);
  int running = kWriters, killed = 0, restarts = 0;
  while (running > 0) {
    usleep(kills ? 20000 + rng() % 200000 : 20000);
    for (int k = 0; k < kWriters; k++) {
      int status;
      if (writers[k] == 0 || waitpid(writers[k], &status, WNOHANG) != writers[k]) continue;
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << "writer " << k << ": " << status;
      writers[k] = 0;
      running--;
    }
    if (!kills || running == 0) continue;
    int k;
    do k = static_cast<int>(rng() % kWriters);
    while (writers[k] == 0);
    kill(writers[k], SIGKILL);
    waitpid(writers[k], nullptr, 0);
    killed++;
    const long left = changes - Begun(k);
    if (left > 0) {
      writers[k] = StartWriter(k, left, seed * 1000 + ++restarts);
    } else {
      writers[k] = 0;
      running--;
    }
  }
  std::ofstream(done).put('\n');
  for (pid_t pid : readers) {
    int status;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader: " << status;
  }

  auto writes = ReadWrites();
  // Every key starts absent, as if written so at time zero.
  for (int k = 0; k < kWriters; k++) {
    for (int i = 0; i < kOwnIds; i++) writes[OwnId(k, i)];
    for (int j = 0; j < kOwnIndexes; j++) writes[IndexKey(OwnIndex(k, j))];
  }
  for (int i = 0; i < kSharedIds; i++) writes[SharedId(i)];
  long acknowledged = 0;
  for (auto &[key, list] : writes) {
    for (const write_record &w : list) {
      acknowledged += Acknowledged(w);
      if (!kills) {
        EXPECT_NE(w.status, "fail") << key << " " << w.value;
      }
    }
    list.insert(list.begin(), write_record{kAbsent, 0, 0, "ok"});
  }

  Open();
  EXPECT_EQ(LastError(), "");
  const long long never = std::numeric_limits<long long>::max();
  for (const auto &[key, list] : writes) {
    std::string value;
    if (key.rfind("index:", 0) == 0) {
      value = searchdb_index_stats_json(key.substr(6).c_str()) == std::string("null") ? kAbsent
                                                                                      : kExists;
    } else {
      value = ValueOf(searchdb_document_get(kShared, key.c_str()));
    }
    EXPECT_TRUE(Explained(list, value, never, never)) << key << " holds " << value;
  }
  const std::vector<read_record> reads = ReadReads();
  long unexplained = 0;
  for (const read_record &r : reads) {
    if (Explained(writes.at(r.key), r.value, r.start, r.end)) continue;
    if (++unexplained <= 5)
      ADD_FAILURE() << "read of " << r.key << " saw " << r.value << " over [" << r.start << ", "
                    << r.end << "]";
  }
  EXPECT_EQ(unexplained, 0);
  // Nothing is ever damaged. Without kills nothing is left over either; a
  // writer killed while deleting an index leaves the files the list no
  // longer names, which a later create of it sets aside.
  for (const auto &entry : fs::recursive_directory_iterator(dir_)) {
    const std::string name = entry.path().filename();
    EXPECT_EQ(name.find(".corrupt"), std::string::npos) << entry.path();
    if (!kills) {
      EXPECT_TRUE(name.find(".tmp") == std::string::npos &&
                  name.find(".found") == std::string::npos)
          << entry.path();
    }
  }
  RecordProperty("writes", std::to_string(acknowledged));
  RecordProperty("reads", std::to_string(reads.size()));
  RecordProperty("kills", std::to_string(killed));
  printf("%d writers, %ld changes each, %ld acknowledged, %zu reads checked, %d kills\n", kWriters,
         changes, acknowledged, reads.size(), killed);
}

// Every regular file below dir with its bytes.
std::map<std::string, std::string> Files(const std::string &dir) {
  std::map<std::string, std::string> files;
  for (const auto &entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    files[entry.path()] = bytes.str();
  }
  return files;
}

// Whether a lock on the file could be had through a description of its own.
bool LockIsFree(const std::string &lock_file) {
  const int fd = open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
  const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) close(fd);
  return free;
}

std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

// A child of fork shares its parent's lock file description: a lock it
// took or released there would be its parent's. Here the parent holds the
// lock, as in the middle of a change, while the child calls every export:
// each fails with the message and touches neither the lock nor a file, and
// a cleanup lets go without unlocking. After a cleanup and an init of its
// own, the child changes the store beside its parent and nothing is lost.
TEST_F(ProcessesTest, AChildOfForkTouchesNothingUntilItStartsTheLibraryAgain) {
  constexpr int kEach = 40;
  Open();
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  ASSERT_EQ(searchdb_documents_add("books", Document("p0", "parent").c_str()), 1);
  const std::string lock_file = Path("_indexes/lock");
  const std::map<std::string, std::string> before = Files(dir_);
  ASSERT_EQ(sdb_lock_take(true), SDB_LOCK_HELD);
  ASSERT_FALSE(LockIsFree(lock_file));

  int report[2], go[2];
  ASSERT_EQ(pipe(report), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    close(go[1]);
    const std::string message = "searchdb_init was called in process " + std::to_string(parent) +
                                "; call searchdb_cleanup and searchdb_init in this one";
    std::string refused;
    auto expect_refused = [&](const char *call, bool failed) {
      if (!failed || searchdb_last_error() != message)
        refused += std::string(call) + (failed ? " failed with: " : " did not fail: ") +
                   searchdb_last_error() + "; ";
    };
    expect_refused("list", strcmp(searchdb_indexes_list_json(), "[]") == 0);
    expect_refused("get", searchdb_document_get("books", "p0") == nullptr);
    expect_refused("search", strcmp(searchdb_search("books", "parent", 0, 0), "null") == 0);
    expect_refused("stats", strcmp(searchdb_index_stats_json("books"), "null") == 0);
    expect_refused("add", searchdb_documents_add("books", Document("c", "child").c_str()) == -1);
    expect_refused("delete", searchdb_document_delete("books", "p0") == -1);
    expect_refused("create", searchdb_index_create("other", nullptr) == -1);
    expect_refused("index delete", searchdb_index_delete("books") == -1);
    expect_refused("init", searchdb_init(dir_.c_str()) == -1);
    if (LockIsFree(lock_file)) refused += "the parent's lock was let go; ";
    searchdb_cleanup();
    if (LockIsFree(lock_file)) refused += "cleanup let go of the parent's lock; ";
    std::string line = refused + "\n";
    if (write(report[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(3);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(3);
    std::string failed;
    if (searchdb_init(dir_.c_str()) != 0) failed = std::string("init: ") + searchdb_last_error();
    for (int i = 1; i <= kEach && failed.empty(); i++) {
      const std::string id = "c" + std::to_string(i);
      if (searchdb_documents_add("books", Document(id, "child").c_str()) != 1)
        failed = "add " + id + ": " + searchdb_last_error();
    }
    searchdb_cleanup();
    if (write(report[1], failed.data(), failed.size()) != static_cast<ssize_t>(failed.size()))
      _exit(3);
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  close(report[1]);
  close(go[0]);
  EXPECT_EQ(ReadLine(report[0]), "");
  EXPECT_FALSE(LockIsFree(lock_file));
  EXPECT_TRUE(Files(dir_) == before) << "the child changed a stored file";
  sdb_lock_release();
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  for (int i = 1; i <= kEach; i++) {
    const std::string id = "p" + std::to_string(i);
    EXPECT_EQ(searchdb_documents_add("books", Document(id, "parent").c_str()), 1) << LastError();
  }
  char rest[4096];
  std::string child_failed;
  for (ssize_t n; (n = read(report[0], rest, sizeof rest)) > 0;) child_failed.append(rest, n);
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(child_failed, "");

  Reopen();
  for (int i = 0; i <= kEach; i++) {
    for (const char *who : {"p", "c"}) {
      const std::string id = who + std::to_string(i);
      if (id == "c0") continue;
      EXPECT_EQ(ValueOf(searchdb_document_get("books", id.c_str())),
                *who == 'p' ? "parent" : "child")
          << id;
    }
  }
}


// ---- two processes, two indexes ----

// A name other than name that shares its generation bucket.
std::string BucketMate(const std::string &name) {
  for (int k = 0;; k++) {
    const std::string other = "mate" + std::to_string(k);
    if (sdb_gen_bucket(other.c_str()) == sdb_gen_bucket(name.c_str())) return other;
  }
}

std::string Doc(const std::string &id) {
  return R"({"id":")" + id + R"("})";
}

// The address of the index record a process holds for a name: another one
// after the process loaded it again.
bool Address(const std::vector<std::string> &call, Peer::Answer *a) {
  if (call[0] != "address") return false;
  a->text = std::to_string(reinterpret_cast<uintptr_t>(sdb_index_find(call[1].c_str())));
  a->rc = 0;
  return true;
}

class TwoProcessesTest : public StorageTest {
 protected:
  // Both indexes made, each with a document, and two processes on them
  // that have read both. In between, lock_file may leave the lock file as
  // an earlier version would ("older": only the part it reads), or
  // damaged ("garbled": the first slot record's name length absurd).
  void Start(Peer &a, Peer &b, const std::string &x, const std::string &y,
             const std::string &lock_file = "") {
    Open();
    for (const std::string &name : {x, y}) {
      ASSERT_EQ(searchdb_index_create(name.c_str(), nullptr), 0);
      ASSERT_EQ(searchdb_documents_add(name.c_str(), Doc("0").c_str()), 1);
    }
    searchdb_cleanup();
    const std::string lock = Path("_indexes/lock");
    const off_t older_part = 16 + 8 * SDB_GEN_BUCKETS;
    if (lock_file == "older") {
      ASSERT_EQ(truncate(lock.c_str(), older_part), 0);
    } else if (lock_file == "garbled") {
      const int fd = open(lock.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_EQ(pwrite(fd, "\xff\xff\xff\xff", 4, older_part + 536 + 8), 4);
      close(fd);
    }
    for (Peer *p : {&a, &b}) {
      ASSERT_EQ(p->Call({"init", dir_}).rc, 0);
      for (const std::string &name : {x, y}) ASSERT_EQ(p->Call({"get", name, "0"}).rc, 0);
    }
  }
  void ExpectOneIndexLoadedAgain(const std::string &lock_file);
};

// Whatever the two names share, a change each process makes is seen by
// the other's next read, and neither loses the other's.
TEST_F(TwoProcessesTest, EachSeesTheOthersChangeOfAnotherIndex) {
  for (const auto &[x, y] :
       {std::pair<std::string, std::string>{"x", BucketMate("x")}, {"x", "y"}}) {
    SCOPED_TRACE(x + " and " + y);
    fs::remove_all(dir_);
    Peer a, b;
    Start(a, b, x, y);
    for (int k = 1; k <= 2; k++) {
      const std::string id = std::to_string(k);
      ASSERT_EQ(b.Call({"add", x, Doc("b" + id)}).rc, 1);
      ASSERT_EQ(a.Call({"add", y, Doc("a" + id)}).rc, 1);
      EXPECT_EQ(a.Call({"get", x, "b" + id}).text, Doc("b" + id));
      EXPECT_EQ(b.Call({"get", y, "a" + id}).text, Doc("a" + id));
      ASSERT_EQ(a.Call({"add", x, Doc("a" + id)}).rc, 1);
      EXPECT_EQ(b.Call({"get", x, "a" + id}).text, Doc("a" + id));
    }
    a.Call({"cleanup"});
    b.Call({"cleanup"});
    Open();
    for (const char *id : {"b1", "b2", "a1", "a2"})
      EXPECT_STRNE(searchdb_document_get(x.c_str(), id), nullptr) << id;
    searchdb_cleanup();
  }
}

// One index changed elsewhere costs a process nothing for another, even
// one of its bucket: the other keeps its loaded record. A change by an
// earlier version, which raises only the bucket, is still seen.
TEST_F(TwoProcessesTest, AChangeOfOneIndexLoadsNoOtherAgain) {
  for (const std::string lock_file : {"", "older", "garbled"}) {
    SCOPED_TRACE("lock file " + lock_file);
    fs::remove_all(dir_);
    ExpectOneIndexLoadedAgain(lock_file);
  }
}

void TwoProcessesTest::ExpectOneIndexLoadedAgain(const std::string &lock_file) {
  const std::string x = "x", y = BucketMate("x");
  Peer a(Address), b;
  Start(a, b, x, y, lock_file);
  const std::string held_x = a.Call({"address", x}).text, held_y = a.Call({"address", y}).text;
  ASSERT_EQ(b.Call({"add", x, Doc("b1")}).rc, 1);
  EXPECT_EQ(a.Call({"get", y, "0"}).text, Doc("0"));
  EXPECT_EQ(a.Call({"address", y}).text, held_y) << "loaded again";
  EXPECT_EQ(a.Call({"get", x, "b1"}).text, Doc("b1"));
  EXPECT_NE(a.Call({"address", x}).text, held_x) << "not loaded again";
  ASSERT_EQ(b.Call({"create", "z"}).rc, 0);
  EXPECT_EQ(a.Call({"get", y, "0"}).text, Doc("0"));
  EXPECT_EQ(a.Call({"address", y}).text, held_y) << "loaded again with the list";

  // An earlier version's change of y: its documents file replaced and its
  // bucket raised, under the lock.
  const int fd = open(Path("_indexes/lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  WriteFile(Path(y + "/docs.json.tmp"), R"([{"__id":"old","raw":"{\"id\":\"old\"}"}])");
  fs::rename(Path(y + "/docs.json.tmp"), Path(y + "/docs.json"));
  const off_t at = 16 + 8 * static_cast<off_t>(sdb_gen_bucket(y.c_str()));
  unsigned char word[8];
  ASSERT_EQ(pread(fd, word, 8, at), 8);
  for (int i = 0; i < 8 && ++word[i] == 0; i++) {
  }
  ASSERT_EQ(pwrite(fd, word, 8, at), 8);
  close(fd);  // and with it the lock
  EXPECT_EQ(a.Call({"get", y, "old"}).text, Doc("old"));
}

// A change that cannot catch up (the documents file another process saved
// cannot be read) fails without holding the lock: another process changes
// the store at once.
TEST_F(TwoProcessesTest, AChangeWhoseCatchUpFailsReleasesTheLock) {
  Peer a, b;
  Start(a, b, "x", "y");
  ASSERT_EQ(b.Call({"timeout", "200"}).rc, 0);
  ASSERT_EQ(b.Call({"add", "x", Doc("b1")}).rc, 1);
  fs::rename(Path("x/docs.json"), root_ + "/docs.json");
  fs::create_directory(Path("x/docs.json"));
  const Peer::Answer failed = a.Call({"add", "x", Doc("a1")});
  EXPECT_EQ(failed.rc, -1);
  EXPECT_EQ(failed.error, "read " + Path("x/docs.json") + ": not a regular file");
  const Peer::Answer added = b.Call({"add", "y", Doc("b2")});
  EXPECT_EQ(added.rc, 1) << added.error;
  fs::remove(Path("x/docs.json"));
  fs::rename(root_ + "/docs.json", Path("x/docs.json"));
  EXPECT_EQ(a.Call({"add", "x", Doc("a1")}).rc, 1);
  EXPECT_EQ(a.Call({"get", "x", "b1"}).text, Doc("b1"));
}

}  // namespace
