// Reading the values of field paths straight from a document's entry: the
// escaped text is walked where it lies, skipping every member no path
// names, without decoding the text or parsing it whole.
//
// The scan gives exactly what parsing the decoded text and walking each
// path through it gives (columns.h): the same members present, the same
// scalars (numbers converted by the parser's own routine, strings
// decoded). Where it cannot be sure of that (text that is not valid JSON,
// escapes it does not take, nesting deeper than it follows), it says so
// and the caller parses the text whole instead.
#pragma once

#include <cstdint>

#include "index/field_value.h"

// One value a path gives.
struct sdb_scanned_value {
  uint32_t path;  // its index among the paths scanned for
  sdb_value_kind kind;
  uint32_t len;  // a string's length
  double num;    // a number
  uint64_t off;  // a string's bytes: sdb_value_scan::bytes + off
};

// What a scan of one document found, in memory reused from document to
// document.
struct sdb_value_scan {
  sdb_scanned_value *values;
  uint64_t value_count, value_cap;
  char *bytes;
  uint64_t byte_count, byte_cap;
  uint64_t present;  // bit i: the document holds the member path i ends on
};

enum sdb_scan_result : uint8_t {
  SDB_SCAN_DONE,       // out holds the document's values
  SDB_SCAN_UNSURE,     // parse the text whole instead
  SDB_SCAN_NO_MEMORY,  // out is incomplete
};

// A scan follows at most this many paths at once.
inline constexpr uint32_t SDB_SCAN_PATHS_MAX = 64;

// Scans the escaped text [text, end) of an entry (sdb_doc::raw_off on) for
// paths[0 .. n), n at most SDB_SCAN_PATHS_MAX, none of them the title path.
// Bytes past end are never read.
sdb_scan_result sdb_scan_values(const char *text, const char *end, const sdb_path *paths,
                                uint32_t n, sdb_value_scan *out);

void sdb_value_scan_free(sdb_value_scan *s);
