// The storage directory's layout and files: the index list, each index's
// settings and documents, and the loaders.
#pragma once

#include <cstddef>
#include <cstdint>

struct sdb_index;
struct sdb_index_list;
struct sdb_generations;
struct sdb_slot_change;

// What a save did. Anything but SDB_SAVED leaves a message.
enum sdb_save_result {
  SDB_SAVED = 0,
  SDB_NOT_SAVED = -1,      // the file keeps its previous content
  SDB_SAVED_UNSYNCED = 2,  // the file holds the new content, but its directory could not be flushed
  SDB_SETTINGS_NOT_SAVED = 1,  // (sdb_index_persist) docs.json saved, meta.json not
};

// Rewrites "_indexes/list.json" from the names of indexes, in order.
sdb_save_result sdb_save_index_list(const sdb_index_list *indexes);

// Rewrites the index's "docs.json", then its "meta.json" (after a docs.json
// that could not be replaced, nothing else is written). The settings never
// change after creation, so a document change only cares about docs.json.
// changes[0 .. count) are the slots the change touched, ascending, each as
// it stood before (nullptr when not known): what the change record notes
// (change_record.h).
sdb_save_result sdb_index_persist(sdb_index *ix, const sdb_slot_change *changes = nullptr,
                                  uint32_t count = 0);

// Sets aside what lies where a new index's files are about to be written
// ("<file>.found", noted): they may be documents of an index the list no
// longer names. False when that could not be done (message set).
bool sdb_set_aside_found(const char *name);

// Removes what the index's directory holds of the stored layout (its
// files, their temporaries and set-aside copies; nested indexes stay), then
// the directory when it is empty. The settings go first: an index without
// them is not loaded, so a crash part-way leaves the index deleted rather
// than present without documents.
void sdb_remove_index_files(const char *name);

// Loads every index the stored list names into indexes (empty), in list
// order, each with its generation in g. With may_write (the store is
// locked for writing), stale temporary files go, and what did not load whole
// is set aside before anything can write over it: a damaged list (the list
// is then rebuilt from the index directories and saved), damaged settings
// (saved again with the key they gave), damaged documents, and documents
// with entries that could not be taken (saved again with those that could).
// *absent tells whether a listed index was left out for want of its
// settings (they may yet be in the writing, for a load without the lock).
// Returns 0, or -1 with a message when a stored file could not be read or
// memory ran out (nothing stays loaded).
int sdb_load_indexes(sdb_index_list *indexes, bool may_write, const sdb_generations *g,
                     bool *absent);

// Loads the list again, keeping (with reuse) the indexes whose generation
// did not move and loading the others afresh; with may_write and absent as
// above. Returns 0, or -1 with a message and indexes as they were.
int sdb_reload_list(sdb_index_list *indexes, bool may_write, const sdb_generations *g, bool reuse,
                    bool *absent);

// Loads the index at position i of indexes again, afresh (it leaves the
// list when its settings are gone: *absent then). Returns 0, or -1 with a
// message and the index as it was.
int sdb_reload_index(sdb_index_list *indexes, uint32_t i, bool may_write, const sdb_generations *g,
                     bool *absent);

// What loading set aside, recovered and passed over since sdb_notes_begin,
// put into the last-error text by sdb_notes_report, joined by "; ": "set
// aside %u file(s): <from> -> <to>, ...", "%u indexes recovered" and
// "passed over %u listed name(s): <name> (repeated|not a directory), ...".
// Nothing is written when there is nothing to report. The code is
// SEARCHDB_CORRUPT when anything damaged is noted (a file set aside as
// ".corrupt", a list recovered, a name passed over), else SEARCHDB_EXISTS
// (files found where a new index was written).
void sdb_notes_begin(void);
void sdb_notes_add(const char *from, const char *to, bool damaged);
bool sdb_notes_report(void);
