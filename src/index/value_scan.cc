#include "index/value_scan.h"

#include <yyjson.h>

#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "index/entry.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Containers nested deeper than this are left to the parser.
constexpr int kDepthMax = 64;
// Number texts longer than this are left to the parser (a stored number is
// printed from a double, never near it).
constexpr uint32_t kNumberMax = 64;

// ---- The text as it decodes ----
//
// A document's text lies escaped as a JSON string inside its entry. A unit
// is one decoded byte and the escaped bytes it takes, read the way the
// entry decoder reads them; a \u escape beyond one byte, or one cut short,
// is left to the parser.

enum : int { kUnsure = -1 };

struct cursor {
  const char *p, *e;
};

// The decoded byte at c.p (*w escaped bytes), or kUnsure (the end too).
inline int unit(const cursor &c, int *w) {
  if (c.p >= c.e) return kUnsure;
  const auto b = static_cast<unsigned char>(*c.p);
  if (b != '\\') {
    *w = 1;
    return b;
  }
  if (c.e - c.p < 2) return kUnsure;
  *w = 2;
  if (c.p[1] != 'u') return sdb_entry_escaped_byte(c.p[1]);
  uint32_t cp = 0;
  if (c.e - c.p < 6 || !sdb_hex4(c.p + 2, &cp) || cp >= 0x80) return kUnsure;
  *w = 6;
  return static_cast<int>(cp);
}

// Takes the next unit; kUnsure as unit does.
inline int take(cursor &c) {
  int w = 0;
  const int u = unit(c, &w);
  if (u != kUnsure) c.p += w;
  return u;
}

// Skips the parser's white space (space, tab, newline, carriage return).
void skip_space_rest(cursor &c) {
  for (;;) {
    if (c.p >= c.e) return;
    if (*c.p == ' ') {
      c.p++;
      continue;
    }
    // Of the escapes, only a letter or \u may stand for white space.
    if (*c.p != '\\' || c.e - c.p < 2) return;
    const char letter = c.p[1];
    if (letter == 'n' || letter == 't' || letter == 'r') {
      c.p += 2;
      continue;
    }
    int w = 0;
    const int u = letter == 'u' ? unit(c, &w) : kUnsure;
    if (u != ' ' && u != '\t' && u != '\n' && u != '\r') return;
    c.p += w;
  }
}

// A stored text has no white space between its tokens: that case is
// told at once.
inline void skip_space(cursor &c) {
  if (c.p < c.e && *c.p != ' ' && (*c.p != '\\' || c.e - c.p < 2 || c.p[1] == '"')) return;
  skip_space_rest(c);
}

// Takes white space, then the structural byte ch; false when another
// unit follows.
inline bool expect(cursor &c, char ch) {
  if (c.p < c.e && *c.p == ch) {
    c.p++;
    return true;
  }
  skip_space(c);
  return take(c) == ch;
}

// Takes white space and the quotation mark that opens a string of the
// document.
inline bool open_quote(cursor &c) {
  if (c.e - c.p >= 2 && c.p[0] == '\\' && c.p[1] == '"') {
    c.p += 2;
    return true;
  }
  skip_space(c);
  return take(c) == '"';
}

// Takes white space and what follows a member or an element: 1 for a
// comma, 0 for close, -1 for anything else.
inline int separator(cursor &c, char close) {
  if (c.p < c.e && (*c.p == ',' || *c.p == close)) return *c.p++ == ',';
  skip_space(c);
  const int u = take(c);
  return u == ',' ? 1 : u == close ? 0 : -1;
}

// Bytes a string holds as they are: not an escape, not a quotation mark,
// not a control byte and not part of a multi-byte sequence.
constexpr bool plain_byte(unsigned char b) {
  return b >= 0x20 && b < 0x80 && b != '"' && b != '\\';
}

// The first byte of [p, e) that is not plain (or e).
inline const char *skip_plain(const char *p, const char *e) {
#if defined(__SSE2__)
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i space = _mm_set1_epi8(0x20);
  while (e - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    // Signed, the bytes from 0x80 are below the space too.
    const __m128i odd =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, backslash), _mm_cmpeq_epi8(v, quote)),
                     _mm_cmplt_epi8(v, space));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(odd));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  while (p < e && plain_byte(static_cast<unsigned char>(*p))) p++;
  return p;
}

// The length of the valid UTF-8 sequence of two to four bytes at p (its
// bytes as they lie: an escape decodes to one byte below 0x80), or 0.
inline int utf8_length(const char *p, const char *e) {
  const auto *s = reinterpret_cast<const unsigned char *>(p);
  const int64_t room = e - p;
  const unsigned b = s[0];
  auto cont = [&](int i, unsigned lo, unsigned hi) { return room > i && s[i] >= lo && s[i] <= hi; };
  if (b >= 0xC2 && b <= 0xDF) return cont(1, 0x80, 0xBF) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    const unsigned lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    return cont(1, lo, hi) && cont(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    const unsigned lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    return cont(1, lo, hi) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

// ---- The scan ----

struct scan {
  const sdb_path *paths;
  sdb_value_scan *out;
  bool unsure;  // set with the first thing the scan cannot be sure of
  bool oom;
};

// A path whose rest starts at `at`, following into the object at hand:
// its next step is the key of step_len bytes there, the last when ends.
struct follow {
  uint32_t path;
  uint32_t at;
  uint32_t step_len;
  bool ends;
};

follow follow_at(const sdb_path &path, uint32_t index, uint32_t at) {
  const char *step = path.bytes + at;
  const auto *dot = static_cast<const char *>(memchr(step, '.', path.len - at));
  return follow{index, at, dot ? static_cast<uint32_t>(dot - step) : path.len - at, dot == nullptr};
}

bool fail(scan &s) {
  s.unsure = true;
  return false;
}

bool append(scan &s, const char *bytes, uint64_t n) {
  sdb_value_scan *o = s.out;
  if (!sdb_reserve(&o->bytes, &o->byte_cap, o->byte_count + n, 256)) {
    s.oom = true;
    return false;
  }
  if (n > 0) memcpy(o->bytes + o->byte_count, bytes, n);
  o->byte_count += n;
  return true;
}

// Four hex digits as units.
bool hex4(cursor &c, uint32_t *cp) {
  char digits[4];
  for (char &d : digits) {
    const int u = take(c);
    if (u == kUnsure) return false;
    d = static_cast<char>(u);
  }
  return sdb_hex4(digits, cp);
}

// The escape of the document's string after its backslash, decoded into
// up to four bytes at to; returns their count, 0 when unsure.
int string_escape(cursor &c, char *to) {
  const int u = take(c);
  if (u != 'u') {
    const int byte = u == kUnsure ? -1 : sdb_unescape_letter(static_cast<char>(u));
    if (byte < 0) return 0;
    to[0] = static_cast<char>(byte);
    return 1;
  }
  uint32_t cp = 0;
  if (!hex4(c, &cp)) return 0;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return 0;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    uint32_t low = 0;
    if (take(c) != '\\' || take(c) != 'u' || !hex4(c, &low) || low < 0xDC00 || low > 0xDFFF)
      return 0;
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  return sdb_utf8_put(cp, to);
}

// Skips the rest of a string of the document as a stored text holds it
// (plain bytes, UTF-8, the writer's escapes of quotation marks and
// backslashes and escaped letters), its opening quotation mark taken.
// Returns the end of the string, or nullptr with *stop where it met what
// it leaves to the full reading.
inline const char *skip_string(const char *p, const char *e, const char **stop) {
  for (;;) {
    p = skip_plain(p, e);
    if (e - p >= 4) {
      const auto b = static_cast<unsigned char>(*p);
      if (b == '\\') {
        if (p[1] == '"') return p + 2;
        if (p[1] == '\\') {
          const char m = p[2];
          if (m == '\\' ? p[3] == '"' || p[3] == '\\' : false) {
            p += 4;
            continue;
          }
          if (m == 'n' || m == 't' || m == 'r' || m == '/') {
            p += 3;
            continue;
          }
        }
      } else if (b >= 0x80) {
        const int n = utf8_length(p, e);
        if (n != 0) {
          p += n;
          continue;
        }
      }
    }
    *stop = p;
    return nullptr;
  }
}

bool string(scan &s, cursor &c, bool keep);

// Skips the rest of a string of the document.
inline bool skip(scan &s, cursor &c) {
  const char *stop = nullptr;
  const char *end = skip_string(c.p, c.e, &stop);
  if (end != nullptr) {
    c.p = end;
    return true;
  }
  c.p = stop;
  return string(s, c, false);
}

// The rest of a string of the document, its opening quotation mark taken;
// its decoded bytes are appended to the scan's when keep.
bool string(scan &s, cursor &c, bool keep) {
  for (;;) {
    const char *run = c.p;
    c.p = skip_plain(c.p, c.e);
    if (keep && !append(s, run, static_cast<uint64_t>(c.p - run))) return false;
    if (c.p >= c.e) return fail(s);
    if (static_cast<unsigned char>(*c.p) >= 0x80) {
      const int n = utf8_length(c.p, c.e);
      if (n == 0) return fail(s);
      if (keep && !append(s, c.p, static_cast<uint64_t>(n))) return false;
      c.p += n;
      continue;
    }
    // The escapes a stored text is full of, as the writer escapes them: the
    // quotation mark that ends the string, and an escaped quotation mark,
    // backslash or letter inside it.
    if (c.p[0] == '\\' && c.e - c.p >= 4) {
      if (c.p[1] == '"') {
        c.p += 2;
        return true;
      }
      if (c.p[1] == '\\') {
        char byte = 0;
        int w = 3;
        if (c.p[2] == '\\' && (c.p[3] == '"' || c.p[3] == '\\')) {
          byte = c.p[3];
          w = 4;
        } else if (c.p[2] == 'n') {
          byte = '\n';
        } else if (c.p[2] == 't') {
          byte = '\t';
        } else if (c.p[2] == '/') {
          byte = '/';
        } else if (c.p[2] == 'r') {
          byte = '\r';
        }
        if (byte != 0) {
          if (keep && !append(s, &byte, 1)) return false;
          c.p += w;
          continue;
        }
      }
    }
    const int u = take(c);
    if (u == '"') return true;
    char bytes[4];
    int n = 1;
    bytes[0] = static_cast<char>(u);
    if (u == '\\') {
      n = string_escape(c, bytes);
      if (n == 0) return fail(s);
    } else if (u < 0x20) {
      return fail(s);  // a control byte (or no unit)
    }
    if (keep && !append(s, bytes, static_cast<uint64_t>(n))) return false;
  }
}

// A key of the document, its opening quotation mark taken: where its
// decoded bytes are (*key, *len), in the text itself when it holds no
// escape, else kept among the scan's bytes (from *kept on).
bool key(scan &s, cursor &c, const char **key, uint64_t *len, uint64_t *kept) {
  *kept = s.out->byte_count;
  const char *q = skip_plain(c.p, c.e);
  if (c.e - q >= 2 && q[0] == '\\' && q[1] == '"') {
    *key = c.p;
    *len = static_cast<uint64_t>(q - c.p);
    c.p = q + 2;
    return true;
  }
  if (!string(s, c, true)) return false;
  *key = s.out->bytes + *kept;
  *len = s.out->byte_count - *kept;
  return true;
}

// Takes the units of word (after its first, already taken).
bool literal_rest(cursor &c, const char *word) {
  for (const char *w = word + 1; *w != '\0'; w++)
    if (take(c) != *w) return false;
  return true;
}

bool is_number_unit(int u) {
  return (u >= '0' && u <= '9') || u == '-' || u == '+' || u == '.' || u == 'e' || u == 'E';
}

// A number of the document at c; *num gets its value when convert (a
// number with an exponent is converted whatever convert says: it may be
// out of range, which the parser refuses).
bool number(scan &s, cursor &c, bool convert, double *num) {
  char text[kNumberMax + YYJSON_PADDING_SIZE + 1];
  uint32_t len = 0;
  for (;;) {
    int w = 0;
    const int u = unit(c, &w);
    if (!is_number_unit(u)) break;
    if (len == kNumberMax) return fail(s);
    text[len++] = static_cast<char>(u);
    c.p += w;
  }
  memset(text + len, 0, sizeof text - len);
  // JSON's grammar: the parser's conversion takes more than it allows.
  uint32_t i = text[0] == '-';
  auto digits = [&] {
    const uint32_t from = i;
    while (i < len && text[i] >= '0' && text[i] <= '9') i++;
    return i > from;
  };
  if (text[i] == '0') {
    i++;
  } else if (!digits()) {
    return fail(s);
  }
  if (text[i] == '.') {
    i++;
    if (!digits()) return fail(s);
  }
  bool exponent = false;
  if (text[i] == 'e' || text[i] == 'E') {
    exponent = true;
    i++;
    if (text[i] == '+' || text[i] == '-') i++;
    if (!digits()) return fail(s);
  }
  if (i != len) return fail(s);
  if (!convert && !exponent) return true;
  yyjson_val val;
  yyjson_read_err err;
  if (yyjson_read_number(text, &val, 0, nullptr, &err) != text + len) return fail(s);
  *num = yyjson_get_num(&val);
  return true;
}

// Records a value for every path of mask.
bool emit(scan &s, uint64_t mask, sdb_value_kind kind, double num, uint64_t off, uint32_t len) {
  sdb_value_scan *o = s.out;
  for (; mask != 0; mask &= mask - 1) {
    if (o->value_count == o->value_cap &&
        !sdb_reserve(&o->values, &o->value_cap, o->value_count + 1, 16)) {
      s.oom = true;
      return false;
    }
    const auto path = static_cast<uint32_t>(__builtin_ctzll(mask));
    o->values[o->value_count++] = sdb_scanned_value{path, kind, len, num, off};
  }
  return true;
}

// A scalar at c, its first unit u (w bytes), recorded for every path of
// mask.
bool scalar(scan &s, cursor &c, uint64_t mask, int u, int w) {
  if (u == '-' || (u >= '0' && u <= '9')) {
    double num = 0.0;
    return number(s, c, mask != 0, &num) && emit(s, mask, SDB_VALUE_NUMBER, num, 0, 0);
  }
  c.p += w;
  switch (u) {
    case '"': {
      const uint64_t off = s.out->byte_count;
      if (mask == 0) {
        if (!skip(s, c)) return false;
      } else {
        // A string without escapes is copied whole.
        const char *stop = nullptr;
        const char *end = skip_string(c.p, c.e, &stop);
        const char *last = end ? end - 2 : nullptr;
        if (end != nullptr && memchr(c.p, '\\', static_cast<size_t>(last - c.p)) == nullptr) {
          if (!append(s, c.p, static_cast<uint64_t>(last - c.p))) return false;
          c.p = end;
        } else if (!string(s, c, true)) {
          return false;
        }
      }
      const uint64_t len = s.out->byte_count - off;
      if (len > UINT32_MAX) return fail(s);
      return mask == 0 || emit(s, mask, SDB_VALUE_STRING, 0.0, off, static_cast<uint32_t>(len));
    }
    case 't':
      return (literal_rest(c, "true") || fail(s)) && emit(s, mask, SDB_VALUE_TRUE, 0.0, 0, 0);
    case 'f':
      return (literal_rest(c, "false") || fail(s)) && emit(s, mask, SDB_VALUE_FALSE, 0.0, 0, 0);
    case 'n':
      return (literal_rest(c, "null") || fail(s)) && emit(s, mask, SDB_VALUE_NULL, 0.0, 0, 0);
    default:
      return fail(s);
  }
}

bool value(scan &s, cursor &c, uint64_t ends, const follow *into, uint32_t count, int depth);

// The members of an object no path steps into, its brace taken: checked,
// in a frame small enough for deep nesting.
bool skip_object(scan &s, cursor &c, int depth) {
  if (depth > kDepthMax) return fail(s);
  skip_space(c);
  int w = 0;
  if (unit(c, &w) == '}') {
    c.p += w;
    return true;
  }
  int more = 1;
  for (; more == 1; more = separator(c, '}')) {
    if (!open_quote(c)) return fail(s);
    if (!skip(s, c)) return false;
    if (!expect(c, ':')) return fail(s);
    if (!value(s, c, 0, nullptr, 0, depth + 1)) return false;
  }
  return more == 0 || fail(s);
}

// The members of an object, its brace taken, into[0 .. count) following
// into it: each steps to the first member of its next step's key.
bool object(scan &s, cursor &c, const follow *into, uint32_t count, int depth) {
  if (depth > kDepthMax) return fail(s);
  uint64_t stepped = 0;  // bit j: into[j] has met its member
  follow next[SDB_SCAN_PATHS_MAX];
  skip_space(c);
  int w = 0;
  if (unit(c, &w) == '}') {
    c.p += w;
    return true;
  }
  int more = 1;
  for (; more == 1; more = separator(c, '}')) {
    if (!open_quote(c)) return fail(s);
    uint64_t ends = 0;
    uint32_t onward = 0;
    if (count == 0) {
      if (!skip(s, c)) return false;
    } else {
      const char *name = nullptr;
      uint64_t name_len = 0, kept = 0;
      if (!key(s, c, &name, &name_len, &kept)) return false;
      for (uint32_t j = 0; j < count; j++) {
        const follow &f = into[j];
        if (f.step_len != name_len || ((stepped >> j) & 1) != 0) continue;
        if (name_len > 0 && memcmp(s.paths[f.path].bytes + f.at, name, name_len) != 0) continue;
        stepped |= uint64_t{1} << j;
        if (f.ends)
          ends |= uint64_t{1} << f.path;
        else
          next[onward++] = follow_at(s.paths[f.path], f.path, f.at + f.step_len + 1);
      }
      s.out->byte_count = kept;  // the key is not kept
    }
    if (!expect(c, ':')) return fail(s);
    if (!value(s, c, ends, next, onward, depth + 1)) return false;
  }
  return more == 0 || fail(s);
}

// The elements of an array, its bracket taken: its scalars recorded for
// the paths of ends, its objects followed into by into[0 .. count); arrays
// in it are not entered.
bool array(scan &s, cursor &c, uint64_t ends, const follow *into, uint32_t count, int depth) {
  if (depth > kDepthMax) return fail(s);
  skip_space(c);
  int w = 0;
  if (unit(c, &w) == ']') {
    c.p += w;
    return true;
  }
  int more = 1;
  for (; more == 1; more = separator(c, ']')) {
    skip_space(c);
    const int u = unit(c, &w);
    bool ok;
    if (u == '{') {
      c.p += w;
      ok = count > 0 ? object(s, c, into, count, depth + 1) : skip_object(s, c, depth + 1);
    } else if (u == '[') {
      c.p += w;
      ok = array(s, c, 0, nullptr, 0, depth + 1);
    } else {
      ok = scalar(s, c, ends, u, w);
    }
    if (!ok) return false;
  }
  return more == 0 || fail(s);
}

// A value at c: the member that the paths of ends end on (present, its
// scalars recorded), and that into[0 .. count) step into.
bool value(scan &s, cursor &c, uint64_t ends, const follow *into, uint32_t count, int depth) {
  s.out->present |= ends;
  skip_space(c);
  int w = 0;
  const int u = unit(c, &w);
  if (u == '"' && ends == 0) {
    c.p += w;
    return skip(s, c);
  }
  if (u == '{') {
    c.p += w;
    return count > 0 ? object(s, c, into, count, depth) : skip_object(s, c, depth);
  }
  if (u == '[') {
    c.p += w;
    return array(s, c, ends, into, count, depth);
  }
  return scalar(s, c, ends, u, w);
}

}  // namespace

sdb_scan_result sdb_scan_values(const char *text, const char *end, const sdb_path *paths,
                                uint32_t n, sdb_value_scan *out) {
  out->value_count = 0;
  out->byte_count = 0;
  out->present = 0;
  if (n > SDB_SCAN_PATHS_MAX) return SDB_SCAN_UNSURE;
  scan s{paths, out, false, false};
  cursor c{text, end};
  skip_space(c);
  int w = 0;
  const int u = unit(c, &w);
  // A text that is not an object gives no values, whether it parses or not.
  if (u != '{') return u == kUnsure && c.p < c.e ? SDB_SCAN_UNSURE : SDB_SCAN_DONE;
  c.p += w;
  follow root[SDB_SCAN_PATHS_MAX];
  for (uint32_t i = 0; i < n; i++) root[i] = follow_at(paths[i], i, 0);
  if (object(s, c, root, n, 1)) {
    skip_space(c);
    if (c.p == c.e) return SDB_SCAN_DONE;
    s.unsure = true;
  }
  out->value_count = 0;
  out->present = 0;
  return s.oom ? SDB_SCAN_NO_MEMORY : SDB_SCAN_UNSURE;
}

void sdb_value_scan_free(sdb_value_scan *s) {
  free(s->values);
  free(s->bytes);
  *s = sdb_value_scan{};
}
