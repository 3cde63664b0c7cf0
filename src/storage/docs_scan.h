// Reading a stored "docs.json": its elements, checked byte by byte and
// listed as the entries (index/entry.h) they are or are to be written as.
#pragma once

#include <cstddef>
#include <cstdint>

// What a stored "docs.json" holds, element by element.
//
// An element that is an object whose first "__id" member and first "raw"
// member are strings without a NUL is a document. When the element is
// already an entry exactly as it would be written, entry points at it in
// the scanned text (entry_len bytes, the text at raw_off, raw_len bytes
// decoded); otherwise entry is nullptr and id/raw span the two escaped
// string bodies, to be decoded and written again. id always spans the
// escaped body of the id (id_plain: it holds no escape).
struct sdb_stored_doc {
  const char *entry;
  uint64_t entry_len;
  uint32_t raw_off;
  uint64_t raw_len;
  const char *id;
  uint64_t id_len;
  bool id_plain;
  const char *raw;  // escaped body, when entry is nullptr
  uint64_t raw_escaped_len;
};

struct sdb_stored_docs {
  sdb_stored_doc *docs;  // owned (free)
  uint64_t count;
  uint64_t skipped;  // elements that are not documents
};

enum sdb_scan_status {
  SDB_SCAN_OK,
  SDB_SCAN_DAMAGED,    // not strict JSON, or its root is not an array
  SDB_SCAN_NO_MEMORY,  // no message set
};

// Checks that text[0 .. len) is strict JSON exactly as the JSON library's
// reader takes it (valid UTF-8, no BOM, nothing but white space around one
// value) and, when its root is an array, lists its documents. text must
// have a NUL byte at text[len].
sdb_scan_status sdb_scan_stored_docs(const char *text, uint64_t len, sdb_stored_docs *out);

void sdb_stored_docs_free(sdb_stored_docs *docs);
