#include "storage/store.h"

#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "frame/registry.h"
#include "index/index.h"
#include "storage/files.h"
#include "storage/layout.h"
#include "storage/lock.h"
#include "storage/persist.h"

namespace {

bool s_read_only = false;
uint64_t s_known_list = 0;  // the list generation the registry reflects

// The change in progress: the generations as it found them when it took
// the lock, raised in place as it goes, and what it raised.
struct {
  sdb_generations gens;
  bool list_raised;
  bool raised[SDB_GEN_BUCKETS];
  uint64_t was[SDB_GEN_BUCKETS];  // a raised bucket's generation before
} s_change;

void change_start(const sdb_generations &g) {
  s_change = {};
  s_change.gens = g;
}

// What the change raised is what this process now holds: the list, and
// every index of a raised bucket that was up to date before.
void change_finish(void) {
  if (s_change.list_raised) s_known_list = s_change.gens.list;
  for (uint32_t i = 0; i < s_index_count; i++) {
    sdb_index *ix = s_indexes[i];
    const uint32_t b = sdb_gen_bucket(ix->name);
    if (s_change.raised[b] && ix->gen == s_change.was[b]) ix->gen = s_change.gens.index[b];
  }
}

int find_position(const char *name) {
  for (uint32_t i = 0; i < s_index_count; i++)
    if (strcmp(s_indexes[i]->name, name) == 0) return static_cast<int>(i);
  return -1;
}

// Whether the generations say that the list, or the registered index named
// name, moved since this process last loaded or changed it.
bool behind(const sdb_generations &g, const char *name) {
  if (g.list != s_known_list) return true;
  if (name == nullptr) return false;
  const int i = find_position(name);
  return i >= 0 && s_indexes[i]->gen != g.index[sdb_gen_bucket(name)];
}

int catch_up(const sdb_generations &g, const char *name, bool may_write) {
  if (g.list != s_known_list) {
    if (sdb_reload_list(may_write, &g) != 0) return -1;
    s_known_list = g.list;
    return 0;
  }
  if (name == nullptr) return 0;
  const int i = find_position(name);
  if (i < 0 || s_indexes[i]->gen == g.index[sdb_gen_bucket(name)]) return 0;
  return sdb_reload_index(static_cast<uint32_t>(i), may_write, &g);
}

}  // namespace

int sdb_store_start(const char *dir) {
  if (sdb_store_open(dir) != 0) return -1;
  sdb_make_dirs(SDB_LIST_DIR);
  if (sdb_lock_open() != 0) {
    sdb_store_stop();
    return -1;
  }
  const sdb_lock_status st = sdb_lock_take(true);
  if (st == SDB_LOCK_BUSY) {
    sdb_store_stop();
    return -1;
  }
  s_read_only = st == SDB_LOCK_UNAVAILABLE;
  sdb_generations g;
  sdb_generations_read(&g);
  change_start(g);
  sdb_notes_begin();
  int rc = sdb_load_indexes(!s_read_only, &g);
  // A new lock file gets its generations written once, under the lock, so
  // that a later change only ever overwrites them in place.
  if (rc == 0 && !s_read_only && !sdb_generations_write(&s_change.gens)) {
    sdb_error("%s", sdb_lock_reason());
    rc = -1;
  }
  if (!s_read_only) sdb_lock_release();
  if (rc != 0) {
    sdb_registry_clear();
    sdb_store_stop();
    return -1;
  }
  s_known_list = g.list;
  change_finish();
  const bool noted = sdb_notes_report();
  if (s_read_only) {
    char message[SDB_ERROR_SIZE];
    snprintf(message, sizeof message, "%s", noted ? s_error : "");
    sdb_error("%s%sloaded read-only: %s", message, noted ? "; " : "", sdb_lock_reason());
  }
  return 0;
}

void sdb_store_stop(void) {
  sdb_lock_close();
  sdb_store_close();
  s_read_only = false;
  s_known_list = 0;
}

int sdb_read_begin(const char *index_name) {
  sdb_generations g;
  if (!sdb_generations_read(&g) || !behind(g, index_name)) return 0;
  // Another process changed something this call answers from: load it
  // again, under the lock when it can be had, so that the files read are
  // those of whole changes.
  const sdb_lock_status st = sdb_lock_take(false);
  if (st == SDB_LOCK_BUSY) return -1;
  if (st == SDB_LOCK_HELD) sdb_generations_read(&g);
  const int rc = catch_up(g, index_name, false);
  if (st == SDB_LOCK_HELD) sdb_lock_release();
  return rc;
}

int sdb_change_begin(const char *index_name) {
  if (s_read_only) {
    sdb_error("%s", sdb_lock_reason());
    return -1;
  }
  const sdb_lock_status st = sdb_lock_take(true);
  if (st == SDB_LOCK_BUSY) return -1;
  if (st == SDB_LOCK_UNAVAILABLE) {
    sdb_error("%s", sdb_lock_reason());
    return -1;
  }
  sdb_generations g;
  sdb_generations_read(&g);
  change_start(g);
  if (catch_up(g, index_name, true) != 0) {
    sdb_lock_release();
    return -1;
  }
  return 0;
}

bool sdb_change_raise(bool list, const char *index_name) {
  sdb_generations &g = s_change.gens;
  if (list && !s_change.list_raised) {
    g.list++;
    s_change.list_raised = true;
    if (!sdb_generations_write_changed(&g, true, -1)) {
      sdb_error("%s", sdb_lock_reason());
      return false;
    }
  }
  if (index_name == nullptr) return true;
  const uint32_t b = sdb_gen_bucket(index_name);
  if (s_change.raised[b]) return true;
  s_change.was[b] = g.index[b]++;
  s_change.raised[b] = true;
  if (!sdb_generations_write_changed(&g, false, static_cast<int>(b))) {
    sdb_error("%s", sdb_lock_reason());
    return false;
  }
  return true;
}

uint64_t sdb_change_generation(const char *index_name) {
  return s_change.gens.index[sdb_gen_bucket(index_name)];
}

void sdb_change_end(void) {
  change_finish();
  sdb_lock_release();
}
