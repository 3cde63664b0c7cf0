// Fresh processes: what a short-lived program pays to open a built store
// and answer its first query, and what it holds in memory then. Every
// figure is one process doing exactly that, repeated and taken at the
// median; the engines' files are in the page cache, as they are for a
// store in use.
#include "fresh.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string Shell(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The program that runs engine's fresh processes, which links that engine
// alone.
std::string FreshChild(const std::string &engine) {
  return Shell(SEARCHDB_FRESH_CHILD_PREFIX + engine);
}

// Runs the shell command cmd and reads its "key value" lines; empty when
// the child failed.
std::map<std::string, double> ChildValues(const std::string &cmd) {
  std::map<std::string, double> values;
  FILE *in = popen(cmd.c_str(), "r");
  if (!in) return values;
  char line[512];
  while (fgets(line, sizeof line, in)) {
    std::istringstream s(line);
    std::string k;
    double v;
    if (s >> k >> v) values[k] = v;
  }
  if (pclose(in) != 0) values.clear();
  return values;
}

double ChildValue(const std::string &cmd, const char *key) {
  const std::map<std::string, double> values = ChildValues(cmd);
  auto it = values.find(key);
  return it == values.end() ? -1 : it->second;
}

// Spawn to exit of argv, its output thrown away, in milliseconds; -1 when
// it failed. Started with posix_spawn, as a shell's own small fork would
// be: a fork of this driver copies the page tables of the hundreds of
// megabytes it holds, which costs more than the tool itself on a virtual
// machine.
double SpawnMs(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const Clock::time_point start = Clock::now();
  pid_t pid;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  const double ms = MsSince(start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

// searchdb trusts docs.json unread only when it last changed well before
// the load that wrote the derived file: one process after that settles it,
// as on any store whose documents have not just changed.
void Settle(const std::string &fresh_cmd) {
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ChildValue(fresh_cmd, "fresh_ms");
}

}  // namespace

FreshResult RunFresh(const std::string &engine, const std::string &dir,
                     const std::string &query_file, int rounds, bool searchdb) {
  FreshResult r;
  const std::string base = FreshChild(engine) + " --fresh " + Shell(dir) + " --queries " +
                           Shell(query_file) + " --fresh-pick ";
  std::vector<double> ms[kFreshKinds], rss, pss;
  std::vector<double> shell, changed, changed_request, built;
  const std::vector<Query> queries = ReadQueries(query_file);
  r.ok = true;
  for (int round = 0; round < rounds && r.ok; round++) {
    // One of each settles the derived file and the columns file alike.
    if (searchdb) Settle(base + "0 --fresh-what " + std::to_string(kFreshAll));
    for (int what = 0; what < kFreshKinds; what++) {
      const std::string args =
          base + std::to_string(round) + " --fresh-what " + std::to_string(what);
      const std::map<std::string, double> v = ChildValues(args);
      r.ok = r.ok && v.count("fresh_ms");
      if (!r.ok) break;
      ms[what].push_back(v.at("fresh_ms"));
      if (what == kFreshAll) {
        rss.push_back(v.at("rss_kb") / 1024);
        pss.push_back(v.at("pss_kb") / 1024);
      }
    }
    if (!searchdb) continue;
    const Query *q = PickQuery(queries, kWords, round);
    shell.push_back(
        q ? SpawnMs({SEARCHDB_TOOL_PATH, "--dir", dir, "--json", "search", kSearchdbIndex, q->text})
          : -1);
    // Another process changes one document; the next fresh process finds
    // the derived file describing the documents before it.
    const std::string pick = std::to_string(1000 + round);
    const bool change_ok =
        ChildValue(FreshChild(engine) + " --change-one " + Shell(dir) + " --queries " +
                       Shell(query_file) + " --fresh-pick " + pick,
                   "changed") == 1;
    changed.push_back(change_ok ? ChildValue(base + pick + " --fresh-what 0", "fresh_ms") : -1);
    // The first request after it: its columns as that change left them.
    changed_request.push_back(
        change_ok
            ? ChildValue(base + pick + " --fresh-what " + std::to_string(kFreshRequest), "fresh_ms")
            : -1);
    // Without a derived file: the full build every process paid before.
    std::error_code ec;
    fs::remove(fs::path(dir) / kSearchdbIndex / "docs.idx", ec);
    built.push_back(ChildValue(base + pick + " --fresh-what 0", "fresh_ms"));
  }
  for (int what = 0; what < kFreshKinds; what++) r.ms[what] = Median(ms[what]);
  r.rss_mb = Median(rss);
  r.pss_mb = Median(pss);
  r.shell_ms = Median(shell);
  r.changed_ms = Median(changed);
  r.changed_request_ms = Median(changed_request);
  r.built_ms = Median(built);
  for (double v : shell) r.ok = r.ok && (!searchdb || v >= 0);
  return r;
}

void PrintFresh(const std::string &scale, const std::map<std::string, FreshResult> &rs,
                const std::vector<std::string> &order, double docs_json_mb, int rounds) {
  printf(
      "\n#### Fresh processes at scale %s\n\nA new process opens the store and answers one "
      "query (medians of %d processes, the files in the page cache): each class, then a request "
      "with a filter, facets and a sort; resident and proportional memory after one of each. "
      "docs.json: %.1f MB.\n\n",
      scale.c_str(), rounds, docs_json_mb);
  printf(
      "| engine | 1-3 words ms | prefix ms | misspelt ms | filter+facets+sort ms | one of each "
      "ms | RSS MB | PSS MB | RSS / docs.json |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const std::string &name : order) {
    auto it = rs.find(name);
    if (it == rs.end() || !it->second.ok) continue;
    const FreshResult &r = it->second;
    printf("| %s | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.2f |\n", name.c_str(),
           r.ms[0], r.ms[1], r.ms[2], r.ms[kFreshRequest], r.ms[kFreshAll], r.rss_mb, r.pss_mb,
           docs_json_mb > 0 ? r.rss_mb / docs_json_mb : 0.0);
  }
  auto s = rs.find("searchdb");
  if (s == rs.end() || !s->second.ok) return;
  const FreshResult &r = s->second;
  printf(
      "\nsearchdb alone: `searchdb search` from the shell, spawn to exit: %.1f ms (in-process "
      "1-3 words %.1f ms). After another process changed one document: %.1f ms; with no "
      "derived file (a full build, as every process paid before there was one): %.1f ms; "
      "ratio %.2f. The first request with a filter, facets and a sort after that change: "
      "%.1f ms.\n",
      r.shell_ms, r.ms[0], r.changed_ms, r.built_ms,
      r.built_ms > 0 ? r.changed_ms / r.built_ms : 0.0, r.changed_request_ms);
  auto f = rs.find("fts5");
  if (f != rs.end() && f->second.ok) {
    printf("\n| goal | searchdb | target | met |\n|---|---:|---:|---|\n");
    const char *names[kFreshKinds] = {"1-3 words", "prefix", "misspelt", "filter+facets+sort",
                                      "one of each"};
    for (int w = 0; w < kFreshKinds; w++)
      printf("| open + first %s ms, at most FTS5's | %.1f | %.1f | %s |\n", names[w], r.ms[w],
             f->second.ms[w], r.ms[w] <= f->second.ms[w] ? "yes" : "no");
    printf("| shell spawn to exit ms, at most in-process + 10 | %.1f | %.1f | %s |\n", r.shell_ms,
           r.ms[0] + 10, r.shell_ms <= r.ms[0] + 10 ? "yes" : "no");
    printf("| after one change by another process, x the full build | %.2f | 0.15 | %s |\n",
           r.changed_ms / r.built_ms, r.changed_ms <= 0.15 * r.built_ms ? "yes" : "no");
    printf("| RSS after one of each, x docs.json | %.2f | 0.25 | %s |\n", r.rss_mb / docs_json_mb,
           r.rss_mb <= 0.25 * docs_json_mb ? "yes" : "no");
  }
  fflush(stdout);
}
