// `searchdb serve` under load on loopback, beside its peer: the same plain
// searches made by calling searchdb_search in a loop in one process.
//
//   serve_load [corpus.jsonl[.gz]] [--seconds N]
//
// The corpus comes from the argument, else SEARCHDB_CORPUS, else the shared
// corpus beside the repository; without one, or without wrk, the program says
// so and stops. It loads the corpus into a scratch store (one
// searchdb_documents_add of the whole corpus), draws bench/compare's queries
// (1-3 words, prefixes, misspellings; 200 of each), and measures, N seconds
// each (default 10):
//  - direct: searchdb_search(index, query, 20, 0) over the queries in a loop,
//    each answer copied as the server copies it; latency per call and calls
//    per second, N/2 seconds before the served figures and N/2 after.
//  - served, one client: wrk with one keep-alive connection asking
//    /api/search for the same queries in turn; p50, p90 and p99 latency.
//  - served, 16 clients: wrk with 16 keep-alive connections; requests per
//    second, beside the direct calls per second; and the CPU time per
//    request of the server's library thread and of the whole server, beside
//    the CPU time per direct call. On a machine shared with other work the
//    wall-clock figures follow its load and the CPU times do not; the
//    library thread's bounds what many clients can get from an idle machine.
//  - the same 16 clients asking POST /api/search_request with {"q": ...,
//    "limit": 20}, which the library answers as the plain search: what a
//    request in a body costs over one in the URL.
// The server is the tool (`searchdb serve --port 0`), logging to /dev/null.
#include <fcntl.h>
#include <searchdb.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "compare/corpus.h"

#ifndef SEARCHDB_CLI_PATH
#define SEARCHDB_CLI_PATH ""
#endif

extern char **environ;

namespace {

const char kIndex[] = "packages";
const int kLimit = 20;

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

std::string url_encoded(const std::string &text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// text as a JSON string.
std::string json_quoted(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A Lua string literal for wrk's script.
std::string lua_quoted(const std::string &text) {
  std::string out = "\"";
  for (char c : text) out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  return out + "\"";
}

// Runs argv, with its standard output to out_path (or /dev/null) and its
// standard error to /dev/null; returns the pid.
pid_t spawn(const std::vector<std::string> &args, const std::string &out_path) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.empty() ? "/dev/null" : out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return err == 0 ? pid : -1;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double thread_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// CPU seconds each thread of a process has used, by thread name.
std::map<std::string, double> threads_cpu(pid_t pid) {
  std::map<std::string, double> cpu;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::error_code ec;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto &task : std::filesystem::directory_iterator(tasks, ec)) {
    std::string stat = read_file(task.path().string() + "/stat");
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = atof(field.c_str());
      if (i == 15) stime = atof(field.c_str());
    }
    cpu[stat.substr(open + 1, close - open - 1)] += (utime + stime) / tick;
  }
  return cpu;
}

// The one-minute load average: on a shared machine, what the figures ran beside.
std::string load_average() {
  std::string text = read_file("/proc/loadavg");
  return text.substr(0, text.find(' '));
}

// A wrk duration ("812.00us", "1.20ms", "2.00s") in milliseconds.
double wrk_ms(const std::string &value, const std::string &unit) {
  double v = atof(value.c_str());
  return unit == "us" ? v / 1000 : unit == "s" ? v * 1000 : unit == "m" ? v * 60000 : v;
}

struct wrk_result {
  bool ok = false;
  double rps = 0, p50 = 0, p90 = 0, p99 = 0;
  long long requests = 0, errors = 0;
};

wrk_result run_wrk(const std::string &url, const std::string &script, int connections, int threads,
                   int seconds, const std::string &out) {
  wrk_result r;
  pid_t pid = spawn({"wrk", "-t" + std::to_string(threads), "-c" + std::to_string(connections),
                     "-d" + std::to_string(seconds) + "s", "--latency", "-s", script, url},
                    out);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return r;
  std::string text = read_file(out);
  std::smatch m;
  if (std::regex_search(text, m, std::regex(R"(Requests/sec:\s+([0-9.]+))"))) r.rps = stod(m[1]);
  if (std::regex_search(text, m, std::regex(R"((\d+) requests in)"))) r.requests = stoll(m[1]);
  if (std::regex_search(text, m, std::regex(R"(Non-2xx or 3xx responses: (\d+))")))
    r.errors += stoll(m[1]);
  if (std::regex_search(
          text, m,
          std::regex(R"(Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+))")))
    r.errors += stoll(m[1]) + stoll(m[2]) + stoll(m[3]) + stoll(m[4]);
  double *at[] = {&r.p50, &r.p90, &r.p99};
  const char *pcts[] = {"50", "90", "99"};
  for (int i = 0; i < 3; ++i) {
    std::regex re(std::string(R"(\n\s+)") + pcts[i] + R"(%\s+([0-9.]+)(us|ms|s|m)\b)");
    if (std::regex_search(text, m, re)) *at[i] = wrk_ms(m[1], m[2]);
  }
  r.ok = r.rps > 0;
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  CorpusSource src;
  int seconds = 10;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = atoi(argv[++i]);
    } else {
      src.path = argv[i];
    }
  }
  if (src.path.empty()) {
    const char *env = getenv("SEARCHDB_CORPUS");
    src.path = env && *env ? env : "/work/shared/corpus/packages.jsonl.gz";
  }
  if (!std::filesystem::exists(src.path)) {
    printf("serve_load: no corpus at %s; set SEARCHDB_CORPUS\n", src.path.c_str());
    return 0;
  }
  if (spawn({"wrk", "--version"}, "") < 0) {
    printf("serve_load: wrk is not installed (scripts/bootstrap --bench installs it)\n");
    return 0;
  }
  wait(nullptr);
  const std::string cli = getenv("SEARCHDB_CLI") ? getenv("SEARCHDB_CLI") : SEARCHDB_CLI_PATH;

  // The scratch store.
  char dir_template[] = "/tmp/searchdb-serve-load.XXXXXX";
  const char *tmp = getenv("TMPDIR");
  std::string base = tmp && *tmp ? std::string(tmp) + "/searchdb-serve-load.XXXXXX" : dir_template;
  std::vector<char> dir_buf(base.begin(), base.end());
  dir_buf.push_back('\0');
  if (mkdtemp(dir_buf.data()) == nullptr) {
    perror("serve_load: mkdtemp");
    return 1;
  }
  const std::string dir = dir_buf.data();
  const std::string store = dir + "/store";
  std::string batch = "[";
  size_t docs = 0;
  ForEachDocument(src, [&](const std::string &doc) { batch += (docs++ ? "," : "") + doc; });
  batch += "]";
  if (searchdb_init(store.c_str()) != 0 || searchdb_index_create(kIndex, nullptr) != 0 ||
      searchdb_documents_add(kIndex, batch.c_str()) < 0) {
    fprintf(stderr, "serve_load: %s\n", searchdb_last_error());
    std::filesystem::remove_all(dir);
    return 1;
  }
  std::string().swap(batch);
  const std::vector<Query> queries = MakeQueries(src, 200, 7);
  const std::string load_before = load_average();

  // Direct calls, each answer copied: half the time before the served
  // figures and half after, so that a machine whose load drifts moves both.
  std::vector<double> direct_ms;
  size_t copied = 0;
  double direct_seconds = 0;
  double direct_cpu = 0;
  auto direct = [&](double for_seconds) {
    double cpu_start = thread_cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    auto until = start + std::chrono::duration<double>(for_seconds);
    for (size_t i = 0; std::chrono::steady_clock::now() < until; ++i) {
      const Query &q = queries[i % queries.size()];
      auto t0 = std::chrono::steady_clock::now();
      std::string answer = searchdb_search(kIndex, q.text.c_str(), kLimit, 0);
      direct_ms.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
      copied += answer.size();
    }
    direct_seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    direct_cpu += thread_cpu_seconds() - cpu_start;
  };
  for (const Query &q : queries) searchdb_search(kIndex, q.text.c_str(), kLimit, 0);
  direct(seconds / 2.0);

  // The server, on a free port.
  std::string script = dir + "/queries.lua";
  {
    std::ofstream lua(script);
    lua << "local paths = {\n";
    for (const Query &q : queries) {
      lua << "  "
          << lua_quoted("/api/search?index=" + std::string(kIndex) +
                        "&query=" + url_encoded(q.text) + "&limit=" + std::to_string(kLimit))
          << ",\n";
    }
    lua << "}\nlocal i = 0\nrequest = function()\n  i = i % #paths + 1\n"
           "  return wrk.format(\"GET\", paths[i])\nend\n";
  }
  std::string request_script = dir + "/requests.lua";
  {
    std::ofstream lua(request_script);
    lua << "local bodies = {\n";
    for (const Query &q : queries) {
      lua << "  "
          << lua_quoted("{\"q\":" + json_quoted(q.text) + ",\"limit\":" + std::to_string(kLimit) +
                        "}")
          << ",\n";
    }
    lua << "}\nlocal path = \"/api/search_request?index=" << kIndex
        << "\"\nlocal headers = {[\"Content-Type\"] = \"application/json\"}\n"
           "local i = 0\nrequest = function()\n  i = i % #bodies + 1\n"
           "  return wrk.format(\"POST\", path, headers, bodies[i])\nend\n";
  }
  std::string served_at = dir + "/serve.out";
  pid_t server = spawn({cli, "--dir", store, "serve", "--port", "0"}, served_at);
  std::string url;
  for (int tries = 0; server > 0 && url.empty() && tries < 600; ++tries) {
    std::smatch m;
    std::string out = read_file(served_at);
    if (std::regex_search(out, m, std::regex(R"((http://\S+/))")))
      url = m[1];
    else
      usleep(50 * 1000);
  }
  if (url.empty()) {
    fprintf(stderr, "serve_load: the server did not start\n");
    if (server > 0) kill(server, SIGKILL);
    std::filesystem::remove_all(dir);
    return 1;
  }
  // Every query once, so the index's first-use work is not in the figures.
  wrk_result warm = run_wrk(url, script, 1, 1, 2, dir + "/wrk-warm.txt");
  wrk_result one = run_wrk(url, script, 1, 1, seconds, dir + "/wrk-1.txt");
  std::map<std::string, double> cpu_before = threads_cpu(server);
  wrk_result many = run_wrk(url, script, 16, 1, seconds, dir + "/wrk-16.txt");
  std::map<std::string, double> cpu_after = threads_cpu(server);
  wrk_result requests = run_wrk(url, request_script, 16, 1, seconds, dir + "/wrk-16-request.txt");
  // The server names its library thread so (tools/serve_worker.cc).
  double library_cpu = cpu_after["searchdb-lib"] - cpu_before["searchdb-lib"];
  double server_cpu = 0;
  for (const auto &[name, cpu] : cpu_after) server_cpu += cpu - cpu_before[name];
  kill(server, SIGTERM);
  int status = 0;
  waitpid(server, &status, 0);
  direct(seconds / 2.0);
  double direct_rps = static_cast<double>(direct_ms.size()) / direct_seconds;
  searchdb_cleanup();
  std::filesystem::remove_all(dir);
  if (!warm.ok || !one.ok || !many.ok || !requests.ok) {
    fprintf(stderr, "serve_load: wrk did not run\n");
    return 1;
  }

  printf(
      "== searchdb serve on loopback: %zu documents, %zu queries (1-3 words, prefix, "
      "misspelt), limit %d, %d s per figure\n",
      docs, queries.size(), kLimit, seconds);
  printf("| figure | direct searchdb_search | served (wrk) | served / direct |\n");
  printf("|---|---:|---:|---:|\n");
  printf("| p50 ms, one client | %.3f | %.3f | %.2f |\n", percentile(direct_ms, 0.50), one.p50,
         one.p50 / percentile(direct_ms, 0.50));
  printf("| p90 ms, one client | %.3f | %.3f | %.2f |\n", percentile(direct_ms, 0.90), one.p90,
         one.p90 / percentile(direct_ms, 0.90));
  printf("| p99 ms, one client (goal < 2 ms) | %.3f | %.3f | %.2f |\n", percentile(direct_ms, 0.99),
         one.p99, one.p99 / percentile(direct_ms, 0.99));
  printf("| queries/s, one client | %.0f | %.0f | %.2f |\n", direct_rps, one.rps,
         one.rps / direct_rps);
  printf("| queries/s, 16 keep-alive clients (goal >= 0.70) | %.0f | %.0f | %.2f |\n", direct_rps,
         many.rps, many.rps / direct_rps);
  printf("| queries/s, 16 clients, as search_request bodies | %.0f | %.0f | %.2f |\n", direct_rps,
         requests.rps, requests.rps / direct_rps);
  // On a machine shared with other work, wall-clock figures follow its load;
  // CPU time per query does not. The library thread's bounds what 16 clients
  // can get from an otherwise idle machine.
  double direct_us = direct_cpu / static_cast<double>(direct_ms.size()) * 1e6;
  double library_us = library_cpu / static_cast<double>(many.requests) * 1e6;
  double server_us = server_cpu / static_cast<double>(many.requests) * 1e6;
  printf("| CPU us per query, 16 clients: library thread | %.1f | %.1f | %.2f |\n", direct_us,
         library_us, library_us / direct_us);
  printf("| CPU us per query, 16 clients: whole server | %.1f | %.1f | %.2f |\n", direct_us,
         server_us, server_us / direct_us);
  printf(
      "answers copied in the direct loop: %.1f MB; requests that failed: %lld of %lld; "
      "load average %s before, %s after (%ld cores)\n",
      static_cast<double>(copied) / 1e6, one.errors + many.errors + requests.errors,
      one.requests + many.requests + requests.requests, load_before.c_str(), load_average().c_str(),
      sysconf(_SC_NPROCESSORS_ONLN));
  return one.errors + many.errors + requests.errors == 0 ? 0 : 1;
}
