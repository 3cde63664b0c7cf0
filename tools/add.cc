// `searchdb add`: read the whole input, check every document, then store
// them in batches.
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "input_documents.h"
#include "interrupt.h"
#include "json_text.h"
#include "render.h"
#include "searchdb.h"
#include "source_text.h"

namespace cli {
namespace {

// Every batch rewrites the whole index, so a load is fastest in few large
// batches; this bounds the memory one batch takes.
const size_t kBatchBytes = size_t{64} << 20;

// Repeated ids are listed up to this many; past it only their count.
const size_t kRepeatsShown = 10;

// The progress of a long add, drawn on standard error when it is a terminal:
// documents done, documents per second, and time left.
struct progress_bar {
  bool enabled = false;
  size_t total = 0;
  std::chrono::steady_clock::time_point start;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Seconds with two decimals, the same in every locale.
std::string seconds_text(double seconds) {
  long long hundredths = static_cast<long long>(seconds * 100 + 0.5);
  char text[40];
  snprintf(text, sizeof text, "%lld.%02lld s", hundredths / 100, hundredths % 100);
  return text;
}

std::string clock_text(double seconds) {
  long long s = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  } else {
    snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  }
  return text;
}

void progress_show(const progress_bar &bar, size_t done) {
  if (!bar.enabled) return;
  const size_t width = 24;
  size_t filled = bar.total ? done * width / bar.total : width;
  double elapsed = seconds_since(bar.start);
  double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  std::string line = "\r[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " +
                     std::to_string(done) + "/" + std::to_string(bar.total) + " documents";
  if (done > 0 && rate > 0) {
    line += "  " + std::to_string(static_cast<long long>(rate)) + "/s  " +
            clock_text(static_cast<double>(bar.total - done) / rate) + " left";
  }
  line += "\x1b[K";
  fputs(line.c_str(), stderr);
  fflush(stderr);
}

void progress_clear(const progress_bar &bar) {
  if (bar.enabled) fputs("\r\x1b[K", stderr);
}

// The documents from first on that fit one batch: at most max_count, and at
// most kBatchBytes of JSON unless a single document is larger.
size_t batch_end(const std::vector<input_document> &docs, size_t first, size_t max_count) {
  size_t bytes = 2;
  size_t last = first;
  while (last < docs.size() && last - first < max_count) {
    size_t more = docs[last].json.size() + 1;
    if (last > first && bytes + more > kBatchBytes) break;
    bytes += more;
    ++last;
  }
  return last;
}

std::string batch_json(const std::vector<input_document> &docs, size_t first, size_t last) {
  size_t size = 2;
  for (size_t i = first; i < last; ++i) size += docs[i].json.size() + 1;
  std::string batch;
  batch.reserve(size);
  batch += '[';
  for (size_t i = first; i < last; ++i) {
    if (i > first) batch += ',';
    batch += docs[i].json;
  }
  batch += ']';
  return batch;
}

// Says how far a load that stopped part-way got.
void report_stop(const std::string &source, const std::vector<input_document> &docs, size_t stored,
                 const char *why) {
  fprintf(stderr, "searchdb: add: %s; %zu document%s stored, the first not stored is '%s' (%s)\n",
          why, stored, stored == 1 ? " was" : "s were", docs[stored].id.c_str(),
          document_place(source, docs[stored]).c_str());
}

// The live documents of the index, or -1 when they cannot be counted.
long long document_count(const std::string &index) {
  const char *stats = searchdb_index_stats_json(index.c_str());
  if (is_null_result(stats)) return -1;
  std::string count = stats_document_count(stats);
  long long n = -1;
  auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), n);
  return ec == std::errc() && end == count.data() + count.size() ? n : -1;
}

// What a finished load says: how many documents went in, how many of
// their ids were new to the index and how many replaced a document.
void report_added(const invocation &inv, size_t stored, size_t repeated, size_t batches,
                  long long before, long long after, double elapsed) {
  size_t distinct = stored - repeated;
  bool counted = before >= 0 && after >= before && static_cast<size_t>(after - before) <= distinct;
  size_t fresh = counted ? static_cast<size_t>(after - before) : 0;
  long long rate = elapsed > 0 ? static_cast<long long>(static_cast<double>(stored) / elapsed) : 0;
  if (inv.json) {
    json_object out;
    out.set("index", inv.index).set("added", static_cast<int64_t>(stored));
    if (counted) {
      out.set("new", static_cast<int64_t>(fresh))
          .set("replaced", static_cast<int64_t>(distinct - fresh));
    }
    out.set("repeated", static_cast<int64_t>(repeated))
        .set("batches", static_cast<int64_t>(batches))
        .set_real("seconds", elapsed);
    print_text(out.text());
    return;
  }
  std::string line = "added " + count_of(stored, "document") + " to '" + inv.index + "' in " +
                     seconds_text(elapsed);
  if (counted && stored > 0) {
    line +=
        ": " + std::to_string(fresh) + " new, " + std::to_string(distinct - fresh) + " replaced";
    if (repeated > 0) line += ", " + std::to_string(repeated) + " repeated in the input";
  }
  if (batches > 1) {
    line += " (" + std::to_string(batches) + " batches";
    if (rate > 0) line += ", " + std::to_string(rate) + " documents/s";
    line += ")";
  }
  print_text(line);
}

int store_batches(const invocation &inv, const std::string &source,
                  const std::vector<input_document> &docs, size_t repeated) {
  long long count_before = document_count(inv.index);
  size_t max_count = inv.batch > 0 ? static_cast<size_t>(inv.batch) : docs.size();
  progress_bar bar;
  bar.enabled = isatty(STDERR_FILENO) && !docs.empty();
  bar.total = docs.size();
  bar.start = std::chrono::steady_clock::now();

  size_t stored = 0;
  size_t batches = 0;
  std::string before = last_error();
  while (stored < docs.size()) {
    if (interrupted()) {
      progress_clear(bar);
      report_stop(source, docs, stored, "interrupted");
      return exit_interrupted;
    }
    progress_show(bar, stored);
    size_t last = batch_end(docs, stored, max_count);
    int added = searchdb_documents_add(inv.index.c_str(), batch_json(docs, stored, last).c_str());
    if (added < 0) {
      progress_clear(bar);
      std::string why = "the library refused a batch: " + last_error();
      report_stop(source, docs, stored, why.c_str());
      return exit_refused;
    }
    warn_if_new_message(before);
    before = last_error();
    stored = last;
    ++batches;
  }
  progress_show(bar, stored);
  progress_clear(bar);
  double elapsed = seconds_since(bar.start);
  report_added(inv, stored, repeated, batches, count_before, document_count(inv.index), elapsed);
  return exit_ok;
}

}  // namespace

int run_add(session *, const invocation &inv) {
  // Refuse a missing index before reading what may be a long input.
  std::string primary_key;
  if (!primary_key_of(inv.index, &primary_key)) {
    fprintf(stderr, "searchdb: add: index '%s' not found\n", inv.index.c_str());
    return exit_refused;
  }
  std::string text, error;
  input_rules rules;
  if (!read_source(inv.has_argument ? inv.argument : "-", "documents", &text, &rules.source,
                   &error)) {
    if (interrupted()) return stopped(inv);
    fprintf(stderr, "searchdb: add: %s\n", error.c_str());
    return exit_refused;
  }
  rules.primary_key = primary_key;
  rules.allow_rounded_ids = inv.allow_rounded_ids;
  std::vector<input_document> docs;
  std::vector<repeated_id> repeats;
  if (!read_documents(text, rules, &docs, &repeats, &error)) {
    if (interrupted()) return stopped(inv);
    fprintf(stderr, "searchdb: add: %s; nothing was stored\n", error.c_str());
    return exit_refused;
  }
  for (size_t i = 0; i < repeats.size() && i < kRepeatsShown; ++i) {
    fprintf(stderr, "searchdb: add: %s\n", repeat_message(rules.source, docs, repeats[i]).c_str());
  }
  if (repeats.size() > kRepeatsShown) {
    fprintf(stderr, "searchdb: add: and %zu more repeated ids; the later documents are kept\n",
            repeats.size() - kRepeatsShown);
  }
  return store_batches(inv, rules.source, docs, repeats.size());
}

}  // namespace cli
