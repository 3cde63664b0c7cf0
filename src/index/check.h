// The index checked against its definition: whatever changes it went
// through, a built index must be exactly what a rebuild from scratch of its
// live documents makes (build.h), or searches would answer differently
// after a restart. The check rebuilds beside the index and compares every
// part a search reads.
#pragma once

#include "index/index.h"

// True when ix (built) equals a rebuild of its live documents: its terms in
// byte order and first-occurrence order, each term's hash, walk rank, first
// position, df and postings (slots, tfs, title marks), the lookup and the
// walk's bucket counts, every slot's token count and norm, the collection's
// figures, and an id map that finds every slot by its id. False with a
// message naming the first difference (SEARCHDB_CORRUPT), or "oom: rebuild"
// when memory ran out.
bool sdb_index_check(const sdb_index *ix);
