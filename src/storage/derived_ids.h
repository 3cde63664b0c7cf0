// The derived file's id table (derived_format.h): written beside the ids
// it places, and read by a process that took its documents from the file
// (derived_map.h) to find an id's slot without making the id map, which
// costs a hash and an insert per document and touches every id. A `get`
// in a fresh process then reads a page or two of the table and the id it
// compares with.
//
// The table is trusted no more than the rest of the file. Each chunk of
// it is checked against its sum the first time a lookup reads there, each
// slot it holds is checked to be one of the index's before it is used,
// the id there is compared with the one looked up, and a lookup probes at
// most every position once. Only a slot found so is an answer: an id the
// table does not place, like damage or a slot out of range, makes the
// index make its id map and ask that, as without the table. So a file made
// to pass its sums can cost a lookup the map, and at worst (one repeating
// an id, its table placing the id at a later slot) answer with another
// copy of the same id, but never read outside the index or the file, nor
// loop.
#pragma once

#include <cstdint>

#include "base/hashing.h"
#include "storage/derived_format.h"

struct sdb_index;

// Fills the positions (a power of two) of table, for the ids of ix's
// slots below count: each id, once, at its first slot.
void sdb_id_table_fill(const sdb_index *ix, uint32_t count, const sdb_table_key &key,
                       uint64_t positions, uint32_t *table);

// The checksums of the chunks of a table of len bytes, into sums
// (sdb_derived::chunks_of(len) of them).
void sdb_id_table_sum(const uint32_t *table, uint64_t len, uint64_t *sums);

// Gives ix, whose documents were just taken from the size bytes of a
// derived file at bytes (sdb_docs_take) and which stay while ix lives,
// the file's table to find its ids by while its id map is pending. Does
// nothing when the file has none or memory runs out: the map is then made
// at its first use, as without it.
void sdb_id_finder_attach(sdb_index *ix, const unsigned char *bytes, uint64_t size);
