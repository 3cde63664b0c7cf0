#include "storage/store.h"

#include <cstdio>
#include <cstring>

#include "api/frame.h"
#include "api/registry.h"
#include "index/index.h"
#include "storage/files.h"
#include "storage/layout.h"
#include "storage/lock.h"
#include "storage/persist.h"

namespace {

bool s_read_only = false;
// What the registry reflects: the lock file and slot table it was loaded
// under and the list's generation.
uint64_t s_known_file = 0;
uint64_t s_known_table = 0;
uint64_t s_known_list = 0;
// A load without the lock left out a listed index for want of its
// settings, which may have been in the writing: the list is loaded again
// at the next call, whatever its generation says.
bool s_list_unsure = false;

// The change in progress: the generations as it found them when it took
// the lock, raised in place as it goes.
struct {
  sdb_generations gens;
  bool list_raised;
} s_change;

int find_position(const char *name) {
  for (uint32_t i = 0; i < s_index_count; i++)
    if (strcmp(s_indexes[i]->name, name) == 0) return static_cast<int>(i);
  return -1;
}

// After the exclusive lock is taken: the header checked (and written anew
// when it is not whole) and read. -1 with a message.
int change_start(void) {
  s_change.list_raised = false;
  sdb_generations_forget_raises();
  return sdb_generations_prepare(&s_change.gens, true);
}

// What the change raised is what this process now holds: the list, and
// every index it raised that was up to date before.
void change_finish(void) {
  if (s_change.list_raised) s_known_list = s_change.gens.list;
  uint32_t pos = 0;
  uint64_t before;
  while (const char *name = sdb_generations_next_raised(&pos, &before)) {
    const int i = find_position(name);
    if (i >= 0 && s_indexes[i]->gen == before) s_indexes[i]->gen = before + 1;
  }
  sdb_generations_forget_raises();
}

bool list_behind(const sdb_generations &g) {
  return g.file != s_known_file || g.table != s_known_table || g.list != s_known_list ||
         s_list_unsure;
}

// Whether the generations say that the list, or the registered index named
// name, moved since this process last loaded or changed it (or that this
// process cannot tell without reading more).
bool behind(const sdb_generations &g, const char *name) {
  if (list_behind(g)) return true;
  if (name == nullptr) return false;
  const int i = find_position(name);
  uint64_t gen;
  return i >= 0 && (!sdb_index_generation(&g, name, &gen) || s_indexes[i]->gen != gen);
}

// Loads again what g says moved: the list (and with it every index that
// moved), or else the index named name. A load made without the lock
// (locked false) that left out an index for want of its settings is not
// taken for the list's generation.
int catch_up(const sdb_generations &g, const char *name, bool may_write, bool locked) {
  bool absent = false;
  if (list_behind(g)) {
    // Under another file or table nothing known can be trusted: every
    // index loads.
    const bool reuse = g.file == s_known_file && g.table == s_known_table;
    if (sdb_reload_list(may_write, &g, reuse, &absent) != 0) return -1;
    s_known_file = g.file;
    s_known_table = g.table;
    s_known_list = g.list;
    s_list_unsure = absent && !locked;
    return 0;
  }
  if (name == nullptr) return 0;
  const int i = find_position(name);
  uint64_t gen = 0;
  if (i < 0 || (sdb_index_generation(&g, name, &gen) && s_indexes[i]->gen == gen)) return 0;
  if (sdb_reload_index(static_cast<uint32_t>(i), may_write, &g, &absent) != 0) return -1;
  s_list_unsure = s_list_unsure || (absent && !locked);
  return 0;
}

}  // namespace

int sdb_store_start(const char *dir) {
  if (sdb_store_open(dir) != 0) return -1;
  sdb_make_dirs(SDB_LIST_DIR);
  if (sdb_lock_open() != 0) {
    sdb_store_stop();
    return -1;
  }
  sdb_lock_status st = sdb_lock_take(true);
  s_read_only = st == SDB_LOCK_UNAVAILABLE;
  // Read-only, the shared lock still keeps changes out while loading, where
  // it can be had.
  if (s_read_only) st = sdb_lock_take(false);
  if (st == SDB_LOCK_BUSY || st == SDB_LOCK_FAILED) {
    sdb_store_stop();
    return -1;
  }
  const bool locked = st == SDB_LOCK_HELD;
  sdb_notes_begin();
  bool absent = false;
  int rc;
  if (s_read_only) {
    s_change.list_raised = false;
    rc = sdb_generations_prepare(&s_change.gens, false);
  } else {
    rc = change_start();
  }
  if (rc == 0) rc = sdb_load_indexes(!s_read_only, &s_change.gens, &absent);
  if (locked) sdb_lock_release();
  if (rc != 0) {
    sdb_registry_clear();
    sdb_store_stop();
    return -1;
  }
  s_known_file = s_change.gens.file;
  s_known_table = s_change.gens.table;
  s_known_list = s_change.gens.list;
  s_list_unsure = absent && !locked;
  change_finish();
  const bool noted = sdb_notes_report();
  if (s_read_only) {
    char message[SDB_ERROR_SIZE];
    snprintf(message, sizeof message, "%s", noted ? s_error : "");
    sdb_error(SEARCHDB_READONLY, "%s%sloaded read-only: %s", message, noted ? "; " : "",
              sdb_lock_reason());
  }
  return 0;
}

void sdb_store_stop(void) {
  sdb_lock_close();
  sdb_store_close();
  s_read_only = false;
  s_known_file = 0;
  s_known_table = 0;
  s_known_list = 0;
  s_list_unsure = false;
}

int sdb_read_begin(const char *index_name) {
  if (!sdb_lock_moved()) {
    sdb_generations g;
    if (!sdb_generations_read(&g) || !behind(g, index_name)) return 0;
  }
  // Another process changed something this call answers from, or the lock
  // file is not the one at the path any more: load it again, under the lock
  // when it can be had, so that the files read are those of whole changes.
  const sdb_lock_status st = sdb_lock_take(false);
  if (st == SDB_LOCK_BUSY || st == SDB_LOCK_FAILED) return -1;
  sdb_generations g;
  int rc = sdb_generations_prepare(&g, false);
  if (rc == 0) rc = catch_up(g, index_name, false, st == SDB_LOCK_HELD);
  if (st == SDB_LOCK_HELD) sdb_lock_release();
  return rc;
}

int sdb_change_begin(const char *index_name) {
  if (s_read_only) {
    sdb_error(SEARCHDB_READONLY, "%s", sdb_lock_reason());
    return -1;
  }
  const sdb_lock_status st = sdb_lock_take(true);
  if (st == SDB_LOCK_BUSY || st == SDB_LOCK_FAILED) return -1;
  if (st == SDB_LOCK_UNAVAILABLE) {
    sdb_error(SEARCHDB_READONLY, "%s", sdb_lock_reason());
    return -1;
  }
  if (change_start() != 0 || catch_up(s_change.gens, index_name, true, true) != 0) {
    sdb_generations_forget_raises();
    sdb_lock_release();
    return -1;
  }
  return 0;
}

bool sdb_change_raise(bool list, const char *index_name) {
  if (list && !s_change.list_raised) {
    if (!sdb_generations_raise_list(&s_change.gens)) return false;
    s_change.list_raised = true;
  }
  return index_name == nullptr || sdb_generations_raise_index(&s_change.gens, index_name);
}

uint64_t sdb_change_generation(const char *index_name) {
  uint64_t gen = 0;
  sdb_index_generation(&s_change.gens, index_name, &gen);
  return gen;
}

void sdb_change_end(void) {
  change_finish();
  sdb_lock_release();
}
