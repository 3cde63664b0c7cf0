// A process that changes a store while `searchdb serve` answers from it, and
// records what the library answers after each change, so that every answer
// the server gave can be checked against the library's own.
//
//   serve_writer DIR CALLS OUT SEED SECONDS PAUSE_MS
//   serve_writer --answers DIR CALLS
//
// CALLS holds one read a line, as JSON: {"route": "search", "params":
// {"index": ..., "query": ..., "limit": N, "offset": N}}, and likewise
// "index_stats", "document_get" (index, id), "indexes_list" and
// "search_request" (index, and the request as "body", a string). The writer is
// the only process that changes the index "live" and creates and drops the
// index "side"; it starts by filling "live" and then, until its standard
// input closes or SECONDS pass, makes one change after another, PAUSE_MS
// apart.
//
// OUT gets one JSON line per state k (k = 0 is the state once "live" is
// filled): {"k": k, "begin": T, "ack": T, "answers": {"i": ANSWER, ...}}
// with T from the monotonic clock (shared by all processes) just before the
// change was made and just after it returned, and ANSWER = {"ok": true,
// "text": TEXT} or {"ok": false, "error": MESSAGE} for each call i whose
// answer differs from the state before (every call at k = 0). Texts have
// "processingTimeMs" set to 0, the one member that differs between calls.
// Standard output gets "ready" once state 0 is recorded.
//
// With --answers it changes nothing: it writes the library's ANSWER to each
// call in CALLS on standard output, one line each, in order.
#include <poll.h>
#include <searchdb.h>
#include <time.h>
#include <unistd.h>
#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

struct call {
  std::string route, index, id, query, body;
  int limit = 20, offset = 0;
};

struct result {
  bool ok = false;
  std::string text;
  bool operator==(const result &o) const { return ok == o.ok && text == o.text; }
};

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string member(yyjson_val *obj, const char *name) {
  yyjson_val *v = yyjson_obj_get(obj, name);
  return yyjson_is_str(v) ? yyjson_get_str(v) : "";
}

bool read_calls(const char *path, std::vector<call> *calls) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    yyjson_doc *doc = yyjson_read(line.data(), line.size(), 0);
    if (doc == nullptr) return false;
    yyjson_val *root = yyjson_doc_get_root(doc);
    yyjson_val *params = yyjson_obj_get(root, "params");
    call c;
    c.route = member(root, "route");
    c.index = member(params, "index");
    c.id = member(params, "id");
    c.query = member(params, "query");
    c.body = member(root, "body");
    if (yyjson_val *v = yyjson_obj_get(params, "limit"))
      c.limit = static_cast<int>(yyjson_get_int(v));
    if (yyjson_val *v = yyjson_obj_get(params, "offset"))
      c.offset = static_cast<int>(yyjson_get_int(v));
    calls->push_back(c);
    yyjson_doc_free(doc);
  }
  return !calls->empty();
}

// The one member of an answer that differs from call to call.
std::string without_time(std::string text) {
  static const char kKey[] = "\"processingTimeMs\":";
  size_t at = text.find(kKey);
  if (at == std::string::npos) return text;
  size_t from = at + sizeof kKey - 1, to = from;
  while (to < text.size() && strchr("+-.0123456789eE", text[to])) ++to;
  return text.replace(from, to - from, "0");
}

result run(const call &c) {
  const char *text = nullptr;
  bool failed = false;
  if (c.route == "indexes_list") {
    text = searchdb_indexes_list_json();
  } else if (c.route == "index_stats") {
    text = searchdb_index_stats_json(c.index.c_str());
    failed = strcmp(text, "null") == 0;
  } else if (c.route == "document_get") {
    text = searchdb_document_get(c.index.c_str(), c.id.c_str());
    failed = text == nullptr;
  } else if (c.route == "search") {
    text = searchdb_search(c.index.c_str(), c.query.c_str(), c.limit, c.offset);
    failed = strcmp(text, "null") == 0;
  } else if (c.route == "search_request") {
    text = searchdb_search_request(c.index.c_str(), c.body.c_str());
    failed = strcmp(text, "null") == 0;
  } else {
    return {false, "serve_writer: unknown route " + c.route};
  }
  if (failed) return {false, searchdb_last_error()};
  return {true, without_time(text)};
}

const char *const kWords[] = {"amber",  "birch",  "cedar",   "delta",   "ember", "fjord",  "grove",
                              "harbor", "iris",   "juniper", "kestrel", "lumen", "maple",  "nectar",
                              "orchid", "pebble", "quartz",  "raven",   "sable", "thistle"};

// ANSWER as a JSON object, added to doc.
yyjson_mut_val *answer_value(yyjson_mut_doc *doc, const result &r) {
  yyjson_mut_val *a = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_bool(doc, a, "ok", r.ok);
  yyjson_mut_obj_add_strncpy(doc, a, r.ok ? "text" : "error", r.text.data(), r.text.size());
  return a;
}

// Writes doc as one line of out; false when it cannot be written.
bool write_line(yyjson_mut_doc *doc, FILE *out) {
  size_t len = 0;
  char *line = yyjson_mut_write(doc, 0, &len);
  yyjson_mut_doc_free(doc);
  if (line == nullptr) return false;
  fwrite(line, 1, len, out);
  fputc('\n', out);
  fflush(out);
  free(line);
  return true;
}

int answer_calls(const char *dir, const char *calls_path) {
  std::vector<call> calls;
  if (!read_calls(calls_path, &calls) || searchdb_init(dir) != 0) {
    fprintf(stderr, "serve_writer: cannot answer the calls in %s\n", calls_path);
    return 2;
  }
  for (const call &c : calls) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_doc_set_root(doc, answer_value(doc, run(c)));
    if (!write_line(doc, stdout)) return 1;
  }
  searchdb_cleanup();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "--answers") == 0) return answer_calls(argv[2], argv[3]);
  if (argc != 7) {
    fprintf(stderr, "usage: %s DIR CALLS OUT SEED SECONDS PAUSE_MS\n", argv[0]);
    fprintf(stderr, "       %s --answers DIR CALLS\n", argv[0]);
    return 2;
  }
  std::vector<call> calls;
  if (!read_calls(argv[2], &calls)) {
    fprintf(stderr, "serve_writer: cannot read the calls in %s\n", argv[2]);
    return 2;
  }
  FILE *out = fopen(argv[3], "w");
  std::mt19937_64 rng(strtoull(argv[4], nullptr, 10));
  double until = now() + atof(argv[5]);
  long pause_ms = atol(argv[6]);
  if (out == nullptr || searchdb_init(argv[1]) != 0) {
    fprintf(stderr, "serve_writer: %s\n", out ? searchdb_last_error() : strerror(errno));
    return 1;
  }

  const int kIds = 40;
  std::set<int> live;
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
  auto text_of = [&](int words) {
    std::string t;
    for (int i = 0; i < words; ++i) t += std::string(t.empty() ? "" : " ") + kWords[pick(20)];
    return t;
  };
  auto documents = [&](int k, int count) {
    std::string batch = "[";
    for (int i = 0; i < count; ++i) {
      int id = pick(kIds);
      live.insert(id);
      batch += (i ? "," : "") + std::string("{\"id\":\"d") + std::to_string(id) +
               "\",\"title\":\"" + text_of(1 + pick(3)) + "\",\"body\":\"" + text_of(2 + pick(6)) +
               "\",\"k\":" + std::to_string(k) + "}";
    }
    return batch + "]";
  };

  if (searchdb_index_stats_json("live") == std::string("null") &&
      searchdb_index_create("live", nullptr) != 0) {
    fprintf(stderr, "serve_writer: create live: %s\n", searchdb_last_error());
    return 1;
  }
  double begin = now();
  if (searchdb_documents_add("live", documents(0, 30).c_str()) < 0) {
    fprintf(stderr, "serve_writer: fill live: %s\n", searchdb_last_error());
    return 1;
  }
  double ack = now();

  std::vector<result> last(calls.size());
  bool side = false;
  for (long k = 0;; ++k) {
    if (k > 0) {
      if (now() > until) break;
      pollfd in{STDIN_FILENO, POLLIN, 0};
      char byte;
      if (poll(&in, 1, 0) > 0 && read(STDIN_FILENO, &byte, 1) <= 0) break;
      if (pause_ms > 0) usleep(static_cast<useconds_t>(pause_ms * 1000));
      int what = pick(10);
      begin = now();
      int status;
      if (what < 6 || live.empty()) {
        status =
            searchdb_documents_add("live", documents(static_cast<int>(k), 1 + pick(3)).c_str());
      } else if (what < 9) {
        auto it = live.begin();
        std::advance(it, pick(static_cast<int>(live.size())));
        status = searchdb_document_delete("live", ("d" + std::to_string(*it)).c_str());
        live.erase(it);
      } else {
        status = side ? searchdb_index_delete("side") : searchdb_index_create("side", "key");
        side = !side;
      }
      ack = now();
      if (status < 0) {
        fprintf(stderr, "serve_writer: change %ld refused: %s\n", k, searchdb_last_error());
        return 1;
      }
    }
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);
    yyjson_mut_obj_add_int(doc, root, "k", k);
    yyjson_mut_obj_add_real(doc, root, "begin", begin);
    yyjson_mut_obj_add_real(doc, root, "ack", ack);
    yyjson_mut_val *answers = yyjson_mut_obj_add_obj(doc, root, "answers");
    for (size_t i = 0; i < calls.size(); ++i) {
      result r = run(calls[i]);
      if (k > 0 && r == last[i]) continue;
      yyjson_mut_obj_add(answers, yyjson_mut_strcpy(doc, std::to_string(i).c_str()),
                         answer_value(doc, r));
      last[i] = std::move(r);
    }
    if (!write_line(doc, out)) {
      fprintf(stderr, "serve_writer: cannot write state %ld\n", k);
      return 1;
    }
    if (k == 0) {
      puts("ready");
      fflush(stdout);
    }
  }
  fclose(out);
  searchdb_cleanup();
  return 0;
}
