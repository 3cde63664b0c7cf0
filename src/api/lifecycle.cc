// The lifecycle exports: opening and releasing the store, and the last
// failure.
#include <cstring>

#include "api/frame.h"
#include "api/registry.h"
#include "base/error.h"
#include "search/rank.h"
#include "search/typo_rank.h"
#include "searchdb.h"
#include "storage/store.h"

extern "C" {

SEARCHDB_API int searchdb_init(const char *storage_dir) {
  if (sdb_foreign_process()) return -1;
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
  if (sdb_store_start(storage_dir, &s_registry) != 0) {
    // A stored file that could not be read, memory that ran out, or a
    // store another process held locked: an index left out now would be
    // dropped from the stored list by the next change, so the start is
    // refused and may be tried again; the message says why.
    return -1;
  }
  sdb_frame_start();
  return 0;
}

// In a child of fork this is how the process gets a store of its own: the
// lock file is closed, never unlocked, since a lock held on it is the
// parent's.
SEARCHDB_API void searchdb_cleanup(void) {
  sdb_registry_clear();
  sdb_scoring_release();
  sdb_typo_release();
  sdb_store_stop();
  sdb_frame_stop();
  sdb_error_clear();
}

SEARCHDB_API const char *searchdb_last_error(void) {
  return s_error;
}

SEARCHDB_API int searchdb_last_error_code(void) {
  return s_error_code;
}

}  // extern "C"
