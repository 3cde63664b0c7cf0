// A full build of the dictionary (what the first use of a loaded index
// does), and the canonical writer, over the package
// corpus (gzip-compressed JSON lines). The corpus path comes from the first
// argument left after the benchmark flags, else $SEARCHDB_CORPUS, else the
// shared default; without it the program says so and runs nothing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "corpus.h"
#include "index/build.h"
#include "index/canonical.h"
#include "index/entry.h"
#include "index/index.h"

namespace {

std::vector<std::string> s_lines;  // the corpus, one JSON text per line
uint64_t s_line_bytes = 0;
sdb_index *s_index = nullptr;  // every line added
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
      const std::string id = id_of(yyjson_doc_get_root(doc));
      const uint64_t size = sdb_entry_size(id.data(), id.size(), text, len);
      auto *entry = static_cast<char *>(malloc(size));
      const uint32_t raw_off = sdb_entry_write(entry, id.data(), id.size(), text, len);
      sdb_doc_undo undo;
      sdb_index_put(s_index, id.c_str(), entry, size - 1, raw_off, len,
                    sdb_block_add(s_index, entry, size), &undo);
      sdb_index_settle(s_index, &undo);
      free(text);
    }
    yyjson_doc_free(doc);
  }
  for (uint32_t s = 0; s < s_index->doc_count; s++) s_stored_bytes += s_index->docs[s].raw_len;
}

// Bytes held by the dictionary: term records, lookup table, the three
// lists, postings and texts.
uint64_t dictionary_bytes(const sdb_index *ix) {
  const sdb_terms *d = &ix->terms;
  uint64_t bytes = uint64_t{d->cap} * (sizeof(sdb_term) + sizeof(uint32_t)) +
                   uint64_t{d->lookup.mask + 1} * sizeof(uint64_t) + uint64_t{d->list_cap} * 9;
  for (uint32_t id = 0; id < d->ids; id++)
    bytes += uint64_t{d->terms[id].cap ? d->terms[id].cap : d->terms[id].count} * 5 +
             d->terms[id].len + 1;
  return bytes;
}

void BM_Build(benchmark::State &state) {
  for (auto _ : state) {
    s_index->built = false;
    sdb_terms_free(&s_index->terms);
    s_index->terms.bucket_count = s_index->terms.start_buckets = SDB_FIRST_BUCKETS;
    sdb_index_ensure_built(s_index);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_stored_bytes));
  double docs = s_index->doc_count;
  state.counters["docs"] = docs;
  state.counters["terms"] = s_index->terms.count;
  state.counters["tokens"] = static_cast<double>(s_index->total_tokens);
  state.counters["stored_MB"] = static_cast<double>(s_stored_bytes) / 1e6;
  state.counters["dictionary_MB"] = static_cast<double>(dictionary_bytes(s_index)) / 1e6;
  state.counters["dictionary_B_per_doc"] = static_cast<double>(dictionary_bytes(s_index)) / docs;
}
BENCHMARK(BM_Build)->Unit(benchmark::kMillisecond)->MinTime(3.0);

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
