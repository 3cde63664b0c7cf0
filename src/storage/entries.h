// The entries of "docs.json": one stored document each, in the exact bytes
// the file holds, so that saving an index is a concatenation of what it
// already has and loading keeps what it read.
//
// An entry is {"__id":"<id>","raw":"<canonical text>"} with both strings
// escaped the way the file's JSON writer escapes them: quotation mark and
// backslash with a backslash, \b \t \n \f \r by letter, every other byte
// below 0x20 as \u00XX with upper-case hex digits, every other byte as it
// is. In memory each entry is followed by a comma, so that entries lying one
// after another are written as one piece.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of an entry holding id and raw, its comma included.
uint64_t sdb_entry_size(const char *id, uint64_t id_len, const char *raw, uint64_t raw_len);

// Writes the entry and its comma at out (sdb_entry_size bytes). Returns
// where the escaped text starts within the entry.
uint32_t sdb_entry_write(char *out, const char *id, uint64_t id_len, const char *raw,
                         uint64_t raw_len);

// Bytes the escaped text of an entry takes, raw being its decoded length.
uint64_t sdb_entry_escaped_size(const char *raw, uint64_t raw_len);

// Writes raw escaped at out; returns the end.
char *sdb_entry_escape(char *out, const char *raw, uint64_t raw_len);

// Decodes the text of an entry of entry_len bytes (its escaped form starts
// at raw_off) into out, which has room for out_cap bytes: at least the
// decoded length and a NUL. Returns the length. Room for the escaped length
// (sdb_entry_escaped_length) lets it copy faster.
uint64_t sdb_entry_decode(const char *entry, uint64_t entry_len, uint32_t raw_off, char *out,
                          uint64_t out_cap);

// Bytes the escaped text of an entry takes in it.
inline uint64_t sdb_entry_escaped_length(uint64_t entry_len, uint32_t raw_off) {
  return entry_len - raw_off - 2;  // the closing quotation mark and brace follow
}

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

// Decodes the escaped string body s[0 .. n) (valid, as the scan found it)
// into a new NUL-terminated heap text (free it); *out_len gets its length.
// nullptr when memory ran out.
char *sdb_decode_string(const char *s, uint64_t n, uint64_t *out_len);
