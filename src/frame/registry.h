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
// releasing it.
void sdb_index_unregister(sdb_index *ix);

// First registered index whose name equals name byte for byte, or nullptr.
sdb_index *sdb_index_find(const char *name);

// The index an export names, after the checks such exports make first, in
// this order: "not initialized", "index_name NULL", "index '%s' not found".
// nullptr, with the first failing check's message, when one fails.
sdb_index *sdb_index_lookup(const char *index_name);

// Releases every index and the array; the registry is empty afterwards.
void sdb_registry_clear(void);

// Why a name may not be used as an index directory below the storage
// directory ("index name too long", "index name invalid"), or nullptr when
// it may. Names are relative paths: no empty, "." or ".." component.
const char *sdb_index_name_problem(const char *name);

// True when the n bytes at s are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool sdb_utf8_valid(const char *s, size_t n);
