// The entries of "docs.json": one stored document each, in the exact bytes
// the file holds, so that saving an index is a concatenation of what it
// already has and loading keeps what it read. The index holds its
// documents as entries.
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

// An entry's bytes around its two strings.
inline constexpr char SDB_ENTRY_ID_OPEN[] = "{\"__id\":\"";
inline constexpr char SDB_ENTRY_RAW_OPEN[] = "\",\"raw\":\"";
inline constexpr char SDB_ENTRY_CLOSE[] = "\"}";

// Size of an entry holding id and raw, its comma included.
uint64_t sdb_entry_size(const char *id, uint64_t id_len, const char *raw, uint64_t raw_len);

// Writes the entry and its comma at out (sdb_entry_size bytes). Returns
// where the escaped text starts within the entry.
uint32_t sdb_entry_write(char *out, const char *id, uint64_t id_len, const char *raw,
                         uint64_t raw_len);

// Bytes the escaped text of an entry takes, raw being its decoded length.
uint64_t sdb_entry_escaped_size(const char *raw, uint64_t raw_len);

// The digits of a \u00xx escape: an entry writes them upper-case, a
// document's canonical text lower-case.
inline constexpr char SDB_HEX_UPPER[] = "0123456789ABCDEF";
inline constexpr char SDB_HEX_LOWER[] = "0123456789abcdef";

// Writes raw escaped at out (sdb_entry_escaped_size bytes): '"', '\\' and
// the five control bytes with a letter as a backslash and that letter, the
// other bytes below 0x20 as \u00xx with hex's digits, every other byte as
// itself. Returns the end.
char *sdb_json_escape(char *out, const char *raw, uint64_t raw_len, const char *hex);

// Writes raw escaped at out as an entry holds it; returns the end.
inline char *sdb_entry_escape(char *out, const char *raw, uint64_t raw_len) {
  return sdb_json_escape(out, raw, raw_len, SDB_HEX_UPPER);
}

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

// The letter the writer escapes byte c with after a backslash ("n" for a
// newline), or 0 when it writes c otherwise.
uint8_t sdb_entry_escape_letter(unsigned char c);

// The value of the four hex digits at p. False when they are not four.
bool sdb_hex4(const char *p, uint32_t *out);

// The byte a JSON escape letter stands for ('n' a newline, '"', '\\' and
// '/' themselves), or -1 for any other letter ('u' included).
inline int sdb_unescape_letter(char c) {
  switch (c) {
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case '"':
    case '\\':
    case '/':
      return c;
    default:
      return -1;
  }
}

// The byte an escape other than \u stands for in an entry's body: a valid
// body escapes nothing but the letters above, so any other letter stands
// for itself.
inline unsigned char sdb_entry_escaped_byte(char c) {
  const int byte = sdb_unescape_letter(c);
  return static_cast<unsigned char>(byte >= 0 ? byte : c);
}

// Bytes code point cp (at most 0x10FFFF) takes in UTF-8.
inline int sdb_utf8_length(uint32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes code point cp in UTF-8 at to (room for sdb_utf8_length bytes);
// returns the bytes written.
int sdb_utf8_put(uint32_t cp, char *to);

// Decodes the valid escaped string body [s, e) into out, writing nothing
// at or past out_end (room for the decoded bytes must be there); returns
// the end of the decoded bytes. Bytes that are not a valid body, or that
// do not fit, are decoded only as far as they can be without reading past
// e or writing past out_end.
char *sdb_entry_decode_span(const char *s, const char *e, char *out, const char *out_end);

// Decodes the escaped string body s[0 .. n) (valid, as the scan found it)
// into a new NUL-terminated heap text (free it); *out_len gets its length.
// nullptr when memory ran out.
char *sdb_decode_string(const char *s, uint64_t n, uint64_t *out_len);
