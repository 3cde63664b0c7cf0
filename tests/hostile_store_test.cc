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
#include <filesystem>
#include <map>
#include <string>

#include "fixture.h"
#include "storage/lock.h"

namespace fs = std::filesystem;

// The test program's flock stands in front of the C library's: armed, it
// fails as on a file system without locks.
namespace {
bool g_no_locks = false;
}

extern "C" int flock(int fd, int op) noexcept {
  if (g_no_locks) {
    errno = ENOLCK;
    return -1;
  }
  return static_cast<int>(syscall(SYS_flock, fd, op));
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
