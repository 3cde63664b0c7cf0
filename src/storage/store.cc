#include "storage/store.h"

#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "frame/registry.h"
#include "index/index.h"
#include "storage/files.h"
#include "storage/lock.h"
#include "storage/persist.h"

namespace {

bool s_read_only = false;
uint64_t s_known_list = 0;      // the list generation the registry reflects
sdb_generations s_change_gens;  // read when the change in progress took the lock

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
  sdb_make_dirs("_indexes");
  sdb_lock_open();
  const sdb_lock_status st = sdb_lock_take(true);
  if (st == SDB_LOCK_BUSY) {
    sdb_store_stop();
    return -1;
  }
  s_read_only = st == SDB_LOCK_UNAVAILABLE;
  sdb_generations g;
  sdb_generations_read(&g);
  sdb_notes_begin();
  int rc = sdb_load_indexes(!s_read_only, &g);
  // A new lock file gets its generations written once, under the lock, so
  // that a later change only ever overwrites them in place.
  if (rc == 0 && !s_read_only && !sdb_generations_write(&g)) rc = -1;
  if (!s_read_only) sdb_lock_release();
  if (rc != 0) {
    sdb_registry_clear();
    sdb_store_stop();
    return -1;
  }
  s_known_list = g.list;
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
  sdb_generations_read(&s_change_gens);
  if (catch_up(s_change_gens, index_name, true) != 0) {
    sdb_lock_release();
    return -1;
  }
  return 0;
}

int sdb_change_end(bool list_changed, const char *index_name) {
  sdb_generations &g = s_change_gens;
  if (list_changed) s_known_list = ++g.list;
  int bucket = -1;
  if (index_name != nullptr) {
    const uint32_t b = sdb_gen_bucket(index_name);
    bucket = static_cast<int>(b);
    const uint64_t was = g.index[b]++;
    // Indexes of the same bucket that were up to date still are: the only
    // change the raise stands for is this one.
    for (uint32_t i = 0; i < s_index_count; i++) {
      sdb_index *ix = s_indexes[i];
      if (sdb_gen_bucket(ix->name) == b && (ix->gen == was || strcmp(ix->name, index_name) == 0))
        ix->gen = g.index[b];
    }
  }
  const bool written = sdb_generations_write_changed(&g, list_changed, bucket);
  sdb_lock_release();
  if (!written) {
    sdb_error("%s", sdb_lock_reason());
    return -1;
  }
  return 0;
}
