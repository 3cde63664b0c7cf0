// The store as several processes share it: a call that changes it takes
// the lock and first catches up with what other processes saved; a call
// that reads catches up first as well, when the generations say that
// anything it answers from has moved (storage/lock.h).
#pragma once

#include <cstdint>

// Opens the storage directory, takes the lock, sets aside and cleans what
// needs it, loads every index and releases the lock. Where the lock cannot
// be had (a read-only file system), the store loads read-only and every
// change fails. Returns 0, or -1 with a message and nothing open.
int sdb_store_start(const char *dir);

// Releases the store.
void sdb_store_stop(void);

// Before a call that reads: brings the index list (and the registered index
// named index_name, when it is not nullptr) up to date with what other
// processes saved, under the shared lock where it can be had. Returns 0, or
// -1 with a message and everything as it was.
int sdb_read_begin(const char *index_name);

// Before a change: takes the lock exclusively and brings the list and the
// index named index_name up to date. Returns 0, or -1 with a message and
// the lock not held.
int sdb_change_begin(const char *index_name);

// Before the change in progress (or the start) writes a file: raises, in
// the lock file, the generation of the list (when list) and of the index
// named index_name (when not nullptr), once per call. Raised first, so that
// a process that dies half-way through a save still makes every other one
// load again what it may have written. False, with "lock %s: %s", when
// they could not be written: nothing may be written then.
bool sdb_change_raise(bool list, const char *index_name);

// The generation an index named index_name, created by the change in
// progress, starts with: the one its name had when the lock was taken (a
// name deleted before goes on from its count).
uint64_t sdb_change_generation(const char *index_name);

// Ends a change begun with sdb_change_begin and releases the lock.
void sdb_change_end(void);
