// Search latency over the package corpus: exact-word, prefix and misspelt
// queries, limit 20. Each iteration runs one query of its kind; the median
// and 99th percentile of those runs are reported as counters. Exact-word
// queries against an index of the corpus's first 100 documents show what a
// call costs beyond its search.
//
//   search_bench [benchmark flags] [corpus.jsonl.gz]
//
// The corpus path comes from the first argument, else SEARCHDB_CORPUS, else
// /work/shared/corpus/packages.jsonl.gz; without a corpus nothing runs.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "corpus.h"
#include "frame/registry.h"
#include "index/index.h"
#include "index/tokenizer.h"
#include "search/search.h"
#include "searchdb.h"

namespace {

const char k_index[] = "packages";
const char k_small_index[] = "small";
const size_t k_small_docs = 100;

struct Corpus {
  std::string dir;  // storage directory, removed at exit
  std::vector<std::string> summaries;
  size_t small_summaries = 0;  // how many come from the small index's documents
  std::vector<std::string> exact, prefix, misspelt;
  std::vector<std::string> small_exact;   // words of the small index's documents
  std::vector<std::string> long_queries;  // SDB_QUERY_TOKEN_MAX random words each
};
Corpus g;

bool IsTerm(const sdb_index *ix, const std::string &w) {
  return sdb_terms_find(&ix->terms, w.data(), (uint32_t)w.size()) != SDB_NO_TERM;
}

// Lower-case ASCII words of at least min_len bytes from the text.
std::vector<std::string> Words(const std::string &text, size_t min_len) {
  char **tokens = nullptr;
  uint64_t *lens = nullptr;
  uint64_t n = sdb_tokenize(text.c_str(), &tokens, &lens);
  std::vector<std::string> out;
  for (uint64_t i = 0; i < n; i++) {
    std::string w(tokens[i], lens[i]);
    if (w.size() >= min_len &&
        std::all_of(w.begin(), w.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
      out.push_back(w);
  }
  sdb_tokens_free(tokens, lens, n);
  return out;
}

// A random word of at least min_len bytes from a random summary.
std::string RandomWord(std::mt19937 &rng, size_t min_len) {
  for (;;) {
    const std::string &s = g.summaries[rng() % g.summaries.size()];
    std::vector<std::string> words = Words(s, min_len);
    if (!words.empty()) return words[rng() % words.size()];
  }
}

// One substitution, deletion, insertion or swap of neighbours.
std::string Misspell(std::mt19937 &rng, std::string w) {
  size_t at = rng() % (w.size() - 1);
  char letter = (char)('a' + rng() % 26);
  switch (rng() % 4) {
    case 0:
      w[at] = letter;
      break;
    case 1:
      w.erase(at, 1);
      break;
    case 2:
      w.insert(at, 1, letter);
      break;
    default:
      std::swap(w[at], w[at + 1]);
      break;
  }
  return w;
}

void MakeQueries() {
  const sdb_index *ix = sdb_index_find(k_index);
  std::mt19937 rng(20240611);
  const size_t kEach = 300;
  while (g.exact.size() < kEach) g.exact.push_back(RandomWord(rng, 3));
  while (g.prefix.size() < kEach) {
    std::string w = RandomWord(rng, 7);
    std::string p = w.substr(0, 3 + rng() % 3);
    if (!IsTerm(ix, p)) g.prefix.push_back(p);
  }
  while (g.misspelt.size() < kEach) {
    std::string w = Misspell(rng, RandomWord(rng, 5));
    if (!IsTerm(ix, w)) g.misspelt.push_back(w);
  }
  while (g.small_exact.size() < kEach) {
    std::vector<std::string> words = Words(g.summaries[rng() % g.small_summaries], 3);
    if (!words.empty()) g.small_exact.push_back(words[rng() % words.size()]);
  }
  while (g.long_queries.size() < 10) {
    std::string q;
    for (uint64_t i = 0; i < SDB_QUERY_TOKEN_MAX; i++) q += (i ? " " : "") + RandomWord(rng, 3);
    g.long_queries.push_back(q);
  }
}

bool Load(const std::string &path) {
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> lines = bench::read_corpus_lines(path);
  if (lines.size() < k_small_docs) return false;
  std::string batch = "[", small_batch;
  for (size_t i = 0; i < lines.size(); i++) {
    if (i) batch += ',';
    batch += lines[i];
    if (i + 1 == k_small_docs) small_batch = batch + ']';
  }
  batch += ']';
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string &line = lines[i];
    size_t at = line.find("\"summary\": \"");
    if (at != std::string::npos)
      g.summaries.push_back(line.substr(at + 12, line.find('"', at + 12) - at - 12));
    if (i + 1 == k_small_docs) g.small_summaries = g.summaries.size();
  }
  char tmpl[] = "/tmp/searchdb-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  g.dir = tmpl;
  if (searchdb_init((g.dir + "/store").c_str()) != 0 ||
      searchdb_index_create(k_index, nullptr) != 0 ||
      searchdb_documents_add(k_index, batch.c_str()) != (int)lines.size() ||
      searchdb_index_create(k_small_index, nullptr) != 0 ||
      searchdb_documents_add(k_small_index, small_batch.c_str()) != (int)k_small_docs) {
    fprintf(stderr, "loading failed: %s\n", searchdb_last_error());
    return false;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fprintf(stderr, "loaded %zu documents in %.1f s: %s\n", lines.size(), secs,
          searchdb_index_stats_json(k_index));
  MakeQueries();
  return true;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  size_t k = std::min(v.size() - 1, (size_t)(p * (double)(v.size() - 1) + 0.5));
  std::nth_element(v.begin(), v.begin() + k, v.end());
  return v[k];
}

void RunQueries(benchmark::State &state, const std::vector<std::string> &queries,
                const char *index = k_index) {
  std::vector<double> ms;
  size_t i = 0;
  for (auto _ : state) {
    const std::string &q = queries[i++ % queries.size()];
    auto start = std::chrono::steady_clock::now();
    const char *answer = searchdb_search(index, q.c_str(), 20, 0);
    benchmark::DoNotOptimize(answer);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  state.counters["p50_ms"] = Percentile(ms, 0.50);
  state.counters["p99_ms"] = Percentile(ms, 0.99);
}

// The longest query the search takes, against as many one-word queries:
// the counter per_word is its median over 1024 times the one-word median,
// measured in the same run (at most 1 is the goal).
void BM_LongestQuery(benchmark::State &state) {
  std::vector<double> one;
  for (int pass = 0; pass < 3; pass++)
    for (const std::string &q : g.exact) {
      auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(searchdb_search(k_index, q.c_str(), 20, 0));
      one.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
    }
  RunQueries(state, g.long_queries);
  state.counters["one_word_p50_ms"] = Percentile(one, 0.50);
  state.counters["per_word"] =
      state.counters["p50_ms"] / ((double)SDB_QUERY_TOKEN_MAX * state.counters["one_word_p50_ms"]);
}

void BM_ExactWord(benchmark::State &state) {
  RunQueries(state, g.exact);
}
void BM_Prefix(benchmark::State &state) {
  RunQueries(state, g.prefix);
}
void BM_Misspelt(benchmark::State &state) {
  RunQueries(state, g.misspelt);
}
void BM_SmallIndex(benchmark::State &state) {
  RunQueries(state, g.small_exact, k_small_index);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  std::string path = bench::corpus_path(argc, argv);
  if (!Load(path)) {
    fprintf(stderr, "search_bench: no corpus at %s, skipped\n", path.c_str());
  } else {
    // At least one pass over each query list.
    benchmark::RegisterBenchmark("search/exact_word", BM_ExactWord)->MinTime(3.0);
    benchmark::RegisterBenchmark("search/prefix", BM_Prefix)->MinTime(3.0);
    benchmark::RegisterBenchmark("search/misspelt", BM_Misspelt)->MinTime(3.0);
    benchmark::RegisterBenchmark("search/1024_words", BM_LongestQuery)->MinTime(3.0);
    benchmark::RegisterBenchmark("search/small_index", BM_SmallIndex)->MinTime(3.0);
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  searchdb_cleanup();
  if (!g.dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(g.dir, ec);
  }
  return 0;
}
