// The store as several processes share it: a call that changes it takes
// the lock and first catches up with what other processes saved; a call
// that reads catches up first as well, when the generations say that
// anything it answers from has moved (storage/lock.h).
//
// The loaded indexes are the caller's (the registry's): the store is handed
// the list and fills and updates it, never holding one of its own.
#pragma once

#include <cstdint>

struct sdb_index_list;

// Opens the storage directory, takes the lock, sets aside and cleans what
// needs it, loads every index into indexes (empty) and releases the lock.
// Where the lock cannot be had (a read-only file system), the store loads
// read-only and every change fails. Returns 0, or -1 with a message,
// nothing open and indexes empty.
int sdb_store_start(const char *dir, sdb_index_list *indexes);

// Releases the store.
void sdb_store_stop(void);

// Whether the store loaded read-only (no change can be written).
bool sdb_store_read_only(void);

// Before a call that reads: brings the index list (and the loaded index
// named index_name, when it is not nullptr) up to date with what other
// processes saved, under the shared lock where it can be had. Returns 0, or
// -1 with a message and everything as it was.
int sdb_read_begin(sdb_index_list *indexes, const char *index_name);

// Before a change: takes the lock exclusively and brings the list and the
// index named index_name up to date. Returns 0, or -1 with a message and
// the lock not held. Files are written after sdb_change_raise (change.h).
int sdb_change_begin(sdb_index_list *indexes, const char *index_name);

// Ends a change begun with sdb_change_begin and releases the lock.
void sdb_change_end(sdb_index_list *indexes);
