// `searchdb serve`: the command. It checks the options, listens, starts the
// library thread and the HTTP server, and stops both cleanly on Ctrl-C or
// SIGTERM, answering what was already queued.
#include "serve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli.h"
#include "interrupt.h"
#include "serve_options.h"

namespace cli {

void add_serve_options(CLI::App *command, serve_options *options) {
  command->footer(
      "Serves the store's API at /api/ (one route per library function) and a search\n"
      "page at /, on HOST:PORT, until Ctrl-C or SIGTERM. Every request's Host header\n"
      "must name this server. Reads are always served: GET, or POST for search_request,\n"
      "whose request is the body. Changes (POST) only with --allow-writes. A POST needs\n"
      "Content-Type application/json and, from a browser, this server's own origin or\n"
      "the --cors one. With --key-file changes also need the header\n"
      "'Authorization: Bearer KEY', KEY being the file's first line.\n"
      "--allow-writes on an address other than loopback needs --key-file. Port 0 takes\n"
      "any free port; the address served is printed first. Every request is logged on\n"
      "standard error. A connection that takes more than --timeout seconds to send a\n"
      "request whole is closed, as is one silent for a third of that.");
  command->add_option("--host", options->host, "The address to listen on (default 127.0.0.1)")
      ->type_name("HOST");
  command->add_option("--port", options->port, "The port (default 8765; 0 for any free one)")
      ->type_name("PORT")
      ->check(CLI::Range(0, 65535).description(""));
  command->add_flag("--allow-writes", options->allow_writes, "Accept changes as well as reads");
  command->add_option("--key-file", options->key_file, "Accept changes only with the key in FILE")
      ->type_name("FILE");
  command->add_option("--cors", options->cors, "Let pages from ORIGIN call the API")
      ->type_name("ORIGIN");
  command->add_option("--timeout", options->timeout, "Seconds a request may take to arrive (30)")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, 3600).description(""));
}

namespace {

volatile sig_atomic_t s_terminated = 0;

void on_terminate(int) {
  s_terminated = 1;
}

int serve_refused(const std::string &message, int status = exit_refused) {
  fprintf(stderr, "searchdb: serve: %s\n", message.c_str());
  return status;
}

// An origin is a scheme, "://" and a host with an optional port, nothing after.
bool is_origin(const std::string &text) {
  size_t sep = text.find("://");
  if (sep == std::string::npos || sep == 0) return false;
  for (size_t i = 0; i < sep; ++i) {
    if (!isalpha(static_cast<unsigned char>(text[i]))) return false;
  }
  std::string rest = text.substr(sep + 3);
  return !rest.empty() && rest.find_first_of("/?#@ ") == std::string::npos;
}

// A Host header value: IPv6 literals bracketed, the port always written.
std::string host_value(const std::string &name, uint16_t port) {
  bool v6 = name.find(':') != std::string::npos && name.front() != '[';
  return (v6 ? "[" + name + "]" : name) + ":" + std::to_string(port);
}

std::string numeric_address(const sockaddr_storage &addr) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(addr).sin_addr, text, sizeof text);
  else
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(addr).sin6_addr, text, sizeof text);
  return text;
}

bool is_loopback(const sockaddr *sa) {
  if (sa->sa_family == AF_INET) {
    uint32_t a = ntohl(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr);
    return (a >> 24) == 127;
  }
  const in6_addr &a6 = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&a6);
}

bool is_wildcard(const sockaddr *sa) {
  if (sa->sa_family == AF_INET)
    return reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr == htonl(INADDR_ANY);
  const in6_addr &a6 = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
  return IN6_IS_ADDR_UNSPECIFIED(&a6);
}

// The key: the file's first line, without the line end or trailing blanks.
bool read_key(const std::string &path, std::string *key, std::string *problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *problem = "key file '" + path + "': " + strerror(errno);
    return false;
  }
  std::getline(in, *key);
  while (!key->empty() && isspace(static_cast<unsigned char>(key->back()))) key->pop_back();
  if (key->empty()) {
    *problem = "key file '" + path + "' holds no key on its first line";
    return false;
  }
  return true;
}

// Holds signals away from the threads started while it lives, so that
// Ctrl-C and SIGTERM reach the main thread and wake it.
struct signals_held {
  sigset_t old;
  signals_held() {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &held, &old);
  }
  ~signals_held() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

}  // namespace

int run_serve(session *s, const invocation &inv) {
  const serve_options &o = inv.serve;
  if (!o.key_file.empty() && !o.allow_writes)
    return serve_refused("--key-file guards changes, which need --allow-writes", exit_usage);
  if (!o.cors.empty() && !is_origin(o.cors)) {
    return serve_refused("--cors takes an origin such as https://example.org, not '" + o.cors + "'",
                         exit_usage);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  int gai = getaddrinfo(o.host.c_str(), std::to_string(o.port).c_str(), &hints, &found);
  if (gai != 0) return serve_refused("host '" + o.host + "': " + gai_strerror(gai));
  std::unique_ptr<addrinfo, void (*)(addrinfo *)> addresses(found, freeaddrinfo);
  if (o.allow_writes && o.key_file.empty() && !is_loopback(found->ai_addr)) {
    return serve_refused(
        "--allow-writes on " + o.host + ", which is not a loopback address, needs --key-file",
        exit_usage);
  }
  serve::server_config config;
  config.allow_writes = o.allow_writes;
  config.cors = o.cors;
  config.timeout = std::chrono::seconds(o.timeout);
  std::string problem;
  if (!o.key_file.empty() && !read_key(o.key_file, &config.key, &problem))
    return serve_refused(problem);

  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
    problem = strerror(errno);
    if (fd >= 0) close(fd);
    return serve_refused("cannot listen on " + host_value(o.host, static_cast<uint16_t>(o.port)) +
                         ": " + problem);
  }
  sockaddr_storage bound{};
  socklen_t bound_len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &bound_len);
  config.port =
      ntohs(bound.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in &>(bound).sin_port
                                       : reinterpret_cast<const sockaddr_in6 &>(bound).sin6_port);
  const sockaddr *bound_sa = reinterpret_cast<const sockaddr *>(&bound);

  // The names this server answers to: the --host given, the address bound
  // and, on loopback, localhost; bound to every address, any IP literal and
  // the machine's name. Another name in Host is a page of some other site
  // that had its name point here.
  std::string numeric = numeric_address(bound);
  for (const std::string &name : {o.host, numeric}) {
    std::string lowered = name;
    for (char &c : lowered) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    config.hosts.push_back(host_value(lowered, config.port));
  }
  if (is_loopback(bound_sa)) config.hosts.push_back(host_value("localhost", config.port));
  if (is_wildcard(bound_sa)) {
    config.any_ip_host = true;
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
      config.hosts.push_back(host_value(name, config.port));
  }
  if (config.port == 80) {
    size_t n = config.hosts.size();
    for (size_t i = 0; i < n; ++i)
      config.hosts.push_back(config.hosts[i].substr(0, config.hosts[i].size() - 3));
  }

  serve::library_thread library;
  serve::http_server server(config, &library);
  {
    signals_held held;
    library.start();
    if (!server.start(fd, &problem)) {
      close(fd);
      library.stop();
      return serve_refused(problem);
    }
  }
  struct sigaction terminate {
  }, old_terminate{};
  terminate.sa_handler = on_terminate;
  sigemptyset(&terminate.sa_mask);
  sigaction(SIGTERM, &terminate, &old_terminate);
  signal(SIGPIPE, SIG_IGN);

  std::string shown = is_wildcard(bound_sa) ? o.host : numeric;
  printf("serving %s at http://%s/ (%s)\n", s->dir.c_str(), host_value(shown, config.port).c_str(),
         !o.allow_writes      ? "reads only"
         : config.key.empty() ? "reads and changes"
                              : "reads, and changes with the key");
  fflush(stdout);

  while (!interrupted() && !s_terminated) {
    // A signal cuts the sleep short; the deadlines are checked twice a second.
    timespec pause{0, 500 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    server.enforce_deadlines();
  }
  server.stop();
  sigaction(SIGTERM, &old_terminate, nullptr);
  s_terminated = 0;
  // Ctrl-C is how a server is stopped, not a failure.
  interrupt_clear();
  fputs("searchdb: serve: stopped\n", stderr);
  return exit_ok;
}

}  // namespace cli
