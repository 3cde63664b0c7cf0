// A storage directory as a careless host, a full system or an attacker may
// leave it: locked by another process, files that cannot be read, files
// where the library writes, planted links and FIFOs, names that land on the
// store's own files, saves that cannot happen, documents too large to give
// back and the leftovers of crashes. Every case asserts the sound answer,
// that no stored byte was lost and that nothing outside the storage
// directory was touched.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "fixture.h"
#include "peer.h"
#include "storage/lock.h"

namespace fs = std::filesystem;

// The test program's flock, openat and renameat stand in front of the C
// library's. Armed, flock fails as on a file system without locks; openat
// refuses to open the lock file for writing, as for a process without
// write permission on it; renameat stops the process right after a list is
// saved, telling g_paused, until g_resume is written.
namespace {
bool g_no_locks = false;
bool g_lock_read_only = false;
bool g_pause_after_list = false;
int g_paused = -1, g_resume = -1;
}  // namespace

extern "C" int flock(int fd, int op) noexcept {
  if (g_no_locks) {
    errno = ENOLCK;
    return -1;
  }
  return static_cast<int>(syscall(SYS_flock, fd, op));
}

extern "C" int openat(int dir, const char *path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if (g_lock_read_only && strcmp(path, "lock") == 0 && (flags & O_ACCMODE) != O_RDONLY) {
    errno = EACCES;
    return -1;
  }
  return static_cast<int>(syscall(SYS_openat, dir, path, flags, mode));
}

extern "C" int renameat(int from_dir, const char *from, int to_dir, const char *to) noexcept {
  const int rc = static_cast<int>(syscall(SYS_renameat, from_dir, from, to_dir, to));
  if (rc == 0 && g_pause_after_list && strcmp(to, "list.json") == 0) {
    g_pause_after_list = false;
    char c = 'p';
    (void)!write(g_paused, &c, 1);
    (void)!read(g_resume, &c, 1);
  }
  return rc;
}

namespace {

class HostileStoreTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    outside_ = root_ + "/outside";
    fs::create_directories(outside_);
    WriteFile(outside_ + "/victim", "keep me");
  }
  void TearDown() override {
    g_no_locks = false;
    s_lock_timeout_ms = kTimeout;
    StorageTest::TearDown();
  }

  void Put(const std::string &rel, const std::string &data) {
    fs::create_directories(fs::path(Path(rel)).parent_path());
    WriteFile(Path(rel), data);
  }
  // A stored index "books" holding one document.
  void PutBooks() {
    Put("_indexes/list.json", R"(["books"])");
    Put("books/meta.json", R"({"name":"books","primary_key":"id"})");
    Put("books/docs.json", kBooks);
  }
  // Every file below dir with its bytes (a link as "-> target"), but the
  // lock's generations, which every change raises.
  static std::map<std::string, std::string> Files(const std::string &dir) {
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
      const std::string rel = fs::relative(e.path(), dir);
      if (rel == "_indexes/lock") continue;
      if (e.is_symlink())
        files[rel] = "-> " + fs::read_symlink(e.path()).string();
      else if (e.is_regular_file())
        files[rel] = ReadFile(e.path());
    }
    return files;
  }
  void ExpectOutsideUntouched() {
    EXPECT_EQ(Files(outside_), (std::map<std::string, std::string>{{"victim", "keep me"}}));
  }

  static constexpr int kTimeout = 10000;
  static constexpr char kBooks[] = R"([{"__id":"1","raw":"{\"id\":\"1\",\"t\":\"dune\"}"}])";
  std::string outside_;
};

// Another process holds the lock for as long as the pipe stays open.
struct lock_holder {
  pid_t pid;
  int release;
};

lock_holder HoldLock(const std::string &lock_file) {
  int ready[2], release[2];
  EXPECT_EQ(pipe(ready), 0);
  EXPECT_EQ(pipe(release), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(release[1]);  // or the read below never sees the parent's close
    const int fd = open(lock_file.c_str(), O_RDWR | O_CREAT, 0644);
    char c = fd >= 0 && syscall(SYS_flock, fd, LOCK_EX) == 0 ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char c = 0;
  EXPECT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(c, 'y');
  close(ready[0]);
  return {pid, release[1]};
}

void Release(lock_holder h) {
  close(h.release);
  waitpid(h.pid, nullptr, 0);
}

TEST_F(HostileStoreTest, ALockHeldElsewhereMakesCallsWaitThenFailChangingNothing) {
  PutBooks();
  s_lock_timeout_ms = 100;
  lock_holder h = HoldLock(Path("_indexes/lock"));
  EXPECT_EQ(searchdb_init(dir_.c_str()), -1);
  EXPECT_EQ(LastError(), "storage '" + dir_ + "' is locked");
  EXPECT_STREQ(searchdb_indexes_list_json(), "[]");
  Release(h);

  Open();
  h = HoldLock(Path("_indexes/lock"));
  EXPECT_EQ(searchdb_documents_add("books", R"({"id":"2"})"), -1);
  EXPECT_EQ(LastError(), "storage '" + dir_ + "' is locked");
  EXPECT_EQ(searchdb_index_create("more", nullptr), -1);
  // Reading needs no lock while nothing moved.
  EXPECT_STRNE(searchdb_document_get("books", "1"), nullptr);
  Release(h);
  EXPECT_EQ(ReadFile(Path("books/docs.json")), kBooks);
  EXPECT_EQ(searchdb_documents_add("books", R"({"id":"2"})"), 1);
}

// The lock file cut to nothing or to the part earlier versions read, its
// slot records garbled, removed (a process started afterwards makes a new
// one), or replaced by another file, while two processes use the store:
// each of them must still lock the file the other locks, and take what
// the other wrote for what it holds. Every write they report done is there
// afterwards, and each reads the other's at once.
TEST_F(HostileStoreTest, ALockFileCutRemovedOrReplacedLosesNoWrite) {
  const std::string lock = Path("_indexes/lock"), copy = root_ + "/lock.copy";
  auto doc = [](const std::string &id) { return R"({"id":")" + id + R"("})"; };
  for (const std::string how : {"cut", "cut to what earlier versions read", "garbled", "removed",
                                "replaced", "replaced by a stale copy"}) {
    SCOPED_TRACE(how);
    fs::remove_all(dir_);
    PutBooks();
    Peer a, b;
    ASSERT_EQ(a.Call({"init", dir_}).rc, 0);
    // b opens before the file is touched, or after it where that makes it
    // open another file than a has open.
    const bool b_after = how == "removed" || how == "replaced";
    if (!b_after) {
      ASSERT_EQ(b.Call({"init", dir_}).rc, 0);
    }
    // A change of a's first, leaving a slot record behind, and what a copy
    // of the file taken before it holds.
    std::vector<std::string> ids = {"1", "a0"};
    if (how == "replaced by a stale copy") fs::copy_file(lock, copy);
    ASSERT_EQ(a.Call({"add", "books", doc("a0")}).rc, 1);
    if (how == "cut") {
      ASSERT_EQ(truncate(lock.c_str(), 0), 0);
    } else if (how == "cut to what earlier versions read") {
      ASSERT_EQ(truncate(lock.c_str(), 16 + 8 * SDB_GEN_BUCKETS), 0);
    } else if (how == "garbled") {
      // The name length of the first slot record, far beyond a name.
      const int fd = open(lock.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_EQ(pwrite(fd, "\xff\xff\xff\xff", 4, 16 + 8 * SDB_GEN_BUCKETS + 536 + 8), 4);
      close(fd);
    } else if (how == "removed") {
      fs::remove(lock);
    } else if (how == "replaced") {
      WriteFile(copy, "another file");
      fs::rename(copy, lock);
    } else {
      fs::rename(copy, lock);
    }
    if (b_after) {
      ASSERT_EQ(b.Call({"init", dir_}).rc, 0);
    }
    // b goes first: behind the stale copy it is the one whose generations
    // the file at the path repeats; elsewhere a must see its change from
    // a file it has not opened.
    for (int k = 1; k <= 3; k++) {
      const std::string bk = "b" + std::to_string(k), ak = "a" + std::to_string(k);
      const Peer::Answer added_b = b.Call({"add", "books", doc(bk)});
      EXPECT_EQ(added_b.rc, 1) << added_b.error;
      EXPECT_EQ(a.Call({"get", "books", bk}).text, doc(bk)) << k;
      const Peer::Answer added_a = a.Call({"add", "books", doc(ak)});
      EXPECT_EQ(added_a.rc, 1) << added_a.error;
      EXPECT_EQ(b.Call({"get", "books", ak}).text, doc(ak)) << k;
      ids.push_back(bk);
      ids.push_back(ak);
    }
    a.Call({"cleanup"});
    b.Call({"cleanup"});
    Open();
    for (const std::string &id : ids)
      EXPECT_STRNE(searchdb_document_get("books", id.c_str()), nullptr) << id;
    searchdb_cleanup();
  }
}

// A process that cannot lock for writing lists the store while another
// creates an index, between its list and its settings. With a lock file it
// can only read, it takes the shared lock and waits for the whole create;
// without locks at all it may miss the index then, but not at its next
// call.
TEST_F(HostileStoreTest, AReaderWithoutTheLockSeesAnIndexCreatedWhileItLoads) {
  for (const std::string how : {"read-only lock file", "no locks"}) {
    SCOPED_TRACE(how);
    fs::remove_all(dir_);
    PutBooks();
    int paused[2], resume[2];
    ASSERT_EQ(pipe(paused), 0);
    ASSERT_EQ(pipe(resume), 0);
    g_paused = paused[1];
    g_resume = resume[0];
    Peer writer([](const std::vector<std::string> &call, Peer::Answer *a) {
      if (call[0] != "pause after list") return false;
      g_pause_after_list = true;
      a->rc = 0;
      return true;
    });
    Peer reader([&](const std::vector<std::string> &call, Peer::Answer *a) {
      if (call[0] != "without the lock") return false;
      (how == "no locks" ? g_no_locks : g_lock_read_only) = true;
      a->rc = 0;
      return true;
    });
    reader.Call({"without the lock"});
    const Peer::Answer opened = reader.Call({"init", dir_});
    ASSERT_EQ(opened.rc, 0);
    EXPECT_EQ(opened.error, "loaded read-only: lock " + Path("_indexes/lock") + ": " +
                                (how == "no locks" ? "No locks available" : "Permission denied"));
    EXPECT_EQ(reader.Call({"list"}).text, R"([{"name":"books","primary_key":"id"}])");
    ASSERT_EQ(writer.Call({"init", dir_}).rc, 0);
    writer.Call({"pause after list"});
    writer.Send({"create", "news"});
    char c;
    ASSERT_EQ(read(paused[0], &c, 1), 1);
    // The list names "news" now; its settings are not written yet.
    reader.Send({"list"});
    usleep(200000);
    ASSERT_EQ(write(resume[1], &c, 1), 1);
    EXPECT_EQ(writer.Receive().rc, 0);
    const std::string both =
        R"([{"name":"books","primary_key":"id"},{"name":"news","primary_key":"id"}])";
    const std::string during = reader.Receive().text;
    if (how == "read-only lock file") {
      EXPECT_EQ(during, both);
    }
    EXPECT_EQ(reader.Call({"list"}).text, both);
    ASSERT_EQ(writer.Call({"add", "news", R"({"id":"n1"})"}).rc, 1);
    EXPECT_EQ(reader.Call({"get", "news", "n1"}).text, R"({"id":"n1"})");
    for (int fd : {paused[0], paused[1], resume[0], resume[1]}) close(fd);
  }
}

TEST_F(HostileStoreTest, WithoutLocksTheStoreLoadsReadOnlyAndRefusesChanges) {
  PutBooks();
  g_no_locks = true;
  Open();
  const std::string reason = "lock " + Path("_indexes/lock") + ": No locks available";
  EXPECT_EQ(LastError(), "loaded read-only: " + reason);
  EXPECT_STRNE(searchdb_document_get("books", "1"), nullptr);
  EXPECT_EQ(searchdb_documents_add("books", R"({"id":"2"})"), -1);
  EXPECT_EQ(LastError(), reason);
  EXPECT_EQ(searchdb_index_delete("books"), -1);
  EXPECT_EQ(LastError(), reason);
  EXPECT_EQ(ReadFile(Path("books/docs.json")), kBooks);
}

TEST_F(HostileStoreTest, AFileThatCannotBeReadFailsTheStartAndIsNeverOverwritten) {
  PutBooks();
  const auto stored = Files(dir_);
  // A FIFO, read as a file, would block the start for ever.
  fs::rename(Path("books/docs.json"), outside_ + "/docs.json");
  ASSERT_EQ(mkfifo(Path("books/docs.json").c_str(), 0600), 0);
  EXPECT_EQ(searchdb_init(dir_.c_str()), -1);
  EXPECT_EQ(LastError(), "read " + Path("books/docs.json") + ": not a regular file");
  EXPECT_STREQ(searchdb_indexes_list_json(), "[]");
  fs::remove(Path("books/docs.json"));
  fs::rename(outside_ + "/docs.json", Path("books/docs.json"));
  fs::create_directory(Path("_indexes/list.json.d"));
  fs::rename(Path("_indexes/list.json"), outside_ + "/list.json");
  fs::rename(Path("_indexes/list.json.d"), Path("_indexes/list.json"));
  EXPECT_EQ(searchdb_init(dir_.c_str()), -1);
  EXPECT_EQ(LastError(), "read " + Path("_indexes/list.json") + ": not a regular file");
  fs::remove(Path("_indexes/list.json"));
  fs::rename(outside_ + "/list.json", Path("_indexes/list.json"));
  // A storage directory that is a file.
  EXPECT_EQ(searchdb_init((outside_ + "/victim").c_str()), -1);
  EXPECT_NE(LastError(), "");

  // Out of descriptors at any point of the start: it fails or loads all.
  for (int spare = 0; spare < 12; spare++) {
    rlimit was;
    getrlimit(RLIMIT_NOFILE, &was);
    const int in_use = open("/dev/null", O_RDONLY);
    close(in_use);
    rlimit tight = was;
    tight.rlim_cur = static_cast<rlim_t>(in_use + spare);
    setrlimit(RLIMIT_NOFILE, &tight);
    const int rc = searchdb_init(dir_.c_str());
    const std::string error = LastError(), list = searchdb_indexes_list_json();
    setrlimit(RLIMIT_NOFILE, &was);
    if (rc == 0) {
      EXPECT_EQ(list, R"([{"name":"books","primary_key":"id"}])") << spare;
      EXPECT_EQ(searchdb_documents_add("books", R"({"id":"2"})"), 1) << LastError();
      EXPECT_EQ(searchdb_document_delete("books", "2"), 0);
    } else {
      EXPECT_NE(error.find("Too many open files"), std::string::npos) << spare << ": " << error;
    }
    searchdb_cleanup();
  }
  Open();
  EXPECT_EQ(Files(dir_).at("books/docs.json"), stored.at("books/docs.json"));
  EXPECT_STRNE(searchdb_document_get("books", "1"), nullptr);
  ExpectOutsideUntouched();
}

TEST_F(HostileStoreTest, FilesFoundWhereCreateWritesAreSetAsideFirst) {
  // "books" left behind by a list that no longer names it.
  PutBooks();
  Put("_indexes/list.json", "[]");
  Open();
  ASSERT_EQ(searchdb_index_create("books", "isbn"), 0) << LastError();
  EXPECT_EQ(LastError(),
            "set aside 2 file(s): books/docs.json -> books/docs.json.found, "
            "books/meta.json -> books/meta.json.found");
  EXPECT_EQ(ReadFile(Path("books/docs.json.found")), kBooks);
  EXPECT_EQ(ReadFile(Path("books/docs.json")), "[]");
  // A listed index without settings is not loaded, and its documents wait
  // for a create to set them aside too.
  Put("lost/docs.json", kBooks);
  Put("_indexes/list.json", R"(["books","lost"])");
  Reopen();
  EXPECT_STREQ(searchdb_indexes_list_json(), R"([{"name":"books","primary_key":"isbn"}])");
  ASSERT_EQ(searchdb_index_create("other", nullptr), 0);
  EXPECT_EQ(ReadFile(Path("lost/docs.json")), kBooks);
  ASSERT_EQ(searchdb_index_create("lost", nullptr), 0);
  EXPECT_EQ(ReadFile(Path("lost/docs.json.found")), kBooks);
  ExpectOutsideUntouched();
}

TEST_F(HostileStoreTest, LinksAreNeverFollowedOutOfTheStore) {
  PutBooks();
  Open();
  fs::create_symlink(outside_ + "/victim", Path("books/docs.json.tmp"));
  ASSERT_EQ(searchdb_documents_add("books", R"({"id":"2"})"), 1) << LastError();
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Path("books/docs.json"))));
  // An index directory that is a link to another directory.
  fs::create_directory_symlink(outside_, Path("linked"));
  EXPECT_EQ(searchdb_index_create("linked", nullptr), -1);
  EXPECT_NE(LastError(), "");
  fs::remove(Path("linked"));
  ASSERT_EQ(searchdb_index_create("linked", nullptr), 0);
  fs::remove_all(Path("linked"));
  fs::create_directory_symlink(outside_, Path("linked"));
  WriteFile(outside_ + "/docs.json", "theirs");
  EXPECT_EQ(searchdb_index_delete("linked"), 0);
  EXPECT_EQ(ReadFile(outside_ + "/docs.json"), "theirs");
  fs::remove(outside_ + "/docs.json");
  Reopen();
  EXPECT_STRNE(searchdb_document_get("books", "2"), nullptr);
  ExpectOutsideUntouched();
}

TEST_F(HostileStoreTest, NamesThatLandOnTheStoresOwnFilesAreRefusedButStillLoad) {
  Open();
  ASSERT_EQ(searchdb_index_create("c", nullptr), 0);
  for (const char *name : {"c/docs.json.tmp", "_indexes/list.json.tmp", "_indexes", "x/meta.json",
                           "x/docs.json.corrupt.2", "docs.json.found/y"}) {
    EXPECT_EQ(searchdb_index_create(name, nullptr), -1) << name;
    EXPECT_EQ(LastError(), "index name invalid") << name;
  }
  for (const char *name : {"docs.jsonx", "x/meta.json.corrupt.2x", "y/_indexes"})
    EXPECT_EQ(searchdb_index_create(name, nullptr), 0) << name << ": " << LastError();
  ASSERT_EQ(searchdb_documents_add("c", R"({"id":"1"})"), 1);
  // One stored before the rule came still loads.
  searchdb_cleanup();
  Put("a/docs.json/meta.json", R"({"name":"a/docs.json","primary_key":"id"})");
  Put("_indexes/list.json", R"(["c","a/docs.json"])");
  Open();
  EXPECT_STREQ(searchdb_indexes_list_json(),
               R"([{"name":"c","primary_key":"id"},{"name":"a/docs.json","primary_key":"id"}])");
}

TEST_F(HostileStoreTest, ADeleteThatCannotSaveTheListFailsAndKeepsTheIndexInItsPlace) {
  PutBooks();
  Put("_indexes/list.json", R"(["books","shop"])");
  Put("shop/meta.json", R"({"name":"shop","primary_key":"id"})");
  Open();
  const auto stored = Files(dir_);
  // A directory where the list's temporary file goes cannot be replaced.
  Put("_indexes/list.json.tmp/blocker", "x");
  EXPECT_EQ(searchdb_index_delete("books"), -1);
  EXPECT_EQ(LastError().rfind("fopen " + Path("_indexes/list.json.tmp") + ": ", 0), 0u)
      << LastError();
  EXPECT_STREQ(searchdb_indexes_list_json(),
               R"([{"name":"books","primary_key":"id"},{"name":"shop","primary_key":"id"}])");
  fs::remove_all(Path("_indexes/list.json.tmp"));
  EXPECT_EQ(Files(dir_), stored);
  Reopen();
  EXPECT_STRNE(searchdb_document_get("books", "1"), nullptr);
}

TEST_F(HostileStoreTest, ADocumentTooLargeToGiveBackIsRefusedAtAdd) {
  Open();
  ASSERT_EQ(searchdb_index_create("big", nullptr), 0);
  // {"id":"a","t":"<filler>"} is 17 bytes around the filler.
  const uint64_t limit = 33554431;
  const std::string fits = R"({"id":"a","t":")" + std::string(limit - 17, 'x') + R"("})";
  ASSERT_EQ(fits.size(), limit);
  const std::string over = R"({"id":"b","t":")" + std::string(limit - 16, 'x') + R"("})";
  EXPECT_EQ(searchdb_documents_add("big", over.c_str()), -1);
  EXPECT_EQ(LastError(), "document 'b' is 33554432 bytes, over the limit of 33554431");
  ASSERT_EQ(searchdb_documents_add("big", fits.c_str()), 1) << LastError();
  EXPECT_EQ(std::string(searchdb_document_get("big", "a")), fits);
  EXPECT_EQ(searchdb_document_get("big", "b"), nullptr);
}

TEST_F(HostileStoreTest, TheLeftoversOfCrashesAreCleaned) {
  PutBooks();
  for (const char *tmp : {"_indexes/list.json.tmp", "books/docs.json.tmp", "books/meta.json.tmp"})
    Put(tmp, "partial");
  Open();
  for (const char *tmp : {"_indexes/list.json.tmp", "books/docs.json.tmp", "books/meta.json.tmp"})
    EXPECT_FALSE(Exists(Path(tmp))) << tmp;
  Put("books/meta.json.tmp", "partial");
  ASSERT_EQ(searchdb_index_delete("books"), 0);
  EXPECT_FALSE(Exists(Path("books")));
  ExpectOutsideUntouched();
}

}  // namespace
