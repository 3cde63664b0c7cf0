// Another process on the same store, driven one library call at a time:
// a forked child of the test program reads a call from a pipe, makes it,
// and answers with its result and last error. The child keeps whatever the
// test program stands in front of the C library (its interposers), and a
// test may teach it calls of its own.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "searchdb.h"
#include "storage/lock.h"

class Peer {
 public:
  struct Answer {
    int rc = -1;        // an integer result, or 0/-1 for a text one (nullptr, "null", "[]")
    std::string text;   // a text result
    std::string error;  // searchdb_last_error() after the call
  };
  // A call of the test's own: fills *out and returns true when it knows it.
  using Extra = std::function<bool(const std::vector<std::string> &, Answer *)>;

  explicit Peer(Extra extra = {}) {
    int to_child[2], from_child[2];
    EXPECT_EQ(pipe(to_child), 0);
    EXPECT_EQ(pipe(from_child), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(to_child[1]);
      close(from_child[0]);
      Serve(to_child[0], from_child[1], extra);
    }
    close(to_child[0]);
    close(from_child[1]);
    out_ = to_child[1];
    in_ = from_child[0];
  }
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;
  ~Peer() {
    if (out_ >= 0) {
      Send({"exit"});
      close(out_);
    }
    if (in_ >= 0) close(in_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }

  // Makes a call and waits for its answer.
  Answer Call(const std::vector<std::string> &call) {
    Send(call);
    return Receive();
  }
  // Starts a call; its answer is read with Receive.
  void Send(const std::vector<std::string> &call) {
    std::string frame;
    for (const std::string &part : call) PutString(&frame, part);
    PutString(&frame, "\n");  // the end of a call
    WriteAll(out_, frame);
  }
  Answer Receive() {
    Answer a;
    std::string rc;
    if (!ReadString(in_, &rc) || !ReadString(in_, &a.text) || !ReadString(in_, &a.error)) {
      ADD_FAILURE() << "the peer process ended";
      return a;
    }
    a.rc = atoi(rc.c_str());
    return a;
  }
  pid_t pid() const { return pid_; }

 private:
  static void PutString(std::string *frame, const std::string &s) {
    const uint32_t n = static_cast<uint32_t>(s.size());
    frame->append(reinterpret_cast<const char *>(&n), sizeof n);
    frame->append(s);
  }
  static bool ReadAll(int fd, char *buf, size_t n) {
    while (n > 0) {
      const ssize_t got = read(fd, buf, n);
      if (got <= 0) return false;
      buf += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  static bool ReadString(int fd, std::string *s) {
    uint32_t n;
    if (!ReadAll(fd, reinterpret_cast<char *>(&n), sizeof n)) return false;
    s->resize(n);
    return ReadAll(fd, s->data(), n);
  }
  static void WriteAll(int fd, const std::string &s) {
    for (size_t done = 0; done < s.size();) {
      const ssize_t n = write(fd, s.data() + done, s.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  static Answer Text(const char *text, const char *failure) {
    Answer a;
    a.rc = text == nullptr || (failure != nullptr && std::string(text) == failure) ? -1 : 0;
    a.text = text ? text : "";
    return a;
  }

  static Answer Make(const std::vector<std::string> &c, const Extra &extra) {
    Answer a;
    auto arg = [&](size_t i) { return i < c.size() ? c[i].c_str() : ""; };
    const std::string &verb = c[0];
    if (extra && extra(c, &a)) return a;
    if (verb == "init") {
      a.rc = searchdb_init(arg(1));
    } else if (verb == "cleanup") {
      searchdb_cleanup();
      a.rc = 0;
    } else if (verb == "create") {
      a.rc = searchdb_index_create(arg(1), nullptr);
    } else if (verb == "drop") {
      a.rc = searchdb_index_delete(arg(1));
    } else if (verb == "add") {
      a.rc = searchdb_documents_add(arg(1), arg(2));
    } else if (verb == "remove") {
      a.rc = searchdb_document_delete(arg(1), arg(2));
    } else if (verb == "get") {
      a = Text(searchdb_document_get(arg(1), arg(2)), nullptr);
    } else if (verb == "list") {
      a = Text(searchdb_indexes_list_json(), nullptr);
    } else if (verb == "search") {
      a = Text(searchdb_search(arg(1), arg(2), 0, 0), "null");
    } else if (verb == "timeout") {
      s_lock_timeout_ms = atoi(arg(1));
      a.rc = 0;
    } else {
      a.rc = -2;
      a.text = "unknown call " + verb;
    }
    a.error = searchdb_last_error();
    return a;
  }

  [[noreturn]] static void Serve(int in, int out, const Extra &extra) {
    // What the test program had open is not this process's to use.
    searchdb_cleanup();
    for (;;) {
      std::vector<std::string> call;
      std::string part;
      while (ReadString(in, &part) && part != "\n") call.push_back(part);
      if (call.empty() || call[0] == "exit") _exit(0);
      const Answer a = Make(call, extra);
      std::string frame;
      PutString(&frame, std::to_string(a.rc));
      PutString(&frame, a.text);
      PutString(&frame, a.error);
      WriteAll(out, frame);
    }
  }

  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
};
