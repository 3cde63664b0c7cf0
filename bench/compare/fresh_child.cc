// A fresh process of one engine: the program RunFresh spawns, built once
// per engine (SEARCHDB_FRESH_ENGINE names the engine's constructor) from
// this file and that engine's sources alone, so that its memory holds no
// other engine's libraries, as a host program's would not.
//
//   searchdb_fresh_<engine> --fresh DIR --queries FILE --fresh-pick N --fresh-what W
//   searchdb_fresh_<engine> --change-one DIR --queries FILE --fresh-pick N
//
// Results are "key value" lines.
#include <chrono>
#include <cstdio>
#include <string>

#include "fresh.h"
#include "proc_status.h"

namespace {

using Clock = std::chrono::steady_clock;

// A request with a filter, facets and a sort, around a query of words.
Request FilteredRequest(const Query &q) {
  Request r;
  r.cls = "fresh";
  r.q = q.text;
  Filter f;
  f.kind = Filter::kAtLeast;
  f.field = kSizeField;
  f.number = 1000;
  r.filter.push_back(f);
  r.facets = true;
  r.sort_by_size = true;
  return r;
}

// Opens dir, does `what` with the pick-th query of each class, prints
// fresh_ms, rss_kb and pss_kb.
int ChildFresh(Engine *e, const std::string &dir, const std::vector<Query> &queries, int what,
               int pick) {
  const Query *q[kQueryClasses];
  for (int c = 0; c < kQueryClasses; c++)
    if (!(q[c] = PickQuery(queries, c, pick))) return 1;
  Request request = FilteredRequest(*q[kWords]);
  e->Prepare(&request);
  const Clock::time_point start = Clock::now();
  if (!e->Open(dir)) {
    fprintf(stderr, "open failed: %s\n", e->Error().c_str());
    return 1;
  }
  bool ok = true;
  if (what < kQueryClasses)
    e->Search(*q[what]);
  else if (what == kFreshRequest)
    ok = e->Run(request);
  else {
    for (int c = 0; c < kQueryClasses; c++) e->Search(*q[c]);
    ok = e->Run(request);
  }
  printf("fresh_ms %.3f\n",
         std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  if (!ok) fprintf(stderr, "request failed: %s\n", e->LastOutcome().error.c_str());
  printf("rss_kb %.0f\npss_kb %.0f\n", ProcKb("/proc/self/status", "VmRSS"),
         ProcKb("/proc/self/smaps_rollup", "Pss"));
  return ok ? 0 : 1;
}

// Changes one document of the store in dir (the first hit of the pick-th
// query of words, given another text); prints changed 1.
int ChildChangeOne(Engine *e, const std::string &dir, const std::vector<Query> &queries, int pick) {
  const Query *q = PickQuery(queries, kWords, pick);
  if (!q || !e->Open(dir)) return 1;
  e->Search(*q);
  const std::vector<std::string> ids = e->LastIds();
  if (ids.empty()) return 1;
  const std::string doc = "{\"id\":\"" + ids[0] + "\",\"name\":\"changed-" + std::to_string(pick) +
                          "\",\"description\":\"changed by another process\"}";
  const bool changed = e->Add(doc);
  printf("changed %d\n", changed ? 1 : 0);
  return changed ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::string fresh_dir, change_dir, query_file;
  int what = 0, pick = 0;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (i + 1 >= argc) {
      fprintf(stderr, "%s: %s needs a value\n", argv[0], a.c_str());
      return 2;
    }
    const std::string v = argv[++i];
    if (a == "--fresh")
      fresh_dir = v;
    else if (a == "--change-one")
      change_dir = v;
    else if (a == "--queries")
      query_file = v;
    else if (a == "--fresh-pick")
      pick = std::stoi(v);
    else if (a == "--fresh-what")
      what = std::stoi(v);
    else {
      fprintf(stderr, "%s: unknown option %s\n", argv[0], a.c_str());
      return 2;
    }
  }
  std::unique_ptr<Engine> e = SEARCHDB_FRESH_ENGINE();
  if (!e) return 2;
  const std::vector<Query> queries = ReadQueries(query_file);
  if (queries.empty()) return 1;
  if (!change_dir.empty()) return ChildChangeOne(e.get(), change_dir, queries, pick);
  if (!fresh_dir.empty()) return ChildFresh(e.get(), fresh_dir, queries, what, pick);
  return 2;
}
