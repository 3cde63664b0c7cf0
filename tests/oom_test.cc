// Out-of-memory behaviour, tested the way embedded databases test it: a
// scripted workload runs once for every allocation it makes, with that one
// allocation failing (and once more with it and every later allocation of
// the same call failing); a start refused for memory is tried again. After
// every call, with allocation working again:
//  - the call returned its success value or its failure value, and a
//    failure left a message;
//  - the library answers consistently: the index list, every document, the
//    statistics and a search for every document's own word agree with the
//    changes that were reported done, and a successful answer given under
//    injection is the one given without it;
//  - after the last call, a fresh start on the directory finds exactly
//    those changes, and nothing the library allocated is still held.
//
// The test program's own malloc, calloc, realloc and free stand in front of
// the allocator (the library's, yyjson's and the C library's allocations
// all pass through them); they count and fail only while a library call is
// being made. Where another allocator takes their place (AddressSanitizer's
// builds; Valgrind unless run with --soname-synonyms=somalloc=nouserintercepts)
// only the plain workload runs. SEARCHDB_OOM_STRIDE=k runs every k-th
// failure point only; SEARCHDB_OOM_TRACE=n prints where failure point n
// strikes.
#include <dlfcn.h>
#include <execinfo.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "api/frame.h"
#include "api/registry.h"
#include "base/checksum.h"
#include "fixture.h"
#include "index/columns.h"
#include "index/index.h"
#include "storage/derived.h"
#include "storage/derived_format.h"
#include "storage/derived_map.h"
#include "storage/layout.h"

// ---- allocation interposer ----

#if defined(__SANITIZE_ADDRESS__)
#define SDB_TEST_INTERPOSE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SDB_TEST_INTERPOSE 0
#endif
#endif
#ifndef SDB_TEST_INTERPOSE
#define SDB_TEST_INTERPOSE 1
#endif

namespace {

// Failure injection: while armed, allocation number fail_at (counted from 1)
// fails, and with persistent every later one too.
struct injector {
  bool armed;
  bool persistent;
  long fail_at;  // 0: never
  long count;
  bool failed;  // an allocation has failed since the counter was reset
};
injector g_inject;

// Blocks allocated inside library calls and not yet released, in an
// open-addressing table that itself never allocates.
constexpr size_t kLiveSlots = 1 << 16;
const void *g_live[kLiveSlots];
const void *const kTombstone = &g_live;
size_t g_live_count;

void ClearLive() {
  memset(g_live, 0, sizeof g_live);
  g_live_count = 0;
}

// Whether this program's allocator stands in front: a tool that replaces
// malloc everywhere (as Valgrind does unless told
// --soname-synonyms=somalloc=nouserintercepts) takes its place.
bool Interposed() {
  void *(*volatile allocate)(size_t) = malloc;
  g_inject = injector{true, false, 0, 0, false};
  free(allocate(1));
  g_inject.armed = false;
  return g_inject.count == 1;
}

}  // namespace

#if SDB_TEST_INTERPOSE

namespace {

using malloc_fn = void *(*)(size_t);
using calloc_fn = void *(*)(size_t, size_t);
using realloc_fn = void *(*)(void *, size_t);
using free_fn = void (*)(void *);
using memalign_fn = int (*)(void **, size_t, size_t);

malloc_fn g_malloc;
calloc_fn g_calloc;
realloc_fn g_realloc;
free_fn g_free;
memalign_fn g_memalign;

// dlsym may allocate while the real functions are being looked up; those
// few blocks come from here and are never released.
alignas(std::max_align_t) char g_boot[8192];
size_t g_boot_used;
bool g_resolving;

bool FromBoot(const void *p) {
  return p >= static_cast<const void *>(g_boot) &&
         p < static_cast<const void *>(g_boot + sizeof g_boot);
}

void *BootAlloc(size_t n) {
  n = (n + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
  if (g_boot_used + n > sizeof g_boot) return nullptr;
  void *p = g_boot + g_boot_used;
  g_boot_used += n;
  memset(p, 0, n);
  return p;
}

void Resolve() {
  if (g_free || g_resolving) return;
  g_resolving = true;
  g_malloc = reinterpret_cast<malloc_fn>(dlsym(RTLD_NEXT, "malloc"));
  g_calloc = reinterpret_cast<calloc_fn>(dlsym(RTLD_NEXT, "calloc"));
  g_realloc = reinterpret_cast<realloc_fn>(dlsym(RTLD_NEXT, "realloc"));
  g_memalign = reinterpret_cast<memalign_fn>(dlsym(RTLD_NEXT, "posix_memalign"));
  g_free = reinterpret_cast<free_fn>(dlsym(RTLD_NEXT, "free"));
  g_resolving = false;
}

bool ShouldFail() {
  if (!g_inject.armed) return false;
  long n = ++g_inject.count;
  bool fail = g_inject.fail_at != 0 &&
              (n == g_inject.fail_at || (g_inject.persistent && n > g_inject.fail_at));
  const char *trace = getenv("SEARCHDB_OOM_TRACE");
  if (fail && !g_inject.failed && trace && atol(trace) == g_inject.fail_at) {
    // Where the first failure of a run strikes, for working out a report.
    g_inject.armed = false;
    void *frames[32];
    int depth = backtrace(frames, 32);
    backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    g_inject.armed = true;
  }
  if (fail) g_inject.failed = true;
  return fail;
}

size_t LiveHome(const void *p) {
  return (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull >> 48;
}

void TrackLive(const void *p) {
  if (!p || !g_inject.armed) return;
  for (size_t i = LiveHome(p), n = 0; n < kLiveSlots; i = (i + 1) % kLiveSlots, n++) {
    if (g_live[i] == nullptr || g_live[i] == kTombstone) {
      g_live[i] = p;
      g_live_count++;
      return;
    }
  }
  abort();  // more live blocks than the table holds
}

void ForgetLive(const void *p) {
  if (!p || g_live_count == 0) return;
  for (size_t i = LiveHome(p), n = 0; n < kLiveSlots && g_live[i]; i = (i + 1) % kLiveSlots, n++) {
    if (g_live[i] == p) {
      g_live[i] = kTombstone;
      g_live_count--;
      return;
    }
  }
}

}  // namespace

extern "C" void *malloc(size_t n) {
  Resolve();
  if (!g_malloc) return BootAlloc(n);
  if (ShouldFail()) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = g_malloc(n);
  TrackLive(p);
  return p;
}

extern "C" void *calloc(size_t count, size_t size) {
  Resolve();
  if (!g_calloc) return size == 0 || count <= SIZE_MAX / size ? BootAlloc(count * size) : nullptr;
  if (ShouldFail()) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = g_calloc(count, size);
  TrackLive(p);
  return p;
}

extern "C" int posix_memalign(void **out, size_t align, size_t n) {
  Resolve();
  if (!g_memalign || ShouldFail()) return ENOMEM;
  const int rc = g_memalign(out, align, n);
  if (rc == 0) TrackLive(*out);
  return rc;
}

extern "C" void *realloc(void *old, size_t n) {
  Resolve();
  if (FromBoot(old)) {
    // Only the look-up itself uses the boot block; move out of it.
    void *p = malloc(n);
    if (p) memcpy(p, old, n < sizeof g_boot ? n : sizeof g_boot);
    return p;
  }
  if (n != 0 && ShouldFail()) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = g_realloc(old, n);
  if (p || n == 0) ForgetLive(old);  // a size of 0 releases the block
  TrackLive(p);
  return p;
}

extern "C" void free(void *p) {
  if (!p || FromBoot(p)) return;
  Resolve();
  ForgetLive(p);
  g_free(p);
}

#endif  // SDB_TEST_INTERPOSE

// ---- the workload ----

namespace {

struct index_model {
  std::string primary_key;
  std::map<std::string, std::string> docs;  // live documents: id -> stored text
  std::set<std::string> deleted;            // deleted since the index was loaded
};
using model = std::map<std::string, index_model>;

// Every document names its own word in its title, found in no other.
std::string Doc(const std::string &key, const std::string &id, const std::string &word,
                const std::string &extra = "") {
  return R"({")" + key + R"(":")" + id + R"(","title":")" + word + R"(")" + extra + "}";
}

class OomTest : public StorageTest {
 protected:
  // The workload runs hundreds of times, and every change is flushed to
  // disk: on memory-backed /dev/shm that costs next to nothing.
  void SetUp() override {
    StorageTest::SetUp();
    char tmpl[] = "/dev/shm/searchdb-oom-XXXXXX";
    if (std::filesystem::is_directory("/dev/shm") && mkdtemp(tmpl)) {
      std::filesystem::remove_all(root_);
      root_ = tmpl;
      dir_ = root_ + "/store";
    }
  }

  // ---- one library call under injection ----

  // Runs call with injection armed and a clean last-error text. A call that
  // the changes so far allow must succeed unless an allocation failed in
  // it; one they do not allow must fail; a failure leaves a message.
  // Returns whether the call failed.
  template <typename Call, typename Failed>
  bool Inject(const char *what, bool allowed, Call call, Failed failed) {
    sdb_error_clear();
    g_inject.failed = false;
    g_inject.armed = true;
    auto result = call();
    g_inject.armed = false;
    // A persistent failure lasts to the end of the call that met it.
    if (g_inject.persistent && g_inject.failed) g_inject.fail_at = 0;
    bool has_failed = failed(result);
    if (has_failed) {
      EXPECT_NE(s_error[0], '\0') << what << " failed without a message";
      // Running out of memory has one code, and only it ("yyjson: ..." is
      // the list writer's older wording of it; a system call says it with
      // its errno's text).
      const std::string said = s_error, enomem = strerror(ENOMEM);
      const bool says_oom = said.rfind("oom", 0) == 0 || said.rfind("yyjson: ", 0) == 0 ||
                            (said.size() > enomem.size() &&
                             said.compare(said.size() - enomem.size(), enomem.size(), enomem) == 0);
      EXPECT_EQ(says_oom, searchdb_last_error_code() == SEARCHDB_NOMEM)
          << what << ": " << s_error << " (code " << searchdb_last_error_code() << ")";
      if (allowed && !g_inject.failed) {
        ADD_FAILURE() << what << " failed with memory to spare: " << s_error;
      }
    } else if (!allowed) {
      ADD_FAILURE() << what << " succeeded where it had to fail";
    }
    return has_failed;
  }

  // An integer export: success or -1. Returns whether it succeeded.
  template <typename Call>
  bool IntCall(const char *what, bool allowed, int success, Call call) {
    return !Inject(what, allowed, call, [&](int r) {
      EXPECT_TRUE(r == success || r == -1) << what << " returned " << r;
      return r == -1;
    });
  }

  index_model *Find(const std::string &name) {
    auto it = expected_.find(name);
    return it == expected_.end() ? nullptr : &it->second;
  }

  // Without verify, nothing reads the indexes before the next call.
  void Init(bool verify = true) {
    initialized_ = IntCall("init", true, 0, [&] { return searchdb_init(dir_.c_str()); });
    for (auto &[name, ix] : expected_) ix.deleted.clear();  // forgotten by a restart
    if (!initialized_) {
      // A refused start leaves the library as it was: not initialised.
      EXPECT_STREQ(searchdb_indexes_list_json(), "[]");
      EXPECT_STREQ(searchdb_last_error(), "not initialized");
    }
    if (verify || !initialized_) Verify();
  }

  // A start refused for lack of memory is simply tried again.
  void Start(bool verify = true) {
    Init(verify);
    if (!initialized_) Init();
  }

  void Cleanup() {
    g_inject.armed = true;
    searchdb_cleanup();
    g_inject.armed = false;
    initialized_ = false;
  }

  void Create(const char *name, const char *key) {
    if (IntCall("create", !Find(name), 0, [&] { return searchdb_index_create(name, key); })) {
      expected_[name] = index_model{key ? key : "id", {}, {}};
    }
    Verify();
  }

  void DeleteIndex(const char *name) {
    if (IntCall("index delete", Find(name), 0, [&] { return searchdb_index_delete(name); })) {
      expected_.erase(name);
    }
    Verify();
  }

  // Adds a batch whose documents are given as (id, text) in canonical form.
  void Add(const char *index, const std::vector<std::pair<std::string, std::string>> &docs,
           bool as_array = true) {
    std::string json = as_array ? "[" : "";
    for (const auto &[id, text] : docs) json += (json.size() > 1 ? "," : "") + text;
    if (as_array) json += "]";
    int count = static_cast<int>(docs.size());
    index_model *ix = Find(index);
    if (IntCall("add", ix, count, [&] { return searchdb_documents_add(index, json.c_str()); })) {
      for (const auto &[id, text] : docs) {
        ix->docs[id] = text;
        ix->deleted.erase(id);
      }
    } else if (ix && g_inject.failed) {
      // The batch is sound: memory is the reason, and the message says so.
      EXPECT_EQ(std::string(s_error).substr(0, 5), "oom: ") << "add";
    }
    Verify();
  }

  void DeleteDoc(const char *index, const char *id) {
    index_model *ix = Find(index);
    bool known = ix && (ix->docs.count(id) || ix->deleted.count(id));
    if (IntCall("document delete", known, 0, [&] { return searchdb_document_delete(index, id); })) {
      ix->docs.erase(id);
      ix->deleted.insert(id);
    }
    Verify();
  }

  void Get(const char *index, const char *id) {
    index_model *ix = Find(index);
    auto it = ix ? ix->docs.find(id) : std::map<std::string, std::string>::iterator{};
    bool live = ix && it != ix->docs.end();
    Inject(
        "get", live, [&] { return searchdb_document_get(index, id); },
        [&](const char *r) {
          if (r == nullptr) return true;
          EXPECT_EQ(r, s_result);
          if (live) {
            EXPECT_EQ(it->second, r);
          }
          return false;
        });
    Verify();
  }

  // A text result is the failure constant, or s_result holding exactly what
  // the same call answers with allocation working (the search's timing
  // aside).
  template <typename Call>
  void TextCall(const char *what, bool allowed, const char *failure, Call call) {
    std::string answer;
    bool failed = Inject(what, allowed, call, [&](const char *r) {
      if (r == s_result) {
        answer = r;
        return false;
      }
      EXPECT_STREQ(r, failure) << what;
      return true;
    });
    if (!failed) {
      EXPECT_EQ(Untimed(answer), Untimed(call())) << what;
    }
    Verify();
  }

  void Search(const char *index, const char *query, int limit, int offset) {
    TextCall("search", Find(index), "null",
             [&] { return searchdb_search(index, query, limit, offset); });
  }

  void Request(const char *index, const char *request) {
    TextCall("search request", Find(index), "null",
             [&] { return searchdb_search_request(index, request); });
  }

  void Stats(const char *index) {
    TextCall("stats", Find(index), "null", [&] { return searchdb_index_stats_json(index); });
  }

  void Check(const char *index) {
    IntCall("check", Find(index), 0, [&] { return searchdb_index_check(index); });
    Verify();
  }

  // The derived file's state: any of the three, or -1 only for want of
  // memory; with the file current, this compares it with a fresh build.
  void DerivedState(const char *index) {
    Inject(
        "derived state", Find(index), [&] { return searchdb_index_derived_state(index); },
        [&](int r) {
          EXPECT_TRUE(r >= -1 && r <= SEARCHDB_DERIVED_STALE) << "derived state returned " << r;
          return r == -1;
        });
    Verify();
  }

  // Writing it anew from a full build.
  void WriteDerived(const char *index) {
    IntCall("write derived", Find(index), 0, [&] { return searchdb_index_write_derived(index); });
    Verify();
  }

  void List() {
    TextCall("list", true, "[]", [] { return searchdb_indexes_list_json(); });
  }

  // Another process changes the store: this one's next calls load again
  // what it changed. The changes each stand or not, as that process saw.
  void OtherProcess() {
    const pid_t pid = fork();
    if (pid == 0) {
      g_inject = injector{};
      searchdb_cleanup();
      int done = 0;
      if (searchdb_init(dir_.c_str()) == 0) {
        done |= searchdb_index_create("other", "key") == 0 ? 1 : 0;
        done |= searchdb_documents_add("books", Doc("id", "b7", "dikdik").c_str()) == 1 ? 2 : 0;
        done |= searchdb_document_delete("books", "b3") == 0 ? 4 : 0;
      }
      _exit(done);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    const int done = WEXITSTATUS(status);
    if (done & 1) expected_["other"] = index_model{"key", {}, {}};
    if (done & 2) expected_["books"].docs["b7"] = Doc("id", "b7", "dikdik");
    if (done & 4) {
      expected_["books"].docs.erase("b3");
      expected_["books"].deleted.insert("b3");
    }
  }

  // Damages the stored list: the next start rebuilds it from the index
  // directories.
  void DamageList() { WriteFile(Path("_indexes/list.json"), "[\"books\""); }

  // Makes index's derived file read as written long after docs.json last
  // changed, so that a start takes the documents where they lie.
  void SettleDerived(const char *index) {
    const std::string path = Path(std::string(index) + "/" + SDB_DERIVED_FILE);
    std::string bytes = ReadFile(path);
    if (bytes.size() < sdb_derived::kHeaderSize) return;
    sdb_derived::header h;
    memcpy(&h, bytes.data(), sizeof h);
    h.docs_stat_ns = h.docs_ctime_ns + SDB_SETTLED_NS + 1;
    memcpy(bytes.data(), &h, sizeof h);
    sdb_derived_seal(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(), h.docs_size,
                     h.docs_sum);
    WriteFile(path + ".new", bytes);
    std::filesystem::rename(path + ".new", path);
  }

  // ---- consistency, with allocation working ----

  // The library's answers agree with the changes reported done.
  void Verify() {
    if (!initialized_) return;
    std::string list = "[";
    for (const auto &[name, ix] : expected_) {
      (void)ix;
      list += (list.size() > 1 ? "," : "") + name;
    }
    list += "]";
    std::string listed = "[";
    const char *response = searchdb_indexes_list_json();
    yyjson_doc *doc = yyjson_read(response, strlen(response), 0);
    ASSERT_NE(doc, nullptr) << response;
    std::map<std::string, std::string> keys;
    size_t idx, max;
    yyjson_val *item;
    yyjson_arr_foreach(yyjson_doc_get_root(doc), idx, max, item) {
      keys[yyjson_get_str(yyjson_obj_get(item, "name"))] =
          yyjson_get_str(yyjson_obj_get(item, "primary_key"));
    }
    yyjson_doc_free(doc);
    for (const auto &[name, key] : keys) listed += (listed.size() > 1 ? "," : "") + name;
    listed += "]";
    ASSERT_EQ(listed, list);
    for (const auto &[name, ix] : expected_) {
      EXPECT_EQ(keys[name], ix.primary_key);
      std::string stats = searchdb_index_stats_json(name.c_str());
      EXPECT_NE(stats.find("\"document_count\":" + std::to_string(ix.docs.size()) + ","),
                std::string::npos)
          << name << ": " << stats;
      for (const auto &[id, text] : ix.docs) {
        const char *got = searchdb_document_get(name.c_str(), id.c_str());
        ASSERT_NE(got, nullptr) << name << "/" << id << ": " << searchdb_last_error();
        EXPECT_EQ(text, got);
        std::string word = text.substr(text.find(R"("title":")") + 9);
        word.resize(word.find('"'));
        std::string response = searchdb_search(name.c_str(), word.c_str(), 0, 0);
        EXPECT_NE(response.find(text), std::string::npos)
            << name << " " << word << ": " << response;
      }
      VerifyColumns(name.c_str());
      // Whatever failed on the way, the index is what its documents build.
      EXPECT_EQ(searchdb_index_check(name.c_str()), 0) << name << ": " << searchdb_last_error();
    }
  }

  // The columns an index keeps answer as columns built afresh would.
  void VerifyColumns(const char *index) {
    const char *request =
        R"({"limit":0,"filter":{"field":"title","op":"exists"},"facets":["title","tags"],)"
        R"("sort":[{"field":"n","order":"desc"},{"field":"id","order":"desc"}]})";
    const std::string kept = Untimed(searchdb_search_request(index, request));
    sdb_index *ix = sdb_index_find(index);
    ASSERT_NE(ix, nullptr);
    sdb_columns *held = ix->columns;
    ix->columns = nullptr;
    const std::string fresh = Untimed(searchdb_search_request(index, request));
    sdb_columns_free(ix->columns);
    ix->columns = held;
    EXPECT_EQ(kept, fresh) << index;
    // Every kept column, the title column too, holds what one built afresh does.
    for (uint32_t i = 0; held != nullptr && i < held->count; i++) {
      const sdb_column *c = held->items[i];
      ix->columns = nullptr;
      sdb_column *built = nullptr;
      const sdb_path path{c->path, c->path_len};
      ASSERT_TRUE(sdb_columns_get(ix, &path, 1, &built));
      ASSERT_EQ(c->cell_count, built->cell_count) << index << " " << c->path;
      for (uint32_t slot = 0; slot < c->cell_count; slot++)
        EXPECT_EQ(CellText(c, slot), CellText(built, slot)) << index << " " << c->path;
      sdb_columns_free(ix->columns);
      ix->columns = held;
    }
  }

  // A cell's presence and values, as text.
  static std::string CellText(const sdb_column *c, uint32_t slot) {
    std::vector<std::string> values;
    uint32_t n;
    const uint32_t *ids = sdb_cell_ids(c, slot, &n);
    for (uint32_t k = 0; k < n; k++) {
      const sdb_value v = sdb_column_value_of(c, ids[k]);
      values.push_back(std::to_string(v.kind) + ":" + std::to_string(v.num) + ":" +
                       std::string(v.str ? v.str : "", v.len));
    }
    std::sort(values.begin(), values.end());  // ids differ with the order values came in
    std::string text = sdb_cell_present(c, slot) ? "present" : "absent";
    for (const std::string &v : values) text += " " + v;
    return text;
  }

  // The whole workload; each call is one failure point or more.
  void Workload() {
    Start();
    Create("books", nullptr);
    Create("users", "email");
    Add("books", {{"1", Doc("id", "1", "quokka", R"(,"body":"search engines index text")")},
                  {"b2", Doc("id", "b2", "narwhal", R"(,"tags":["red","green",3])")},
                  {"b3", Doc("id", "b3", "axolotl", R"(,"n":3.5,"flag":true)")},
                  {"b4", Doc("id", "b4", "pangolin", R"(,"nested":{"a":[1,2]})")},
                  {"b5", Doc("id", "b5", "okapi", R"(,"body":"searching searched")")}});
    Request("books",
            R"({"q":"quokka narwhal axolotl","filter":{"or":[{"field":"n","op":"gt","value":1},)"
            R"({"field":"tags","op":"in","value":["red"]}]},"facets":["tags","flag"],)"
            R"("sort":[{"field":"n","order":"desc"}],"highlight":["title","body"],)"
            R"("snippet_words":3,"fields":["id","title"]})");
    Request("books", R"({"q":"\"search engines\" index","operator":"and","highlight":["body"]})");
    Request("books", R"({"filter":{"field":"nested.a","op":"exists"},"facets":["id"],"limit":2})");
    // Typo-aware: tokens of several readings, and a title that is the query.
    Request("books", R"({"q":"serch engnes se","rank":"typo_aware","operator":"and"})");
    Request("books", R"({"q":"okapi","rank":"typo_aware","filter":{"field":"n","op":"exists"}})");
    Add("users", {{"a@x", Doc("email", "a@x", "wombat")}}, false);
    Add("books", {{"1", Doc("id", "1", "capybara")},
                  {"b6", Doc("id", "b6", "tapir", R"(,"body":"tapirs")")}});
    Get("books", "1");
    DeleteDoc("books", "b2");
    DeleteDoc("books", "b2");
    Get("books", "b2");
    Search("books", "okapi", 0, 0);
    Search("books", "serch engnes", 0, 0);
    Search("books", "se", 2, 1);
    Request("books", R"({"q":"se","limit":2,"offset":1})");
    Request("books", R"({"q":"tapir capybara","facets":["title"],"sort":["relevance"]})");
    Request("books", R"({"q":"capybara","rank":"typo_aware","highlight":["title"]})");
    // A last word of several readings, one of them a title.
    Request("books", R"({"q":"capybara tapi","rank":"typo_aware"})");
    Stats("books");
    Check("books");
    List();
    DeleteIndex("users");
    Create("tmp/nested", nullptr);
    Add("tmp/nested", {{"n1", Doc("id", "n1", "dugong")}});
    Cleanup();
    Start();
    Add("books", {{"b2", Doc("id", "b2", "gharial")}});
    DeleteIndex("tmp/nested");
    Search("books", "gharial", 0, 0);
    if (initialized_ && Find("books")) {
      OtherProcess();
      Get("books", "b7");
      Search("books", "dikdik", 0, 0);
      Stats("other");
      List();
      Add("other", {{"o1", Doc("key", "o1", "kinkajou")}});
    }
    Cleanup();
    // The derived file: written by the first search after a start, the
    // dictionary taken from it by the next start, and changed there. The
    // columns file: written by a request that built columns, and its
    // columns taken by the next start's.
    const char *columns = R"({"filter":{"field":"n","op":"exists"},"facets":["tags"],)"
                          R"("sort":[{"field":"n","order":"asc"}]})";
    Start();
    Search("books", "okapi", 0, 0);
    Request("books", columns);
    Cleanup();
    // Taken by a search (its postings checked as it reads them) under
    // injection.
    Start(false);
    Search("books", "capybara", 0, 0);
    Request("books", columns);
    DerivedState("books");
    WriteDerived("books");
    Stats("books");
    Search("books", "capybara", 0, 0);
    Add("books", {{"b8", Doc("id", "b8", "okapi")},
                  {"1", Doc("id", "1", "okapi")},
                  {"b9", Doc("id", "b9", "dikdik")}});
    Search("books", "okapi", 0, 0);
    Cleanup();
    Start();
    WriteDerived("books");
    Cleanup();
    // Another start replaces a document, and the next one catches the file
    // up with it (and writes it anew). The new document makes docs.json
    // longer than a checksum mark: the next start's first save copies its
    // unchanged start from the file, the one after writes it from memory,
    // both taking its checksum up from the marks.
    Start();
    Add("books", {{"b5", Doc("id", "b5", "okapi", R"(,"body":"caught up")")},
                  {"pad", Doc("id", "pad", "oryx",
                              R"(,"pad":")" + std::string(kChecksumMarkBytes, 'p') + "\"")}});
    Cleanup();
    Start();
    Search("books", "caught okapi", 0, 0);
    Check("books");
    Add("books", {{"b10", Doc("id", "b10", "okapi")}});
    Add("books", {{"b11", Doc("id", "b11", "okapi")}});
    Cleanup();
    // The documents taken where they lie in docs.json, then changed.
    SettleDerived("books");
    Start();
    Get("books", "b8");
    Search("books", "okapi", 0, 0);
    Add("books", {{"b9", Doc("id", "b9", "okapi")}});
    Get("books", "b5");
    Cleanup();
    DamageList();
    Start();
    Cleanup();
  }

  // The workload with allocation number fail_at failing; returns whether
  // the workload reached that allocation at all.
  bool RunWithFailureAt(long fail_at, bool persistent) {
    std::filesystem::remove_all(dir_);
    expected_.clear();
    g_inject = injector{false, persistent, fail_at, 0, false};
    ClearLive();
    Workload();
    bool reached = g_inject.count >= fail_at;
    g_inject.fail_at = 0;
    EXPECT_EQ(g_live_count, 0u) << "blocks allocated by the library are still held after cleanup";
    // What was reported done is on disk.
    Init();
    EXPECT_TRUE(initialized_);
    Cleanup();
    return reached;
  }

  long SweepAll(bool persistent) {
    long stride = getenv("SEARCHDB_OOM_STRIDE") ? atol(getenv("SEARCHDB_OOM_STRIDE")) : 1;
    if (stride < 1) stride = 1;
    long points = 0;
    for (long fail_at = 1;; fail_at += stride) {
      SCOPED_TRACE((persistent ? "every allocation from number " : "allocation number ") +
                   std::to_string(fail_at) + " fails");
      bool reached = RunWithFailureAt(fail_at, persistent);
      if (HasFailure() || !reached) break;
      points++;
    }
    return points;
  }

  model expected_;
  bool initialized_ = false;
};

TEST_F(OomTest, TheWorkloadRunsCleanWithoutInjection) {
  const bool interposed = Interposed();
  g_inject = injector{false, false, 0, 0, false};
  ClearLive();
  Workload();
  if (interposed) {
    EXPECT_EQ(g_live_count, 0u) << "blocks allocated by the library are still held after cleanup";
    EXPECT_GT(g_inject.count, 100) << "the allocations are not being counted";
  }
}

TEST_F(OomTest, EveryAllocationThatFailsAloneIsSurvived) {
  if (!Interposed()) GTEST_SKIP() << "another allocator replaces this program's";
  Workload();  // the C library's one-time allocations happen here, unarmed
  long points = SweepAll(false);
  RecordProperty("failure_points", static_cast<int>(points));
  printf("one failing allocation: %ld failure points run\n", points);
}

TEST_F(OomTest, EveryAllocationFromTheNthOnFailingIsSurvived) {
  if (!Interposed()) GTEST_SKIP() << "another allocator replaces this program's";
  Workload();
  long points = SweepAll(true);
  RecordProperty("failure_points", static_cast<int>(points));
  printf("all allocations failing from one on: %ld failure points run\n", points);
}

}  // namespace
