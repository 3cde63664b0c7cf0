#include "frame/registry.h"

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame/frame.h"
#include "frame/holders.h"
#include "index/index.h"
#include "searchdb.h"
#include "storage/files.h"
#include "storage/persist.h"

sdb_index **s_indexes = nullptr;
uint32_t s_index_count = 0;
uint32_t s_index_cap = 0;

namespace {

constexpr size_t kNameMax = sizeof(sdb_index::name) - 1;

bool not_initialized() {
  if (s_initialized) return false;
  sdb_error("not initialized");
  return true;
}

// A bad create is undone whole: the record leaves the registry and the
// stored list is written again without it. The first failure's message is
// the one the caller sees.
void abandon_created_index(sdb_index *ix) {
  char message[SDB_ERROR_SIZE];
  memcpy(message, s_error, sizeof message);
  sdb_index_unregister(ix);
  sdb_index_free(ix);
  sdb_save_index_list();
  memcpy(s_error, message, sizeof message);
}

void remove_index_files(const char *name) {
  const char *dir = sdb_path_of(name);
  sdb_mkdir_p(dir);
  char file[SDB_FILE_PATH_SIZE];
  // The settings go first: an index without them is not loaded, so a crash
  // part-way leaves the index deleted rather than present without documents.
  for (const char *fmt :
       {"%s/meta.json", "%s/docs.json", "%s/docs.json.tmp", "%s/docs.json.corrupt"}) {
    snprintf(file, sizeof file, fmt, dir);
    sdb_remove(file);
  }
  sdb_rmdir(dir);
}

}  // namespace

int sdb_index_register(sdb_index *ix) {
  if (s_index_count == s_index_cap) {
    uint32_t cap = s_index_cap ? s_index_cap * 2 : 8;
    void *grown = realloc(s_indexes, cap * sizeof *s_indexes);
    if (!grown) {
      sdb_error("oom: index list");
      return -1;
    }
    s_indexes = static_cast<sdb_index **>(grown);
    s_index_cap = cap;
  }
  s_indexes[s_index_count++] = ix;
  return 0;
}

void sdb_index_unregister(sdb_index *ix) {
  for (uint32_t i = 0; i < s_index_count; i++) {
    if (s_indexes[i] != ix) continue;
    s_indexes[i] = s_indexes[--s_index_count];
    return;
  }
}

sdb_index *sdb_index_find(const char *name) {
  for (uint32_t i = 0; i < s_index_count; i++) {
    if (strcmp(s_indexes[i]->name, name) == 0) return s_indexes[i];
  }
  return nullptr;
}

sdb_index *sdb_index_lookup(const char *index_name) {
  if (not_initialized()) return nullptr;
  if (!index_name) {
    sdb_error("index_name NULL");
    return nullptr;
  }
  sdb_index *ix = sdb_index_find(index_name);
  if (!ix) sdb_error("index '%s' not found", index_name);
  return ix;
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
  if (not_initialized()) return -1;
  if (!name || !*name) {
    sdb_error("index name empty");
    return -1;
  }
  if (const char *problem = sdb_index_name_problem(name)) {
    sdb_error("%s", problem);
    return -1;
  }
  if (!sdb_utf8_valid(name, strlen(name))) {
    sdb_error("index name is not valid UTF-8");
    return -1;
  }
  if (primary_key && !sdb_utf8_valid(primary_key, strlen(primary_key))) {
    sdb_error("primary key is not valid UTF-8");
    return -1;
  }
  if (sdb_index_find(name)) {
    sdb_error("index '%s' already exists", name);
    return -1;
  }
  sdb_index *ix = sdb_index_new(name, primary_key);
  if (!ix) return -1;
  if (sdb_index_register(ix) != 0) {
    sdb_index_free(ix);
    return -1;
  }
  if (sdb_save_index_list() != 0 || sdb_index_persist(ix) != 0) {
    abandon_created_index(ix);
    return -1;
  }
  return 0;
}

SEARCHDB_API int searchdb_index_delete(const char *name) {
  if (not_initialized()) return -1;
  if (!name) {
    sdb_error("name NULL");
    return -1;
  }
  sdb_index *ix = sdb_index_find(name);
  if (!ix) {
    sdb_error("index '%s' not found", name);
    return -1;
  }
  sdb_index_unregister(ix);
  sdb_index_free(ix);
  remove_index_files(name);
  sdb_save_index_list();
  return 0;
}

SEARCHDB_API const char *searchdb_indexes_list_json(void) {
  if (not_initialized()) return "[]";
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
    sdb_error("oom: index list");
    return "[]";
  }
  const char *result = sdb_result_set(text, len);
  free(text);
  return result ? result : "[]";
}

}  // extern "C"
