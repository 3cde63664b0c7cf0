#include "storage/store.h"

#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "index/index.h"
#include "storage/change.h"
#include "storage/files.h"
#include "storage/layout.h"
#include "storage/lock.h"
#include "storage/persist.h"

namespace {

bool s_read_only = false;
// What the indexes loaded reflect: the lock file and slot table they were
// loaded under and the list's generation.
uint64_t s_known_file = 0;
uint64_t s_known_table = 0;
uint64_t s_known_list = 0;
// A load without the lock left out a listed index for want of its
// settings, which may have been in the writing: the list is loaded again
// at the next call, whatever its generation says.
bool s_list_unsure = false;
// The generations a call that reads looks at first; kept here, as they
// take a few kilobytes.
sdb_generations s_seen;

// After the exclusive lock is taken: the header checked (and written anew
// when it is not whole) and read. -1 with a message.
int change_start(void) {
  sdb_change_reset();
  return sdb_generations_prepare(sdb_change_generations(), true);
}

// What the change raised is what this process now holds: the list, and
// every index it raised that was up to date before.
void change_finish(sdb_index_list *indexes) {
  if (sdb_change_list_raised()) s_known_list = sdb_change_generations()->list;
  uint32_t pos = 0;
  uint64_t before;
  while (const char *name = sdb_generations_next_raised(&pos, &before)) {
    const uint32_t i = sdb_index_list_find(indexes, name);
    if (i != SDB_NO_INDEX && indexes->items[i]->gen == before) indexes->items[i]->gen = before + 1;
  }
  sdb_generations_forget_raises();
}

bool list_behind(const sdb_generations &g) {
  return g.file != s_known_file || g.table != s_known_table || g.list != s_known_list ||
         s_list_unsure;
}

// Whether the generations say that the list, or the loaded index named
// name, moved since this process last loaded or changed it (or that this
// process cannot tell without reading more).
bool behind(const sdb_index_list *indexes, const sdb_generations &g, const char *name) {
  if (list_behind(g)) return true;
  if (name == nullptr) return false;
  const uint32_t i = sdb_index_list_find(indexes, name);
  uint64_t gen;
  return i != SDB_NO_INDEX &&
         (!sdb_index_generation(&g, name, &gen) || indexes->items[i]->gen != gen);
}

// Loads again what g says moved: the list (and with it every index that
// moved), or else the index named name. A load made without the lock
// (locked false) that left out an index for want of its settings is not
// taken for the list's generation.
int catch_up(sdb_index_list *indexes, const sdb_generations &g, const char *name, bool may_write,
             bool locked) {
  bool absent = false;
  if (list_behind(g)) {
    // Under another file or table nothing known can be trusted: every
    // index loads.
    const bool reuse = g.file == s_known_file && g.table == s_known_table;
    if (sdb_reload_list(indexes, may_write, &g, reuse, &absent) != 0) return -1;
    s_known_file = g.file;
    s_known_table = g.table;
    s_known_list = g.list;
    s_list_unsure = absent && !locked;
    return 0;
  }
  if (name == nullptr) return 0;
  const uint32_t i = sdb_index_list_find(indexes, name);
  uint64_t gen = 0;
  if (i == SDB_NO_INDEX || (sdb_index_generation(&g, name, &gen) && indexes->items[i]->gen == gen))
    return 0;
  if (sdb_reload_index(indexes, i, may_write, &g, &absent) != 0) return -1;
  s_list_unsure = s_list_unsure || (absent && !locked);
  return 0;
}

}  // namespace

int sdb_store_start(const char *dir, sdb_index_list *indexes) {
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
  sdb_generations *gens = sdb_change_generations();
  if (s_read_only) {
    sdb_change_reset();
    rc = sdb_generations_prepare(gens, false);
  } else {
    rc = change_start();
  }
  if (rc == 0) rc = sdb_load_indexes(indexes, !s_read_only, gens, &absent);
  if (locked) sdb_lock_release();
  if (rc != 0) {
    sdb_index_list_clear(indexes);
    sdb_store_stop();
    return -1;
  }
  s_known_file = gens->file;
  s_known_table = gens->table;
  s_known_list = gens->list;
  s_list_unsure = absent && !locked;
  change_finish(indexes);
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

bool sdb_store_read_only(void) {
  return s_read_only;
}

int sdb_read_begin(sdb_index_list *indexes, const char *index_name) {
  if (!sdb_lock_moved() && (!sdb_generations_read(&s_seen) || !behind(indexes, s_seen, index_name)))
    return 0;
  // Another process changed something this call answers from, or the lock
  // file is not the one at the path any more: load it again, under the lock
  // when it can be had, so that the files read are those of whole changes.
  const sdb_lock_status st = sdb_lock_take(false);
  if (st == SDB_LOCK_BUSY || st == SDB_LOCK_FAILED) return -1;
  int rc = sdb_generations_prepare(&s_seen, false);
  if (rc == 0) rc = catch_up(indexes, s_seen, index_name, false, st == SDB_LOCK_HELD);
  if (st == SDB_LOCK_HELD) sdb_lock_release();
  return rc;
}

int sdb_change_begin(sdb_index_list *indexes, const char *index_name) {
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
  if (change_start() != 0 ||
      catch_up(indexes, *sdb_change_generations(), index_name, true, true) != 0) {
    sdb_generations_forget_raises();
    sdb_lock_release();
    return -1;
  }
  return 0;
}

void sdb_change_end(sdb_index_list *indexes) {
  change_finish(indexes);
  sdb_lock_release();
}
