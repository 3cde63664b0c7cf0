// The scan of a stored "docs.json" replaces a full parse: it checks every
// byte as strictly as the JSON library's reader does (the load fuzz target
// holds the two side by side) but builds nothing for the documents it finds
// in their written form, which is nearly all of them; their bytes are kept
// as they were read. Only an element written otherwise (by hand, with other
// escapes, white space or more members) is decoded and written again, so
// that the next save normalises it as a full rewrite would.
#include "storage/docs_scan.h"

#include <yyjson.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/utf8.h"
#include "index/entry.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr size_t kIdOpenLen = sizeof SDB_ENTRY_ID_OPEN - 1;
constexpr size_t kRawOpenLen = sizeof SDB_ENTRY_RAW_OPEN - 1;

// ---- Byte classes of the scan ----

// A byte of a string body that needs a closer look: the closing quote, an
// escape, a control byte (invalid there) or the start of a multi-byte
// character (to be validated).
constexpr std::array<bool, 256> kStringSpecial = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; c++) table[c] = c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
  return table;
}();

// Skips the bytes of a string body that need no closer look.
inline const char *skip_plain(const char *p, const char *end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    // Signed compare: bytes >= 0x80 are negative, so "v <= 0x1F" catches
    // them together with the control bytes.
    __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                     _mm_cmplt_epi8(v, space));
    int mask = _mm_movemask_epi8(special);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p < end && !kStringSpecial[static_cast<unsigned char>(*p)]) p++;
  return p;
}

// What a string body holds.
struct string_info {
  bool written_form;  // only the escapes the file's writer makes
  bool plain;         // no escape at all
  bool has_nul;
  uint64_t decoded_len;
};

// Whether the \u escape at p (code point cp < 0x20) is the one the writer
// makes for cp: upper-case hex, and only for bytes without a letter escape.
bool writer_unicode_escape(const char *p, uint32_t cp) {
  if (cp >= 0x20 || sdb_entry_escape_letter(static_cast<unsigned char>(cp)) != 0 || cp == 0)
    return false;
  for (int i = 2; i < 6; i++)
    if (p[i] >= 'a' && p[i] <= 'f') return false;
  return true;
}

// Scans the string whose opening quote is at p. Returns the byte after its
// closing quote, or nullptr when it is not a valid string.
const char *scan_string(const char *p, const char *end, string_info *info) {
  *info = {true, true, false, 0};
  p++;
  for (;;) {
    const char *q = skip_plain(p, end);
    info->decoded_len += static_cast<uint64_t>(q - p);
    p = q;
    if (p >= end) return nullptr;
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') return p + 1;
    if (c < 0x20) return nullptr;
    if (c >= 0x80) {
      int n = sdb_utf8_char_length(reinterpret_cast<const unsigned char *>(p),
                                   reinterpret_cast<const unsigned char *>(end));
      if (n == 0) return nullptr;
      info->decoded_len += static_cast<uint64_t>(n);
      p += n;
      continue;
    }
    // An escape.
    info->plain = false;
    if (end - p < 2) return nullptr;
    switch (p[1]) {
      case '"':
      case '\\':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        info->decoded_len += 1;
        p += 2;
        continue;
      case '/':
        info->written_form = false;
        info->decoded_len += 1;
        p += 2;
        continue;
      case 'u':
        break;
      default:
        return nullptr;
    }
    uint32_t cp;
    if (end - p < 6 || !sdb_hex4(p + 2, &cp)) return nullptr;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      uint32_t low;
      if (end - p < 12 || p[6] != '\\' || p[7] != 'u' || !sdb_hex4(p + 8, &low) || low < 0xDC00 ||
          low > 0xDFFF)
        return nullptr;
      info->written_form = false;
      info->decoded_len += 4;
      p += 12;
      continue;
    }
    if (cp >= 0xDC00 && cp <= 0xDFFF) return nullptr;
    if (cp == 0) info->has_nul = true;
    if (!writer_unicode_escape(p, cp)) info->written_form = false;
    info->decoded_len += cp < 0x80 ? 1 : (cp < 0x800 ? 2 : 3);
    p += 6;
  }
}

inline bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline const char *skip_space(const char *p, const char *end) {
  while (p < end && is_space(*p)) p++;
  return p;
}

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Scans a number. Its value must be finite as a double, which is decided by
// the JSON library's own number reader.
const char *scan_number(const char *p, const char *end) {
  const char *start = p;
  if (p < end && *p == '-') p++;
  if (p >= end) return nullptr;
  if (*p == '0') {
    p++;
  } else if (*p >= '1' && *p <= '9') {
    while (p < end && is_digit(*p)) p++;
  } else {
    return nullptr;
  }
  if (p < end && *p == '.') {
    p++;
    if (p >= end || !is_digit(*p)) return nullptr;
    while (p < end && is_digit(*p)) p++;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    p++;
    if (p < end && (*p == '+' || *p == '-')) p++;
    if (p >= end || !is_digit(*p)) return nullptr;
    while (p < end && is_digit(*p)) p++;
  }
  yyjson_val value;
  return yyjson_read_number(start, &value, 0, nullptr, nullptr) == p ? p : nullptr;
}

const char *scan_literal(const char *p, const char *end) {
  for (const char *word : {"true", "false", "null"}) {
    size_t n = strlen(word);
    if (static_cast<size_t>(end - p) >= n && memcmp(p, word, n) == 0) return p + n;
  }
  return nullptr;
}

// The containers open around the value being scanned.
struct nesting {
  uint8_t *kinds;  // '[' or '{'
  size_t depth;
  size_t cap;
  bool no_memory;
};

bool push(nesting *n, uint8_t kind) {
  if (!sdb_reserve(&n->kinds, &n->cap, n->depth + 1)) {
    n->no_memory = true;
    return false;
  }
  n->kinds[n->depth++] = kind;
  return true;
}

// Scans the key at p (a string, then a colon). Returns the byte after the
// colon and white space.
const char *scan_key(const char *p, const char *end, string_info *info) {
  if (p >= end || *p != '"') return nullptr;
  p = scan_string(p, end, info);
  if (p == nullptr) return nullptr;
  p = skip_space(p, end);
  if (p >= end || *p != ':') return nullptr;
  return skip_space(p + 1, end);
}

// Scans one whole value of any kind at p, however deeply nested. Returns the
// byte after it, or nullptr when it is not valid (n->no_memory tells a lack
// of memory apart).
const char *scan_value(const char *p, const char *end, nesting *n) {
  const size_t base = n->depth;
  string_info info;
  for (;;) {
    // A value starts at p.
    if (p >= end) return nullptr;
    switch (*p) {
      case '{':
        p = skip_space(p + 1, end);
        if (p < end && *p == '}') {
          p++;
          break;
        }
        if (!push(n, '{')) return nullptr;
        p = scan_key(p, end, &info);
        if (p == nullptr) return nullptr;
        continue;
      case '[':
        p = skip_space(p + 1, end);
        if (p < end && *p == ']') {
          p++;
          break;
        }
        if (!push(n, '[')) return nullptr;
        continue;
      case '"':
        p = scan_string(p, end, &info);
        break;
      case 't':
      case 'f':
      case 'n':
        p = scan_literal(p, end);
        break;
      default:
        p = scan_number(p, end);
        break;
    }
    if (p == nullptr) return nullptr;
    // After a value: close containers until one goes on.
    for (;;) {
      if (n->depth == base) return p;
      p = skip_space(p, end);
      if (p >= end) return nullptr;
      uint8_t kind = n->kinds[n->depth - 1];
      if (*p == ',') {
        p = skip_space(p + 1, end);
        if (kind == '{') p = scan_key(p, end, &info);
        if (p == nullptr) return nullptr;
        break;
      }
      if (*p != (kind == '{' ? '}' : ']')) return nullptr;
      n->depth--;
      p++;
    }
  }
}

// Whether the key whose body is [body, body_end) reads want.
bool key_is(const char *body, const char *body_end, const string_info &info, const char *want) {
  const size_t want_len = strlen(want);
  if (info.decoded_len != want_len) return false;
  if (info.plain) return memcmp(body, want, want_len) == 0;
  char decoded[8];
  sdb_entry_decode_span(body, body_end, decoded, decoded + sizeof decoded);
  return memcmp(decoded, want, want_len) == 0;
}

// One string member value found while scanning an element.
struct found_string {
  const char *body;  // nullptr: the member is missing or not a string
  const char *body_end;
  string_info info;
};

// Scans the element at p, an object, and records it in doc when it is a
// document. Returns the byte after it, or nullptr when it is not valid.
const char *scan_element(const char *p, const char *end, nesting *n, sdb_stored_doc *doc,
                         bool *is_doc) {
  const char *start = p;
  found_string id{}, raw{};
  // The written form first: exactly the two members, nothing between.
  if (static_cast<size_t>(end - p) > kIdOpenLen && memcmp(p, SDB_ENTRY_ID_OPEN, kIdOpenLen) == 0) {
    const char *q = scan_string(p + kIdOpenLen - 1, end, &id.info);
    if (q != nullptr && static_cast<size_t>(end - q) > kRawOpenLen &&
        memcmp(q - 1, SDB_ENTRY_RAW_OPEN, kRawOpenLen) == 0) {
      const char *r = scan_string(q + kRawOpenLen - 2, end, &raw.info);
      if (r != nullptr && r < end && *r == '}') {
        *is_doc = !id.info.has_nul && !raw.info.has_nul;
        if (*is_doc) {
          doc->id = p + kIdOpenLen;
          doc->id_len = static_cast<uint64_t>(q - 1 - doc->id);
          doc->id_plain = id.info.plain;
          doc->raw = q + kRawOpenLen - 1;
          doc->raw_escaped_len = static_cast<uint64_t>(r - 1 - doc->raw);
          doc->raw_len = raw.info.decoded_len;
          if (id.info.written_form && raw.info.written_form) {
            doc->entry = start;
            doc->entry_len = static_cast<uint64_t>(r + 1 - start);
            doc->raw_off = static_cast<uint32_t>(doc->raw - start);
          } else {
            doc->entry = nullptr;
          }
        }
        return r + 1;
      }
    }
    id = {};
    raw = {};
  }
  // Any other object: the first member of each key decides.
  bool seen_id = false, seen_raw = false;
  p = skip_space(p + 1, end);
  if (p < end && *p == '}') {
    *is_doc = false;
    return p + 1;
  }
  for (;;) {
    string_info key;
    const char *key_body = p + 1;
    const char *after_key = scan_key(p, end, &key);
    if (after_key == nullptr) return nullptr;
    const char *key_end = key_body;
    // The key's closing quote lies before the colon and white space.
    for (const char *k = after_key - 1; k > key_body; k--) {
      if (*k == '"') {
        key_end = k;
        break;
      }
    }
    found_string *slot = nullptr;
    if (!seen_id && key_is(key_body, key_end, key, "__id")) {
      seen_id = true;
      slot = &id;
    } else if (!seen_raw && key_is(key_body, key_end, key, "raw")) {
      seen_raw = true;
      slot = &raw;
    }
    p = after_key;
    if (p < end && *p == '"') {
      string_info value;
      const char *q = scan_string(p, end, &value);
      if (q == nullptr) return nullptr;
      if (slot != nullptr) *slot = {p + 1, q - 1, value};
      p = q;
    } else {
      p = scan_value(p, end, n);
      if (p == nullptr) return nullptr;
    }
    p = skip_space(p, end);
    if (p < end && *p == ',') {
      p = skip_space(p + 1, end);
      continue;
    }
    if (p < end && *p == '}') break;
    return nullptr;
  }
  *is_doc = id.body != nullptr && raw.body != nullptr && !id.info.has_nul && !raw.info.has_nul;
  if (*is_doc) {
    doc->entry = nullptr;
    doc->id = id.body;
    doc->id_len = static_cast<uint64_t>(id.body_end - id.body);
    doc->id_plain = id.info.plain;
    doc->raw = raw.body;
    doc->raw_escaped_len = static_cast<uint64_t>(raw.body_end - raw.body);
    doc->raw_len = raw.info.decoded_len;
  }
  return p + 1;
}

bool add_doc(sdb_stored_docs *out, uint64_t *cap, const sdb_stored_doc &doc) {
  if (!sdb_reserve(&out->docs, cap, out->count + 1, 1024)) return false;
  out->docs[out->count++] = doc;
  return true;
}

sdb_scan_status scan_array(const char *p, const char *end, nesting *n, sdb_stored_docs *out) {
  uint64_t cap = 0;
  p = skip_space(p + 1, end);
  if (p < end && *p == ']') return skip_space(p + 1, end) == end ? SDB_SCAN_OK : SDB_SCAN_DAMAGED;
  for (;;) {
    if (p >= end) return SDB_SCAN_DAMAGED;
    if (*p == '{') {
      sdb_stored_doc doc{};
      bool is_doc = false;
      p = scan_element(p, end, n, &doc, &is_doc);
      if (p != nullptr && is_doc && !add_doc(out, &cap, doc)) return SDB_SCAN_NO_MEMORY;
      if (p != nullptr && !is_doc) out->skipped++;
    } else {
      p = scan_value(p, end, n);
      if (p != nullptr) out->skipped++;
    }
    if (p == nullptr) return n->no_memory ? SDB_SCAN_NO_MEMORY : SDB_SCAN_DAMAGED;
    p = skip_space(p, end);
    if (p < end && *p == ',') {
      p = skip_space(p + 1, end);
      continue;
    }
    if (p < end && *p == ']') return skip_space(p + 1, end) == end ? SDB_SCAN_OK : SDB_SCAN_DAMAGED;
    return SDB_SCAN_DAMAGED;
  }
}

}  // namespace

sdb_scan_status sdb_scan_stored_docs(const char *text, uint64_t len, sdb_stored_docs *out) {
  *out = sdb_stored_docs{};
  const char *end = text + len;
  const char *p = skip_space(text, end);
  if (p >= end || *p != '[') return SDB_SCAN_DAMAGED;
  nesting n{nullptr, 0, 0, false};
  sdb_scan_status status = scan_array(p, end, &n, out);
  free(n.kinds);
  if (status != SDB_SCAN_OK) sdb_stored_docs_free(out);
  return status;
}

void sdb_stored_docs_free(sdb_stored_docs *docs) {
  free(docs->docs);
  *docs = sdb_stored_docs{};
}
