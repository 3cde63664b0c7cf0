// The columns file of an index, "<name>/docs.cols": the columns
// (index/columns.h) that requests had to build, kept for later processes,
// so that a fresh process's first request that filters, sorts or counts
// by a field takes its column from a few large reads instead of reading
// every stored document.
//
// A cache, as the derived file is: docs.json stays the one source of
// truth, and deleting the file loses nothing (the next request that needs
// a column builds it and may write the file again). It is used only when
// it was written for the docs.json the index's documents are those of (its
// size and checksum, recorded in the file, equal those the index knows of
// the file as last loaded or written, file_known) and for as many live
// documents, and its bytes are intact (a checksum of the header and one of
// the rest, read whole before any column is taken). Each column is then
// checked against itself as it is taken (sdb_column_unpack). Anything else
// — missing, cut short, damaged, of another version, written for other
// documents — is passed over in silence and the columns built as without
// it. A file crafted to pass its checksums can give a request wrong
// values, never a read outside its bytes.
//
// Written when a request built a column of an index whose documents are
// those of a known docs.json, under the same rule as the derived file
// after a call that reads (derived.h: the store writable, its lock taken
// without waiting, the index not moved on in another process, room on the
// disk), through "docs.cols.tmp" and a rename (neither flushed: a power
// cut can cost the file, never a wrong column), holding every column the
// index then keeps; and by every change, which takes the columns from it
// when the process keeps none and writes them brought up to date, so that
// it follows the documents. A change it could not follow (the file too
// large beside docs.json, stale already, memory short) leaves it
// describing the docs.json before; the next request that needs a column
// after it builds again and writes it anew.
//
// Format, little-endian: a header of kColumnsHeader bytes (magic, version,
// column count, the docs.json size and checksum it was written for, the
// live documents, the length and checksum of the rest, and its own
// checksum, taken with that field 0); then per column its packed length
// (u64) and its packed bytes (sdb_column_pack).
#pragma once

#include <cstdint>

#include "index/field_value.h"

struct sdb_index;
struct sdb_column;

// The columns of paths[0 .. n) into out[0 .. n), as sdb_columns_get
// (columns.h) gives them, taking those ix lacks from its columns file
// when it holds them, and writing the file anew when some had to be built
// and that is allowed. False when memory ran out (no message).
bool sdb_columns_get_kept(sdb_index *ix, const sdb_path *paths, uint32_t n, sdb_column **out);

// Before a change of ix's documents, under the store's lock: when ix
// keeps no columns, takes every column its columns file holds for its
// documents as they are, so that the change brings them up to date and
// writes them (sdb_column_file_follow): the file then follows changes by
// any process, not only those that filter. Only a file of at most a
// quarter of docs.json's size, or of 1 MB, is carried (the change writes
// docs.json whole; a few columns are a few percent of it). Quiet: memory running
// out leaves ix with the columns taken so far, each whole.
void sdb_column_file_carry(sdb_index *ix);

// After a change of ix's documents that stands, under the store's lock:
// writes the columns ix keeps, which the change brought up to date, as its
// columns file, when they come to at most what sdb_column_file_carry
// takes, so that a later process's requests take them rather than building after
// every change; quietly (the call's outcome and message stay as they
// were). Nothing when it keeps none.
void sdb_column_file_follow(const sdb_index *ix);

// Sets the checksums of a columns file's header to match its size bytes,
// and its documents to docs_size, docs_sum and live: for the fuzz target
// and the tests, which change a file on purpose and then want the columns
// in it checked.
void sdb_column_file_seal(unsigned char *bytes, uint64_t size, uint64_t docs_size,
                          uint64_t docs_sum, uint32_t live);
