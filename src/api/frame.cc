#include "api/frame.h"

#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "base/error.h"
#include "searchdb.h"

int s_initialized = 0;
char s_result[SDB_RESULT_SIZE];

namespace {

pid_t s_init_pid = 0;  // the process whose searchdb_init succeeded
// Set in every child of fork by a handler fork runs, and cleared by the
// searchdb_init of the child itself, so that a call asks no system call to
// know; where the handler could not be registered, the process id is
// compared instead.
bool s_forked = false;
bool s_fork_watched = false;

void mark_child_of_fork() {
  s_forked = true;
}

}  // namespace

bool sdb_foreign_process(void) {
  if (!s_initialized || (!s_forked && (s_fork_watched || getpid() == s_init_pid))) return false;
  sdb_error(
      SEARCHDB_MISUSE,
      "searchdb_init was called in process %d; call searchdb_cleanup and searchdb_init in this one",
      static_cast<int>(s_init_pid));
  return true;
}

bool sdb_call_refused(void) {
  if (!s_initialized) {
    sdb_error(SEARCHDB_MISUSE, "not initialized");
    return true;
  }
  return sdb_foreign_process();
}

const char *sdb_result_set(const char *text, size_t len) {
  if (len >= sizeof s_result) {
    sdb_error(SEARCHDB_TOOBIG, "result too large");
    return nullptr;
  }
  memcpy(s_result, text, len);
  s_result[len] = '\0';
  return s_result;
}

void sdb_frame_start(void) {
  if (!s_fork_watched) s_fork_watched = pthread_atfork(nullptr, nullptr, mark_child_of_fork) == 0;
  s_init_pid = getpid();
  s_forked = false;
  s_initialized = 1;
}

void sdb_frame_stop(void) {
  s_initialized = 0;
}
