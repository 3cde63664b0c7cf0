// Side-by-side comparison of searchdb with the embedded engines a user would
// pick instead, on the same documents and queries, at several scales.
//
//   searchdb_compare [corpus.jsonl[.gz]] [--synthetic N] [--scales 10000,all,x10]
//                    [--queries N] [--passes N]
//                    [--engines searchdb,searchdb-before,fts5,xapian]
//                    [--filter-queries N] [--broad N] [--names N]
//                    [--request-classes CLASS,...] [--fresh-rounds N]
//
// Without a corpus argument it reads SEARCHDB_CORPUS, else the shared corpus
// beside the repository, else N synthetic documents (default 20,000). A
// scale is a document count, "all", or "xK" for the corpus K times over.
//
// Every engine builds and serves in processes of its own (the driver runs
// itself with --engine), so each peak memory figure is that engine's alone;
// its fresh processes run a program of its own (fresh_child.cc), which
// links that engine's libraries and no other's.
// The driver prints Markdown tables: per scale, the build and reopen, then
// per query class the latency of the top 20, queries per second, zero-hit
// queries and, for misspellings, how often the correctly spelt word's best
// document is among the top 20; each followed by searchdb / best peer.
//
// searchdb-before is the library built from the commit the current work
// started from (CMake target searchdb_reference; SEARCHDB_REFERENCE_LIB
// names another), loaded with dlopen; it runs by default when there is one.
// It is no peer: its latencies come from processes that each hold both
// searchdb builds (opened in either order) and alternate their timed
// passes, so that the machine's noise falls on both alike; the answers of
// the two are compared too.
//
// Requests (requests.h) follow the query classes in the same serving
// process: filters keeping about 1 %, 30 % and 90 % of the corpus, facets,
// sorting, browsing, highlighting and the typo-aware rank, each engine
// answering in its own natural form (searchdb_search_request; one SQL
// statement over FTS5 and tables of the fields; a Xapian query with boolean
// terms, value ranges, match spies and value sorting). One untimed pass
// prints every answer, so that the driver can tell where the engines agree
// (counts, pages, facets, and the harness's own count of what a filter
// keeps); then timed passes run every class in turn. searchdb also answers
// plain requests against searchdb_search in alternating passes, and reports
// its resident memory at the end against the size of its docs.json.
// --request-classes keeps only the requests of the classes named ("misspelt
// typo-aware,names typo-aware" for the rank's checks alone); the query
// classes run as ever, as the peers' figures beside them come from those.
// The goals close the output: the build against FTS5's, each class's
// latency against searchdb-before's, then the goals of the request call.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "corpus.h"
#include "engines.h"
#include "fresh.h"
#include "proc_status.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long PeakKb() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

uint64_t DiskBytes(const std::string &dir) {
  uint64_t n = 0;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

std::unique_ptr<Engine> NewEngine(const std::string &name) {
  if (name == "searchdb") return NewSearchdbEngine();
  if (name == "searchdb-before") return NewSearchdbBeforeEngine();
  if (name == "fts5") return NewFts5Engine();
  if (name == "xapian") return NewXapianEngine();
  return nullptr;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  const size_t k = std::min(v.size() - 1, (size_t)(p * (double)v.size()));
  std::nth_element(v.begin(), v.begin() + k, v.end());
  return v[k];
}

// What the untimed pass of one request class found.
struct ClassCheck {
  size_t asked = 0, answered = 0, zero = 0;
  size_t found = 0, near = 0, checked = 0;  // expected documents: first, in the top 20, looked for
  std::string error;                        // the first failure's message
};

// ---- Child processes: one engine, one step; results as "key value" lines ----

int ChildBuild(Engine *e, const std::string &dir, const CorpusSource &src) {
  uint64_t docs = 0;
  if (!ForEachDocument(src, [&](const std::string &json) { e->Stage(json), docs++; })) return 1;
  const Clock::time_point start = Clock::now();
  if (!e->Build(dir)) {
    fprintf(stderr, "build failed: %s\n", e->Error().c_str());
    return 1;
  }
  printf("docs %llu\nbuild_s %.3f\nbuild_peak_kb %ld\ndisk_bytes %llu\n", (unsigned long long)docs,
         MsSince(start) / 1000.0, PeakKb(), (unsigned long long)DiskBytes(dir));
  return 0;
}

// Both searchdb builds in one process, opened in the order given (the
// driver runs both orders, so that where each one's memory lies favours
// neither). An untimed pass counts the queries whose top 20 ids are the
// same in both; then the timed passes alternate which build goes first.
// Prints every latency.
int ChildPaired(const std::string &dir_now, const std::string &dir_before,
                const std::vector<Query> &queries, int passes, bool before_first) {
  std::unique_ptr<Engine> e[2] = {NewSearchdbEngine(), NewSearchdbBeforeEngine()};
  if (!e[1]) return 1;
  const bool opened = before_first ? e[1]->Open(dir_before) && e[0]->Open(dir_now)
                                   : e[0]->Open(dir_now) && e[1]->Open(dir_before);
  if (!opened) {
    fprintf(stderr, "open failed: %s / %s\n", e[0]->Error().c_str(), e[1]->Error().c_str());
    return 1;
  }
  for (int c = 0; c < kQueryClasses; c++) {
    std::vector<const Query *> qs;
    for (const Query &q : queries)
      if (q.cls == c) qs.push_back(&q);
    size_t same = 0;
    for (const Query *q : qs) {
      e[0]->Search(*q);
      const std::vector<std::string> now = e[0]->LastIds();
      e[1]->Search(*q);
      same += now == e[1]->LastIds();
    }
    std::vector<double> ms[2];
    for (int p = 0; p < 2 * passes; p++) {
      for (int k = 0; k < 2; k++) {
        const int which = (p + k) % 2;
        for (const Query *q : qs) {
          const Clock::time_point t = Clock::now();
          e[which]->Search(*q);
          ms[which].push_back(MsSince(t));
        }
      }
    }
    for (int which = 0; which < 2; which++) {
      printf("ms %d %d", which, c);
      for (double v : ms[which]) printf(" %.4f", v);
      printf("\n");
    }
    printf("same %d %zu %zu\n", c, same, qs.size());
  }
  return 0;
}

// "id~k", the k-th copy of a document at scales above the corpus, is that
// document.
std::string BaseId(const std::string &id) {
  return id.substr(0, id.find('~'));
}

std::string Joined(const std::vector<std::string> &items, char sep) {
  std::string out;
  for (size_t i = 0; i < items.size(); i++) out += (i ? std::string(1, sep) : "") + items[i];
  return out;
}

std::string OneLine(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  std::replace(s.begin(), s.end(), '\t', ' ');
  return s;
}

// The request classes: one untimed pass that prints every answer (for the
// comparison of the engines' answers) and checks the expected documents,
// then the timed passes, each running every class in turn, so that a
// class and the class it is compared with (a filter and the unfiltered
// query, a highlight and the page without it) share the machine's noise.
void ServeRequests(Engine *e, bool searchdb, std::vector<Request> &requests, int passes) {
  for (Request &r : requests) e->Prepare(&r);
  const std::vector<std::string> classes = RequestClasses(requests);
  std::vector<std::vector<const Request *>> by_class(classes.size());
  for (const Request &r : requests) {
    if (r.searchdb_only && !searchdb) continue;
    by_class[std::find(classes.begin(), classes.end(), r.cls) - classes.begin()].push_back(&r);
  }
  std::vector<ClassCheck> checks(classes.size());
  for (size_t k = 0; k < classes.size(); k++) {
    ClassCheck &c = checks[k];
    for (const Request *r : by_class[k]) {
      const size_t i = r - requests.data();
      c.asked++;
      e->Run(*r);
      const Outcome out = e->LastOutcome();
      if (!out.ok) {
        if (c.error.empty()) c.error = out.error.empty() ? "failed" : out.error;
        continue;
      }
      c.answered++;
      c.zero += out.total == 0;
      std::vector<std::string> sizes;
      for (double v : out.sizes) sizes.push_back(std::to_string((int64_t)v));
      printf("ans\t%zu\t%lld\t%s\t%s\t%zu\n", i, (long long)out.total, Joined(out.ids, ',').c_str(),
             Joined(sizes, ',').c_str(), out.marked);
      for (const auto &[field, counts] : out.facets) {
        printf("facet\t%zu\t%s", i, field.c_str());
        for (const auto &[value, n] : counts)
          printf("\t%s\t%lld", OneLine(value).c_str(), (long long)n);
        printf("\n");
      }
      if (r->expect_kind == Request::kFirstHit) {
        c.checked++;
        c.found += !out.ids.empty() && BaseId(out.ids[0]) == r->expect;
        c.near += std::any_of(out.ids.begin(), out.ids.end(),
                              [&](const std::string &id) { return BaseId(id) == r->expect; });
      } else if (r->expect_kind == Request::kBestDocOf) {
        Request word = *r;
        word.q = r->expect;
        word.expect_kind = Request::kNone;
        e->Prepare(&word);
        if (!e->Run(word)) continue;
        const std::vector<std::string> best = e->LastOutcome().ids;
        if (best.empty()) continue;
        c.checked++;
        c.found += std::find(out.ids.begin(), out.ids.end(), best[0]) != out.ids.end();
      }
    }
  }
  std::vector<std::vector<double>> ms(classes.size());
  for (int p = 0; p < passes; p++) {
    for (size_t k = 0; k < classes.size(); k++) {
      if (checks[k].answered == 0 || !checks[k].error.empty()) continue;
      for (const Request *r : by_class[k]) {
        if (r->check_only) break;
        const Clock::time_point t = Clock::now();
        e->Run(*r);
        ms[k].push_back(MsSince(t));
      }
    }
  }
  for (size_t k = 0; k < classes.size(); k++) {
    const ClassCheck &c = checks[k];
    if (c.asked == 0) continue;
    double total = 0;
    for (double v : ms[k]) total += v;
    printf("rclass\t%zu\t%.4f\t%.4f\t%.4f\t%.1f\t%zu\t%zu\t%zu\t%zu\t%zu\t%zu\t%zu\n", k,
           Percentile(ms[k], 0.5), Percentile(ms[k], 0.9), Percentile(ms[k], 0.99),
           total > 0 ? 1000.0 * (double)ms[k].size() / total : 0, ms[k].size(), c.asked, c.answered,
           c.zero, c.found, c.near, c.checked);
    if (!c.error.empty()) printf("rerror\t%zu\t%s\n", k, OneLine(c.error).c_str());
  }
  fflush(stdout);
}

// searchdb's request call against searchdb_search, for requests with
// nothing but a query: both in one process, passes alternating which goes
// first; and whether the answers are the same but for processingTimeMs.
void ServePlainRequests(Engine *e, const std::vector<Query> &queries, int passes) {
  auto without_time = [](std::string s) {
    const size_t at = s.find("\"processingTimeMs\":");
    if (at != std::string::npos) s.erase(at, s.find_first_of(",}", at) - at);
    return s;
  };
  for (int c = 0; c < kQueryClasses; c++) {
    std::vector<const Query *> qs;
    std::vector<Request> requests;
    for (const Query &q : queries)
      if (q.cls == c) qs.push_back(&q), requests.push_back({.cls = "plain", .q = q.text});
    for (Request &r : requests) e->Prepare(&r);
    size_t same = 0;
    for (size_t i = 0; i < qs.size(); i++) {
      e->Search(*qs[i]);
      const std::string plain = without_time(e->LastText());
      e->Run(requests[i]);
      same += plain == without_time(e->LastText());
    }
    std::vector<double> ms[2];
    for (int p = 0; p < passes; p++) {
      for (int k = 0; k < 2; k++) {
        const int which = (p + k) % 2;
        for (size_t i = 0; i < qs.size(); i++) {
          const Clock::time_point t = Clock::now();
          if (which == 0)
            e->Search(*qs[i]);
          else
            e->Run(requests[i]);
          ms[which].push_back(MsSince(t));
        }
      }
    }
    printf("plain\t%d\t%.4f\t%.4f\t%.4f\t%.4f\t%zu\t%zu\t%zu\n", c, Percentile(ms[0], 0.5),
           Percentile(ms[0], 0.99), Percentile(ms[1], 0.5), Percentile(ms[1], 0.99), same,
           qs.size(), ms[0].size());
  }
  fflush(stdout);
}

int ChildServe(Engine *e, const std::string &dir, const std::vector<Query> &queries, int passes,
               std::vector<Request> &requests, int request_passes, bool searchdb) {
  const Clock::time_point start = Clock::now();
  if (!e->Open(dir)) {
    fprintf(stderr, "open failed: %s\n", e->Error().c_str());
    return 1;
  }
  e->Search(queries.front());
  printf("reopen_ms %.3f\n", MsSince(start));
  for (int c = 0; c < kQueryClasses; c++) {
    std::vector<const Query *> qs;
    for (const Query &q : queries)
      if (q.cls == c) qs.push_back(&q);
    // One untimed pass gives the zero-hit count and the misspelling check.
    size_t zero = 0, found = 0, checked = 0;
    for (const Query *q : qs) {
      e->Search(*q);
      const std::vector<std::string> ids = e->LastIds();
      zero += ids.empty();
      if (c != kMisspelt) continue;
      e->Search({kWords, q->original, ""});
      const std::vector<std::string> best = e->LastIds();
      if (best.empty()) continue;
      checked++;
      found += std::find(ids.begin(), ids.end(), best.front()) != ids.end();
    }
    std::vector<double> ms;
    double total = 0;
    for (int p = 0; p < passes; p++) {
      for (const Query *q : qs) {
        const Clock::time_point t = Clock::now();
        e->Search(*q);
        ms.push_back(MsSince(t));
        total += ms.back();
      }
    }
    printf("class %d %.4f %.4f %.4f %.1f %zu %zu %zu\n", c, Percentile(ms, 0.5),
           Percentile(ms, 0.9), Percentile(ms, 0.99), 1000.0 * (double)ms.size() / total, zero,
           found, checked);
  }
  if (!requests.empty()) {
    ServeRequests(e, searchdb, requests, request_passes);
    if (searchdb) ServePlainRequests(e, queries, std::max(12, 4 * passes));
  }
  printf("serve_peak_kb %ld\nrss_kb %.0f\n", PeakKb(), ProcKb("/proc/self/status", "VmRSS"));
  return 0;
}

// ---- The driver ----

struct ClassResult {
  double p50 = 0, p90 = 0, p99 = 0, qps = 0;
  size_t zero = 0, found = 0, checked = 0;
};

// One request class as one engine served it.
struct RequestClassResult {
  bool ran = false;
  double p50 = 0, p90 = 0, p99 = 0, qps = 0;
  size_t timed = 0, asked = 0, answered = 0, zero = 0, found = 0, near = 0, checked = 0;
  std::string error;
  bool Timed() const { return ran && error.empty() && timed > 0; }
};

// searchdb's request call against searchdb_search, per query class.
struct PlainResult {
  bool ran = false;
  double search_p50 = 0, search_p99 = 0, request_p50 = 0, request_p99 = 0;
  size_t same = 0, queries = 0, samples = 0;
};

struct EngineResult {
  bool ok = false;
  double docs = 0, build_s = 0, build_peak_mb = 0, disk_mb = 0, reopen_ms = 0, serve_peak_mb = 0;
  double first_reopen_ms = 0;  // the first open after the build (reopen_ms: the next one)
  ClassResult cls[kQueryClasses];
  std::vector<RequestClassResult> rcls;  // by class, in RequestClasses order
  std::map<size_t, Outcome> answers;     // by request
  PlainResult plain[kQueryClasses];
  double rss_mb = 0, docs_json_mb = 0;
};

// searchdb and searchdb-before answering in one process.
struct PairResult {
  bool ok = false;
  ClassResult cls[2][kQueryClasses];  // [0] searchdb, [1] searchdb-before
  size_t same[kQueryClasses] = {}, total[kQueryClasses] = {};
};

bool IsPeer(const std::string &name) {
  return name != "searchdb" && name != "searchdb-before";
}

std::string Shell(const std::string &s) {
  return "'" + s + "'";
}

std::string SourceArgs(const CorpusSource &src) {
  std::string a = src.path.empty() ? " --synthetic " + std::to_string(src.synthetic_docs)
                                   : " --corpus " + Shell(src.path);
  return a + " --limit " + std::to_string(src.limit) + " --repeat " + std::to_string(src.repeat);
}

std::vector<std::string> SplitOn(const std::string &s, char sep) {
  std::vector<std::string> out;
  size_t at = 0;
  for (;;) {
    const size_t end = s.find(sep, at);
    out.push_back(s.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return out;
    at = end + 1;
  }
}

// The tab-separated lines of ServeRequests and ServePlainRequests.
bool ParseRequestLine(const std::string &line, EngineResult *r) {
  const std::vector<std::string> f = SplitOn(line, '\t');
  if (f.size() < 2) return false;
  const std::string &key = f[0];
  const size_t k = std::stoul(f[1]);
  if (key == "ans" && f.size() >= 6) {
    Outcome &o = r->answers[k];
    o.ok = true;
    o.total = std::stoll(f[2]);
    if (!f[3].empty()) o.ids = SplitOn(f[3], ',');
    if (!f[4].empty())
      for (const std::string &v : SplitOn(f[4], ',')) o.sizes.push_back(std::stod(v));
    o.marked = std::stoul(f[5]);
  } else if (key == "facet" && f.size() >= 3) {
    auto &list = r->answers[k].facets[f[2]];
    for (size_t i = 3; i + 1 < f.size(); i += 2) list.emplace_back(f[i], std::stoll(f[i + 1]));
  } else if (key == "rclass" && f.size() >= 13) {
    if (r->rcls.size() <= k) r->rcls.resize(k + 1);
    RequestClassResult &c = r->rcls[k];
    c.ran = true;
    c.p50 = std::stod(f[2]), c.p90 = std::stod(f[3]), c.p99 = std::stod(f[4]);
    c.qps = std::stod(f[5]);
    c.timed = std::stoul(f[6]), c.asked = std::stoul(f[7]), c.answered = std::stoul(f[8]);
    c.zero = std::stoul(f[9]), c.found = std::stoul(f[10]), c.near = std::stoul(f[11]);
    c.checked = std::stoul(f[12]);
  } else if (key == "rerror" && f.size() >= 3) {
    if (r->rcls.size() <= k) r->rcls.resize(k + 1);
    r->rcls[k].error = f[2];
  } else if (key == "plain" && f.size() >= 9 && k < kQueryClasses) {
    PlainResult &p = r->plain[k];
    p.ran = true;
    p.search_p50 = std::stod(f[2]), p.search_p99 = std::stod(f[3]);
    p.request_p50 = std::stod(f[4]), p.request_p99 = std::stod(f[5]);
    p.same = std::stoul(f[6]), p.queries = std::stoul(f[7]), p.samples = std::stoul(f[8]);
  } else {
    return false;
  }
  return true;
}

// Runs the driver itself with args; false when the child failed.
bool RunChild(const std::string &args, EngineResult *r) {
  const std::string cmd = Shell(fs::read_symlink("/proc/self/exe").string()) + args;
  FILE *in = popen(cmd.c_str(), "r");
  if (!in) return false;
  char *buf = nullptr;
  size_t cap = 0;
  ssize_t got;
  while ((got = getline(&buf, &cap, in)) > 0) {
    std::string line(buf, (size_t)got);
    if (line.back() == '\n') line.pop_back();
    if (ParseRequestLine(line, r)) continue;
    std::istringstream s(line);
    std::string key;
    s >> key;
    double kb;
    if (key == "docs")
      s >> r->docs;
    else if (key == "build_s")
      s >> r->build_s;
    else if (key == "build_peak_kb")
      s >> kb, r->build_peak_mb = kb / 1024;
    else if (key == "disk_bytes")
      s >> kb, r->disk_mb = kb / 1048576;
    else if (key == "reopen_ms")
      s >> r->reopen_ms;
    else if (key == "serve_peak_kb")
      s >> kb, r->serve_peak_mb = kb / 1024;
    else if (key == "class") {
      int c;
      s >> c;
      ClassResult &x = r->cls[c];
      s >> x.p50 >> x.p90 >> x.p99 >> x.qps >> x.zero >> x.found >> x.checked;
    } else if (key == "rss_kb") {
      s >> kb, r->rss_mb = kb / 1024;
    }
  }
  free(buf);
  return pclose(in) == 0;
}

// Runs the side-by-side child once in each opening order and takes the
// percentiles of all their latencies together.
bool RunPairChildren(const std::string &args, PairResult *r) {
  std::vector<double> ms[2][kQueryClasses];
  for (int before_first = 0; before_first < 2; before_first++) {
    const std::string cmd = Shell(fs::read_symlink("/proc/self/exe").string()) + args +
                            " --before-first " + std::to_string(before_first);
    FILE *in = popen(cmd.c_str(), "r");
    if (!in) return false;
    std::string out;
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) out.append(buf, n);
    if (pclose(in) != 0) return false;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream s(line);
      std::string key;
      int which, c;
      s >> key;
      if (key == "ms" && s >> which >> c && which >= 0 && which < 2 && c >= 0 &&
          c < kQueryClasses) {
        for (double v; s >> v;) ms[which][c].push_back(v);
      } else if (key == "same" && s >> c && c >= 0 && c < kQueryClasses) {
        s >> r->same[c] >> r->total[c];
      }
    }
  }
  for (int which = 0; which < 2; which++) {
    for (int c = 0; c < kQueryClasses; c++) {
      const std::vector<double> &v = ms[which][c];
      double total = 0;
      for (double x : v) total += x;
      ClassResult &x = r->cls[which][c];
      x.p50 = Percentile(v, 0.5);
      x.p90 = Percentile(v, 0.9);
      x.p99 = Percentile(v, 0.99);
      x.qps = total > 0 ? 1000.0 * (double)v.size() / total : 0;
    }
  }
  r->ok = true;
  return true;
}

struct Options {
  CorpusSource src;
  std::vector<std::string> scales = {"10000", "all", "x10"};
  std::vector<std::string> engines = {"searchdb", "fts5", "xapian"};
  size_t queries = 200;
  int passes = 3;
  size_t filter_queries = 50, broad = 30, names = 500;
  std::vector<std::string> request_classes;  // empty: every class
  std::string requests_file;                 // a serving child's requests
  int request_passes = 3;
  int fresh_rounds = 5;  // fresh processes of each kind per engine and scale
};

std::vector<std::string> Split(const std::string &s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(item);
  return out;
}

CorpusSource AtScale(CorpusSource src, const std::string &scale) {
  if (scale == "all") return src;
  if (scale[0] == 'x')
    src.repeat = std::stoull(scale.substr(1));
  else
    src.limit = std::stoull(scale);
  return src;
}

// searchdb's figure over the best peer's; for figures where more is better
// the best is the highest. With answering_only, peers that never found the
// correctly spelt word's best document are left out: answering nothing fast
// is no answer to a misspelling.
std::string Ratio(const std::map<std::string, EngineResult> &rs,
                  double (*get)(const EngineResult &), bool more_is_better,
                  bool answering_only = false) {
  auto own = rs.find("searchdb");
  if (own == rs.end() || !own->second.ok) return "-";
  double best = -1;
  for (const auto &[name, r] : rs) {
    if (!IsPeer(name) || !r.ok || (answering_only && r.cls[kMisspelt].found == 0)) continue;
    const double v = get(r);
    if (best < 0 || (more_is_better ? v > best : v < best)) best = v;
  }
  if (best <= 0) return "-";
  char buf[32];
  snprintf(buf, sizeof buf, "%.2f", get(own->second) / best);
  return buf;
}

void PrintScale(const std::string &scale, const std::map<std::string, EngineResult> &rs,
                const std::vector<std::string> &order) {
  double docs = 0;
  for (const auto &[name, r] : rs) docs = std::max(docs, r.docs);
  printf("\n### %.0f documents (scale %s)\n\n", docs, scale.c_str());
  printf(
      "| engine | build s | docs/s | build peak MB | disk MB | first reopen ms | reopen ms | "
      "serving peak MB |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const std::string &name : order) {
    const EngineResult &r = rs.at(name);
    if (!r.ok) {
      printf("| %s | failed | | | | | | |\n", name.c_str());
      continue;
    }
    printf("| %s | %.2f | %.0f | %.0f | %.1f | %.1f | %.1f | %.0f |\n", name.c_str(), r.build_s,
           r.docs / r.build_s, r.build_peak_mb, r.disk_mb, r.first_reopen_ms, r.reopen_ms,
           r.serve_peak_mb);
  }
  printf("| searchdb / best peer | %s | %s | %s | %s | %s | %s | %s |\n",
         Ratio(
             rs, [](const EngineResult &r) { return r.build_s; }, false)
             .c_str(),
         Ratio(
             rs, [](const EngineResult &r) { return r.docs / r.build_s; }, true)
             .c_str(),
         Ratio(
             rs, [](const EngineResult &r) { return r.build_peak_mb; }, false)
             .c_str(),
         Ratio(
             rs, [](const EngineResult &r) { return r.disk_mb; }, false)
             .c_str(),
         Ratio(
             rs, [](const EngineResult &r) { return r.first_reopen_ms; }, false)
             .c_str(),
         Ratio(
             rs, [](const EngineResult &r) { return r.reopen_ms; }, false)
             .c_str(),
         Ratio(
             rs, [](const EngineResult &r) { return r.serve_peak_mb; }, false)
             .c_str());
  auto now = rs.find("searchdb"), before = rs.find("searchdb-before");
  if (now != rs.end() && before != rs.end() && now->second.ok && before->second.ok) {
    const EngineResult &a = now->second, &b = before->second;
    printf("| searchdb / searchdb-before | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n",
           a.build_s / b.build_s, (a.docs / a.build_s) / (b.docs / b.build_s),
           a.build_peak_mb / b.build_peak_mb, a.disk_mb / b.disk_mb,
           a.first_reopen_ms / b.first_reopen_ms, a.reopen_ms / b.reopen_ms,
           a.serve_peak_mb / b.serve_peak_mb);
  }
  printf(
      "\n| query class | engine | p50 ms | p90 ms | p99 ms | queries/s | zero hits | best doc of "
      "the word in top 20 |\n");
  printf("|---|---|---:|---:|---:|---:|---:|---:|\n");
  for (int c = 0; c < kQueryClasses; c++) {
    for (const std::string &name : order) {
      const EngineResult &r = rs.at(name);
      if (!r.ok || name == "searchdb-before") continue;  // its own table follows
      const ClassResult &x = r.cls[c];
      std::string found = "";
      if (c == kMisspelt && x.checked)
        found = std::to_string(x.found) + "/" + std::to_string(x.checked);
      printf("| %s | %s | %.3f | %.3f | %.3f | %.0f | %zu | %s |\n", QueryClassName((QueryClass)c),
             name.c_str(), x.p50, x.p90, x.p99, x.qps, x.zero, found.c_str());
    }
    // The class is passed through a file-scope variable: the getters are plain function pointers.
    static int cur;
    cur = c;
    const bool fixing = c == kMisspelt;
    printf("| %s | searchdb / best %s | %s | %s | %s | %s | %s | %s |\n",
           QueryClassName((QueryClass)c), fixing ? "correcting peer" : "peer",
           Ratio(
               rs, [](const EngineResult &r) { return r.cls[cur].p50; }, false, fixing)
               .c_str(),
           Ratio(
               rs, [](const EngineResult &r) { return r.cls[cur].p90; }, false, fixing)
               .c_str(),
           Ratio(
               rs, [](const EngineResult &r) { return r.cls[cur].p99; }, false, fixing)
               .c_str(),
           Ratio(
               rs, [](const EngineResult &r) { return r.cls[cur].qps; }, true, fixing)
               .c_str(),
           Ratio(
               rs, [](const EngineResult &r) { return (double)r.cls[cur].zero; }, false, fixing)
               .c_str(),
           c == kMisspelt ? Ratio(
                                rs,
                                [](const EngineResult &r) {
                                  return r.cls[cur].checked
                                             ? (double)r.cls[cur].found / r.cls[cur].checked
                                             : 0.0;
                                },
                                true)
                                .c_str()
                          : "");
  }
  fflush(stdout);
}

// searchdb against searchdb-before, from the process that held both.
void PrintPair(const PairResult &p, int passes) {
  printf(
      "\n#### searchdb against searchdb-before\n\nBoth in one process, in two processes that "
      "open them in either order; %d timed passes each, alternating which goes first; "
      "\"same top 20\": queries whose top 20 ids are the same, in the same order.\n\n",
      4 * passes);
  printf(
      "| query class | p50 ms before | p50 ms now | now / before | p99 ms before | p99 ms now | "
      "now / before | queries/s now / before | same top 20 |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (int c = 0; c < kQueryClasses; c++) {
    const ClassResult &a = p.cls[0][c], &b = p.cls[1][c];
    printf("| %s | %.3f | %.3f | %.2f | %.3f | %.3f | %.2f | %.2f | %zu/%zu |\n",
           QueryClassName((QueryClass)c), b.p50, a.p50, a.p50 / b.p50, b.p99, a.p99, a.p99 / b.p99,
           a.qps / b.qps, p.same[c], p.total[c]);
  }
  fflush(stdout);
}

// The figures with a target, at every scale: the build against FTS5's, and
// each class's latency against searchdb-before's.
void PrintGoals(const std::vector<std::string> &scales,
                const std::map<std::string, std::map<std::string, EngineResult>> &all,
                const std::map<std::string, PairResult> &pairs) {
  printf(
      "\n### Goals\n\n| scale | figure | searchdb | against | ratio | target | met |\n"
      "|---|---|---:|---:|---:|---:|---|\n");
  auto row = [](const std::string &scale, const std::string &what, double own,
                const std::string &other_name, double other, double target, int digits) {
    const double ratio = own / other;
    printf("| %s | %s | %.*f | %s %.*f | %.2f | <= %.2f | %s |\n", scale.c_str(), what.c_str(),
           digits, own, other_name.c_str(), digits, other, ratio, target,
           ratio <= target ? "yes" : "no");
  };
  for (const std::string &scale : scales) {
    const auto &rs = all.at(scale);
    auto own = rs.find("searchdb"), fts5 = rs.find("fts5");
    if (own != rs.end() && fts5 != rs.end() && own->second.ok && fts5->second.ok)
      row(scale, "bulk build, s", own->second.build_s, "fts5", fts5->second.build_s, 0.6, 2);
    auto pair = pairs.find(scale);
    if (pair == pairs.end() || !pair->second.ok) continue;
    for (int c = 0; c < kQueryClasses; c++) {
      const ClassResult &a = pair->second.cls[0][c], &b = pair->second.cls[1][c];
      const std::string name = QueryClassName((QueryClass)c);
      row(scale, name + " p50, ms", a.p50, "searchdb-before", b.p50, 1.05, 3);
      row(scale, name + " p99, ms", a.p99, "searchdb-before", b.p99, 1.10, 3);
    }
  }
  fflush(stdout);
}

// ---- Requests: tables per scale and their goals ----

// The requests of one scale, and what the harness itself counts of them.
struct ScaleRequests {
  std::vector<Request> requests;
  std::vector<std::string> classes;
  // Browsing: the documents the filter keeps, counted over the corpus by the
  // harness; -1 for requests with a query.
  std::vector<int64_t> expected;
  size_t ClassOf(const std::string &name) const {
    return std::find(classes.begin(), classes.end(), name) - classes.begin();
  }
};

const RequestClassResult *Rc(const std::map<std::string, EngineResult> &rs,
                             const std::string &engine, size_t k) {
  auto it = rs.find(engine);
  if (it == rs.end() || !it->second.ok || k >= it->second.rcls.size() || !it->second.rcls[k].ran)
    return nullptr;
  return &it->second.rcls[k];
}

std::string Fixed(double v, int digits = 3) {
  char buf[48];
  snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::string Share(size_t n, size_t of) {
  return std::to_string(n) + "/" + std::to_string(of);
}

// The engines that answer requests, searchdb first.
std::vector<std::string> RequestEngines(const std::vector<std::string> &order) {
  std::vector<std::string> out;
  for (const std::string &name : order)
    if (name != "searchdb-before") out.push_back(name);
  return out;
}

// The best peer's figure for class k (the lowest), and its name.
std::pair<std::string, double> BestPeer(const std::map<std::string, EngineResult> &rs,
                                        const std::vector<std::string> &engines, size_t k,
                                        double RequestClassResult::*figure) {
  std::pair<std::string, double> best{"", -1};
  for (const std::string &name : engines) {
    const RequestClassResult *c = Rc(rs, name, k);
    if (!IsPeer(name) || !c || !c->Timed()) continue;
    if (best.second < 0 || c->*figure < best.second) best = {name, c->*figure};
  }
  return best;
}

std::string Cell(const RequestClassResult *c, double RequestClassResult::*figure) {
  if (!c) return "-";
  if (!c->error.empty()) return "refused";
  return c->Timed() ? Fixed(c->*figure) : "-";
}

// Whether every engine that answered request i gave the same value of it.
template <typename F>
int SameInAll(const std::map<std::string, EngineResult> &rs,
              const std::vector<std::string> &engines, size_t i, F value) {
  int seen = 0;
  bool same = true;
  decltype(value(Outcome{})) first{};
  for (const std::string &name : engines) {
    auto it = rs.find(name);
    if (it == rs.end()) continue;
    auto a = it->second.answers.find(i);
    if (a == it->second.answers.end()) continue;
    if (seen++ == 0)
      first = value(a->second);
    else
      same = same && value(a->second) == first;
  }
  return seen < 2 ? -1 : same;
}

void PrintRequests(const std::map<std::string, EngineResult> &rs,
                   const std::vector<std::string> &order, const ScaleRequests &sr,
                   const std::vector<TargetFilter> &filters, int passes) {
  const std::vector<std::string> engines = RequestEngines(order);
  printf(
      "\n#### Requests\n\nEach request: the page of %d with the stored documents and the count of "
      "every match; searchdb %d timed passes, the peers %d, every pass running each class in "
      "turn. \"refused\": the engine answered the class's requests with an error.\n\n",
      kPageSize, 4 * passes, passes);
  printf("| request class | requests |");
  for (const std::string &e : engines) printf(" %s p50 ms |", e.c_str());
  for (const std::string &e : engines) printf(" %s p99 ms |", e.c_str());
  printf(" searchdb / best peer p50 | p99 |\n|---|---:|");
  for (size_t i = 0; i < 2 * engines.size() + 2; i++) printf("---:|");
  printf("\n");
  for (size_t k = 0; k < sr.classes.size(); k++) {
    size_t asked = 0;
    bool timed = false;
    for (const std::string &e : engines)
      if (const RequestClassResult *c = Rc(rs, e, k)) {
        asked = std::max(asked, c->asked);
        timed |= c->Timed() || !c->error.empty();
      }
    if (!timed) continue;
    printf("| %s | %zu |", sr.classes[k].c_str(), asked);
    for (const std::string &e : engines)
      printf(" %s |", Cell(Rc(rs, e, k), &RequestClassResult::p50).c_str());
    for (const std::string &e : engines)
      printf(" %s |", Cell(Rc(rs, e, k), &RequestClassResult::p99).c_str());
    const RequestClassResult *own = Rc(rs, "searchdb", k);
    for (double RequestClassResult::*f : {&RequestClassResult::p50, &RequestClassResult::p99}) {
      const auto best = BestPeer(rs, engines, k, f);
      printf(" %s |", own && own->Timed() && best.second > 0
                          ? Fixed(own->*f / best.second, 2).c_str()
                          : "-");
    }
    printf("\n");
  }

  printf(
      "\n#### Answers compared\n\nPer class, over the requests every engine answered: the mean "
      "number of matches; requests whose count is the same in every engine; for browsing, whose "
      "count is the harness's own count of what the filter keeps, and whose page holds the same "
      "ids in the same order; for sorting with a query, whose page holds the same installed_size "
      "values in the same order; for facets, whose facet counts are the same (among requests "
      "whose counts agree).\n\n");
  printf("| request class | requests |");
  for (const std::string &e : engines) printf(" %s mean matches |", e.c_str());
  printf(" same count | count = harness's | same page | same facets |\n|---|---:|");
  for (size_t i = 0; i < engines.size() + 4; i++) printf("---:|");
  printf("\n");
  for (size_t k = 0; k < sr.classes.size(); k++) {
    size_t n = 0, same_count = 0, compared = 0, harness = 0, harnessed = 0, same_page = 0,
           paged = 0, same_facets = 0, faceted = 0;
    std::map<std::string, std::pair<double, size_t>> sums;
    for (size_t i = 0; i < sr.requests.size(); i++) {
      const Request &r = sr.requests[i];
      if (r.cls != sr.classes[k]) continue;
      n++;
      for (const std::string &e : engines) {
        auto it = rs.find(e);
        if (it == rs.end()) continue;
        auto a = it->second.answers.find(i);
        if (a == it->second.answers.end()) continue;
        sums[e].first += (double)a->second.total, sums[e].second++;
        if (sr.expected[i] >= 0) harnessed++, harness += a->second.total == sr.expected[i];
      }
      const int count = SameInAll(rs, engines, i, [](const Outcome &o) { return o.total; });
      if (count < 0) continue;
      compared++, same_count += count;
      if (!r.has_q && !r.facets) {
        paged++;
        same_page += SameInAll(rs, engines, i, [](const Outcome &o) { return o.ids; }) == 1;
      } else if (r.sort_by_size) {
        paged++;
        same_page += SameInAll(rs, engines, i, [](const Outcome &o) { return o.sizes; }) == 1;
      }
      if (r.facets && count == 1) {
        faceted++;
        same_facets += SameInAll(rs, engines, i, [](const Outcome &o) { return o.facets; }) == 1;
      }
    }
    printf("| %s | %zu |", sr.classes[k].c_str(), n);
    for (const std::string &e : engines) {
      auto it = sums.find(e);
      printf(" %s |", it == sums.end() || it->second.second == 0
                          ? "-"
                          : Fixed(it->second.first / (double)it->second.second, 0).c_str());
    }
    printf(" %s | %s | %s | %s |\n", compared ? Share(same_count, compared).c_str() : "-",
           harnessed ? Share(harness, harnessed).c_str() : "-",
           paged ? Share(same_page, paged).c_str() : "-",
           faceted ? Share(same_facets, faceted).c_str() : "-");
  }
  // Highlighting: how many hits came back with a marked word.
  const size_t highlight = sr.ClassOf("highlight");
  if (highlight < sr.classes.size()) {
    printf("\nHits of the class highlight whose highlighted description holds a mark:");
    for (const std::string &e : engines) {
      auto it = rs.find(e);
      if (it == rs.end()) continue;
      size_t marked = 0, hits = 0;
      for (size_t i = 0; i < sr.requests.size(); i++) {
        if (sr.requests[i].cls != "highlight") continue;
        auto a = it->second.answers.find(i);
        if (a == it->second.answers.end()) continue;
        marked += a->second.marked, hits += a->second.ids.size();
      }
      printf(" %s %s;", e.c_str(), Share(marked, hits).c_str());
    }
    printf(" (a hit whose description lacks every matched word has none).\n");
  }

  const EngineResult *own = rs.count("searchdb") ? &rs.at("searchdb") : nullptr;
  if (own && own->ok && own->plain[0].ran) {
    printf(
        "\n#### searchdb: the request call against searchdb_search\n\nA request holding only "
        "\"q\" (and \"limit\": %d) against searchdb_search with the same query: both in one "
        "process, %zu passes each over the same queries, alternating which goes first; \"same "
        "answer\": the same text but for processingTimeMs.\n\n",
        kPageSize, own->plain[0].samples / std::max<size_t>(1, own->plain[0].queries));
    printf(
        "| query class | searchdb_search p50 ms | request p50 ms | ratio | searchdb_search p99 ms "
        "| request p99 ms | ratio | same answer |\n|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (int c = 0; c < kQueryClasses; c++) {
      const PlainResult &p = own->plain[c];
      printf("| %s | %.3f | %.3f | %.2f | %.3f | %.3f | %.2f | %s |\n",
             QueryClassName((QueryClass)c), p.search_p50, p.request_p50,
             p.request_p50 / p.search_p50, p.search_p99, p.request_p99,
             p.request_p99 / p.search_p99, Share(p.same, p.queries).c_str());
    }
  }

  const size_t unfiltered = sr.ClassOf("unfiltered");
  const RequestClassResult *base = Rc(rs, "searchdb", unfiltered);
  if (base && base->Timed()) {
    printf(
        "\n#### searchdb: filtered against unfiltered\n\nThe same queries without a filter "
        "(\"unfiltered\": p50 %.3f ms, p99 %.3f ms) and with each; \"keeps\": the share of the "
        "corpus the filter keeps.\n\n| filter | keeps | as a request | p50 ms | / unfiltered | "
        "p99 ms | / unfiltered |\n|---|---:|---|---:|---:|---:|---:|\n",
        base->p50, base->p99);
    for (const TargetFilter &f : filters) {
      const RequestClassResult *c = Rc(rs, "searchdb", sr.ClassOf("filter " + f.label));
      if (!c) continue;
      std::string json = FilterJson(f.filter);
      if (json.size() > 160) json = json.substr(0, 150) + "...";
      printf("| %s | %.1f %% | `%s` | %s | %s | %s | %s |\n", f.label.c_str(), 100 * f.kept,
             json.c_str(), Cell(c, &RequestClassResult::p50).c_str(),
             c->Timed() ? Fixed(c->p50 / base->p50, 2).c_str() : "-",
             Cell(c, &RequestClassResult::p99).c_str(),
             c->Timed() ? Fixed(c->p99 / base->p99, 2).c_str() : "-");
    }
  }

  printf(
      "\n#### Ranking checks\n\n\"misspelt\": the correctly spelt word's best document (the "
      "engine's own first answer to it, under the same rank) in the top 20 of the misspelling; "
      "\"names\": a package's name as the query, among names whose words no other package's name "
      "has in the same order; the package (or at x10 one of its copies) first, or in the top "
      "20. searchdb answers with \"rank\": \"bm25\" (searchdb_search's order) and "
      "\"typo_aware\".\n\n| check | searchdb bm25 | searchdb typo_aware |");
  for (const std::string &e : engines)
    if (IsPeer(e)) printf(" %s |", e.c_str());
  printf("\n|---|---:|---:|");
  for (const std::string &e : engines)
    if (IsPeer(e)) printf("---:|");
  printf("\n");
  auto found = [](const RequestClassResult *c, bool near) -> std::string {
    if (!c) return "-";
    if (!c->error.empty()) return "refused: " + c->error;
    return Share(near ? c->near : c->found, c->checked);
  };
  auto misspelt = [&](const std::string &e) -> std::string {
    auto it = rs.find(e);
    if (it == rs.end() || !it->second.ok) return "-";
    return Share(it->second.cls[kMisspelt].found, it->second.cls[kMisspelt].checked);
  };
  auto misspelt_p50 = [&](const std::string &e) -> std::string {
    auto it = rs.find(e);
    return it == rs.end() || !it->second.ok ? "-" : Fixed(it->second.cls[kMisspelt].p50);
  };
  const size_t typo = sr.ClassOf("misspelt typo-aware"), names = sr.ClassOf("names"),
               names_typo = sr.ClassOf("names typo-aware");
  printf("| misspelt: best doc of the word in top 20 | %s | %s |", misspelt("searchdb").c_str(),
         found(Rc(rs, "searchdb", typo), false).c_str());
  for (const std::string &e : engines)
    if (IsPeer(e)) printf(" %s |", misspelt(e).c_str());
  printf("\n| misspelt: p50 ms | %s | %s |", misspelt_p50("searchdb").c_str(),
         Cell(Rc(rs, "searchdb", typo), &RequestClassResult::p50).c_str());
  for (const std::string &e : engines)
    if (IsPeer(e)) printf(" %s |", misspelt_p50(e).c_str());
  for (const bool near : {false, true}) {
    printf("\n| names: the package %s | %s | %s |", near ? "in the top 20" : "first",
           found(Rc(rs, "searchdb", names), near).c_str(),
           found(Rc(rs, "searchdb", names_typo), near).c_str());
    for (const std::string &e : engines)
      if (IsPeer(e)) printf(" %s |", found(Rc(rs, e, names), near).c_str());
  }
  printf("\n");

  printf(
      "\n#### Memory while serving\n\nResident memory at the end of the serving process: after "
      "the open, the query classes and every request above.\n\n| engine | resident MB | "
      "docs.json MB | resident / docs.json |\n|---|---:|---:|---:|\n");
  for (const std::string &e : engines) {
    auto it = rs.find(e);
    if (it == rs.end() || !it->second.ok) continue;
    const EngineResult &r = it->second;
    printf("| %s | %.1f | %s | %s |\n", e.c_str(), r.rss_mb,
           r.docs_json_mb > 0 ? Fixed(r.docs_json_mb, 1).c_str() : "-",
           r.docs_json_mb > 0 ? Fixed(r.rss_mb / r.docs_json_mb, 2).c_str() : "-");
  }
  fflush(stdout);
}

// The goals of the request call, at every scale.
void PrintRequestGoals(const std::vector<std::string> &scales,
                       const std::map<std::string, std::map<std::string, EngineResult>> &all,
                       const std::map<std::string, ScaleRequests> &srs,
                       const std::vector<std::string> &order,
                       const std::vector<TargetFilter> &filters) {
  printf(
      "\n### Goals of search requests\n\n| scale | goal | figure | searchdb | against | ratio "
      "or difference | target | met |\n|---|---|---|---:|---:|---:|---:|---|\n");
  const std::vector<std::string> engines = RequestEngines(order);
  auto row = [](const std::string &scale, int goal, const std::string &what, const std::string &own,
                const std::string &against, const std::string &ratio, const std::string &target,
                bool met) {
    printf("| %s | %d | %s | %s | %s | %s | %s | %s |\n", scale.c_str(), goal, what.c_str(),
           own.c_str(), against.c_str(), ratio.c_str(), target.c_str(), met ? "yes" : "no");
  };
  for (const std::string &scale : scales) {
    auto sit = srs.find(scale);
    if (sit == srs.end() || !all.count(scale)) continue;
    const ScaleRequests &sr = sit->second;
    const auto &rs = all.at(scale);
    auto own_it = rs.find("searchdb");
    if (own_it == rs.end() || !own_it->second.ok) continue;
    const EngineResult &own = own_it->second;
    // 1: the request call costs what searchdb_search does.
    for (int c = 0; c < kQueryClasses; c++) {
      const PlainResult &p = own.plain[c];
      if (!p.ran) continue;
      const std::string name = QueryClassName((QueryClass)c);
      row(scale, 1, name + ": request p50, ms", Fixed(p.request_p50),
          "searchdb_search " + Fixed(p.search_p50), Fixed(p.request_p50 / p.search_p50, 2),
          "<= 1.05", p.request_p50 <= 1.05 * p.search_p50);
      row(scale, 1, name + ": request p99, ms", Fixed(p.request_p99),
          "searchdb_search " + Fixed(p.search_p99), Fixed(p.request_p99 / p.search_p99, 2),
          "<= 1.10", p.request_p99 <= 1.10 * p.search_p99);
    }
    // 2 and 3: ahead of both peers.
    auto ahead = [&](int goal, const std::string &cls) {
      const size_t k = sr.ClassOf(cls);
      const RequestClassResult *c = Rc(rs, "searchdb", k);
      for (double RequestClassResult::*f : {&RequestClassResult::p50, &RequestClassResult::p99}) {
        const std::string what = cls + (f == &RequestClassResult::p50 ? " p50, ms" : " p99, ms");
        const auto best = BestPeer(rs, engines, k, f);
        if (!c || !c->Timed() || best.second <= 0) {
          row(scale, goal, what, c && !c->error.empty() ? "refused" : "-", "-", "-", "< 1.00",
              false);
          continue;
        }
        row(scale, goal, what, Fixed(c->*f), best.first + " " + Fixed(best.second),
            Fixed(c->*f / best.second, 2), "< 1.00", c->*f < best.second);
      }
    };
    const RequestClassResult *base = Rc(rs, "searchdb", sr.ClassOf("unfiltered"));
    for (const TargetFilter &f : filters) {
      const std::string cls = "filter " + f.label;
      ahead(2, cls);
      const RequestClassResult *c = Rc(rs, "searchdb", sr.ClassOf(cls));
      if (c && c->Timed() && base && base->Timed())
        row(scale, 2, cls + " p50 / unfiltered", Fixed(c->p50), "unfiltered " + Fixed(base->p50),
            Fixed(c->p50 / base->p50, 2), "<= 1.30", c->p50 <= 1.3 * base->p50);
    }
    for (const char *cls : {"facets", "sort by size", "browse page 1", "browse page 50"})
      ahead(3, cls);
    // 4: highlighting costs little over the same page.
    const RequestClassResult *hl = Rc(rs, "searchdb", sr.ClassOf("highlight"));
    if (hl && hl->Timed() && base && base->Timed()) {
      const double added = hl->p50 - base->p50;
      row(scale, 4, "highlight: p50 added, ms", Fixed(hl->p50), "unfiltered " + Fixed(base->p50),
          (added >= 0 ? "+" : "") + Fixed(added), "<= +0.300", added <= 0.3);
    }
    // 5: misspellings ranked typo-aware.
    const RequestClassResult *typo = Rc(rs, "searchdb", sr.ClassOf("misspelt typo-aware"));
    const double want5 = scale[0] == 'x' ? 0.95 : 0.97;
    auto xapian = rs.find("xapian");
    const bool have_xapian = xapian != rs.end() && xapian->second.ok;
    if (typo && typo->Timed() && typo->checked) {
      const double share = (double)typo->found / (double)typo->checked;
      row(scale, 5, "misspelt typo-aware: best doc in top 20", Share(typo->found, typo->checked),
          have_xapian ? "xapian " + Share(xapian->second.cls[kMisspelt].found,
                                          xapian->second.cls[kMisspelt].checked)
                      : "-",
          Fixed(100 * share, 1) + " %", ">= " + Fixed(100 * want5, 0) + " %", share >= want5);
      if (have_xapian) {
        const double peer = xapian->second.cls[kMisspelt].p50;
        row(scale, 5, "misspelt typo-aware p50, ms", Fixed(typo->p50), "xapian " + Fixed(peer),
            Fixed(typo->p50 / peer, 2), "< 1.00", typo->p50 < peer);
      }
    } else {
      row(scale, 5, "misspelt typo-aware: best doc in top 20", typo ? "refused" : "-", "-", "-",
          ">= " + Fixed(100 * want5, 0) + " %", false);
    }
    // 6: a package's name finds the package first.
    const RequestClassResult *names = Rc(rs, "searchdb", sr.ClassOf("names typo-aware")),
                             *names_bm25 = Rc(rs, "searchdb", sr.ClassOf("names"));
    const std::string bm25 = names_bm25 && names_bm25->error.empty()
                                 ? "bm25 " + Share(names_bm25->found, names_bm25->checked)
                                 : "-";
    if (names && names->error.empty() && names->checked) {
      const double share = (double)names->found / (double)names->checked;
      row(scale, 6, "names typo-aware: the package first", Share(names->found, names->checked),
          bm25, Fixed(100 * share, 1) + " %", ">= 99 %", share >= 0.99);
    } else {
      row(scale, 6, "names typo-aware: the package first", names ? "refused" : "-", bm25, "-",
          ">= 99 %", false);
    }
    // 7: memory.
    if (own.docs_json_mb > 0)
      row(scale, 7, "resident after the requests, MB", Fixed(own.rss_mb, 1),
          "docs.json " + Fixed(own.docs_json_mb, 1), Fixed(own.rss_mb / own.docs_json_mb, 2),
          "<= 2.50", own.rss_mb <= 2.5 * own.docs_json_mb);
  }
  fflush(stdout);
}

// How the median latency grew from the first scale to the last, beside how
// the number of documents grew.
void PrintGrowth(const std::vector<std::string> &scales,
                 const std::map<std::string, std::map<std::string, EngineResult>> &all,
                 const std::vector<std::string> &order) {
  if (scales.size() < 2) return;
  const auto &a = all.at(scales[scales.size() - 2]), &b = all.at(scales.back());
  printf(
      "\n### Growth from scale %s to %s\n\n| engine | documents | build | 1-3 words p50 | prefix "
      "p50 | misspelt p50 |\n|---|---:|---:|---:|---:|---:|\n",
      scales[scales.size() - 2].c_str(), scales.back().c_str());
  for (const std::string &name : order) {
    const EngineResult &x = a.at(name), &y = b.at(name);
    if (!x.ok || !y.ok) continue;
    printf("| %s | x%.1f | x%.1f | x%.1f | x%.1f | x%.1f |\n", name.c_str(), y.docs / x.docs,
           y.build_s / x.build_s, y.cls[kWords].p50 / x.cls[kWords].p50,
           y.cls[kPrefix].p50 / x.cls[kPrefix].p50, y.cls[kMisspelt].p50 / x.cls[kMisspelt].p50);
  }
}

// The bytes of the stored documents: every docs.json under dir.
uint64_t StoredDocumentBytes(const std::string &dir) {
  uint64_t n = 0;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && e.path().filename() == "docs.json") n += e.file_size();
  return n;
}

void PrintWorkload(const Workload &w, size_t docs) {
  const std::vector<std::string> classes = RequestClasses(w.requests);
  printf(
      "\nRequests, beside the query classes (every class at every scale; the filters, broad "
      "words and names drawn from the %zu documents of the corpus with fixed seeds):\n\n",
      docs);
  for (const std::string &c : classes) {
    size_t n = 0;
    const Request *first = nullptr;
    for (const Request &r : w.requests)
      if (r.cls == c) n++, first = first ? first : &r;
    printf("- %s: %zu requests, e.g. `%s`%s\n", c.c_str(), n,
           SearchdbRequestJson(*first).substr(0, 200).c_str(),
           first->check_only ? " (answered once, untimed)" : "");
  }
  std::string words;
  for (const std::string &b : w.broad_words) words += (words.empty() ? "" : ", ") + b;
  printf(
      "\nBroad words (4 letters or more, in at least 20 %% of the documents): %s. Names: %zu "
      "drawn from %zu names whose words no other name has in the same order.\n\n",
      words.c_str(), w.names_drawn, w.names_unique);
  printf("| filter | keeps | as a request |\n|---|---:|---|\n");
  for (const TargetFilter &f : w.filters)
    printf("| %s | %.2f %% | %s |\n", f.label.c_str(), 100 * f.kept,
           DescribeFilter(f.filter).c_str());
  fflush(stdout);
}

int Drive(const Options &o) {
  char tmpl[] = "/tmp/searchdb-compare-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string work = tmpl, query_file = work + "/queries.tsv";
  CorpusSource base = o.src;
  base.limit = 0;
  base.repeat = 1;
  const std::vector<Query> queries = MakeQueries(base, o.queries, 7);
  if (queries.empty() || !WriteQueries(query_file, queries)) {
    fprintf(stderr, "searchdb_compare: no documents to draw queries from\n");
    return 1;
  }
  const CorpusFacts facts = ReadCorpusFacts(base);
  Workload workload = MakeWorkload(facts, queries, o.filter_queries, o.broad, o.names, 11);
  if (!o.request_classes.empty())
    std::erase_if(workload.requests, [&](const Request &r) {
      return std::find(o.request_classes.begin(), o.request_classes.end(), r.cls) ==
             o.request_classes.end();
    });
  printf(
      "## searchdb and its peers\n\nCorpus: %s; %zu queries per class, %d timed passes, top 20 "
      "with the stored documents.\n",
      o.src.path.empty()
          ? ("synthetic, " + std::to_string(o.src.synthetic_docs) + " documents").c_str()
          : fs::path(o.src.path).filename().c_str(),
      o.queries, o.passes);
  PrintWorkload(workload, facts.ids.size());
  std::map<std::string, std::map<std::string, EngineResult>> all;
  std::map<std::string, PairResult> pairs;
  std::map<std::string, ScaleRequests> srs;
  const std::string request_file = work + "/requests.jsonl";
  for (const std::string &scale : o.scales) {
    const CorpusSource src = AtScale(o.src, scale);
    ScaleRequests &sr = srs[scale];
    for (const Request &r : workload.requests) {
      // Names of documents the scale leaves out are not asked.
      if (r.expect_kind == Request::kFirstHit && src.limit && (uint64_t)r.doc >= src.limit)
        continue;
      sr.requests.push_back(r);
      const uint64_t docs =
          src.limit ? std::min<uint64_t>(src.limit, facts.ids.size()) : facts.ids.size();
      sr.expected.push_back(
          r.has_q
              ? -1
              : (int64_t)(src.repeat *
                          (r.filter.empty() ? docs : CountKept(facts, r.filter[0], src.limit))));
    }
    sr.classes = RequestClasses(sr.requests);
    std::map<std::string, FreshResult> fresh;
    if (!WriteRequests(request_file, sr.requests)) return 1;
    for (const std::string &name : o.engines) {
      const std::string dir = work + "/" + name;
      fs::create_directories(dir);
      EngineResult &r = all[scale][name];
      const std::string engine = " --engine " + name;
      std::string serve = engine + " --serve " + Shell(dir) + " --queries " + Shell(query_file) +
                          " --passes " + std::to_string(o.passes);
      if (name != "searchdb-before")
        serve += " --requests " + Shell(request_file) + " --request-passes " +
                 std::to_string(name == "searchdb" ? 4 * o.passes : o.passes);
      // Served twice, each time by a fresh process: the first open after a
      // build may prepare what later ones use (searchdb writes its derived
      // files then); the second is what every later process pays, and its
      // figures are the ones shown. searchdb is served once more: a
      // derived file written within 2 s of docs.json's last change cannot
      // prove it unchanged, and the second process, which reads docs.json
      // once more, writes it again to say so; the third is what every
      // later one pays.
      r.ok =
          RunChild(engine + " --build " + Shell(dir) + SourceArgs(src), &r) && RunChild(serve, &r);
      r.first_reopen_ms = r.reopen_ms;
      for (int round = IsPeer(name) ? 1 : 2; r.ok && round > 0; round--) {
        r.answers.clear();
        r.ok = RunChild(serve, &r);
      }
      if (!r.ok)
        fprintf(stderr, "searchdb_compare: %s failed at scale %s\n", name.c_str(), scale.c_str());
      if (name == "searchdb") r.docs_json_mb = (double)StoredDocumentBytes(dir) / 1048576;
      // searchdb's fresh processes change documents of its store: they run
      // after the side-by-side run, which compares its answers with those
      // of searchdb-before's store of the same documents.
      if (r.ok && o.fresh_rounds > 0 && IsPeer(name))
        fresh[name] = RunFresh(name, dir, query_file, o.fresh_rounds, false);
      if (IsPeer(name)) fs::remove_all(dir);  // the searchdb builds answer again, side by side
    }
    PrintScale(scale, all[scale], o.engines);
    const auto &rs = all[scale];
    if (rs.count("searchdb") && rs.count("searchdb-before") && rs.at("searchdb").ok &&
        rs.at("searchdb-before").ok) {
      if (RunPairChildren(" --paired " + Shell(work + "/searchdb") + " " +
                              Shell(work + "/searchdb-before") + " --queries " + Shell(query_file) +
                              " --passes " + std::to_string(o.passes),
                          &pairs[scale]))
        PrintPair(pairs[scale], o.passes);
      else
        fprintf(stderr, "searchdb_compare: the side-by-side run failed at scale %s\n",
                scale.c_str());
    }
    if (o.fresh_rounds > 0 && rs.count("searchdb") && rs.at("searchdb").ok)
      fresh["searchdb"] =
          RunFresh("searchdb", work + "/searchdb", query_file, o.fresh_rounds, true);
    if (!fresh.empty())
      PrintFresh(scale, fresh, o.engines,
                 all[scale].count("searchdb") ? all[scale]["searchdb"].docs_json_mb : 0,
                 o.fresh_rounds);
    PrintRequests(all[scale], o.engines, sr, workload.filters, o.passes);
    for (const std::string &name : o.engines) fs::remove_all(work + "/" + name);
  }
  PrintGrowth(o.scales, all, o.engines);
  PrintGoals(o.scales, all, pairs);
  PrintRequestGoals(o.scales, all, srs, o.engines, workload.filters);
  fs::remove_all(work);
  return 0;
}

std::string DefaultCorpus() {
  if (const char *env = getenv("SEARCHDB_CORPUS"); env && *env) return env;
  const std::string shared = SEARCHDB_SOURCE_DIR "/../shared/corpus/packages.jsonl.gz";
  return fs::exists(shared) ? fs::weakly_canonical(shared).string() : "";
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  std::string engine, build_dir, serve_dir, query_file, paired_now, paired_before;
  bool before_first = false;
  bool corpus_given = false, engines_given = false;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        fprintf(stderr, "searchdb_compare: %s needs a value\n", a.c_str());
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--engine")
      engine = next();
    else if (a == "--build")
      build_dir = next();
    else if (a == "--serve")
      serve_dir = next();
    else if (a == "--fresh-rounds")
      o.fresh_rounds = std::stoi(next());
    else if (a == "--paired")
      paired_now = next(), paired_before = next();
    else if (a == "--before-first")
      before_first = next() == "1";
    else if (a == "--queries" && (!engine.empty() || !paired_now.empty()))
      query_file = next();
    else if (a == "--queries")
      o.queries = std::stoul(next());
    else if (a == "--passes")
      o.passes = std::stoi(next());
    else if (a == "--requests")
      o.requests_file = next();
    else if (a == "--request-passes")
      o.request_passes = std::stoi(next());
    else if (a == "--filter-queries")
      o.filter_queries = std::stoul(next());
    else if (a == "--broad")
      o.broad = std::stoul(next());
    else if (a == "--names")
      o.names = std::stoul(next());
    else if (a == "--request-classes")
      o.request_classes = Split(next());
    else if (a == "--corpus")
      o.src.path = next(), corpus_given = true;
    else if (a == "--synthetic")
      o.src.synthetic_docs = std::stoull(next()), o.src.path.clear(), corpus_given = true;
    else if (a == "--limit")
      o.src.limit = std::stoull(next());
    else if (a == "--repeat")
      o.src.repeat = std::stoull(next());
    else if (a == "--scales")
      o.scales = Split(next());
    else if (a == "--engines")
      o.engines = Split(next()), engines_given = true;
    else if (a[0] != '-')
      o.src.path = a, corpus_given = true;
    else {
      fprintf(stderr, "searchdb_compare: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (!paired_now.empty()) {
    const std::vector<Query> queries = ReadQueries(query_file);
    return queries.empty()
               ? 1
               : ChildPaired(paired_now, paired_before, queries, o.passes, before_first);
  }
  if (engine.empty()) {
    if (!corpus_given) o.src.path = DefaultCorpus();
    if (!engines_given && !ReferenceLibraryPath().empty())
      o.engines.insert(o.engines.begin() + 1, "searchdb-before");
    else if (!engines_given)
      fprintf(stderr,
              "searchdb_compare: no searchdb-before (build the target searchdb_reference or "
              "set SEARCHDB_REFERENCE_LIB)\n");
    return Drive(o);
  }
  std::unique_ptr<Engine> e = NewEngine(engine);
  if (!e) return 2;
  if (!build_dir.empty()) return ChildBuild(e.get(), build_dir, o.src);
  const std::vector<Query> queries = ReadQueries(query_file);
  if (queries.empty()) return 1;
  std::vector<Request> requests;
  if (!o.requests_file.empty() && (requests = ReadRequests(o.requests_file)).empty()) return 1;
  return queries.empty() ? 1
                         : ChildServe(e.get(), serve_dir, queries, o.passes, requests,
                                      o.request_passes, engine == "searchdb");
}
