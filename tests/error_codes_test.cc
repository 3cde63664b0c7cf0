// Every failure's code, as a host reads it with searchdb_last_error_code():
// one case per kind of failure (and per kind of warning), each from a fresh
// store. The code of running out of memory is held to every "oom: "
// message of the allocation-failure sweep (oom_test.cc).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "base/limits.h"
#include "fixture.h"
#include "storage/lock.h"

// The test program's flock stands in front of the C library's: armed, it
// fails as on a file system without locks.
namespace {
bool g_no_locks = false;
}  // namespace

extern "C" int flock(int fd, int op) noexcept {
  if (g_no_locks) {
    errno = ENOLCK;
    return -1;
  }
  return static_cast<int>(syscall(SYS_flock, fd, op));
}

namespace {

class ErrorCodesTest : public StorageTest {
 public:
  using StorageTest::dir_;
  using StorageTest::Open;
  using StorageTest::Path;
  using StorageTest::root_;
  using StorageTest::WriteFile;

  void TearDown() override {
    g_no_locks = false;
    s_lock_timeout_ms = SDB_LOCK_TIMEOUT_MS;
    StorageTest::TearDown();
  }
  void CreateBooks() {
    Open();
    ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
    ASSERT_EQ(searchdb_documents_add("books", R"({"id":"1","title":"Dune"})"), 1);
  }
};

// What a case expects: the call's result (-1 for a failure, 0 for a call
// that succeeds with a warning), the code, and how the message begins.
struct Case {
  const char *name;
  int code;
  int rc;
  const char *begins;
  std::function<int(ErrorCodesTest *)> run;
};

TEST_F(ErrorCodesTest, EachFailureCarriesTheCodeOfWhatItSays) {
  const std::string many_words = [] {
    std::string q;
    for (int i = 0; i <= SDB_QUERY_TOKEN_MAX; i++) q += "w ";
    return q;
  }();
  int held = -1;
  const Case cases[] = {
      {"before init", SEARCHDB_MISUSE, -1, "not initialized",
       [](ErrorCodesTest *) { return searchdb_index_create("books", nullptr); }},
      {"second init", SEARCHDB_MISUSE, -1, "already initialized",
       [](ErrorCodesTest *t) {
         t->Open();
         return searchdb_init(t->dir_.c_str());
       }},
      {"a name that is no name", SEARCHDB_INVALID, -1, "index name invalid",
       [](ErrorCodesTest *t) {
         t->Open();
         return searchdb_index_create("a//b", nullptr);
       }},
      {"documents that are not JSON", SEARCHDB_INVALID, -1, "invalid JSON in documents_add",
       [](ErrorCodesTest *t) {
         t->CreateBooks();
         return searchdb_documents_add("books", "{");
       }},
      {"a bad request", SEARCHDB_INVALID, -1, "filter: unknown op 'regex'",
       [](ErrorCodesTest *t) {
         t->CreateBooks();
         const char *r =
             searchdb_search_request("books", R"({"filter":{"field":"a","op":"regex","value":1}})");
         return std::string(r) == "null" ? -1 : 0;
       }},
      {"a query over the limit", SEARCHDB_TOOBIG, -1, "query has 1025 tokens",
       [&many_words](ErrorCodesTest *t) {
         t->CreateBooks();
         return std::string(searchdb_search("books", many_words.c_str(), 10, 0)) == "null" ? -1 : 0;
       }},
      {"a request over a limit", SEARCHDB_TOOBIG, -1, "sort: more than 32 keys",
       [](ErrorCodesTest *t) {
         t->CreateBooks();
         std::string sort = R"({"sort":[)";
         for (int i = 0; i <= SDB_SORT_KEYS_MAX; i++)
           sort += std::string(i ? "," : "") + "\"relevance\"";
         return std::string(searchdb_search_request("books", (sort + "]}").c_str())) == "null" ? -1
                                                                                               : 0;
       }},
      {"a storage directory too long", SEARCHDB_TOOBIG, -1, "storage_dir too long",
       [](ErrorCodesTest *t) {
         return searchdb_init((t->root_ + "/" + std::string(SDB_STORAGE_DIR_SIZE, 'd')).c_str());
       }},
      {"no such document", SEARCHDB_NOTFOUND, -1, "document 'nope' not found",
       [](ErrorCodesTest *t) {
         t->CreateBooks();
         return searchdb_document_get("books", "nope") == nullptr ? -1 : 0;
       }},
      {"no such index", SEARCHDB_NOTFOUND, -1, "index 'nope' not found",
       [](ErrorCodesTest *t) {
         t->Open();
         return searchdb_index_delete("nope");
       }},
      {"an index that exists", SEARCHDB_EXISTS, -1, "index 'books' already exists",
       [](ErrorCodesTest *t) {
         t->CreateBooks();
         return searchdb_index_create("books", nullptr);
       }},
      {"files found where an index is created", SEARCHDB_EXISTS, 0, "set aside 1 file(s): ",
       [](ErrorCodesTest *t) {
         t->Open();
         std::filesystem::create_directories(t->Path("news"));
         t->WriteFile(t->Path("news/docs.json"), "[]");
         return searchdb_index_create("news", nullptr);
       }},
      {"a lock held all along", SEARCHDB_LOCKED, -1, "storage '",
       [&held](ErrorCodesTest *t) {
         t->CreateBooks();
         held = open(t->Path("_indexes/lock").c_str(), O_RDWR | O_CLOEXEC);
         if (held < 0 || syscall(SYS_flock, held, LOCK_EX) != 0) return 0;
         s_lock_timeout_ms = 20;
         return searchdb_documents_add("books", R"({"id":"2"})");
       }},
      {"a store without locks", SEARCHDB_READONLY, 0, "loaded read-only: lock ",
       [](ErrorCodesTest *t) {
         g_no_locks = true;
         return searchdb_init(t->dir_.c_str());
       }},
      {"a change in a read-only store", SEARCHDB_READONLY, -1, "lock ",
       [](ErrorCodesTest *t) {
         g_no_locks = true;
         if (searchdb_init(t->dir_.c_str()) != 0) return 0;
         return searchdb_index_create("books", nullptr);
       }},
      {"a file that cannot be written", SEARCHDB_IO, -1, "fopen ",
       [](ErrorCodesTest *t) {
         t->CreateBooks();
         // A directory, not empty, where the temporary file is to be made.
         std::filesystem::create_directories(t->Path("books/docs.json.tmp/in"));
         return searchdb_documents_add("books", R"({"id":"2"})");
       }},
      {"a damaged file set aside at init", SEARCHDB_CORRUPT, 0, "set aside 1 file(s): ",
       [](ErrorCodesTest *t) {
         t->CreateBooks();
         searchdb_cleanup();
         t->WriteFile(t->Path("books/docs.json"), "[{");
         return searchdb_init(t->dir_.c_str());
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    EXPECT_EQ(c.run(this), c.rc);
    const std::string message = LastError();
    EXPECT_EQ(message.substr(0, strlen(c.begins)), c.begins) << message;
    EXPECT_EQ(searchdb_last_error_code(), c.code) << message;
    if (held >= 0) close(held);
    held = -1;
    // Cleared with the message.
    searchdb_cleanup();
    EXPECT_EQ(LastError(), "");
    EXPECT_EQ(searchdb_last_error_code(), SEARCHDB_OK);
  }
}

}  // namespace
