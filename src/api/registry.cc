#include "api/registry.h"

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/frame.h"
#include "base/holders.h"
#include "index/index.h"
#include "searchdb.h"
#include "storage/layout.h"
#include "storage/persist.h"
#include "storage/store.h"

sdb_index **s_indexes = nullptr;
uint32_t s_index_count = 0;
uint32_t s_index_cap = 0;

namespace {

constexpr size_t kNameMax = sizeof(sdb_index::name) - 1;

// A bad create is undone whole: the record leaves the registry and the
// stored list is written again without it. The first failure's message is
// the one the caller sees.
void abandon_created_index(sdb_index *ix) {
  const sdb_first_failure failure;
  sdb_index_unregister(ix);
  sdb_index_free(ix);
  sdb_save_index_list();
  failure.restore();
}

// Creates and saves the index, the lock held. Returns 0; -1 when it failed
// after the list may have been written; 1 when nothing was written.
int create_index(const char *name, const char *primary_key) {
  if (sdb_index_find(name)) {
    sdb_error(SEARCHDB_EXISTS, "index '%s' already exists", name);
    return 1;
  }
  sdb_index *ix = sdb_index_new(name, primary_key);
  if (!ix) return 1;
  ix->gen = sdb_change_generation(name);
  if (sdb_index_register(ix) != 0) {
    sdb_index_free(ix);
    return 1;
  }
  sdb_notes_begin();
  const sdb_save_result listed = sdb_save_index_list();
  if (listed == SDB_NOT_SAVED || !sdb_set_aside_found(name)) {
    abandon_created_index(ix);
    return -1;
  }
  // A save whose rename happened stands, whatever failed after it; the
  // failure is what the call reports.
  const sdb_first_failure list_failure;
  const sdb_save_result persisted = sdb_index_persist(ix);
  if (persisted == SDB_NOT_SAVED || persisted == SDB_SETTINGS_NOT_SAVED) {
    abandon_created_index(ix);
    return -1;
  }
  if (listed == SDB_SAVED_UNSYNCED) {
    list_failure.restore();
    return -1;
  }
  if (persisted == SDB_SAVED_UNSYNCED) return -1;
  sdb_notes_report();
  return 0;
}

}  // namespace

int sdb_index_register(sdb_index *ix) {
  if (s_index_count == s_index_cap) {
    uint32_t cap = s_index_cap ? s_index_cap * 2 : 8;
    void *grown = realloc(s_indexes, cap * sizeof *s_indexes);
    if (!grown) {
      sdb_error(SEARCHDB_NOMEM, "oom: index list");
      return -1;
    }
    s_indexes = static_cast<sdb_index **>(grown);
    s_index_cap = cap;
  }
  s_indexes[s_index_count++] = ix;
  return 0;
}

uint32_t sdb_index_unregister(sdb_index *ix) {
  for (uint32_t i = 0; i < s_index_count; i++) {
    if (s_indexes[i] != ix) continue;
    s_indexes[i] = s_indexes[--s_index_count];
    return i;
  }
  return s_index_count;
}

void sdb_index_reregister(sdb_index *ix, uint32_t position) {
  // Undoes the move sdb_index_unregister made: the index that took the
  // freed position goes back to the end.
  s_indexes[s_index_count++] = s_indexes[position];
  s_indexes[position] = ix;
}

sdb_index *sdb_index_find(const char *name) {
  for (uint32_t i = 0; i < s_index_count; i++) {
    if (strcmp(s_indexes[i]->name, name) == 0) return s_indexes[i];
  }
  return nullptr;
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
  if ((for_change ? sdb_change_begin(index_name) : sdb_read_begin(index_name)) != 0) return nullptr;
  sdb_index *ix = sdb_index_find(index_name);
  if (!ix) {
    if (for_change) sdb_change_end();
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

void sdb_registry_clear(void) {
  for (uint32_t i = 0; i < s_index_count; i++) sdb_index_free(s_indexes[i]);
  free(s_indexes);
  s_indexes = nullptr;
  s_index_count = 0;
  s_index_cap = 0;
}

const char *sdb_index_name_problem(const char *name) {
  size_t len = strlen(name);
  if (len > kNameMax) return "index name too long";
  // Every '/'-separated component must be a real directory name, so the
  // index stays below the storage directory and owns its directory alone.
  const char *component = name;
  for (;;) {
    const char *end = strchr(component, '/');
    size_t n = end ? static_cast<size_t>(end - component) : strlen(component);
    if (n == 0 || (n == 1 && component[0] == '.') ||
        (n == 2 && component[0] == '.' && component[1] == '.')) {
      return "index name invalid";
    }
    if (!end) return nullptr;
    component = end + 1;
  }
}

const char *sdb_new_index_name_problem(const char *name) {
  if (const char *problem = sdb_index_name_problem(name)) return problem;
  // Nor may it land on the files of the store: the list's directory, or a
  // file name of an index directory.
  const char *component = name;
  for (bool first = true;; first = false) {
    const char *end = strchr(component, '/');
    const size_t n = end ? static_cast<size_t>(end - component) : strlen(component);
    if ((first && n == sizeof SDB_LIST_DIR - 1 && memcmp(component, SDB_LIST_DIR, n) == 0) ||
        sdb_is_layout_name(component, n))
      return "index name invalid";
    if (!end) return nullptr;
    component = end + 1;
  }
}

bool sdb_utf8_valid(const char *s, size_t n) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      i++;
      continue;
    }
    size_t extra;
    uint32_t cp, min;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; k++) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

extern "C" {

SEARCHDB_API int searchdb_index_create(const char *name, const char *primary_key) {
  if (sdb_call_refused()) return -1;
  if (!name || !*name) {
    sdb_error(SEARCHDB_INVALID, "index name empty");
    return -1;
  }
  if (const char *problem = sdb_new_index_name_problem(name)) {
    sdb_error(strcmp(problem, "index name too long") == 0 ? SEARCHDB_TOOBIG : SEARCHDB_INVALID,
              "%s", problem);
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
  if (primary_key && strlen(primary_key) >= sizeof(sdb_index::primary_key)) {
    sdb_error(SEARCHDB_TOOBIG, "primary key too long");
    return -1;
  }
  if (sdb_change_begin(nullptr) != 0) return -1;
  const int rc = create_index(name, primary_key);
  sdb_change_end();
  return rc == 0 ? 0 : -1;
}

SEARCHDB_API int searchdb_index_delete(const char *name) {
  if (sdb_call_refused()) return -1;
  if (!name) {
    sdb_error(SEARCHDB_INVALID, "name NULL");
    return -1;
  }
  if (sdb_change_begin(name) != 0) return -1;
  sdb_index *ix = sdb_index_find(name);
  if (!ix) {
    sdb_change_end();
    sdb_error(SEARCHDB_NOTFOUND, "index '%s' not found", name);
    return -1;
  }
  // The list goes first: until it no longer names the index, nothing of
  // the index may go.
  const uint32_t position = sdb_index_unregister(ix);
  const sdb_save_result saved = sdb_save_index_list();
  if (saved == SDB_NOT_SAVED) {
    sdb_index_reregister(ix, position);
    sdb_change_end();
    return -1;
  }
  const sdb_first_failure list_failure;
  sdb_index_free(ix);
  // Whoever holds the index's documents loads them again, even if this
  // process dies while removing them.
  if (sdb_change_raise(false, name)) sdb_remove_index_files(name);
  sdb_change_end();
  if (saved == SDB_SAVED_UNSYNCED) list_failure.restore();
  return saved == SDB_SAVED ? 0 : -1;
}

SEARCHDB_API const char *searchdb_indexes_list_json(void) {
  if (sdb_call_refused()) return "[]";
  if (sdb_read_begin(nullptr) != 0) return "[]";
  // A list missing an index would be a wrong answer: when memory runs out
  // anywhere the call fails instead.
  sdb_mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val *arr = doc ? yyjson_mut_arr(doc.get()) : nullptr;
  bool ok = arr != nullptr;
  if (ok) yyjson_mut_doc_set_root(doc.get(), arr);
  for (uint32_t i = 0; ok && i < s_index_count; i++) {
    yyjson_mut_val *obj = yyjson_mut_obj(doc.get());
    ok = obj && yyjson_mut_obj_add_str(doc.get(), obj, "name", s_indexes[i]->name) &&
         yyjson_mut_obj_add_str(doc.get(), obj, "primary_key", s_indexes[i]->primary_key) &&
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
