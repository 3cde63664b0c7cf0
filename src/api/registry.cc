#include "api/registry.h"

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/frame.h"
#include "base/holders.h"
#include "base/utf8.h"
#include "index/index.h"
#include "searchdb.h"
#include "storage/change.h"
#include "storage/layout.h"
#include "storage/persist.h"
#include "storage/store.h"

sdb_index_list s_registry = {};

namespace {

// A bad create is undone whole: the record leaves the registry and the
// stored list is written again without it. The first failure's message is
// the one the caller sees.
void abandon_created_index(sdb_index *ix) {
  const sdb_first_failure failure;
  sdb_index_unregister(ix);
  sdb_index_free(ix);
  sdb_save_index_list(&s_registry);
  failure.restore();
}

// Creates and saves the index, the lock held. False, with the message
// set, when it failed.
bool create_index(const char *name, const char *primary_key) {
  if (sdb_index_find(name)) {
    sdb_error(SEARCHDB_EXISTS, "index '%s' already exists", name);
    return false;
  }
  sdb_index *ix = sdb_index_new(name, primary_key);
  if (!ix) return false;
  ix->gen = sdb_change_generation(name);
  if (!sdb_index_list_add(&s_registry, ix)) {
    sdb_index_free(ix);
    sdb_error(SEARCHDB_NOMEM, "oom: index list");
    return false;
  }
  sdb_notes_begin();
  const sdb_save_result listed = sdb_save_index_list(&s_registry);
  if (listed == SDB_NOT_SAVED || !sdb_set_aside_found(name)) {
    abandon_created_index(ix);
    return false;
  }
  // A save whose rename happened stands, whatever failed after it; the
  // failure is what the call reports.
  const sdb_first_failure list_failure;
  const sdb_save_result persisted = sdb_index_persist(ix);
  if (persisted == SDB_NOT_SAVED || persisted == SDB_SETTINGS_NOT_SAVED) {
    abandon_created_index(ix);
    return false;
  }
  if (listed == SDB_SAVED_UNSYNCED) {
    list_failure.restore();
    return false;
  }
  if (persisted == SDB_SAVED_UNSYNCED) return false;
  sdb_notes_report();
  return true;
}

}  // namespace

uint32_t sdb_index_unregister(sdb_index *ix) {
  for (uint32_t i = 0; i < s_registry.count; i++) {
    if (s_registry.items[i] != ix) continue;
    s_registry.items[i] = s_registry.items[--s_registry.count];
    return i;
  }
  return s_registry.count;
}

void sdb_index_reregister(sdb_index *ix, uint32_t position) {
  // Undoes the move sdb_index_unregister made: the index that took the
  // freed position goes back to the end.
  s_registry.items[s_registry.count++] = s_registry.items[position];
  s_registry.items[position] = ix;
}

sdb_index *sdb_index_find(const char *name) {
  const uint32_t i = sdb_index_list_find(&s_registry, name);
  return i == SDB_NO_INDEX ? nullptr : s_registry.items[i];
}

namespace {

// The checks every index-naming export makes first, in order, then the
// index once the call has caught up with the store (and, for a change,
// holds its lock). nullptr with the message set.
sdb_index *lookup(const char *index_name, bool for_change) {
  if (sdb_call_refused()) return nullptr;
  if (!index_name) {
    sdb_error(SEARCHDB_INVALID, "index_name NULL");
    return nullptr;
  }
  if ((for_change ? sdb_change_begin(&s_registry, index_name)
                  : sdb_read_begin(&s_registry, index_name)) != 0)
    return nullptr;
  sdb_index *ix = sdb_index_find(index_name);
  if (!ix) {
    if (for_change) sdb_change_end(&s_registry);
    sdb_error(SEARCHDB_NOTFOUND, "index '%s' not found", index_name);
  }
  return ix;
}

}  // namespace

sdb_index *sdb_index_lookup(const char *index_name) {
  return lookup(index_name, false);
}

sdb_index *sdb_index_lookup_for_change(const char *index_name) {
  return lookup(index_name, true);
}

void sdb_index_change_end(void) {
  sdb_change_end(&s_registry);
}

void sdb_registry_clear(void) {
  sdb_index_list_clear(&s_registry);
}

extern "C" {

SEARCHDB_API int searchdb_index_create(const char *name, const char *primary_key) {
  if (sdb_call_refused()) return -1;
  if (!name || !*name) {
    sdb_error(SEARCHDB_INVALID, "index name empty");
    return -1;
  }
  if (const char *problem = sdb_new_index_name_problem(name)) {
    const bool too_long = sdb_index_name_check(name, true).fault == SDB_NAME_TOO_LONG;
    sdb_error(too_long ? SEARCHDB_TOOBIG : SEARCHDB_INVALID, "%s", problem);
    return -1;
  }
  if (!sdb_utf8_valid(name, strlen(name))) {
    sdb_error(SEARCHDB_INVALID, "index name is not valid UTF-8");
    return -1;
  }
  if (primary_key && !sdb_utf8_valid(primary_key, strlen(primary_key))) {
    sdb_error(SEARCHDB_INVALID, "primary key is not valid UTF-8");
    return -1;
  }
  // A key cut to fit would refuse every document that uses the real one.
  if (primary_key && strlen(primary_key) > SDB_PRIMARY_KEY_MAX) {
    sdb_error(SEARCHDB_TOOBIG, "primary key too long");
    return -1;
  }
  if (sdb_change_begin(&s_registry, nullptr) != 0) return -1;
  const bool created = create_index(name, primary_key);
  sdb_change_end(&s_registry);
  return created ? 0 : -1;
}

SEARCHDB_API int searchdb_index_delete(const char *name) {
  if (sdb_call_refused()) return -1;
  if (!name) {
    sdb_error(SEARCHDB_INVALID, "name NULL");
    return -1;
  }
  if (sdb_change_begin(&s_registry, name) != 0) return -1;
  sdb_index *ix = sdb_index_find(name);
  if (!ix) {
    sdb_change_end(&s_registry);
    sdb_error(SEARCHDB_NOTFOUND, "index '%s' not found", name);
    return -1;
  }
  // The list goes first: until it no longer names the index, nothing of
  // the index may go.
  const uint32_t position = sdb_index_unregister(ix);
  const sdb_save_result saved = sdb_save_index_list(&s_registry);
  if (saved == SDB_NOT_SAVED) {
    sdb_index_reregister(ix, position);
    sdb_change_end(&s_registry);
    return -1;
  }
  const sdb_first_failure list_failure;
  sdb_index_free(ix);
  // Whoever holds the index's documents loads them again, even if this
  // process dies while removing them.
  if (sdb_change_raise(false, name)) sdb_remove_index_files(name);
  sdb_change_end(&s_registry);
  if (saved == SDB_SAVED_UNSYNCED) list_failure.restore();
  return saved == SDB_SAVED ? 0 : -1;
}

SEARCHDB_API const char *searchdb_indexes_list_json(void) {
  if (sdb_call_refused()) return "[]";
  if (sdb_read_begin(&s_registry, nullptr) != 0) return "[]";
  // A list missing an index would be a wrong answer: when memory runs out
  // anywhere the call fails instead.
  sdb_mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val *arr = doc ? yyjson_mut_arr(doc.get()) : nullptr;
  bool ok = arr != nullptr;
  if (ok) yyjson_mut_doc_set_root(doc.get(), arr);
  for (uint32_t i = 0; ok && i < s_registry.count; i++) {
    yyjson_mut_val *obj = yyjson_mut_obj(doc.get());
    ok = obj && yyjson_mut_obj_add_str(doc.get(), obj, "name", s_registry.items[i]->name) &&
         yyjson_mut_obj_add_str(doc.get(), obj, "primary_key", s_registry.items[i]->primary_key) &&
         yyjson_mut_arr_append(arr, obj);
  }
  size_t len = 0;
  char *text = ok ? yyjson_mut_write_opts(doc.get(), 0, nullptr, &len, nullptr) : nullptr;
  if (!text) {
    sdb_error(SEARCHDB_NOMEM, "oom: index list");
    return "[]";
  }
  const char *result = sdb_result_set(text, len);
  free(text);
  return result ? result : "[]";
}

}  // extern "C"
