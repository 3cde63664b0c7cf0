// Rebuild of the inverted index, and the canonical writer, over the package
// corpus (gzip-compressed JSON lines). The corpus path comes from the first
// argument left after the benchmark flags, else $SEARCHDB_CORPUS, else the
// shared default; without it the program says so and runs nothing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "documents/canonical.h"
#include "index/index.h"
#include "corpus.h"
#include "index/inverted.h"

namespace {

std::vector<std::string> s_lines;  // the corpus, one JSON text per line
uint64_t s_line_bytes = 0;
sdb_index *s_index = nullptr;  // every line added, not yet rebuilt
uint64_t s_stored_bytes = 0;   // canonical text held by s_index

// The document id of a parsed line: the "id" string, or a number "%.0f".
std::string id_of(yyjson_val *root) {
  yyjson_val *id = yyjson_obj_get(root, "id");
  if (yyjson_is_str(id)) return yyjson_get_str(id);
  char num[64];
  snprintf(num, sizeof num, "%.0f", yyjson_get_num(id));
  return num;
}

void load_index() {
  s_index = sdb_index_new("packages", nullptr);
  for (const std::string &line : s_lines) {
    yyjson_doc *doc = yyjson_read(line.data(), line.size(), 0);
    if (doc == nullptr) continue;
    uint64_t len = 0;
    char *text = sdb_val_to_json(yyjson_doc_get_root(doc), &len);
    if (text != nullptr) {
      sdb_index_add_raw_doc(s_index, id_of(yyjson_doc_get_root(doc)).c_str(), text, len);
      free(text);
    }
    yyjson_doc_free(doc);
  }
  for (uint32_t s = 0; s < s_index->doc_count; s++) s_stored_bytes += s_index->docs[s].raw_len;
}

// Bytes held by the term table: bucket array, entries and postings arrays.
uint64_t term_table_bytes(const sdb_index *ix) {
  uint64_t bytes = uint64_t{ix->bucket_count} * sizeof(sdb_term *);
  for (uint32_t b = 0; b < ix->bucket_count; b++) {
    for (const sdb_term *t = ix->buckets[b]; t != nullptr; t = t->next) {
      bytes += sizeof(sdb_term) + uint64_t{t->posting_cap} * sizeof(sdb_posting);
    }
  }
  return bytes;
}

void BM_Rebuild(benchmark::State &state) {
  for (auto _ : state) sdb_index_rebuild(s_index);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_stored_bytes));
  double docs = s_index->doc_count;
  state.counters["docs"] = docs;
  state.counters["terms"] = s_index->term_count;
  state.counters["tokens"] = static_cast<double>(s_index->total_tokens);
  state.counters["stored_MB"] = static_cast<double>(s_stored_bytes) / 1e6;
  state.counters["table_MB"] = static_cast<double>(term_table_bytes(s_index)) / 1e6;
  state.counters["table_B_per_doc"] = static_cast<double>(term_table_bytes(s_index)) / docs;
}
BENCHMARK(BM_Rebuild)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_CanonicalWriter(benchmark::State &state) {
  std::vector<yyjson_doc *> docs;
  for (const std::string &line : s_lines) {
    yyjson_doc *doc = yyjson_read(line.data(), line.size(), 0);
    if (doc != nullptr) docs.push_back(doc);
  }
  for (auto _ : state) {
    for (yyjson_doc *doc : docs) {
      uint64_t len = 0;
      char *text = sdb_val_to_json(yyjson_doc_get_root(doc), &len);
      benchmark::DoNotOptimize(text);
      free(text);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_stored_bytes));
  for (yyjson_doc *doc : docs) yyjson_doc_free(doc);
}
BENCHMARK(BM_CanonicalWriter)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  std::string path = bench::corpus_path(argc, argv);
  s_lines = bench::read_corpus_lines(path);
  if (s_lines.empty()) {
    fprintf(stderr, "rebuild_bench: no corpus at %s; skipping\n", path.c_str());
    return 0;
  }
  for (const std::string &line : s_lines) s_line_bytes += line.size();
  load_index();
  fprintf(stderr, "rebuild_bench: %zu lines, %.1f MB as received, %.1f MB stored\n", s_lines.size(),
          s_line_bytes / 1e6, s_stored_bytes / 1e6);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  sdb_index_free(s_index);
  return 0;
}
