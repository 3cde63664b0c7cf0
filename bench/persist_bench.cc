// Adding, saving and reloading the whole package corpus through the public
// API: one searchdb_documents_add of every line joined into one JSON array
// (parse, store, rebuild, write "docs.json"), then searchdb_init reading it
// back. The corpus path comes from the first argument left after the
// benchmark flags, else $SEARCHDB_CORPUS, else the shared default; without
// it the program says so and runs nothing.
//
// Counters: peak_rss_MB is the process's peak resident size during the
// measured call (reset before it where the kernel allows); rss_before_MB is
// what was resident when the call began, chiefly the corpus text this
// program holds. peak_x_corpus relates the
// peak to the size of the unpacked corpus.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "compare/proc_status.h"
#include "corpus.h"
#include "searchdb.h"

namespace fs = std::filesystem;

namespace {

constexpr const char *kIndex = "packages";

std::string s_batch;          // every corpus line, joined into one JSON array
uint64_t s_corpus_bytes = 0;  // bytes of the unpacked corpus lines
int s_doc_count = 0;

// Joins the corpus lines into s_batch, one JSON array. False when the
// corpus cannot be read or holds no line.
bool read_corpus(const std::string &path) {
  s_batch = "[";
  for (const std::string &line : bench::read_corpus_lines(path)) {
    if (s_doc_count++ > 0) s_batch += ',';
    s_batch += line;
    s_corpus_bytes += line.size();
  }
  s_batch += ']';
  return s_doc_count > 0;
}

// Lets the next peak reading start from the current resident size (Linux),
// after handing the heap that earlier runs freed back to the system.
void reset_peak_rss() {
  malloc_trim(0);
  if (FILE *f = fopen("/proc/self/clear_refs", "w")) {
    fputs("5", f);
    fclose(f);
  }
}

// Current resident size, from /proc/self/status (0 where there is none).
double rss_mb() {
  return ProcKb("/proc/self/status", "VmRSS") / 1024.0;
}

double peak_rss_mb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

std::string make_storage_dir() {
  char tmpl[] = "/tmp/searchdb-persist-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return "";
  return tmpl;
}

// A storage directory with the whole corpus in one index. Empty on failure,
// with the reason given to state.
std::string make_corpus_store(benchmark::State &state) {
  std::string dir = make_storage_dir();
  if (dir.empty() || searchdb_init(dir.c_str()) != 0 ||
      searchdb_index_create(kIndex, nullptr) != 0 ||
      searchdb_documents_add(kIndex, s_batch.c_str()) != s_doc_count) {
    state.SkipWithError(
        ("building the store failed: " + std::string(searchdb_last_error())).c_str());
    searchdb_cleanup();
    return "";
  }
  searchdb_cleanup();
  return dir;
}

void report_memory(benchmark::State &state, double before_mb, double peak_mb) {
  state.counters["rss_before_MB"] = before_mb;
  state.counters["peak_rss_MB"] = peak_mb;
  state.counters["peak_x_corpus"] = peak_mb * 1024 * 1024 / static_cast<double>(s_corpus_bytes);
  state.counters["corpus_MB"] = static_cast<double>(s_corpus_bytes) / (1024 * 1024);
}

void BM_AddAndSaveCorpus(benchmark::State &state) {
  double before = 0, peak = 0;
  uint64_t docs_bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string dir = make_storage_dir();
    if (dir.empty() || searchdb_init(dir.c_str()) != 0 ||
        searchdb_index_create(kIndex, nullptr) != 0) {
      state.SkipWithError("cannot open a storage directory");
      break;
    }
    reset_peak_rss();
    before = rss_mb();
    state.ResumeTiming();

    int added = searchdb_documents_add(kIndex, s_batch.c_str());

    state.PauseTiming();
    peak = peak_rss_mb();
    std::error_code ec;
    docs_bytes = fs::file_size(dir + "/" + kIndex + "/docs.json", ec);
    std::string error = searchdb_last_error();
    searchdb_cleanup();
    fs::remove_all(dir, ec);
    if (added != s_doc_count) {
      state.SkipWithError(("documents_add failed: " + error).c_str());
      break;
    }
    state.ResumeTiming();
  }
  report_memory(state, before, peak);
  state.counters["docs_json_MB"] = static_cast<double>(docs_bytes) / (1024 * 1024);
  state.counters["docs"] = s_doc_count;
}

void BM_ReloadCorpus(benchmark::State &state) {
  std::string dir = make_corpus_store(state);
  if (dir.empty()) return;
  double before = 0, peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    reset_peak_rss();
    before = rss_mb();
    state.ResumeTiming();

    int rc = searchdb_init(dir.c_str());

    state.PauseTiming();
    peak = peak_rss_mb();
    // Every document must have come back.
    const char *stats = searchdb_index_stats_json(kIndex);
    std::string want = "\"document_count\":" + std::to_string(s_doc_count) + ",";
    bool complete = rc == 0 && strstr(stats, want.c_str()) != nullptr;
    searchdb_cleanup();
    if (!complete) {
      state.SkipWithError(("reload incomplete: " + std::string(stats)).c_str());
      break;
    }
    state.ResumeTiming();
  }
  report_memory(state, before, peak);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

BENCHMARK(BM_AddAndSaveCorpus)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReloadCorpus)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  std::string path = bench::corpus_path(argc, argv);
  if (!read_corpus(path)) {
    fprintf(stderr, "persist_bench: corpus %s not found or empty; skipping\n", path.c_str());
    return 0;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
