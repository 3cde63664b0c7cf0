// Bitsets over the slots of a column, kept with it for a request that
// repeats: a filter leaf asked for again (its operator and the values it
// compares with, by the column's value ids or ranks) is answered by one bit
// per slot instead of a reading of the slot's cell. Who asks decides what
// a key means and fills the bits; a column only keeps them, while its
// version stays (every change of a cell raises it).
//
// A column keeps a few keys: those seen once (no bits yet) and those with
// bits, the least recently used going first. Keeping is best effort: where
// memory runs out nothing is kept, and the asker reads the cells.
#pragma once

#include <cstdint>

struct sdb_column_bits;

// The bits kept for key (len bytes) in *kept, the keeping of a column at
// version whose request at hand is numbered request, or nullptr. When the
// key has been asked for before at that version, *build is set: room for
// them is made, and the caller fills them (cell_count bits, zeroed) before
// the next call; nullptr then too when memory ran out.
uint64_t *sdb_column_bits_find(sdb_column_bits **kept, uint64_t version, uint64_t request,
                               uint32_t cell_count, const char *key, uint32_t len, bool *build);

// Releases what a column keeps (with the column).
void sdb_column_bits_free(sdb_column_bits *b);
