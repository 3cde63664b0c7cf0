// Keeping an index's dictionary in step with its documents.
//
// The dictionary must always be exactly what a rebuild from scratch of the
// live documents would make, starting from the bucket count the previous
// rebuild ended with (terms.h explains why the bucket counts matter). A
// change of a few documents does not rebuild: it tokenizes only the texts
// it replaces and adds, and updates only the postings of their terms, the
// first occurrences that move, and the collection's figures. A change of
// many documents, and a loaded index's first use, build from scratch.
//
// Either way a change is prepared first, beside the index, making every
// allocation it needs; the documents are then saved, and only a change that
// was saved is committed, which cannot fail. A change that cannot be
// prepared or saved leaves the dictionary answering as before.
#pragma once

#include <cstdint>

#include "index/index.h"

// Builds the dictionary of a loaded index, unless it is built. False, with
// "oom: rebuild" and the index unchanged, when memory ran out; a later call
// tries again.
bool sdb_index_ensure_built(sdb_index *ix);

// One slot a change touched and how it was before (before.alive, and its
// entry when it was alive); how it is now is ix->docs[slot].
struct sdb_slot_change {
  uint32_t slot;
  sdb_doc before;
};

struct sdb_update_state;

struct sdb_update {
  sdb_update_state *state;
};

// Prepares the dictionary for a change of the document table that has been
// made already: changes lists every slot it touched, once, in ascending
// slot order. The index must be built. False when memory ran out (message
// set); nothing is to be committed or discarded then.
bool sdb_update_prepare(sdb_index *ix, const sdb_slot_change *changes, uint32_t count,
                        sdb_update *u);

// Applies a prepared change once the documents are saved.
void sdb_update_commit(sdb_index *ix, sdb_update *u);

// Drops a prepared change (the documents could not be saved and the table
// change is taken back).
void sdb_update_discard(sdb_index *ix, sdb_update *u);

// Where each of the count terms ids[] first occurs in the live document at
// slot, all of which it holds: the token position goes to pos[] (the
// same place of ids), SDB_NO_TERM for one it does not hold after all.
// False when memory ran out.
bool sdb_index_first_positions(const sdb_index *ix, uint32_t slot, const uint32_t *ids,
                               uint32_t count, uint32_t *pos);

// Recomputes every slot's BM25 length part from the token counts; with
// tokens, first sets each slot's count from tokens[slot] (in the same pass
// over the document table, which a fresh process otherwise walks twice).
void sdb_index_refresh_norms(sdb_index *ix, const uint32_t *tokens = nullptr);

// The BM25 length part of a document of dl tokens in a collection of
// total_tokens over live documents, as the norms hold it.
double sdb_index_norm(uint32_t dl, uint64_t total_tokens, uint32_t live);

// What a rebuild from scratch of an index's live documents makes, built
// beside the index: its dictionary, every slot's token count and the
// collection's figures.
struct sdb_fresh_build {
  sdb_terms terms;
  uint32_t *token_counts;  // per slot
  uint64_t total_tokens;
  uint32_t live_count;
};

// Rebuilds ix's live documents as the rebuild its dictionary stands for
// (from its start_buckets), leaving ix as it is. False with "oom: rebuild"
// when memory ran out (nothing held).
bool sdb_fresh_build_make(const sdb_index *ix, sdb_fresh_build *b);

void sdb_fresh_build_free(sdb_fresh_build *b);
