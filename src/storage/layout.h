// What a store keeps where, relative to its directory, and how its names
// are told apart: the one home of every stored file name (persist.cc
// describes the files), of the forms a file takes on its way (written,
// set aside), and of the rule an index name must follow to be a directory
// of the store. The command-line tool links this code, so that it reads and
// explains the store by the very same names and rules.
#pragma once

#include <cstddef>

// The list's directory, reserved: no index name may begin with it.
inline constexpr char SDB_LIST_DIR[] = "_indexes";
inline constexpr char SDB_LIST_FILE[] = "_indexes/list.json";
inline constexpr char SDB_LOCK_FILE[] = "_indexes/lock";
// The files of an index's directory, "<name>/<file>".
inline constexpr char SDB_SETTINGS_FILE[] = "meta.json";
inline constexpr char SDB_DOCUMENTS_FILE[] = "docs.json";
// The derived file: a cache of what a search needs, built from docs.json
// (storage/derived.h). Deleting it loses nothing.
inline constexpr char SDB_DERIVED_FILE[] = "docs.idx";
// The record of the changes made to docs.json since, for a derived file
// describing an older docs.json to catch up with them without reading
// every entry (storage/change_record.h). A cache too: deleting it loses
// nothing.
inline constexpr char SDB_CHANGES_FILE[] = "docs.changes";
// The columns requests built, kept for later processes
// (storage/column_file.h). A cache too.
inline constexpr char SDB_COLUMNS_FILE[] = "docs.cols";
// What a file's name gains: while it is being replaced ("<file>.tmp"); set
// aside because it did not load whole, or because it stood where a new
// index was written (then ".2", ".3", ... when the name is taken).
inline constexpr char SDB_TEMPORARY_SUFFIX[] = ".tmp";
inline constexpr char SDB_DAMAGED_SUFFIX[] = ".corrupt";
inline constexpr char SDB_FOUND_SUFFIX[] = ".found";

enum sdb_file_kind {
  SDB_FILE_OTHER,  // no file of the store
  SDB_FILE_LIST,
  SDB_FILE_LOCK,
  SDB_FILE_SETTINGS,
  SDB_FILE_DOCUMENTS,
  SDB_FILE_DERIVED,
  SDB_FILE_CHANGES,
  SDB_FILE_COLUMNS,
};

enum sdb_file_form {
  SDB_FORM_STORED,
  SDB_FORM_TEMPORARY,  // "<file>.tmp"
  SDB_FORM_DAMAGED,    // "<file>.corrupt", "<file>.corrupt.<digits>"
  SDB_FORM_FOUND,      // "<file>.found", "<file>.found.<digits>"
};

struct sdb_file_type {
  sdb_file_kind kind;
  sdb_file_form form;
};

// What the directory entry name (n bytes) is: a file of the store in one of
// the forms the library gives it, or SDB_FILE_OTHER. in_list_dir tells
// whether it lies in the list's directory (the list and the lock) or in an
// index's (its settings, documents, derived file, change record and
// columns file).
sdb_file_type sdb_file_type_of(const char *name, size_t n, bool in_list_dir);

// Whether a file of that type is one the library set aside, to be
// reviewed and removed by hand.
inline bool sdb_file_set_aside(sdb_file_type t) {
  return t.kind != SDB_FILE_OTHER && (t.form == SDB_FORM_DAMAGED || t.form == SDB_FORM_FOUND);
}

// The rules an index name follows, in the order they are checked: the name
// is a relative path below the store that its index owns alone.
enum sdb_name_fault {
  SDB_NAME_OK,
  SDB_NAME_TOO_LONG,    // more than SDB_INDEX_NAME_MAX bytes
  SDB_NAME_EMPTY,       // no byte at all
  SDB_NAME_EDGE_SLASH,  // begins or ends with '/'
  SDB_NAME_LIST_DIR,    // (a new name) the first part is the list's directory
  SDB_NAME_EMPTY_PART,  // two slashes in a row
  SDB_NAME_DOT_PART,    // a part "." or "..", which would leave the index's place
  SDB_NAME_FILE_PART,   // (a new name) a part is a file name of an index directory
};

struct sdb_name_check {
  sdb_name_fault fault;
  size_t part;  // where the part at fault begins in the name, and its length
  size_t part_len;
};

// The first rule name breaks: as the name of an index to create (for_new)
// or as a stored one, which only has to stay below the store (a stored name
// refused only by the rules of new names still loads).
sdb_name_check sdb_index_name_check(const char *name, bool for_new);

// The library's message for a name that breaks a rule ("index name too
// long", "index name invalid"), or nullptr when it breaks none.
const char *sdb_index_name_problem(const char *name);
const char *sdb_new_index_name_problem(const char *name);
