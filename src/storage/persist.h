// The storage directory's layout and files: the index list, each index's
// settings and documents, and the loader run at initialisation.
#pragma once

struct sdb_index;

// Rewrites "_indexes/list.json" from the registry. Returns 0, or -1 with a
// message when the file keeps its previous content.
int sdb_save_index_list(void);

// Rewrites the index's "docs.json", then its "meta.json". Returns 0 when both
// were written; -1 when "docs.json" could not be replaced (then "meta.json"
// is not written either); 1 when only "meta.json" failed. Every failure
// leaves its message. Document changes only care about "docs.json" (the
// settings never change after creation); index creation needs both.
int sdb_index_persist(sdb_index *ix);

// Loads every index named by the stored list into the (empty) registry;
// what is damaged or incomplete on disk is left out. Returns 0, or -1 when
// memory ran out (message set; what was loaded so far stays registered).
int sdb_load_indexes(void);
