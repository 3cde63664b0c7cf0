// Fresh processes: open a built store and answer a first query, as every
// short-lived program does (fresh.cc).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engines.h"

// What a fresh process does after opening: one query of a class (kWords,
// kPrefix, kMisspelt), a request with a filter, facets and a sort, or one
// of each.
enum { kFreshRequest = kQueryClasses, kFreshAll, kFreshKinds };

struct FreshResult {
  bool ok = false;
  double ms[kFreshKinds] = {};    // open + the first query or request, medians
  double rss_mb = 0, pss_mb = 0;  // after one of each
  // searchdb only: the tool's search, spawn to exit; the first process
  // after another changed one document; the first with no derived file.
  double shell_ms = 0, changed_ms = 0, changed_request_ms = 0, built_ms = 0;
};

// The pick-th query of class cls, round the queries of that class; null
// when there is none.
inline const Query *PickQuery(const std::vector<Query> &queries, int cls, int pick) {
  std::vector<const Query *> qs;
  for (const Query &q : queries)
    if (q.cls == cls) qs.push_back(&q);
  return qs.empty() ? nullptr : qs[(size_t)pick % qs.size()];
}

// The driver's part: rounds fresh processes of every kind for engine, each
// the engine's own program (fresh_child.cc).
FreshResult RunFresh(const std::string &engine, const std::string &dir,
                     const std::string &query_file, int rounds, bool searchdb);

void PrintFresh(const std::string &scale, const std::map<std::string, FreshResult> &rs,
                const std::vector<std::string> &order, double docs_json_mb, int rounds);
