#include "api/frame.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "api/registry.h"
#include "base/error.h"
#include "search/rank.h"
#include "searchdb.h"
#include "storage/store.h"

int s_initialized = 0;
char s_storage_dir[SDB_STORAGE_DIR_SIZE];
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

bool foreign_process() {
  if (!s_initialized || (!s_forked && (s_fork_watched || getpid() == s_init_pid))) return false;
  sdb_error(
      SEARCHDB_MISUSE,
      "searchdb_init was called in process %d; call searchdb_cleanup and searchdb_init in this one",
      static_cast<int>(s_init_pid));
  return true;
}

}  // namespace

bool sdb_call_refused(void) {
  if (!s_initialized) {
    sdb_error(SEARCHDB_MISUSE, "not initialized");
    return true;
  }
  return foreign_process();
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

extern "C" {

SEARCHDB_API int searchdb_init(const char *storage_dir) {
  if (foreign_process()) return -1;
  if (!storage_dir || !*storage_dir) {
    sdb_error(SEARCHDB_INVALID, "storage_dir empty");
    return -1;
  }
  // A cut path would name another directory, so it is refused whole.
  if (strlen(storage_dir) >= SDB_STORAGE_DIR_SIZE) {
    sdb_error(SEARCHDB_TOOBIG, "storage_dir too long");
    return -1;
  }
  if (s_initialized) {
    sdb_error(SEARCHDB_MISUSE, "already initialized");
    return -1;
  }
  sdb_error_clear();
  snprintf(s_storage_dir, sizeof s_storage_dir, "%s", storage_dir);
  if (sdb_store_start(s_storage_dir) != 0) {
    // A stored file that could not be read, memory that ran out, or a
    // store another process held locked: an index left out now would be
    // dropped from the stored list by the next change, so the start is
    // refused and may be tried again; the message says why.
    s_storage_dir[0] = '\0';
    return -1;
  }
  if (!s_fork_watched) s_fork_watched = pthread_atfork(nullptr, nullptr, mark_child_of_fork) == 0;
  s_init_pid = getpid();
  s_forked = false;
  s_initialized = 1;
  return 0;
}

// In a child of fork this is how the process gets a store of its own: the
// lock file is closed, never unlocked, since a lock held on it is the
// parent's.
SEARCHDB_API void searchdb_cleanup(void) {
  sdb_registry_clear();
  sdb_scoring_release();
  sdb_store_stop();
  s_storage_dir[0] = '\0';
  s_initialized = 0;
  sdb_error_clear();
}

SEARCHDB_API const char *searchdb_last_error(void) {
  return s_error;
}

SEARCHDB_API int searchdb_last_error_code(void) {
  return s_error_code;
}

}  // extern "C"
