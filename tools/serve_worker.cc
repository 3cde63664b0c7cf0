// The library thread: the library keeps process-wide state without locks and
// each text it returns lasts only until its next call, so every call is made
// here, one at a time, and its answer copied before the next one starts.
#include <pthread.h>

#include <new>

#include "serve.h"

namespace serve {

void library_thread::start() {
  thread_ = std::thread([this] { loop(); });
  // Named, so that top -H and the load benchmark can tell it apart.
  pthread_setname_np(thread_.native_handle(), "searchdb-lib");
}

bool library_thread::submit(job *j) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    queue_.push_back(j);
  }
  wake_.notify_one();
  return true;
}

void library_thread::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void library_thread::loop() {
  std::deque<job *> batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, with nothing left to answer
      batch.swap(queue_);
    }
    // Jobs that came while the last batch ran are taken together, in order.
    for (job *j : batch) {
      try {
        j->result = run_call(*j->r, j->args);
      } catch (const std::bad_alloc &) {
        // The library's text could not be copied; its call is answered
        // with the failure the library gives when memory runs out.
        j->result.status = 500;
        j->result.body.clear();
        try {
          j->result.body = error_body("oom: serve");
        } catch (const std::bad_alloc &) {
        }
      }
      j->done(j);
    }
    batch.clear();
  }
}

}  // namespace serve
