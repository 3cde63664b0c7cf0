// Search latency over the package corpus: exact-word, prefix and misspelt
// queries, limit 20. Each iteration runs one query of its kind; the median
// and 99th percentile of those runs are reported as counters. Exact-word
// queries against an index of the corpus's first 100 documents show what a
// call costs beyond its search.
//
// Search requests beside them (request/...): each alternates, pass by
// pass, the request measured with the one it is measured against (plain
// requests against searchdb_search, filtered, faceted, sorted and
// highlighted requests against the same request without that member), 12
// passes over the same queries, and reports both medians and 99th
// percentiles and their ratios.
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
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "api/registry.h"
#include "compare/proc_status.h"
#include "corpus.h"
#include "index/columns.h"
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
  std::vector<std::string> broad;         // words held by at least a fifth of the documents
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
  // Words that match at least a fifth of the corpus, as a whole query.
  for (uint32_t id = 0; id < ix->terms.ids && g.broad.size() < 20; id++) {
    const sdb_term &t = ix->terms.terms[id];
    if (t.count * 5 >= ix->live_count && t.len >= 3) g.broad.emplace_back(t.text, t.len);
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

// ---- Search requests ----

std::string Quoted(const std::string &s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A request for query q with more members.
std::string Request(const std::string &q, const std::string &more = "") {
  return "{\"q\":" + Quoted(q) + (more.empty() ? "" : "," + more) + "}";
}

double TimedMs(const std::function<const char *()> &call) {
  auto start = std::chrono::steady_clock::now();
  const char *answer = call();
  benchmark::DoNotOptimize(answer);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Runs a(i) and b(i) over n queries each, alternating which goes first from
// pass to pass, one pass of each per iteration; reports both figures.
void Alternate(benchmark::State &state, size_t n, const std::function<const char *(size_t)> &a,
               const std::function<const char *(size_t)> &b, const char *a_name,
               const char *b_name) {
  for (size_t i = 0; i < n; i++) {  // columns are built on first use
    if (strcmp(a(i), "null") == 0 || strcmp(b(i), "null") == 0) {
      state.SkipWithError(searchdb_last_error());
      return;
    }
  }
  std::vector<double> ta, tb;
  int pass = 0;
  for (auto _ : state) {
    for (int side = 0; side < 2; side++) {
      const bool first = (side == 0) == (pass % 2 == 0);
      for (size_t i = 0; i < n; i++) {
        if (first) {
          ta.push_back(TimedMs([&] { return a(i); }));
        } else {
          tb.push_back(TimedMs([&] { return b(i); }));
        }
      }
    }
    pass++;
  }
  const double a50 = Percentile(ta, 0.50), a99 = Percentile(ta, 0.99);
  const double b50 = Percentile(tb, 0.50), b99 = Percentile(tb, 0.99);
  state.counters[std::string(a_name) + "_p50_ms"] = a50;
  state.counters[std::string(a_name) + "_p99_ms"] = a99;
  state.counters[std::string(b_name) + "_p50_ms"] = b50;
  state.counters[std::string(b_name) + "_p99_ms"] = b99;
  state.counters["ratio_p50"] = b50 / a50;
  state.counters["ratio_p99"] = b99 / a99;
  state.counters["added_p50_ms"] = b50 - a50;
}

// Every plain query: a request with only q against searchdb_search.
std::vector<std::string> PlainQueries() {
  std::vector<std::string> all = g.exact;
  all.insert(all.end(), g.prefix.begin(), g.prefix.end());
  all.insert(all.end(), g.misspelt.begin(), g.misspelt.end());
  return all;
}

void BM_RequestPlain(benchmark::State &state) {
  static const std::vector<std::string> queries = PlainQueries();
  std::vector<std::string> requests;
  for (const std::string &q : queries) requests.push_back(Request(q));
  Alternate(
      state, queries.size(),
      [&](size_t i) { return searchdb_search(k_index, queries[i].c_str(), 20, 0); },
      [&](size_t i) { return searchdb_search_request(k_index, requests[i].c_str()); }, "search",
      "request");
}

// A request against the same request without the member `more`.
void RequestWithMember(benchmark::State &state, const std::vector<std::string> &queries,
                       const std::string &more) {
  std::vector<std::string> without, with;
  for (const std::string &q : queries) {
    without.push_back(Request(q));
    with.push_back(Request(q, more));
  }
  Alternate(
      state, queries.size(),
      [&](size_t i) { return searchdb_search_request(k_index, without[i].c_str()); },
      [&](size_t i) { return searchdb_search_request(k_index, with[i].c_str()); }, "without",
      "with");
}

// Filters keeping about 1 %, 30 % and 90 % of the corpus.
const char kSection1[] = R"("filter":{"field":"section","op":"eq","value":"games"})";
const char kSize30[] = R"("filter":{"and":[{"field":"installed_size","op":"gte","value":6},)"
                       R"({"field":"installed_size","op":"lt","value":82}]})";
const char kTags30[] =
    R"("filter":{"field":"tags","op":"in","value":["role::program","role::shared-lib"]})";
const char kSize90[] = R"("filter":{"field":"installed_size","op":"lt","value":6040})";
const char kOr[] = R"("filter":{"or":[{"field":"section","op":"eq","value":"games"},)"
                   R"({"field":"tags","op":"in","value":["role::program"]},)"
                   R"({"field":"installed_size","op":"gte","value":85153}]})";

// Browsing with a filter and a sort, at pages 1 and 50, against the same
// filter unsorted.
void BrowsePage(benchmark::State &state, int page) {
  const std::string filter =
      R"("filter":{"field":"section","op":"in","value":["libs","python","utils","net"]})";
  const std::string offset = "\"offset\":" + std::to_string((page - 1) * 20);
  const std::string sorted =
      "{" + filter + "," + offset + R"(,"sort":[{"field":"installed_size","order":"desc"}]})";
  const std::string unsorted = "{" + filter + "," + offset + "}";
  Alternate(
      state, 50, [&](size_t) { return searchdb_search_request(k_index, unsorted.c_str()); },
      [&](size_t) { return searchdb_search_request(k_index, sorted.c_str()); }, "unsorted",
      "sorted");
}

void RegisterRequests() {
  benchmark::RegisterBenchmark("request/plain_vs_search", BM_RequestPlain)->Iterations(12);
  const std::pair<const char *, const char *> filters[] = {
      {"request/filter_section_1pct", kSection1},
      {"request/filter_size_30pct", kSize30},
      {"request/filter_tags_30pct", kTags30},
      {"request/filter_size_90pct", kSize90},
      {"request/filter_or", kOr}};
  for (const auto &[name, filter] : filters) {
    const std::string more = filter;
    benchmark::RegisterBenchmark(name, [more](benchmark::State &state) {
      RequestWithMember(state, g.exact, more);
    })->Iterations(12);
  }
  if (!g.broad.empty()) {
    benchmark::RegisterBenchmark("request/facets_broad", [](benchmark::State &state) {
      RequestWithMember(state, g.broad, R"("facets":["section","tags"])");
    })->Iterations(12);
    benchmark::RegisterBenchmark("request/sort_size_desc_broad", [](benchmark::State &state) {
      RequestWithMember(state, g.broad, R"("sort":[{"field":"installed_size","order":"desc"}])");
    })->Iterations(12);
  }
  benchmark::RegisterBenchmark("request/browse_page1", [](benchmark::State &state) {
    BrowsePage(state, 1);
  })->Iterations(12);
  benchmark::RegisterBenchmark("request/browse_page50", [](benchmark::State &state) {
    BrowsePage(state, 50);
  })->Iterations(12);
  benchmark::RegisterBenchmark("request/highlight_description_20", [](benchmark::State &state) {
    RequestWithMember(state, g.exact, R"("highlight":["description"],"snippet_words":20)");
  })->Iterations(12);
}

// The bytes the columns of the index hold, with their room.
uint64_t ColumnBytes() {
  const sdb_index *ix = sdb_index_find(k_index);
  uint64_t bytes = 0;
  for (uint32_t i = 0; ix->columns && i < ix->columns->count; i++) {
    const sdb_column *c = ix->columns->items[i];
    bytes += uint64_t{c->cell_cap} * sizeof(sdb_cell) + c->pool_cap * 4 +
             uint64_t{c->value_cap} * sizeof(sdb_column_value) + uint64_t{c->table.room} * 4 +
             c->arena_cap;
    if (c->ordered) bytes += uint64_t{c->value_count} * 8 + uint64_t{c->cell_count} * 8;
  }
  return bytes;
}

double RssMb() {
  return ProcKb("/proc/self/status", "VmRSS") / 1024.0;
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
    RegisterRequests();
    const double rss = RssMb();
    benchmark::RunSpecifiedBenchmarks();
    // Memory beside its measure: the stored documents file.
    std::error_code ec;
    const double docs_mb =
        std::filesystem::file_size(g.dir + "/store/" + k_index + "/docs.json", ec) / 1048576.0;
    fprintf(stderr,
            "memory: docs.json %.1f MB; RSS %.1f MB after the load, %.1f MB after the "
            "benchmarks; the columns hold %.1f MB\n",
            docs_mb, rss, RssMb(), ColumnBytes() / 1048576.0);
  }
  benchmark::Shutdown();
  searchdb_cleanup();
  if (!g.dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(g.dir, ec);
  }
  return 0;
}
