// The change in progress, under the store's exclusive lock: the generations
// it found when it took the lock, raised in place before it writes (lock.h
// says why first). The store begins and ends changes (store.h); whatever
// writes a file of the store raises first through here.
#pragma once

#include <cstdint>

#include "storage/lock.h"

// A new change: nothing raised yet. The generations are the caller's to
// prepare (sdb_generations_prepare on sdb_change_generations()).
void sdb_change_reset(void);

// The generations of the change in progress (or of the start).
sdb_generations *sdb_change_generations(void);

// Whether the change raised the list's generation.
bool sdb_change_list_raised(void);

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
