// Side-by-side comparison of searchdb with the embedded engines a user would
// pick instead, on the same documents and queries, at several scales.
//
//   searchdb_compare [corpus.jsonl[.gz]] [--synthetic N] [--scales 10000,all,x10]
//                    [--queries N] [--passes N]
//                    [--engines searchdb,searchdb-before,fts5,xapian]
//
// Without a corpus argument it reads SEARCHDB_CORPUS, else the shared corpus
// beside the repository, else N synthetic documents (default 20,000). A
// scale is a document count, "all", or "xK" for the corpus K times over.
//
// Every engine builds and serves in processes of its own (the driver runs
// itself with --engine), so each peak memory figure is that engine's alone.
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
// The goals close the output: the build against FTS5's, and each class's
// latency against searchdb-before's.
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

int ChildServe(Engine *e, const std::string &dir, const std::vector<Query> &queries, int passes) {
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
  printf("serve_peak_kb %ld\n", PeakKb());
  return 0;
}

// ---- The driver ----

struct ClassResult {
  double p50 = 0, p90 = 0, p99 = 0, qps = 0;
  size_t zero = 0, found = 0, checked = 0;
};

struct EngineResult {
  bool ok = false;
  double docs = 0, build_s = 0, build_peak_mb = 0, disk_mb = 0, reopen_ms = 0, serve_peak_mb = 0;
  ClassResult cls[kQueryClasses];
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

// Runs the driver itself with args; false when the child failed.
bool RunChild(const std::string &args, EngineResult *r) {
  const std::string cmd = Shell(fs::read_symlink("/proc/self/exe").string()) + args;
  FILE *in = popen(cmd.c_str(), "r");
  if (!in) return false;
  char line[512];
  while (fgets(line, sizeof line, in)) {
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
    }
  }
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
  printf("| engine | build s | docs/s | build peak MB | disk MB | reopen ms | serving peak MB |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (const std::string &name : order) {
    const EngineResult &r = rs.at(name);
    if (!r.ok) {
      printf("| %s | failed | | | | | |\n", name.c_str());
      continue;
    }
    printf("| %s | %.2f | %.0f | %.0f | %.1f | %.1f | %.0f |\n", name.c_str(), r.build_s,
           r.docs / r.build_s, r.build_peak_mb, r.disk_mb, r.reopen_ms, r.serve_peak_mb);
  }
  printf("| searchdb / best peer | %s | %s | %s | %s | %s | %s |\n",
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
             rs, [](const EngineResult &r) { return r.reopen_ms; }, false)
             .c_str(),
         Ratio(
             rs, [](const EngineResult &r) { return r.serve_peak_mb; }, false)
             .c_str());
  auto now = rs.find("searchdb"), before = rs.find("searchdb-before");
  if (now != rs.end() && before != rs.end() && now->second.ok && before->second.ok) {
    const EngineResult &a = now->second, &b = before->second;
    printf("| searchdb / searchdb-before | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n",
           a.build_s / b.build_s, (a.docs / a.build_s) / (b.docs / b.build_s),
           a.build_peak_mb / b.build_peak_mb, a.disk_mb / b.disk_mb, a.reopen_ms / b.reopen_ms,
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
  printf(
      "## searchdb and its peers\n\nCorpus: %s; %zu queries per class, %d timed passes, top 20 "
      "with the stored documents.\n",
      o.src.path.empty()
          ? ("synthetic, " + std::to_string(o.src.synthetic_docs) + " documents").c_str()
          : fs::path(o.src.path).filename().c_str(),
      o.queries, o.passes);
  std::map<std::string, std::map<std::string, EngineResult>> all;
  std::map<std::string, PairResult> pairs;
  for (const std::string &scale : o.scales) {
    const CorpusSource src = AtScale(o.src, scale);
    for (const std::string &name : o.engines) {
      const std::string dir = work + "/" + name;
      fs::create_directories(dir);
      EngineResult &r = all[scale][name];
      const std::string engine = " --engine " + name;
      r.ok = RunChild(engine + " --build " + Shell(dir) + SourceArgs(src), &r) &&
             RunChild(engine + " --serve " + Shell(dir) + " --queries " + Shell(query_file) +
                          " --passes " + std::to_string(o.passes),
                      &r);
      if (!r.ok)
        fprintf(stderr, "searchdb_compare: %s failed at scale %s\n", name.c_str(), scale.c_str());
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
    for (const std::string &name : o.engines) fs::remove_all(work + "/" + name);
  }
  PrintGrowth(o.scales, all, o.engines);
  PrintGoals(o.scales, all, pairs);
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
  return queries.empty() ? 1 : ChildServe(e.get(), serve_dir, queries, o.passes);
}
