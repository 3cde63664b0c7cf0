#include "storage/layout.h"

#include <cstring>

#include "base/limits.h"

namespace {

// The files of the store, with the forms the library gives each.
struct stored_file {
  const char *name;
  sdb_file_kind kind;
  bool in_list_dir;
  bool replaced;   // written as "<file>.tmp", then renamed
  bool set_aside;  // may be set aside as damaged
  bool found;      // may be set aside as found where a new index went
};

constexpr stored_file kFiles[] = {
    {SDB_LIST_FILE + sizeof SDB_LIST_DIR, SDB_FILE_LIST, true, true, true, false},
    {SDB_LOCK_FILE + sizeof SDB_LIST_DIR, SDB_FILE_LOCK, true, false, false, false},
    {SDB_SETTINGS_FILE, SDB_FILE_SETTINGS, false, true, true, true},
    {SDB_DOCUMENTS_FILE, SDB_FILE_DOCUMENTS, false, true, true, true},
    {SDB_DERIVED_FILE, SDB_FILE_DERIVED, false, true, false, false},
    {SDB_CHANGES_FILE, SDB_FILE_CHANGES, false, false, false, false},
    {SDB_COLUMNS_FILE, SDB_FILE_COLUMNS, false, true, false, false},
};

bool is(const char *s, size_t n, const char *word) {
  return n == strlen(word) && memcmp(s, word, n) == 0;
}

// Whether rest (n bytes) is suffix, alone or followed by "." and digits.
bool numbered(const char *rest, size_t n, const char *suffix) {
  const size_t len = strlen(suffix);
  if (n < len || memcmp(rest, suffix, len) != 0) return false;
  if (n == len) return true;
  if (n < len + 2 || rest[len] != '.') return false;
  for (size_t i = len + 1; i < n; i++)
    if (rest[i] < '0' || rest[i] > '9') return false;
  return true;
}

}  // namespace

sdb_file_type sdb_file_type_of(const char *name, size_t n, bool in_list_dir) {
  for (const stored_file &f : kFiles) {
    const size_t base = strlen(f.name);
    if (f.in_list_dir != in_list_dir || n < base || memcmp(name, f.name, base) != 0) continue;
    const char *rest = name + base;
    const size_t rest_len = n - base;
    if (rest_len == 0) return {f.kind, SDB_FORM_STORED};
    if (f.replaced && is(rest, rest_len, SDB_TEMPORARY_SUFFIX)) return {f.kind, SDB_FORM_TEMPORARY};
    if (f.set_aside && numbered(rest, rest_len, SDB_DAMAGED_SUFFIX))
      return {f.kind, SDB_FORM_DAMAGED};
    if (f.found && numbered(rest, rest_len, SDB_FOUND_SUFFIX)) return {f.kind, SDB_FORM_FOUND};
  }
  return {SDB_FILE_OTHER, SDB_FORM_STORED};
}

sdb_name_check sdb_index_name_check(const char *name, bool for_new) {
  const size_t len = strlen(name);
  if (len > SDB_INDEX_NAME_MAX) return {SDB_NAME_TOO_LONG, 0, len};
  if (len == 0) return {SDB_NAME_EMPTY, 0, 0};
  if (name[0] == '/' || name[len - 1] == '/') return {SDB_NAME_EDGE_SLASH, 0, len};
  const char *first_end = strchr(name, '/');
  const size_t first_len = first_end ? static_cast<size_t>(first_end - name) : len;
  if (for_new && is(name, first_len, SDB_LIST_DIR)) return {SDB_NAME_LIST_DIR, 0, first_len};
  // Every part must be a real directory name, so the index stays below the
  // storage directory and owns its directory alone; a new one may not land
  // on the files of an index directory either.
  for (const char *part = name;;) {
    const char *end = strchr(part, '/');
    const size_t n = end ? static_cast<size_t>(end - part) : strlen(part);
    const size_t at = static_cast<size_t>(part - name);
    if (n == 0) return {SDB_NAME_EMPTY_PART, at, 0};
    if (is(part, n, ".") || is(part, n, "..")) return {SDB_NAME_DOT_PART, at, n};
    if (for_new && sdb_file_type_of(part, n, false).kind != SDB_FILE_OTHER)
      return {SDB_NAME_FILE_PART, at, n};
    if (!end) return {SDB_NAME_OK, 0, 0};
    part = end + 1;
  }
}

namespace {

const char *problem_of(sdb_name_fault fault) {
  if (fault == SDB_NAME_OK) return nullptr;
  return fault == SDB_NAME_TOO_LONG ? "index name too long" : "index name invalid";
}

}  // namespace

const char *sdb_index_name_problem(const char *name) {
  return problem_of(sdb_index_name_check(name, false).fault);
}

const char *sdb_new_index_name_problem(const char *name) {
  return problem_of(sdb_index_name_check(name, true).fault);
}
