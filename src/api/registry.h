// The registry of open indexes.
//
// s_indexes[0 .. s_index_count) each hold one index, in registry order: the
// order of the stored list at load, then of creation; deletion moves the
// last index into the freed slot. The registry owns its indexes. The array
// starts at 8 slots and doubles; it never shrinks while initialised.
#pragma once

#include <cstddef>
#include <cstdint>

struct sdb_index;

extern sdb_index **s_indexes;
extern uint32_t s_index_count;
extern uint32_t s_index_cap;

// Appends ix. Returns 0, or -1 with "oom: index list" (registry unchanged,
// ix still the caller's).
int sdb_index_register(sdb_index *ix);

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
// ends the change with sdb_change_end) and is released otherwise.
sdb_index *sdb_index_lookup_for_change(const char *index_name);

// Releases every index and the array; the registry is empty afterwards.
void sdb_registry_clear(void);

// Why a name may not be used as an index directory below the storage
// directory ("index name too long", "index name invalid"), or nullptr when
// it may. Names are relative paths: no empty, "." or ".." component.
const char *sdb_index_name_problem(const char *name);

// The same for a name a new index is to take, which also may not land on
// the store's own files: no first component "_indexes", and no component
// that is a file name of an index directory. (Stored names refused only by
// this still load.)
const char *sdb_new_index_name_problem(const char *name);

// True when the n bytes at s are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool sdb_utf8_valid(const char *s, size_t n);
