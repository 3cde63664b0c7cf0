// The limits of the library, each named once. The header's prose and the
// messages say these numbers (tests/limits_test.cc holds the header to
// them); the code takes them from here.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
  // A storage directory's path is shorter than this, in bytes.
  SDB_STORAGE_DIR_SIZE = 8192,
  // The last-error text holds at most this many bytes, its NUL included:
  // a longer message is cut.
  SDB_ERROR_SIZE = 1024,
  // An index name, and a primary key, hold at most this many bytes.
  SDB_INDEX_NAME_MAX = 255,
  SDB_PRIMARY_KEY_MAX = 127,
  // Tokens one query may hold: the matching of each token walks the
  // dictionary, so the work one call can demand stays bounded.
  SDB_QUERY_TOKEN_MAX = 1024,
  // How long a call waits for the store's lock, in milliseconds.
  SDB_LOCK_TIMEOUT_MS = 10000,
  // What one search request may ask for.
  SDB_FILTER_DEPTH_MAX = 32,
  SDB_FILTER_NODES_MAX = 1024,
  SDB_FILTER_IN_MAX = 10000,
  SDB_COLUMNS_KEPT = 64,  // distinct field paths: an index keeps a column per path
  SDB_SORT_KEYS_MAX = 32,
  SDB_FACETS_MAX = 32,
  SDB_HIGHLIGHT_MAX = 32,
  SDB_FIELDS_MAX = 256,
  SDB_PHRASE_WORDS_MAX = 64,
};

// Every text a call returns lives in one buffer of this size, its NUL
// included: an answer, or a document, of SDB_TEXT_MAX bytes is the longest
// there is (32 MiB less one byte).
inline constexpr uint64_t SDB_RESULT_SIZE = 33554432;
inline constexpr uint64_t SDB_TEXT_MAX = SDB_RESULT_SIZE - 1;

// The longest path below the storage directory the library forms: an index
// name, a slash and a file or directory name of the system's (at most 255
// bytes) with what the library adds to one.
inline constexpr size_t SDB_REL_PATH_SIZE = 1024;
// The longest name of one directory entry, its NUL included.
inline constexpr size_t SDB_ENTRY_NAME_SIZE = 256;
