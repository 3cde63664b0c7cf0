// `searchdb serve`: the store over HTTP. What the server's parts share:
//  - serve_routes.cc: the API's routes, their arguments, the library calls
//    they make and how a refusal maps to a status;
//  - serve_worker.cc: the one thread that calls the library, fed by a queue;
//  - serve_http.cc: the HTTP side, on libmicrohttpd: checks, bodies, the
//    page, answers and the log;
//  - serve.cc: the command itself: options, listening socket, start and stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace serve {

// ---- Routes (serve_routes.cc) ----

enum class call_kind {
  indexes_list,
  index_stats,
  document_get,
  search,
  search_request,
  index_create,
  index_delete,
  documents_add,
  document_delete,
};

// What one request asks the library, once its arguments are read.
struct call_args {
  std::string index;
  std::string id;
  std::string query;
  std::string primary_key;
  bool has_primary_key = false;
  int limit = 0;
  bool has_limit = false;
  int offset = 0;
  std::string body;  // the call's JSON text, passed to the library as it came
};

// One URL parameter of a route: text, or a whole number from 0 up.
struct param {
  const char *name;  // nullptr: no parameter in this place
  bool required;
  std::string call_args::*text;
  int call_args::*count;
  bool call_args::*given;  // set when the parameter is there, if not null
};

// One route per library function, at /api/NAME, named after the function
// without its "searchdb_" prefix and "_json" suffix. Arguments come as URL
// parameters; a route that takes JSON (documents to add) takes it as the
// request's body, unchanged, so that the library judges the very text sent.
struct route {
  const char *name;
  call_kind call;
  bool changes;     // served only with --allow-writes, and with the key if there is one
  bool takes_body;  // POST with a JSON body; otherwise GET (reads) or POST (changes)
  param params[4];
};

// The route for a path below /api/, or nullptr.
const route *find_route(std::string_view name);

// The method a route is called with.
inline const char *route_method(const route &r) {
  return r.changes || r.takes_body ? "POST" : "GET";
}

// An answer ready to send: a status and its JSON text.
struct answer {
  int status = 200;
  std::string body;
};

// Sets an argument from a URL parameter; false with *problem set when the
// route has no such parameter or its value does not fit.
bool set_argument(const route &r, std::string_view name, std::string_view value, call_args *args,
                  std::vector<const param *> *seen, std::string *problem);

// The first required parameter missing, or nullptr.
const param *missing_argument(const route &r, const std::vector<const param *> &seen);

// Makes the route's library call and copies what it answered, before any
// other call can overwrite it. Runs on the library thread only.
answer run_call(const route &r, const call_args &args);

// A JSON object {"error": message}.
std::string error_body(std::string_view message);

// text as a JSON string: quotes, backslashes and control characters escaped,
// bytes that are not UTF-8 replaced by U+FFFD.
std::string json_quote(std::string_view text);

// ---- The library thread (serve_worker.cc) ----

struct job {
  const route *r = nullptr;
  call_args args;
  answer result;
  void (*done)(job *) = nullptr;  // called on the library thread once result is set
  void *owner = nullptr;
};

// Runs jobs one at a time, in the order they came, on one thread: the
// library answers one call at a time, and its answer stays valid only until
// the next call.
class library_thread {
 public:
  void start();
  // Queues a job; false once stopping, when the job will not run.
  bool submit(job *j);
  // Runs what is queued, then ends the thread.
  void stop();

 private:
  void loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<job *> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

// ---- The HTTP side (serve_http.cc) ----

struct server_config {
  bool allow_writes = false;
  std::string key;  // empty: changes need no key
  std::string cors;
  // Host header values that name this server, lower case, with the port.
  std::vector<std::string> hosts;
  bool any_ip_host = false;  // bound to every address: any IP literal names it
  uint16_t port = 0;
  std::chrono::seconds timeout{30};
};

// The largest body a request may carry.
constexpr size_t kBodyLimit = size_t{64} << 20;
// What each connection may hold of a request's line and headers (and of an
// answer's headers); a request whose headers do not fit is answered 431.
constexpr size_t kHeaderMemory = size_t{32} << 10;

class http_server {
 public:
  http_server(const server_config &config, library_thread *library);
  ~http_server();
  // Serves on an already listening socket; false with *problem on failure.
  bool start(int listen_fd, std::string *problem);
  // Closes connections whose request has not arrived whole in time.
  void enforce_deadlines();
  // Stops taking connections, lets the library thread finish what is queued,
  // then closes every connection.
  void stop();

  struct state;

 private:
  state *state_;
};

// ---- The page (generated from serve_page.*) ----

extern const unsigned char serve_page_html[];
extern const size_t serve_page_html_size;
extern const unsigned char serve_page_css[];
extern const size_t serve_page_css_size;
extern const unsigned char serve_page_js[];
extern const size_t serve_page_js_size;

}  // namespace serve
