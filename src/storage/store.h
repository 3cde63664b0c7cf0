// The store as several processes share it: a call that changes it takes
// the lock and first catches up with what other processes saved; a call
// that reads catches up first as well, when the generations say that
// anything it answers from has moved (storage/lock.h).
#pragma once

// Opens the storage directory, takes the lock, sets aside and cleans what
// needs it, loads every index and releases the lock. Where the lock cannot
// be had (a read-only file system), the store loads read-only and every
// change fails. Returns 0, or -1 with a message and nothing open.
int sdb_store_start(const char *dir);

// Releases the store.
void sdb_store_stop(void);

// Before a call that reads: brings the index list (and the registered index
// named index_name, when it is not nullptr) up to date with what other
// processes saved. Returns 0, or -1 with a message and everything as it was.
int sdb_read_begin(const char *index_name);

// Before a change: takes the lock exclusively and brings the list and the
// index named index_name up to date. Returns 0, or -1 with a message and
// the lock not held.
int sdb_change_begin(const char *index_name);

// After a change begun with sdb_change_begin: raises the generations of
// what it changed (the list when list_changed, the index named index_name
// when it is not nullptr) and releases the lock. Returns 0, or -1 with
// "lock %s: %s" when the generations could not be written.
int sdb_change_end(bool list_changed, const char *index_name);
