// The registry of open indexes, and the index operations of the exports.
//
// s_registry.items[0 .. count) each hold one index, in registry order: the
// order of the stored list at load, then of creation; deletion moves the
// last index into the freed slot. The registry owns its indexes; the store
// fills and updates them through the list it is handed (storage/store.h).
// The array starts at 8 slots and doubles; it never shrinks while
// initialised.
#pragma once

#include <cstdint>

#include "index/index.h"

extern sdb_index_list s_registry;

// Removes ix from the registry (the last index moves into its slot) without
// releasing it. Returns the position it had.
uint32_t sdb_index_unregister(sdb_index *ix);

// Puts ix back at the position sdb_index_unregister gave, as it was.
void sdb_index_reregister(sdb_index *ix, uint32_t position);

// First registered index whose name equals name byte for byte, or nullptr.
sdb_index *sdb_index_find(const char *name);

// The index an export that reads names, after the checks such exports make
// first, in this order: sdb_call_refused, "index_name NULL", catching up
// with what other processes saved, "index '%s' not found". nullptr, with
// the first failing check's message, when one fails.
sdb_index *sdb_index_lookup(const char *index_name);

// The same for an export that changes the index: it catches up under the
// store's lock, which stays held when the index is returned (the caller
// ends the change with sdb_index_change_end) and is released otherwise.
sdb_index *sdb_index_lookup_for_change(const char *index_name);

// Ends the change an export began.
void sdb_index_change_end(void);

// Releases every index and the array; the registry is empty afterwards.
void sdb_registry_clear(void);
