// What opening a storage directory and changing one document cost, each
// beside its floor: the time to read or write the bytes involved, measured
// in the same run, so that a busy machine moves both alike.
//
//   open_change [corpus.jsonl[.gz]] [--scales all,x10] [--dir DIR] [--runs N]
//               [--reps N] [--changes N]
//
// The corpus comes from the argument, else SEARCHDB_CORPUS, else the shared
// corpus beside the repository; without one the program says so and stops.
// A scale is "all" (the corpus) or "xK" (the corpus K times over, ids of
// copy k suffixed "~k", as bench/compare does). The store lives in a fresh
// folder under DIR (default TMPDIR, else /tmp: a disk, so that flushing
// costs what it costs), a copy of it under /dev/shm.
//
// Only the public interface is used, so the program measures any version of
// the library. Every figure comes from a process of its own (the program
// runs itself with --child), so each open is a fresh start on warm files and
// each memory figure is that process's alone:
//  - build: one searchdb_documents_add of the whole corpus as one JSON array;
//    its peak resident size above the size before the call, beside the bytes
//    of the array.
//  - open: searchdb_init plus one query, plus one searchdb_document_get, and
//    plus one query of a 100-document index stored beside the corpus, each
//    in a fresh process; the floor is reading docs.json whole and parsing it
//    with yyjson_read_opts, in a fresh process too. Rounds interleave the
//    floor and the measured starts. The command-line tool's search, timed
//    from spawn to exit, stands beside searchdb_init plus one query.
//  - memory: resident size after the open and one query of each class, and
//    the peak while answering every query of bench/compare's set twice.
//  - read after another's change: searchdb_document_get of the corpus
//    index right after another process added a document to a 100-document
//    index whose name shares the corpus index's generation bucket in the
//    lock file, beside the same read right after it added one to a
//    100-document index of another bucket (nothing the read answers from
//    changed, and the same work was done, the same lock file written), in
//    turn in one process (the other forked from it); and 100,000 of those
//    reads in a row, nothing changed. What loading the corpus index again
//    would cost is the open floor above.
//  - change: one document added, replaced and deleted, each followed by the
//    floor: the file sequence of a change, from bytes already in memory
//    (docs.json and meta.json as the change left them, each written to
//    "<file>.tmp", flushed, renamed over the file, and the folder flushed),
//    in a folder beside the store. On disk, then on tmpfs with fsync and
//    fdatasync made no-ops, where a change less its floor is the part spent
//    in memory. And on disk by a process that keeps three columns (a
//    request filtered, sorted and counted by them), which every change
//    brings up to date and writes.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "compare/corpus.h"
#include "compare/proc_status.h"
#include "corpus.h"
#include "searchdb.h"
#include "storage/layout.h"

#ifndef SEARCHDB_CLI_PATH
#define SEARCHDB_CLI_PATH ""
#endif

extern char **environ;

namespace fs = std::filesystem;

// ---- fsync and fdatasync, in front of the C library's ----
//
// Defined in the executable, they also stand in front of the library's own
// calls: counted always, skipped on tmpfs so that what is left of a change
// is its work in memory and its copying into the page cache.

namespace {

bool g_skip_sync = false;
long g_syncs = 0;

template <typename F>
F RealFunction(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  static auto real = RealFunction<int (*)(int)>("fsync");
  g_syncs++;
  return g_skip_sync ? 0 : real(fd);
}

extern "C" int fdatasync(int fd) {
  static auto real = RealFunction<int (*)(int)>("fdatasync");
  g_syncs++;
  return g_skip_sync ? 0 : real(fd);
}

namespace {

using Clock = std::chrono::steady_clock;

const char kIndex[] = "packages";
// A request of three columns: a filter and a sort by size, counts by section.
const char kColumnsRequest[] =
    R"({"limit":0,"filter":{"field":"installed_size","op":"gte","value":1000},)"
    R"("facets":["section"],"sort":[{"field":"installed_size","order":"desc"}]})";
const char kSmallIndex[] = "small";
const size_t kSmallDocs = 100;
const size_t kQueriesPerClass = 200;  // bench/compare's set: same count, same seed
const uint64_t kQuerySeed = 7;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Lets VmHWM start again from the current resident size.
bool ResetPeak() {
  malloc_trim(0);
  FILE *f = fopen("/proc/self/clear_refs", "w");
  if (!f) return false;
  const bool ok = fputs("5", f) >= 0;
  return fclose(f) == 0 && ok;
}

bool ReadInto(const std::string &path, std::vector<char> *out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok) out->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (ok && got < out->size()) {
    const ssize_t n = read(fd, out->data() + got, out->size() - got);
    if (n <= 0) ok = false;
    got += n > 0 ? static_cast<size_t>(n) : 0;
  }
  close(fd);
  return ok;
}

bool read_exact(int fd, char *buf, size_t n) {
  while (n > 0) {
    const ssize_t got = read(fd, buf, n);
    if (got <= 0) return false;
    buf += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// A name made of prefix and a number whose generation bucket in the lock
// file is (same) or is not the one of name: the 64-bit FNV-1a of its bytes
// modulo 64, as the lock file's first part maps index names
// (src/storage/lock.h). Libraries before per-index generations loaded
// every index of a bucket again after a change of any of them.
std::string BucketMate(const std::string &name, const std::string &prefix, bool same) {
  auto bucket = [](const std::string &s) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : s) h = (h ^ c) * 0x100000001B3ull;
    return h % 64;
  };
  for (int k = 0;; k++) {
    const std::string candidate = prefix + std::to_string(k);
    if ((bucket(candidate) == bucket(name)) == same) return candidate;
  }
}

bool FlushDirOf(const std::string &path) {
  const int fd = open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// Replaces path with data as a change does: "<path>.tmp" written and
// flushed, renamed over path, the folder flushed.
bool ReplaceFile(const std::string &path, const std::vector<char> &data) {
  const std::string tmp = path + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    ok = n > 0;
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  return ok && rename(tmp.c_str(), path.c_str()) == 0 && FlushDirOf(path);
}

// The floor of a change: its two files written the way it writes them.
double ChangeFloorMs(const std::string &dir, const std::vector<char> &docs,
                     const std::vector<char> &meta) {
  const Clock::time_point start = Clock::now();
  if (!ReplaceFile(dir + "/docs.json", docs) || !ReplaceFile(dir + "/meta.json", meta)) {
    fprintf(stderr, "open_change: writing the floor in %s: %s\n", dir.c_str(), strerror(errno));
    exit(1);
  }
  return MsSince(start);
}

std::string SelfPath() {
  return fs::read_symlink("/proc/self/exe").string();
}

// Runs argv[0] with its output captured (or sent to /dev/null); the wall time
// is from the spawn to the exit.
struct Run {
  bool ok = false;
  std::string out;
  double wall_ms = 0;
};

Run Spawn(const std::vector<std::string> &args, bool capture) {
  Run r;
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2] = {-1, -1};
  if (capture && pipe2(fds, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (capture)
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const Clock::time_point start = Clock::now();
  pid_t pid;
  const int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (capture) {
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while (err == 0 && (n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, n);
    close(fds[0]);
  }
  if (err != 0) return r;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.wall_ms = MsSince(start);
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

// Runs this program with --child args and returns its "key value" lines;
// repeated keys keep every value. Stops the program when the child failed.
std::multimap<std::string, std::string> RunChild(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {SelfPath(), "--child"};
  argv.insert(argv.end(), args.begin(), args.end());
  const Run r = Spawn(argv, true);
  if (!r.ok) {
    fprintf(stderr, "open_change: the child \"%s\" failed\n", args[0].c_str());
    exit(1);
  }
  std::multimap<std::string, std::string> out;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t sp = line.find(' ');
    if (sp != std::string::npos) out.emplace(line.substr(0, sp), line.substr(sp + 1));
  }
  return out;
}

// The driver's folders, removed however it ends.
std::vector<std::string> g_work_dirs;

// Removes the work folders made since the first `keep` of them.
void RemoveWorkDirsAfter(size_t keep) {
  for (size_t i = keep; i < g_work_dirs.size(); i++) {
    std::error_code ec;
    fs::remove_all(g_work_dirs[i], ec);
  }
  if (g_work_dirs.size() > keep) g_work_dirs.resize(keep);
}

void RemoveWorkDirs() {
  RemoveWorkDirsAfter(0);
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

double Get(const std::multimap<std::string, std::string> &kv, const std::string &key) {
  auto it = kv.find(key);
  return it == kv.end() ? 0 : atof(it->second.c_str());
}

// ---- Children: one measurement each, results as "key value" lines ----

[[noreturn]] void Fail(const char *what) {
  fprintf(stderr, "open_change: %s: %s\n", what, searchdb_last_error());
  exit(1);
}

int ChildBuild(const std::string &store, const std::string &corpus, uint64_t repeat) {
  CorpusSource src;
  src.path = corpus;
  src.repeat = repeat;
  std::string batch = "[";
  uint64_t docs = 0;
  if (!ForEachDocument(src, [&](const std::string &json) {
        if (docs++) batch += ',';
        batch += json;
      }))
    Fail("reading the corpus");
  batch += ']';
  if (searchdb_init(store.c_str()) != 0) Fail("searchdb_init");
  if (searchdb_index_create(kIndex, nullptr) != 0) Fail("searchdb_index_create");
  const bool peak_reset = ResetPeak();
  const double before = ProcKb("/proc/self/status", "VmRSS");
  const Clock::time_point start = Clock::now();
  const int added = searchdb_documents_add(kIndex, batch.c_str());
  const double ms = MsSince(start);
  const double peak = ProcKb("/proc/self/status", "VmHWM");
  if (added < 0 || static_cast<uint64_t>(added) != docs) Fail("searchdb_documents_add");
  printf("docs %llu\ninput_bytes %zu\nbuild_ms %.3f\nrss_before_kb %.0f\npeak_kb %.0f\n",
         static_cast<unsigned long long>(docs), batch.size(), ms, before, peak);
  printf("peak_reset %d\n", peak_reset ? 1 : 0);
  return 0;
}

int ChildSmall(const std::string &store, const std::string &file, const std::string &index) {
  std::vector<char> json;
  if (!ReadInto(file, &json)) Fail("reading the small batch");
  json.push_back('\0');
  if (searchdb_init(store.c_str()) != 0) Fail("searchdb_init");
  if (searchdb_index_create(index.c_str(), nullptr) != 0) Fail("searchdb_index_create");
  const int added = searchdb_documents_add(index.c_str(), json.data());
  if (added <= 0) Fail("searchdb_documents_add");
  printf("docs %d\n", added);
  return 0;
}

int ChildFloorOpen(const std::string &path) {
  const Clock::time_point start = Clock::now();
  FILE *f = fopen(path.c_str(), "rb");
  struct stat st;
  if (!f || fstat(fileno(f), &st) != 0) Fail("opening docs.json");
  const size_t size = static_cast<size_t>(st.st_size);
  char *text = static_cast<char *>(malloc(size ? size : 1));
  if (!text || fread(text, 1, size, f) != size) Fail("reading docs.json");
  fclose(f);
  yyjson_doc *doc = yyjson_read_opts(text, size, 0, nullptr, nullptr);
  const double ms = MsSince(start);
  if (!doc) Fail("parsing docs.json");
  printf("floor_ms %.3f\nbytes %zu\n", ms, size);
  return 0;
}

// Hits of a searchdb_search answer; -1 when it is not one.
long Hits(const char *answer) {
  yyjson_doc *doc = yyjson_read(answer, strlen(answer), 0);
  yyjson_val *hits = yyjson_obj_get(yyjson_doc_get_root(doc), "hits");
  const long n = yyjson_is_arr(hits) ? static_cast<long>(yyjson_arr_size(hits)) : -1;
  yyjson_doc_free(doc);
  return n;
}

int ChildOpenSearch(const std::string &store, const std::string &index, const std::string &query) {
  const Clock::time_point start = Clock::now();
  if (searchdb_init(store.c_str()) != 0) Fail("searchdb_init");
  const double init_ms = MsSince(start);
  const char *answer = searchdb_search(index.c_str(), query.c_str(), 20, 0);
  const double ms = MsSince(start);
  if (Hits(answer) <= 0) Fail(("no hits for \"" + query + "\"").c_str());
  printf("init_ms %.3f\ntotal_ms %.3f\n", init_ms, ms);
  return 0;
}

// Replaces one document of the corpus index, as another process does
// between two starts: the index's derived file then describes the
// docs.json before the change.
int ChildReplaceOne(const std::string &store, const std::string &json) {
  if (searchdb_init(store.c_str()) != 0) Fail("searchdb_init");
  if (searchdb_documents_add(kIndex, json.c_str()) != 1) Fail("replacing one document");
  return 0;
}

int ChildOpenGet(const std::string &store, const std::string &id) {
  const Clock::time_point start = Clock::now();
  if (searchdb_init(store.c_str()) != 0) Fail("searchdb_init");
  const double init_ms = MsSince(start);
  const char *doc = searchdb_document_get(kIndex, id.c_str());
  const double ms = MsSince(start);
  if (!doc) Fail("searchdb_document_get");
  printf("init_ms %.3f\ntotal_ms %.3f\n", init_ms, ms);
  return 0;
}

int ChildMemory(const std::string &store, const std::string &query_file) {
  const std::vector<Query> queries = ReadQueries(query_file);
  if (queries.empty()) Fail("reading the queries");
  const double start_rss = ProcKb("/proc/self/status", "VmRSS");
  ResetPeak();
  if (searchdb_init(store.c_str()) != 0) Fail("searchdb_init");
  const double open_peak = ProcKb("/proc/self/status", "VmHWM");
  for (int c = 0; c < kQueryClasses; c++) {
    for (const Query &q : queries) {
      if (q.cls != c) continue;
      searchdb_search(kIndex, q.text.c_str(), 20, 0);
      break;
    }
  }
  const double after = ProcKb("/proc/self/status", "VmRSS");
  const bool peak_reset = ResetPeak();
  for (int pass = 0; pass < 2; pass++)
    for (const Query &q : queries) searchdb_search(kIndex, q.text.c_str(), 20, 0);
  const double serving_peak = ProcKb("/proc/self/status", "VmHWM");
  printf("start_rss_kb %.0f\nopen_peak_kb %.0f\nafter_queries_kb %.0f\nserving_peak_kb %.0f\n",
         start_rss, open_peak, after, serving_peak);
  printf("peak_reset %d\nqueries %zu\n", peak_reset ? 1 : 0, 2 * queries.size());
  return 0;
}

// Reads document id of index `read` rounds times right after another
// process added a document to index `mate`, and as often right after it
// added one to index `other`, in turn; prints the microseconds of each
// read. The other process is forked; each read follows a round trip to it
// and the same work there, so both wake alike.
int ChildReadAfterChange(const std::string &store, const std::string &mate,
                         const std::string &other, const std::string &read, const std::string &id,
                         int rounds) {
  int go[2], done[2];
  if (pipe(go) != 0 || pipe(done) != 0) Fail("pipe");
  const pid_t changer = fork();
  if (changer < 0) Fail("fork");
  if (changer == 0) {
    close(go[1]);
    close(done[0]);
    if (searchdb_init(store.c_str()) != 0) Fail("searchdb_init (the other process)");
    char c;
    for (int k = 0; read_exact(go[0], &c, 1); k++) {
      const std::string doc = R"({"id":"read-after-change-)" + std::to_string(k) + R"("})";
      const std::string &index = c == 'm' ? mate : other;
      if (searchdb_documents_add(index.c_str(), doc.c_str()) != 1) Fail("the other's add");
      if (write(done[1], &c, 1) != 1) _exit(1);
    }
    searchdb_cleanup();
    _exit(0);
  }
  close(go[0]);
  close(done[1]);
  if (searchdb_init(store.c_str()) != 0) Fail("searchdb_init");
  if (!searchdb_document_get(read.c_str(), id.c_str())) Fail("the first read");
  auto read_after = [&](char which) {
    if (write(go[1], &which, 1) != 1 || !read_exact(done[0], &which, 1)) Fail("the other process");
    const Clock::time_point start = Clock::now();
    const char *doc = searchdb_document_get(read.c_str(), id.c_str());
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (!doc) Fail("searchdb_document_get");
    return us;
  };
  for (int r = 0; r < rounds; r++) {
    printf("after_mate_us %.3f\n", read_after('m'));
    printf("after_other_us %.3f\n", read_after('o'));
  }
  // And what a read costs when nothing changed since the one before: the
  // generation check and the lookup alone.
  const int in_a_row = 100000;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < in_a_row; i++)
    if (!searchdb_document_get(read.c_str(), id.c_str())) Fail("searchdb_document_get");
  printf("in_a_row_us %.4f\n",
         std::chrono::duration<double, std::micro>(Clock::now() - start).count() / in_a_row);
  close(go[1]);
  int status = 0;
  waitpid(changer, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("the other process");
  return 0;
}

// One change of the list the driver writes: "add", "replace" or "delete",
// the id, and the document's JSON text (none for a delete).
struct Change {
  std::string kind, id, json;
};

std::vector<Change> ReadChanges(const std::string &path) {
  std::vector<Change> out;
  for (const auto &f : ReadTabLines(path)) out.push_back({f[0], f[1], f[2]});
  return out;
}

// Opens the store, answers one query (and with columns a request that
// filters, sorts and counts, so that each change keeps those columns and
// writes them), then makes changes [first, first + count) of the list,
// each followed by its floor written into floor_dir.
int ChildChange(const std::string &store, const std::string &floor_dir,
                const std::string &change_file, size_t first, size_t count,
                const std::string &query, bool skip_sync, bool columns) {
  g_skip_sync = skip_sync;
  const std::vector<Change> all = ReadChanges(change_file);
  if (first + count > all.size()) Fail("the list of changes is too short");
  const std::string docs_path = store + "/" + kIndex + "/docs.json";
  const std::string meta_path = store + "/" + kIndex + "/meta.json";
  fs::create_directories(floor_dir);
  std::vector<char> docs, meta;
  if (!ReadInto(docs_path, &docs) || !ReadInto(meta_path, &meta)) {
    fprintf(stderr, "open_change: %s or meta.json cannot be read\n", docs_path.c_str());
    return 1;
  }
  ChangeFloorMs(floor_dir, docs, meta);  // the files a floor replaces exist, as a store's do
  if (searchdb_init(store.c_str()) != 0) Fail("searchdb_init");
  if (Hits(searchdb_search(kIndex, query.c_str(), 20, 0)) <= 0) Fail("the first query");
  if (columns && strcmp(searchdb_search_request(kIndex, kColumnsRequest), "null") == 0)
    Fail("the request");
  for (size_t i = first; i < first + count; i++) {
    const Change &c = all[i];
    const long syncs = g_syncs;
    const Clock::time_point start = Clock::now();
    const bool ok = c.kind == "delete" ? searchdb_document_delete(kIndex, c.id.c_str()) == 0
                                       : searchdb_documents_add(kIndex, c.json.c_str()) == 1;
    const double ms = MsSince(start);
    if (!ok) Fail((c.kind + " " + c.id).c_str());
    const long change_syncs = g_syncs - syncs;
    if (!ReadInto(docs_path, &docs) || !ReadInto(meta_path, &meta)) Fail("reading docs.json");
    const double floor_ms = ChangeFloorMs(floor_dir, docs, meta);
    printf("change %s %.3f %.3f %ld %zu\n", c.kind.c_str(), ms, floor_ms, change_syncs,
           docs.size() + meta.size());
  }
  return 0;
}

int Child(int argc, char **argv) {
  const std::string mode = argc > 2 ? argv[2] : "";
  auto arg = [&](int i) { return std::string(i < argc ? argv[i] : ""); };
  if (mode == "build") return ChildBuild(arg(3), arg(4), std::stoull(arg(5)));
  if (mode == "small") return ChildSmall(arg(3), arg(4), arg(5));
  if (mode == "read-after-change")
    return ChildReadAfterChange(arg(3), arg(4), arg(5), arg(6), arg(7), std::stoi(arg(8)));
  if (mode == "floor-open") return ChildFloorOpen(arg(3));
  if (mode == "open-search") return ChildOpenSearch(arg(3), arg(4), arg(5));
  if (mode == "replace-one") return ChildReplaceOne(arg(3), arg(4));
  if (mode == "open-get") return ChildOpenGet(arg(3), arg(4));
  if (mode == "memory") return ChildMemory(arg(3), arg(4));
  if (mode == "change")
    return ChildChange(arg(3), arg(4), arg(5), std::stoul(arg(6)), std::stoul(arg(7)), arg(8),
                       arg(9) == "1", arg(10) == "1");
  fprintf(stderr, "open_change: unknown child mode %s\n", mode.c_str());
  return 2;
}

// ---- The driver ----

struct Options {
  std::string corpus;
  std::vector<std::string> scales = {"all"};
  std::string dir;
  int runs = 0, reps = 0, changes = 0;  // 0: the scale's default
};

// A document's JSON text with its id replaced and, when note is given, a
// member "note" added, which changes what is indexed.
std::string Rewrite(const std::string &json, const std::string &id, const std::string &note) {
  yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
  yyjson_mut_doc *mut = yyjson_doc_mut_copy(doc, nullptr);
  yyjson_doc_free(doc);
  yyjson_mut_val *root = yyjson_mut_doc_get_root(mut);
  yyjson_mut_obj_put(root, yyjson_mut_str(mut, "id"), yyjson_mut_strcpy(mut, id.c_str()));
  if (!note.empty())
    yyjson_mut_obj_put(root, yyjson_mut_str(mut, "note"), yyjson_mut_strcpy(mut, note.c_str()));
  char *out = yyjson_mut_write(mut, 0, nullptr);
  std::string text = out ? out : "";
  free(out);
  yyjson_mut_doc_free(mut);
  return text;
}

// add, replace and delete in turn, each on a document of its own, spread
// over the corpus and, at xK, over its copies.
bool WriteChanges(const std::string &path, const std::vector<std::string> &lines,
                  const std::vector<std::string> &ids, uint64_t repeat, size_t n) {
  std::ofstream out(path);
  static const char *const kKinds[] = {"add", "replace", "delete"};
  for (size_t k = 0; k < n; k++) {
    const size_t at = (k * 7919 + 101) % lines.size();
    const uint64_t copy = k % repeat;
    const std::string id = ids[at] + (copy ? "~" + std::to_string(copy) : "");
    const std::string kind = kKinds[k % 3];
    std::string json;
    if (kind == "add")
      json = Rewrite(lines[at], "open-change-new-" + std::to_string(k), "");
    else if (kind == "replace")
      json = Rewrite(lines[at], id, "revision " + std::to_string(k));
    out << kind << '\t' << (kind == "add" ? "" : id) << '\t' << json << '\n';
  }
  return static_cast<bool>(out);
}

std::string Fixed(double v, int digits) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::string Mb(double bytes) {
  return Fixed(bytes / 1048576.0, 1) + " MB";
}

std::string UsText(double us) {
  return Fixed(us, us < 10 ? 2 : us < 100 ? 1 : 0) + " us";
}

std::string MsText(double ms) {
  return Fixed(ms, std::abs(ms) < 10 ? 2 : 1) + " ms";
}

// One line of the goals table: a figure beside its floor (or reference) as
// a ratio, or, for difference targets, the figure less the reference.
struct Goal {
  std::string what, measured, floor;
  double value, limit;
  bool difference;
};

void PrintGoals(const std::vector<Goal> &goals) {
  printf("| goal | measured | floor or reference | ratio or difference | target | met |\n");
  printf("|---|---:|---:|---:|---:|---|\n");
  for (const Goal &g : goals) {
    const std::string v =
        g.difference ? (g.value >= 0 ? "+" : "") + MsText(g.value) : Fixed(g.value, 2) + "x";
    const std::string limit =
        g.difference ? "<= +" + MsText(g.limit) : "<= " + Fixed(g.limit, 2) + "x";
    printf("| %s | %s | %s | %s | %s | %s |\n", g.what.c_str(), g.measured.c_str(), g.floor.c_str(),
           v.c_str(), limit.c_str(), g.value <= g.limit ? "yes" : "no");
  }
}

struct Series {
  std::string what;
  std::vector<double> v;
};

void PrintSeries(const std::vector<Series> &rows) {
  printf("| figure | median | min | max | n |\n|---|---:|---:|---:|---:|\n");
  for (const Series &s : rows) {
    if (s.v.empty()) continue;
    printf("| %s | %s | %s | %s | %zu |\n", s.what.c_str(), MsText(Median(s.v)).c_str(),
           MsText(*std::min_element(s.v.begin(), s.v.end())).c_str(),
           MsText(*std::max_element(s.v.begin(), s.v.end())).c_str(), s.v.size());
  }
}

// The changes a child made; with first_apart, its first change is kept in
// first_change and first_floor instead of the lists.
struct ChangeRun {
  std::map<std::string, std::vector<double>> change, floor;  // by kind
  std::vector<double> all_change, all_floor;
  double first_change = 0, first_floor = 0;
  long syncs = 0;
  double file_bytes = 0;
};

ChangeRun ParseChanges(const std::multimap<std::string, std::string> &kv, bool first_apart) {
  ChangeRun r;
  auto [from, to] = kv.equal_range("change");
  for (auto it = from; it != to; ++it) {
    std::istringstream s(it->second);
    std::string kind;
    double ms, floor_ms, bytes;
    long syncs;
    s >> kind >> ms >> floor_ms >> syncs >> bytes;
    r.syncs = std::max(r.syncs, syncs);
    r.file_bytes = bytes;
    if (first_apart && it == from) {
      r.first_change = ms;
      r.first_floor = floor_ms;
      continue;
    }
    r.change[kind].push_back(ms);
    r.floor[kind].push_back(floor_ms);
    r.all_change.push_back(ms);
    r.all_floor.push_back(floor_ms);
  }
  return r;
}

std::vector<double> Of(const std::map<std::string, std::vector<double>> &by_kind,
                       const std::string &kind) {
  auto it = by_kind.find(kind);
  return it == by_kind.end() ? std::vector<double>{} : it->second;
}

bool OnTmpfs(const std::string &path) {
  struct statfs st;
  return statfs(path.c_str(), &st) == 0 && st.f_type == 0x01021994;  // TMPFS_MAGIC
}

std::string FsName(const std::string &path) {
  struct statfs st;
  if (statfs(path.c_str(), &st) != 0) return "?";
  switch (static_cast<unsigned long>(st.f_type)) {
    case 0xEF53:
      return "ext4";
    case 0x58465342:
      return "xfs";
    case 0x9123683E:
      return "btrfs";
    case 0x01021994:
      return "tmpfs";
    case 0x794C7630:
      return "overlayfs";
    default: {
      char buf[32];
      snprintf(buf, sizeof buf, "fs 0x%lx", static_cast<unsigned long>(st.f_type));
      return buf;
    }
  }
}

int RunScale(const Options &o, const std::string &scale, const std::vector<std::string> &lines,
             const std::vector<std::string> &ids, const std::string &query_file,
             const std::vector<Query> &queries) {
  const uint64_t repeat = scale == "all" ? 1 : std::stoull(scale.substr(1));
  const bool large = repeat > 1;
  const int runs = o.runs ? o.runs : large ? 3 : 5;
  const int reps = o.reps ? o.reps : large ? 3 : 5;
  const int changes = o.changes ? o.changes : large ? 10 : 100;

  // This scale's folders go when it ends; the queries stay for the next.
  const size_t kept_dirs = g_work_dirs.size();
  std::string root_tmpl = o.dir + "/searchdb-open-change-XXXXXX";
  std::string shm_tmpl = "/dev/shm/searchdb-open-change-XXXXXX";
  if (!mkdtemp(root_tmpl.data())) {
    fprintf(stderr, "open_change: cannot make a folder in %s\n", o.dir.c_str());
    return 1;
  }
  const std::string root = root_tmpl, store = root + "/store";
  g_work_dirs.push_back(root);
  const bool have_shm = OnTmpfs("/dev/shm") && mkdtemp(shm_tmpl.data());
  const std::string shm = have_shm ? shm_tmpl : "";
  if (have_shm) g_work_dirs.push_back(shm);
  const std::string docs_path = store + "/" + kIndex + "/docs.json";
  const std::string words = queries.front().text;  // the first 1-3 words query
  const std::string get_id = ids[ids.size() / 2];
  FlatDocument first_doc;
  Flatten(lines.front(), &first_doc);
  const std::string cli = getenv("SEARCHDB_CLI") ? getenv("SEARCHDB_CLI") : SEARCHDB_CLI_PATH;

  // Build.
  const auto build = RunChild({"build", store, o.corpus, std::to_string(repeat)});
  const double docs = Get(build, "docs"), input = Get(build, "input_bytes");
  const double docs_bytes = static_cast<double>(fs::file_size(docs_path));
  const double add_delta_kb = Get(build, "peak_kb") - Get(build, "rss_before_kb");
  printf("\n### Scale %s: %.0f documents, docs.json %s\n\n", scale.c_str(), docs,
         Mb(docs_bytes).c_str());
  fflush(stdout);

  // Fresh starts, floor first in every round; one untimed round warms the files.
  Series floor_open{"open floor: read docs.json + yyjson_read_opts", {}};
  Series open_search{"searchdb_init + one query (\"" + words + "\")", {}};
  Series open_init{"searchdb_init alone (within the above)", {}};
  Series open_get{"searchdb_init + searchdb_document_get", {}};
  Series cli_run{"command-line search, spawn to exit", {}};
  RunChild({"floor-open", docs_path});
  RunChild({"open-search", store, kIndex, words});
  // A derived file stands for docs.json unread only once docs.json has
  // been left alone for the library's margin (2 s) before a load: wait
  // that long, and one more start writes the file again to say so. The
  // rounds then measure what every later process pays.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  RunChild({"open-search", store, kIndex, words});
  for (int r = 0; r < runs; r++) {
    floor_open.v.push_back(Get(RunChild({"floor-open", docs_path}), "floor_ms"));
    const auto s = RunChild({"open-search", store, kIndex, words});
    open_search.v.push_back(Get(s, "total_ms"));
    open_init.v.push_back(Get(s, "init_ms"));
    open_get.v.push_back(Get(RunChild({"open-get", store, get_id}), "total_ms"));
    if (!cli.empty()) {
      const Run c = Spawn({cli, "--dir", store, "search", kIndex, words}, false);
      if (!c.ok) {
        fprintf(stderr, "open_change: %s search failed\n", cli.c_str());
        return 1;
      }
      cli_run.v.push_back(c.wall_ms);
    }
  }

  // Starts after another process replaced one document since the derived
  // file was written, which catch the file up (and write it anew), beside
  // starts without the file, which build: what a start after a change cost
  // before a file could be caught up.
  Series floor_open3{"open floor, again (rounds with a change before each start)", {}};
  Series open_caught_up{"searchdb_init + one query, one document replaced by another process", {}};
  Series open_built{"searchdb_init + one query, one document replaced, no derived file", {}};
  const std::string derived_path = store + "/" + kIndex + "/" + SDB_DERIVED_FILE;
  for (int r = 0; r < runs; r++) {
    const size_t at = (static_cast<size_t>(r) * 7919 + 17) % lines.size();
    auto replace_one = [&](int k) {
      RunChild({"replace-one", store,
                Rewrite(lines[at], ids[at], "revision " + std::to_string(2 * r + k) + " here")});
    };
    floor_open3.v.push_back(Get(RunChild({"floor-open", docs_path}), "floor_ms"));
    replace_one(0);
    open_caught_up.v.push_back(Get(RunChild({"open-search", store, kIndex, words}), "total_ms"));
    replace_one(1);
    fs::remove(derived_path);
    open_built.v.push_back(Get(RunChild({"open-search", store, kIndex, words}), "total_ms"));
  }

  // The same starts with a 100-document index beside the corpus.
  std::string small = "[";
  for (size_t i = 0; i < kSmallDocs && i < lines.size(); i++) small += (i ? "," : "") + lines[i];
  small += "]";
  {
    std::ofstream out(root + "/small.json");
    out << small;
  }
  RunChild({"small", store, root + "/small.json", kSmallIndex});
  Series floor_open2{"open floor, again (rounds with the small index)", {}};
  Series open_small{
      "searchdb_init + one query of the 100-document index (\"" + first_doc.name + "\")", {}};
  RunChild({"open-search", store, kSmallIndex, first_doc.name});
  for (int r = 0; r < runs; r++) {
    floor_open2.v.push_back(Get(RunChild({"floor-open", docs_path}), "floor_ms"));
    open_small.v.push_back(
        Get(RunChild({"open-search", store, kSmallIndex, first_doc.name}), "total_ms"));
  }

  // Memory.
  const auto mem = RunChild({"memory", store, query_file});

  // Changes: on disk, then on a tmpfs copy with flushing skipped.
  const std::string change_file = root + "/changes.tsv";
  const size_t disk_changes = 3 * static_cast<size_t>(reps);
  if (!WriteChanges(change_file, lines, ids, repeat, 2 * disk_changes + 1 + changes)) return 1;
  const ChangeRun disk = ParseChanges(RunChild({"change", store, root + "/floor", change_file, "0",
                                                std::to_string(disk_changes), words, "0", "0"}),
                                      false);
  // The same by a process that keeps columns, which each change writes.
  const ChangeRun with_columns =
      ParseChanges(RunChild({"change", store, root + "/floor", change_file,
                             std::to_string(disk_changes + 1 + changes),
                             std::to_string(disk_changes), words, "0", "1"}),
                   false);
  ChangeRun mem_run;
  if (have_shm) {
    fs::copy(store, shm + "/store", fs::copy_options::recursive);
    mem_run = ParseChanges(
        RunChild({"change", shm + "/store", shm + "/floor", change_file,
                  std::to_string(disk_changes), std::to_string(1 + changes), words, "1", "0"}),
        true);
  }

  // Reads right after another process changed an index of the corpus
  // index's generation bucket, and right after it changed one of another
  // bucket, in the same store: the same work there, the same lock file
  // written. Before per-index generations the first loaded the corpus
  // index again.
  const std::string mate = BucketMate(kIndex, "small-", true);
  const std::string other = BucketMate(kIndex, "small-", false);
  RunChild({"small", store, root + "/small.json", mate});
  RunChild({"small", store, root + "/small.json", other});
  const int read_rounds = large ? 20 : 60;
  const auto reads = RunChild(
      {"read-after-change", store, mate, other, kIndex, get_id, std::to_string(read_rounds)});
  auto all_of = [&](const char *key) {
    std::vector<double> v;
    auto [from, to] = reads.equal_range(key);
    for (auto it = from; it != to; ++it) v.push_back(atof(it->second.c_str()));
    return v;
  };
  const std::vector<double> read_after = all_of("after_mate_us"),
                            read_quiet = all_of("after_other_us");

  RemoveWorkDirsAfter(kept_dirs);

  // The goals.
  std::vector<Goal> goals;
  for (auto [kind, done] :
       {std::pair{"add", "added"}, {"replace", "replaced"}, {"delete", "deleted"}}) {
    const double c = Median(Of(disk.change, kind)), f = Median(Of(disk.floor, kind));
    goals.push_back({std::string("one document ") + done + ", on " + FsName(o.dir) +
                         " (median of " + std::to_string(Of(disk.change, kind).size()) + ")",
                     MsText(c), MsText(f), c / f, 1.5, false});
  }
  for (auto [kind, done] :
       {std::pair{"add", "added"}, {"replace", "replaced"}, {"delete", "deleted"}}) {
    const double c = Median(Of(with_columns.change, kind)),
                 f = Median(Of(with_columns.floor, kind));
    goals.push_back({std::string("one document ") + done +
                         " by a process that keeps three columns (median of " +
                         std::to_string(Of(with_columns.change, kind).size()) + ")",
                     MsText(c), MsText(f), c / f, 1.5, false});
  }
  if (have_shm) {
    const double c = Median(mem_run.all_change), f = Median(mem_run.all_floor);
    goals.push_back({"in-memory part of a change: tmpfs, no fsync, change less floor (median of " +
                         std::to_string(mem_run.all_change.size()) + ")",
                     MsText(c), MsText(f), c - f, 10, true});
    goals.push_back({"in-memory part of the first change after the open (an add)",
                     MsText(mem_run.first_change), MsText(mem_run.first_floor),
                     mem_run.first_change - mem_run.first_floor, 10, true});
  }
  const double fo = Median(floor_open.v), fo2 = Median(floor_open2.v);
  goals.push_back(
      {"searchdb_init + one query, fresh process (median of " + std::to_string(runs) + ")",
       MsText(Median(open_search.v)), MsText(fo), Median(open_search.v) / fo, 1.5, false});
  goals.push_back(
      {"searchdb_init + one query after another process replaced one document, against the "
       "same start building (median of " +
           std::to_string(runs) + ")",
       MsText(Median(open_caught_up.v)), MsText(Median(open_built.v)),
       Median(open_caught_up.v) / Median(open_built.v), 0.15, false});
  goals.push_back({"searchdb_init + searchdb_document_get", MsText(Median(open_get.v)), MsText(fo),
                   Median(open_get.v) / fo, 1.1, false});
  goals.push_back({"searchdb_init + a query of a 100-document index beside the corpus",
                   MsText(Median(open_small.v)), MsText(fo2), Median(open_small.v) / fo2, 1.1,
                   false});
  goals.push_back({"searchdb_document_get right after another process changed \"" + mate +
                       "\" (100 documents, the bucket of \"" + kIndex +
                       "\"), against one after it changed \"" + other +
                       "\" (another bucket) (median of " + std::to_string(read_after.size()) + ")",
                   UsText(Median(read_after)), UsText(Median(read_quiet)),
                   Median(read_after) / Median(read_quiet), 1.1, false});
  goals.push_back({"resident after the open + one query of each class",
                   Mb(Get(mem, "after_queries_kb") * 1024), "docs.json " + Mb(docs_bytes),
                   Get(mem, "after_queries_kb") * 1024 / docs_bytes, 2, false});
  goals.push_back({"peak resident while answering " + Fixed(Get(mem, "queries"), 0) + " queries",
                   Mb(Get(mem, "serving_peak_kb") * 1024), "docs.json " + Mb(docs_bytes),
                   Get(mem, "serving_peak_kb") * 1024 / docs_bytes, 2.5, false});
  goals.push_back({"bulk add of the corpus in one call: peak resident less resident before",
                   Mb(add_delta_kb * 1024), "input " + Mb(input), add_delta_kb * 1024 / input, 4,
                   false});
  if (!cli_run.v.empty())
    goals.push_back({"command-line search, spawn to exit, against searchdb_init + one query",
                     MsText(Median(cli_run.v)), MsText(Median(open_search.v)),
                     Median(cli_run.v) - Median(open_search.v), 50, true});
  PrintGoals(goals);

  // Every figure behind them.
  printf("\n");
  std::vector<Series> rows = {floor_open,  open_search,    open_init,  open_get,    cli_run,
                              floor_open3, open_caught_up, open_built, floor_open2, open_small};
  for (const char *kind : {"add", "replace", "delete"}) {
    rows.push_back({std::string("on disk: ") + kind, Of(disk.change, kind)});
    rows.push_back({std::string("on disk: floor after ") + kind, Of(disk.floor, kind)});
  }
  if (have_shm) {
    for (const char *kind : {"add", "replace", "delete"}) {
      rows.push_back({std::string("tmpfs, no fsync: ") + kind, Of(mem_run.change, kind)});
      rows.push_back(
          {std::string("tmpfs, no fsync: floor after ") + kind, Of(mem_run.floor, kind)});
    }
  }
  PrintSeries(rows);
  printf(
      "\nBuild: %.0f documents in one searchdb_documents_add, %s; input %s; resident before %s, "
      "peak %s.\n",
      docs, MsText(Get(build, "build_ms")).c_str(), Mb(input).c_str(),
      Mb(Get(build, "rss_before_kb") * 1024).c_str(), Mb(Get(build, "peak_kb") * 1024).c_str());
  printf(
      "Memory: resident %s before searchdb_init, peak %s during it, %s after one query of each "
      "class, peak %s while answering.\n",
      Mb(Get(mem, "start_rss_kb") * 1024).c_str(), Mb(Get(mem, "open_peak_kb") * 1024).c_str(),
      Mb(Get(mem, "after_queries_kb") * 1024).c_str(),
      Mb(Get(mem, "serving_peak_kb") * 1024).c_str());
  if (!read_after.empty())
    printf(
        "Reads of \"%s\" by id: %zu after another process changed \"%s\" (its bucket): median %s, "
        "min %s, max %s; %zu after it changed \"%s\" (another bucket): median %s, min %s, max "
        "%s.\n",
        kIndex, read_after.size(), mate.c_str(), UsText(Median(read_after)).c_str(),
        UsText(*std::min_element(read_after.begin(), read_after.end())).c_str(),
        UsText(*std::max_element(read_after.begin(), read_after.end())).c_str(), read_quiet.size(),
        other.c_str(), UsText(Median(read_quiet)).c_str(),
        UsText(*std::min_element(read_quiet.begin(), read_quiet.end())).c_str(),
        UsText(*std::max_element(read_quiet.begin(), read_quiet.end())).c_str());
  if (Get(reads, "in_a_row_us") > 0)
    printf("Reads of \"%s\" by id in a row, nothing changed: %s each.\n", kIndex,
           UsText(Get(reads, "in_a_row_us")).c_str());
  printf("A change: %ld fsync or fdatasync calls at most; its files (docs.json + meta.json) %s.\n",
         disk.syncs, Mb(disk.file_bytes).c_str());
  if (!Get(build, "peak_reset") || !Get(mem, "peak_reset"))
    printf("Note: /proc/self/clear_refs could not reset the peak; peaks include earlier use.\n");
  if (disk.syncs == 0)
    printf("Note: no fsync was seen: the stand-ins in front of the C library's did not take.\n");
  if (!have_shm)
    printf("Note: /dev/shm is not a tmpfs here: the in-memory part is not measured.\n");
  fflush(stdout);
  return 0;
}

int Drive(const Options &o) {
  const std::vector<std::string> lines = bench::read_corpus_lines(o.corpus);
  if (lines.empty()) {
    fprintf(stderr, "open_change: corpus %s not found or empty; skipping\n", o.corpus.c_str());
    return 0;
  }
  std::vector<std::string> ids;
  for (const std::string &line : lines) {
    FlatDocument d;
    Flatten(line, &d);
    ids.push_back(d.id);
  }
  CorpusSource src;
  src.path = o.corpus;
  const std::vector<Query> queries = MakeQueries(src, kQueriesPerClass, kQuerySeed);
  char tmpl[] = "/tmp/searchdb-open-change-queries-XXXXXX";
  if (queries.empty() || !mkdtemp(tmpl)) return 1;
  g_work_dirs.push_back(tmpl);
  const std::string query_file = std::string(tmpl) + "/queries.tsv";
  if (!WriteQueries(query_file, queries)) return 1;

  printf("## Opening and changing a store, beside their floors\n\n");
  printf("Corpus %s; store on %s (%s), tmpfs copy on /dev/shm; %ld cores, load average %s.\n",
         fs::path(o.corpus).filename().c_str(), o.dir.c_str(), FsName(o.dir).c_str(),
         sysconf(_SC_NPROCESSORS_ONLN), LoadAverage().c_str());
  fflush(stdout);
  int rc = 0;
  for (const std::string &scale : o.scales) {
    if (scale != "all" && (scale.size() < 2 || scale[0] != 'x')) {
      fprintf(stderr, "open_change: unknown scale %s (all or xK)\n", scale.c_str());
      rc = 2;
      break;
    }
    if ((rc = RunScale(o, scale, lines, ids, query_file, queries)) != 0) break;
  }
  printf("\nLoad average at the end: %s.\n", LoadAverage().c_str());
  return rc;
}

std::vector<std::string> Split(const std::string &s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(item);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "--child") == 0) return Child(argc, argv);
  atexit(RemoveWorkDirs);
  Options o;
  const char *tmp = getenv("TMPDIR");
  o.dir = tmp && *tmp ? tmp : "/tmp";
  std::string corpus;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        fprintf(stderr, "open_change: %s needs a value\n", a.c_str());
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--scales")
      o.scales = Split(next());
    else if (a == "--dir")
      o.dir = next();
    else if (a == "--runs")
      o.runs = std::stoi(next());
    else if (a == "--reps")
      o.reps = std::stoi(next());
    else if (a == "--changes")
      o.changes = std::stoi(next());
    else if (a[0] != '-')
      corpus = a;
    else {
      fprintf(stderr, "open_change: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  char *one[] = {argv[0], corpus.empty() ? nullptr : corpus.data(), nullptr};
  o.corpus = bench::corpus_path(corpus.empty() ? 1 : 2, one);
  return Drive(o);
}
