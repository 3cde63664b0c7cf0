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
  double shell_ms = 0, changed_ms = 0, built_ms = 0;
};

// The child: opens dir, does `what` with the pick-th query of each class,
// prints fresh_ms, rss_kb and pss_kb.
int ChildFresh(Engine *e, const std::string &dir, const std::vector<Query> &queries, int what,
               int pick);

// The child that changes one document of searchdb's store in dir (the
// first hit of the pick-th query of words, given another text).
int ChildChangeOne(const std::string &dir, const std::vector<Query> &queries, int pick);

// The driver's part: rounds fresh processes of every kind for engine.
FreshResult RunFresh(const std::string &engine, const std::string &dir,
                     const std::string &query_file, int rounds, bool searchdb);

void PrintFresh(const std::string &scale, const std::map<std::string, FreshResult> &rs,
                const std::vector<std::string> &order, double docs_json_mb, int rounds);
