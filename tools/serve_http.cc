// The HTTP side of `searchdb serve`, on libmicrohttpd.
//
// Why libmicrohttpd (Debian's 0.9.75) rather than cpp-httplib (0.11.4):
// one event-driven thread (epoll) serves every connection, so a slow or
// stalled client holds a socket and a little memory, never a thread; a
// request being answered is suspended and resumed, which is exactly how a
// single library thread fed by a queue hands answers back; request headers
// are bounded by its per-connection memory pool, silent connections are
// closed by its timeout, and keep-alive and pipelining are handled for us.
// It is a C library with a stable interface that Debian maintains and
// patches as a shared library, where a header-only server would be compiled
// into the tool and run one thread per connection from a fixed pool, so that
// a few slow clients could stall every other one.
//
// What a request goes through, in order: the Host must name this server
// (421); the route must exist (404) and be called with its method (405); a
// change needs --allow-writes (403) and the key when there is one (401);
// every POST, a change or a read that takes a body, needs, when an Origin is
// sent, this server's own origin or the --cors one (403), Content-Type
// application/json (415) and at most 64 MiB (413); the arguments must fit
// the route (400). Only then is the call queued for the library thread, and
// the connection suspended until its answer is ready.
//
// Why a read sent with POST is held to the same Origin and Content-Type as a
// change: any page can make the browser POST a plain form here (a text/plain
// body can be made to look like JSON) and show the answer in a window of
// this server's origin. A page elsewhere cannot read that window; what must
// never happen is that the answer runs there as a page, holding a
// document's markup. So a form is refused (415) before the library is
// asked, and every answer of the API is JSON that the browser may not sniff
// and that may run nothing (its own policy). A script elsewhere that sets
// the JSON type must first ask in a preflight, which only the --cors origin
// is granted; the Origin check refuses what a browser sends regardless,
// without spending the library's time on it. A GET read carries no body,
// and its answer is the same inert JSON.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <unordered_set>

#include "lazy_library.h"
#include "serve.h"

namespace serve {
namespace {

using clock = std::chrono::steady_clock;

// libmicrohttpd's functions that serve calls, found in it when a server
// first starts (see lazy_library.h); named as the library names them.
struct microhttpd_functions {
  decltype(&::MHD_add_response_header) MHD_add_response_header;
  decltype(&::MHD_create_response_from_buffer) MHD_create_response_from_buffer;
  decltype(&::MHD_create_response_from_buffer_with_free_callback_cls)
      MHD_create_response_from_buffer_with_free_callback_cls;
  decltype(&::MHD_destroy_response) MHD_destroy_response;
  decltype(&::MHD_get_connection_info) MHD_get_connection_info;
  decltype(&::MHD_get_connection_values_n) MHD_get_connection_values_n;
  decltype(&::MHD_lookup_connection_value) MHD_lookup_connection_value;
  decltype(&::MHD_queue_response) MHD_queue_response;
  decltype(&::MHD_quiesce_daemon) MHD_quiesce_daemon;
  decltype(&::MHD_resume_connection) MHD_resume_connection;
  decltype(&::MHD_start_daemon) MHD_start_daemon;
  decltype(&::MHD_stop_daemon) MHD_stop_daemon;
  decltype(&::MHD_suspend_connection) MHD_suspend_connection;
};
microhttpd_functions mhd;

bool load_microhttpd(std::string *problem) {
  static bool loaded = false;
  if (loaded) return true;
  void *library = cli::open_library(SEARCHDB_MICROHTTPD_SONAME, problem);
#define FIND(name) \
  cli::find_function(library, SEARCHDB_MICROHTTPD_SONAME, #name, &mhd.name, problem)
  loaded = library && FIND(MHD_add_response_header) && FIND(MHD_create_response_from_buffer) &&
           FIND(MHD_create_response_from_buffer_with_free_callback_cls) &&
           FIND(MHD_destroy_response) && FIND(MHD_get_connection_info) &&
           FIND(MHD_get_connection_values_n) && FIND(MHD_lookup_connection_value) &&
           FIND(MHD_queue_response) && FIND(MHD_quiesce_daemon) && FIND(MHD_resume_connection) &&
           FIND(MHD_start_daemon) && FIND(MHD_stop_daemon) && FIND(MHD_suspend_connection);
#undef FIND
  return loaded;
}

// What a connection is doing, for the request deadline.
struct connection_state {
  int fd = -1;
  bool receiving = true;    // a request is on its way (or awaited)
  clock::time_point since;  // when the connection opened or last answered
  bool cut = false;
};

enum class stage { headers, body, queued, answered };

struct request {
  std::string uri;  // as the client sent it, for the log
  std::string method;
  clock::time_point start;
  stage at = stage::headers;
  const route *r = nullptr;
  bool over_limit = false;
  job j;
  MHD_Connection *connection = nullptr;
  connection_state *conn_state = nullptr;
  bool cors = false;      // the request came from the --cors origin
  bool has_body = false;  // a body follows the headers
  // An answer decided from the headers of a request without a body waits for
  // the request's end, so that the connection can be kept.
  MHD_Response *pending = nullptr;
  int status = 0;
  size_t bytes = 0;

  request() = default;
  request(const request &) = delete;
  request &operator=(const request &) = delete;
  ~request() {
    if (pending) mhd.MHD_destroy_response(pending);
  }
};

// The page may run only its own script and style, fetch only from here, and
// show in no frame; an injected element could do nothing.
const char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct page_file {
  const char *path;
  const char *content_type;
  const unsigned char *data;
  const size_t *size;
};

// An answer of the API opened as a page (a form's target, say) runs nothing
// and shows in no frame.
const char kAnswerPolicy[] = "default-src 'none'; frame-ancestors 'none'; sandbox";

const page_file kPageFiles[] = {
    {"/", "text/html; charset=utf-8", serve_page_html, &serve_page_html_size},
    {"/page.css", "text/css; charset=utf-8", serve_page_css, &serve_page_css_size},
    {"/page.js", "text/javascript; charset=utf-8", serve_page_js, &serve_page_js_size},
};

std::string lower(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

// Whether two texts are equal, in a time that depends on the length of
// expected only, so that a key cannot be guessed a byte at a time.
bool same_secret(std::string_view given, std::string_view expected) {
  unsigned diff = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i) {
    unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= g ^ static_cast<unsigned char>(expected[i]);
  }
  volatile unsigned result = diff;
  return result == 0;
}

// Whether a Host value is an IP literal ("192.0.2.1:80", "[::1]:80") on port.
bool ip_literal_host(const std::string &host, uint16_t port) {
  std::string suffix = ":" + std::to_string(port);
  if (host.size() <= suffix.size() ||
      host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  std::string name = host.substr(0, host.size() - suffix.size());
  unsigned char buf[sizeof(in6_addr)];
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), buf) == 1;
  return inet_pton(AF_INET, name.c_str(), buf) == 1;
}

const char *header(MHD_Connection *c, const char *name) {
  return mhd.MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
}

// The media type of a Content-Type value, without parameters, lower case.
std::string media_type(const char *value) {
  std::string_view v = value ? value : "";
  v = v.substr(0, v.find(';'));
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  return lower(v);
}

std::string client_address(MHD_Connection *c) {
  const MHD_ConnectionInfo *info =
      mhd.MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "-";
  if (info && info->client_addr) {
    const sockaddr *sa = info->client_addr;
    if (sa->sa_family == AF_INET)
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text, sizeof text);
    else if (sa->sa_family == AF_INET6)
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text,
                sizeof text);
  }
  return text;
}

// The request line's target for the log: printable ASCII as it is, other
// bytes as \xHH, so that a request cannot forge log lines.
std::string loggable(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < text.size() && out.size() < 512; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x21 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (out.size() >= 512) out += "...";
  return out;
}

const char *termination(MHD_RequestTerminationCode toe) {
  switch (toe) {
    case MHD_REQUEST_TERMINATED_COMPLETED_OK:
      return "";
    case MHD_REQUEST_TERMINATED_TIMEOUT_REACHED:
      return " (timed out)";
    case MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN:
      return " (server stopping)";
    case MHD_REQUEST_TERMINATED_CLIENT_ABORT:
      return " (client left)";
    default:
      return " (connection failed)";
  }
}

}  // namespace

struct http_server::state {
  server_config config;
  library_thread *library = nullptr;
  MHD_Daemon *daemon = nullptr;
  std::mutex connections_mutex;
  std::unordered_set<connection_state *> connections;

  // ---- Answers ----

  MHD_Result send(request *req, int status, MHD_Response *response, const char *content_type,
                  size_t bytes) {
    if (response == nullptr) return MHD_NO;
    mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    mhd.MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    if (!config.cors.empty()) {
      mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, "Origin");
      if (req->cors) {
        mhd.MHD_add_response_header(response, "Access-Control-Allow-Origin", config.cors.c_str());
      }
    }
    bool early = req->at == stage::headers;
    req->status = status;
    req->bytes = bytes;
    req->at = stage::answered;
    // An answer given before a body arrives makes the server drop the body
    // and close the connection; without a body the answer can wait for the
    // request's end and the connection stay open.
    if (early && !req->has_body) {
      req->pending = response;
      return MHD_YES;
    }
    MHD_Result queued = mhd.MHD_queue_response(req->connection, status, response);
    mhd.MHD_destroy_response(response);
    return queued;
  }

  MHD_Result send_json(request *req, int status, std::string body, const char *allow = nullptr) {
    auto *owned = new (std::nothrow) std::string(std::move(body));
    if (owned == nullptr) return MHD_NO;
    MHD_Response *response = mhd.MHD_create_response_from_buffer_with_free_callback_cls(
        owned->size(), owned->data(), [](void *cls) { delete static_cast<std::string *>(cls); },
        owned);
    if (response == nullptr) {
      delete owned;
      return MHD_NO;
    }
    mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    mhd.MHD_add_response_header(response, "Content-Security-Policy", kAnswerPolicy);
    if (allow) mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    if (status == MHD_HTTP_UNAUTHORIZED)
      mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
    size_t bytes = owned->size();
    return send(req, status, response, "application/json; charset=utf-8", bytes);
  }

  MHD_Result refuse(request *req, int status, std::string_view message,
                    const char *allow = nullptr) {
    return send_json(req, status, error_body(message), allow);
  }

  MHD_Result send_page(request *req, const page_file &file) {
    MHD_Response *response = mhd.MHD_create_response_from_buffer(
        *file.size, const_cast<unsigned char *>(file.data), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) return MHD_NO;
    mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    mhd.MHD_add_response_header(response, "Content-Security-Policy", kPagePolicy);
    mhd.MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
    return send(req, MHD_HTTP_OK, response, file.content_type, *file.size);
  }

  // ---- Checks ----

  bool host_allowed(const char *host) {
    if (host == nullptr) return false;
    std::string h = lower(host);
    for (const std::string &allowed : config.hosts) {
      if (h == allowed) return true;
    }
    return config.any_ip_host && ip_literal_host(h, config.port);
  }

  // An Origin may POST when it is this server's own (the Host it was reached
  // by, already checked) or the --cors one.
  bool origin_allowed(const char *origin, const char *host) {
    if (origin == nullptr) return true;
    std::string o = lower(origin);
    return o == "http://" + lower(host) || (!config.cors.empty() && o == lower(config.cors));
  }

  bool key_accepted(const char *authorization) {
    if (config.key.empty()) return true;
    std::string_view a = authorization ? authorization : "";
    if (a.size() < 7 || lower(a.substr(0, 7)) != "bearer ") return false;
    a.remove_prefix(7);
    while (!a.empty() && a.front() == ' ') a.remove_prefix(1);
    return same_secret(a, config.key);
  }

  // ---- The request, call by call ----

  MHD_Result on_headers(request *req, MHD_Connection *c, std::string_view path,
                        const char *method) {
    req->method = method;
    const char *length = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
    req->has_body = (length != nullptr && strcmp(length, "0") != 0) ||
                    header(c, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
    const MHD_ConnectionInfo *info =
        mhd.MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    req->conn_state = info ? static_cast<connection_state *>(info->socket_context) : nullptr;
    const char *host = header(c, MHD_HTTP_HEADER_HOST);
    const char *origin = header(c, MHD_HTTP_HEADER_ORIGIN);
    req->cors = origin != nullptr && !config.cors.empty() && lower(origin) == lower(config.cors);
    std::string_view m = method;
    if (!host_allowed(host)) {
      return refuse(req, MHD_HTTP_MISDIRECTED_REQUEST,
                    "Host '" + std::string(host ? host : "") + "' does not name this server");
    }
    if (m == MHD_HTTP_METHOD_OPTIONS) return preflight(req, c);

    if (path.substr(0, 5) != "/api/") {
      for (const page_file &file : kPageFiles) {
        if (path != file.path) continue;
        if (m != MHD_HTTP_METHOD_GET && m != MHD_HTTP_METHOD_HEAD)
          return refuse(req, MHD_HTTP_METHOD_NOT_ALLOWED, "the page is read with GET", "GET, HEAD");
        return send_page(req, file);
      }
      return refuse(req, MHD_HTTP_NOT_FOUND, "no such page: " + std::string(path));
    }
    const route *r = find_route(path.substr(5));
    if (r == nullptr) return refuse(req, MHD_HTTP_NOT_FOUND, "no such route: " + std::string(path));
    req->r = r;
    std::string route_name = r->name;
    if (m != route_method(*r)) {
      return refuse(req, MHD_HTTP_METHOD_NOT_ALLOWED,
                    route_name + " is called with " + route_method(*r), route_method(*r));
    }
    if (r->changes) {
      if (!config.allow_writes) {
        return refuse(req, MHD_HTTP_FORBIDDEN,
                      route_name +
                          " changes the store, and this server was started without "
                          "--allow-writes");
      }
      if (!key_accepted(header(c, MHD_HTTP_HEADER_AUTHORIZATION))) {
        return refuse(req, MHD_HTTP_UNAUTHORIZED,
                      route_name + " needs the server's key as 'Authorization: Bearer KEY'");
      }
    }
    if (m == MHD_HTTP_METHOD_POST) {
      if (!origin_allowed(origin, host)) {
        return refuse(
            req, MHD_HTTP_FORBIDDEN,
            "pages from " + std::string(origin) +
                (r->changes ? " may not change this store" : " may not call " + route_name));
      }
      if (media_type(header(c, MHD_HTTP_HEADER_CONTENT_TYPE)) != "application/json") {
        return refuse(req, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                      route_name + " takes Content-Type: application/json");
      }
    }
    if (length != nullptr) {
      char *end = nullptr;
      errno = 0;
      unsigned long long n = strtoull(length, &end, 10);
      if (errno == 0 && end != length && *end == '\0' && n > kBodyLimit) return too_large(req);
    }

    struct reading {
      const route *r;
      request *req;
      std::vector<const param *> seen;
      std::string problem;
    } read{r, req, {}, {}};
    mhd.MHD_get_connection_values_n(
        c, MHD_GET_ARGUMENT_KIND,
        [](void *cls, MHD_ValueKind, const char *key, size_t key_size, const char *value,
           size_t value_size) -> MHD_Result {
          auto *rd = static_cast<reading *>(cls);
          if (!rd->problem.empty()) return MHD_NO;
          std::string_view v = value ? std::string_view(value, value_size) : std::string_view();
          set_argument(*rd->r, std::string_view(key, key_size), v, &rd->req->j.args, &rd->seen,
                       &rd->problem);
          return rd->problem.empty() ? MHD_YES : MHD_NO;
        },
        &read);
    if (read.problem.empty()) {
      if (const param *p = missing_argument(*r, read.seen))
        read.problem = route_name + " needs the parameter '" + p->name + "'";
    }
    if (!read.problem.empty()) return refuse(req, MHD_HTTP_BAD_REQUEST, read.problem);
    req->at = stage::body;
    return MHD_YES;
  }

  MHD_Result too_large(request *req) {
    return refuse(req, MHD_HTTP_CONTENT_TOO_LARGE,
                  "the body is larger than " + std::to_string(kBodyLimit >> 20) + " MiB");
  }

  MHD_Result on_body(request *req, const char *data, size_t size) {
    std::string &body = req->j.args.body;
    // Past the limit the rest is read and dropped, so that the answer can
    // say why; the request deadline bounds how long that may go on.
    if (req->over_limit || body.size() + size > kBodyLimit) {
      req->over_limit = true;
      std::string().swap(body);
      return MHD_YES;
    }
    try {
      body.append(data, size);
    } catch (const std::bad_alloc &) {
      return MHD_NO;
    }
    return MHD_YES;
  }

  MHD_Result on_arrived(request *req, MHD_Connection *c) {
    if (req->conn_state) {
      std::lock_guard<std::mutex> lock(connections_mutex);
      req->conn_state->receiving = false;
    }
    if (req->over_limit) return too_large(req);
    const std::string &body = req->j.args.body;
    if (!req->r->takes_body && !body.empty()) {
      return refuse(req, MHD_HTTP_BAD_REQUEST, std::string(req->r->name) + " takes no body");
    }
    if (body.find('\0') != std::string::npos)
      return refuse(req, MHD_HTTP_BAD_REQUEST, "the body holds a NUL byte");
    req->j.r = req->r;
    req->j.owner = req;
    req->j.done = [](job *j) {
      mhd.MHD_resume_connection(static_cast<request *>(j->owner)->connection);
    };
    // Suspended before it is queued, so that the library thread can never
    // resume a connection that is not yet suspended.
    req->at = stage::queued;
    mhd.MHD_suspend_connection(c);
    if (!library->submit(&req->j)) {
      req->j.result = {MHD_HTTP_SERVICE_UNAVAILABLE, error_body("the server is stopping")};
      mhd.MHD_resume_connection(c);
    }
    return MHD_YES;
  }

  MHD_Result preflight(request *req, MHD_Connection *c) {
    MHD_Response *response =
        mhd.MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) return MHD_NO;
    mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, POST, OPTIONS");
    if (req->cors && header(c, "Access-Control-Request-Method") != nullptr) {
      mhd.MHD_add_response_header(response, "Access-Control-Allow-Methods", "GET, POST");
      mhd.MHD_add_response_header(response, "Access-Control-Allow-Headers",
                                  "Authorization, Content-Type");
      mhd.MHD_add_response_header(response, "Access-Control-Max-Age", "600");
    }
    return send(req, MHD_HTTP_NO_CONTENT, response, "text/plain", 0);
  }

  // ---- Callbacks ----

  static void *on_uri(void *, const char *uri, MHD_Connection *c) {
    auto *req = new (std::nothrow) request;
    if (req == nullptr) return nullptr;
    req->uri = uri ? uri : "";
    req->start = clock::now();
    req->connection = c;
    return req;
  }

  static MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method,
                               const char *, const char *upload_data, size_t *upload_data_size,
                               void **con_cls) {
    auto *self = static_cast<state *>(cls);
    auto *req = static_cast<request *>(*con_cls);
    if (req == nullptr) return MHD_NO;  // out of memory when the request began
    try {
      switch (req->at) {
        case stage::headers:
          return self->on_headers(req, c, url, method);
        case stage::body:
          if (*upload_data_size != 0) {
            MHD_Result r = self->on_body(req, upload_data, *upload_data_size);
            *upload_data_size = 0;
            return r;
          }
          return self->on_arrived(req, c);
        case stage::queued: {
          answer &a = req->j.result;
          return self->send_json(req, a.status, std::move(a.body));
        }
        case stage::answered:
          if (req->pending != nullptr && *upload_data_size == 0) {
            MHD_Result queued = mhd.MHD_queue_response(c, req->status, req->pending);
            mhd.MHD_destroy_response(req->pending);
            req->pending = nullptr;
            return queued;
          }
          *upload_data_size = 0;
          return MHD_YES;
      }
    } catch (const std::bad_alloc &) {
      return MHD_NO;
    }
    return MHD_NO;
  }

  static void on_completed(void *cls, MHD_Connection *c, void **con_cls,
                           MHD_RequestTerminationCode toe) {
    auto *self = static_cast<state *>(cls);
    auto *req = static_cast<request *>(*con_cls);
    *con_cls = nullptr;
    if (req == nullptr) return;
    if (req->conn_state) {
      std::lock_guard<std::mutex> lock(self->connections_mutex);
      req->conn_state->receiving = true;
      req->conn_state->since = clock::now();
    }
    try {
      self->log(req, c, toe);
    } catch (const std::bad_alloc &) {
      // The request is over; only its log line is lost.
    }
    delete req;
  }

  static void on_connection(void *cls, MHD_Connection *c, void **socket_context,
                            MHD_ConnectionNotificationCode code) {
    auto *self = static_cast<state *>(cls);
    std::lock_guard<std::mutex> lock(self->connections_mutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto *cs = new (std::nothrow) connection_state;
      if (cs == nullptr) return;
      const MHD_ConnectionInfo *info =
          mhd.MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      cs->fd = info ? info->connect_fd : -1;
      cs->since = clock::now();
      try {
        self->connections.insert(cs);
      } catch (const std::bad_alloc &) {
        delete cs;
        return;
      }
      *socket_context = cs;
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      auto *cs = static_cast<connection_state *>(*socket_context);
      if (cs == nullptr) return;
      self->connections.erase(cs);
      delete cs;
      *socket_context = nullptr;
    }
  }

  static void on_server_error(void *, const char *format, va_list ap) {
    char text[512];
    vsnprintf(text, sizeof text, format, ap);
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == '\n') text[--n] = '\0';
    fprintf(stderr, "searchdb: serve: %s\n", text);
  }

  // One line per request on standard error, written whole at once. The
  // Authorization header, and so the key, never reaches it.
  void log(const request *req, MHD_Connection *c, MHD_RequestTerminationCode toe) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char when[40];
    size_t n = strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(when + n, sizeof when - n, ".%03ldZ", now.tv_nsec / 1000000);
    char took[32];
    snprintf(took, sizeof took, "%.3fms",
             std::chrono::duration<double, std::milli>(clock::now() - req->start).count());
    // A request the server refused before the access handler saw it (a
    // header over the memory limit) has no method and no status of ours.
    std::string method = req->method.empty() ? "-" : loggable(req->method);
    std::string line = std::string(when) + " " + client_address(c) + " \"" + method + " " +
                       loggable(req->uri) + "\" " +
                       (req->status ? std::to_string(req->status) : "-") + " " +
                       std::to_string(req->bytes) + " " + took + termination(toe) + "\n";
    fwrite(line.data(), 1, line.size(), stderr);
  }
};

http_server::http_server(const server_config &config, library_thread *library) : state_(new state) {
  state_->config = config;
  state_->library = library;
}

http_server::~http_server() {
  delete state_;
}

bool http_server::start(int listen_fd, std::string *problem) {
  if (!load_microhttpd(problem)) return false;
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  getsockname(listen_fd, reinterpret_cast<sockaddr *>(&addr), &len);
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  if (addr.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  // A silent connection is closed after a third of the request deadline;
  // enforce_deadlines closes one that keeps trickling.
  unsigned idle = static_cast<unsigned>(std::max<long long>(1, state_->config.timeout.count() / 3));
  state_->daemon = mhd.MHD_start_daemon(
      flags, 0, nullptr, nullptr, &state::on_request, state_, MHD_OPTION_EXTERNAL_LOGGER,
      &state::on_server_error, state_, MHD_OPTION_LISTEN_SOCKET, listen_fd,
      MHD_OPTION_URI_LOG_CALLBACK, &state::on_uri, state_, MHD_OPTION_NOTIFY_COMPLETED,
      &state::on_completed, state_, MHD_OPTION_NOTIFY_CONNECTION, &state::on_connection, state_,
      MHD_OPTION_CONNECTION_TIMEOUT, idle, MHD_OPTION_CONNECTION_LIMIT, 512u,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kHeaderMemory, MHD_OPTION_END);
  if (state_->daemon == nullptr) {
    *problem = "the HTTP server did not start";
    return false;
  }
  return true;
}

void http_server::enforce_deadlines() {
  clock::time_point now = clock::now();
  std::lock_guard<std::mutex> lock(state_->connections_mutex);
  for (connection_state *cs : state_->connections) {
    if (cs->receiving && !cs->cut && cs->fd >= 0 && now - cs->since > state_->config.timeout) {
      // The connection stays the server's to close; shutting it down makes
      // its next read fail, and the server closes it then.
      shutdown(cs->fd, SHUT_RDWR);
      cs->cut = true;
    }
  }
}

void http_server::stop() {
  if (state_->daemon == nullptr) {
    state_->library->stop();
    return;
  }
  MHD_socket listening = mhd.MHD_quiesce_daemon(state_->daemon);
  if (listening != MHD_INVALID_SOCKET) close(listening);
  // What is queued is answered; a request that comes later is told the
  // server is stopping.
  state_->library->stop();
  mhd.MHD_stop_daemon(state_->daemon);
  state_->daemon = nullptr;
}

}  // namespace serve
