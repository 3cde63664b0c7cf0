#include "api/frame.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/holders.h"
#include "api/registry.h"
#include "search/rank.h"
#include "searchdb.h"
#include "storage/store.h"

int s_initialized = 0;
char s_storage_dir[SDB_STORAGE_DIR_SIZE];
char s_error[SDB_ERROR_SIZE];
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
      "searchdb_init was called in process %d; call searchdb_cleanup and searchdb_init in this one",
      static_cast<int>(s_init_pid));
  return true;
}

}  // namespace

bool sdb_call_refused(void) {
  if (!s_initialized) {
    sdb_error("not initialized");
    return true;
  }
  return foreign_process();
}

void sdb_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(s_error, sizeof s_error, fmt, ap);
  va_end(ap);
}

const char *sdb_result_set(const char *text, size_t len) {
  if (len >= sizeof s_result) {
    sdb_error("result too large");
    return nullptr;
  }
  memcpy(s_result, text, len);
  s_result[len] = '\0';
  return s_result;
}

void sdb_advise_huge(void *block, size_t size) {
  // A block smaller than a huge page cannot hold one.
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (size < kHuge) return;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHuge - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

namespace {

void *json_malloc(void *, size_t size) {
  void *p = malloc(size);
  if (p != nullptr) sdb_advise_huge(p, size);
  return p;
}

void *json_realloc(void *, void *block, size_t, size_t size) {
  void *p = realloc(block, size);
  if (p != nullptr) sdb_advise_huge(p, size);
  return p;
}

void json_free(void *, void *block) {
  free(block);
}

const yyjson_alc kJsonAllocator = {json_malloc, json_realloc, json_free, nullptr};

}  // namespace

const yyjson_alc *sdb_json_allocator(void) {
  return &kJsonAllocator;
}

extern "C" {

SEARCHDB_API int searchdb_init(const char *storage_dir) {
  if (foreign_process()) return -1;
  if (!storage_dir || !*storage_dir) {
    sdb_error("storage_dir empty");
    return -1;
  }
  // A cut path would name another directory, so it is refused whole.
  if (strlen(storage_dir) >= sizeof s_storage_dir) {
    sdb_error("storage_dir too long");
    return -1;
  }
  if (s_initialized) {
    sdb_error("already initialized");
    return -1;
  }
  s_error[0] = '\0';
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
  s_error[0] = '\0';
}

SEARCHDB_API const char *searchdb_last_error(void) {
  return s_error;
}

}  // extern "C"
