// The entries of the documents file, as the index holds its documents: the
// writer's escapes and the decoding of an entry's text (entry.h).
#include "index/entry.h"

#include <array>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#define SDB_PACK_BYTES 1
#endif

namespace {

// ---- The writer's escapes ----

// Output bytes of each byte of an escaped string.
constexpr std::array<uint8_t, 256> kEscapedSize = [] {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; c++) table[c] = c < 0x20 ? 6 : 1;
  for (int c : {'"', '\\', '\b', '\t', '\n', '\f', '\r'}) table[c] = 2;
  return table;
}();

// The letter after the backslash of the two-byte escapes.
constexpr std::array<char, 256> kEscapeLetter = [] {
  std::array<char, 256> table{};
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  return table;
}();

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr size_t kIdOpenLen = sizeof SDB_ENTRY_ID_OPEN - 1;
constexpr size_t kRawOpenLen = sizeof SDB_ENTRY_RAW_OPEN - 1;
constexpr size_t kCloseLen = sizeof SDB_ENTRY_CLOSE - 1;

#if SDB_PACK_BYTES
// For each set of kept bytes among eight (a bit each), the shuffle that
// packs them to the front, and how many there are.
struct pack_table {
  uint8_t index[256][8];
  uint8_t count[256];
};
constexpr pack_table kPack = [] {
  pack_table t{};
  for (int keep = 0; keep < 256; keep++) {
    int n = 0;
    for (int bit = 0; bit < 8; bit++)
      if (keep & (1 << bit)) t.index[keep][n++] = static_cast<uint8_t>(bit);
    t.count[keep] = static_cast<uint8_t>(n);
  }
  return t;
}();

// Decodes [*s, e) sixteen bytes at a time for as long as every escape met
// is a quotation mark, by dropping the backslashes: a stored text is JSON
// inside a string, where nearly every escape is one, several to a line.
// Stops before the first sixteen bytes that hold another escape (or one
// that a chunk would cut), leaving them to the caller. Writes at most
// sixteen bytes past the decoded ones, never beyond out_end.
__attribute__((target("ssse3"))) char *decode_quotes(const char **s, const char *e, char *out,
                                                     const char *out_end) {
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i high_half = _mm_set1_epi8(8);
  const char *p = *s;
  while (e - p >= 17 && out_end - out >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const unsigned escapes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, backslash)));
    if (escapes == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
      p += 16;
      out += 16;
      continue;
    }
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
    const unsigned quoted = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(next, quote)));
    if ((escapes & ~quoted) != 0) break;
    const unsigned keep = ~escapes & 0xFFFF;
    const unsigned low = keep & 0xFF, high = keep >> 8;
    const __m128i low_order = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kPack.index[low]));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_shuffle_epi8(v, low_order));
    out += kPack.count[low];
    const __m128i high_order = _mm_add_epi8(
        _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kPack.index[high])), high_half);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_shuffle_epi8(v, high_order));
    out += kPack.count[high];
    p += 16;
  }
  *s = p;
  return out;
}

const bool s_has_ssse3 = [] {
  __builtin_cpu_init();  // this runs among the constructors
  return __builtin_cpu_supports("ssse3") != 0;
}();
#endif

// Decodes the valid string body [s, e) into out; returns the end of the
// decoded bytes. out_end bounds what may be written: runs without escapes
// are copied 16 bytes at a time while out has that much room past them.
char *decode_span(const char *s, const char *e, char *out, const char *out_end) {
  for (;;) {
    const char *q = nullptr;
    bool resume = false;
#if SDB_PACK_BYTES
    if (s_has_ssse3) out = decode_quotes(&s, e, out, out_end);
#endif
#if defined(__SSE2__)
    const __m128i backslash = _mm_set1_epi8('\\');
    while (e - s >= 16 && out_end - out >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
      const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(v, backslash));
      if (mask != 0) {
        const int n = __builtin_ctz(static_cast<unsigned>(mask));
        s += n;
        out += n;
        // A stored text is JSON inside a string: nearly every escape in it
        // is a quotation mark or a backslash, which stand for themselves.
        if (e - s >= 2 && (s[1] == '"' || s[1] == '\\')) {
          *out++ = s[1];
          s += 2;
#if SDB_PACK_BYTES
          if (s_has_ssse3) {
            resume = true;  // back to sixteen bytes at a time
            break;
          }
#endif
          continue;
        }
        q = s;
        break;
      }
      s += 16;
      out += 16;
    }
#endif
    if (resume) continue;
    if (q == nullptr) {
      q = static_cast<const char *>(memchr(s, '\\', static_cast<size_t>(e - s)));
      const char *run_end = q ? q : e;
      if (run_end - s > out_end - out) return out;
      memcpy(out, s, static_cast<size_t>(run_end - s));
      out += run_end - s;
      if (q == nullptr) return out;
    }
    // Bytes that are not a valid body (a text where a damaged record
    // says one lies) end at an escape cut short: nothing past e is read.
    if (e - q < 2 || out_end - out < 1) return out;
    char c = q[1];
    s = q + 2;
    if (c != 'u') {
      *out++ = static_cast<char>(sdb_entry_escaped_byte(c));
      continue;
    }
    uint32_t cp = 0;
    if (e - q < 6) return out;
    sdb_hex4(q + 2, &cp);
    s = q + 6;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (e - q < 12) return out;
      uint32_t low = 0;
      sdb_hex4(q + 8, &low);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      s = q + 12;
    }
    if (out_end - out < sdb_utf8_length(cp)) return out;
    out += sdb_utf8_put(cp, out);
  }
}

}  // namespace

bool sdb_hex4(const char *p, uint32_t *out) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) {
    int h = hex_value(p[i]);
    if (h < 0) return false;
    v = v << 4 | static_cast<uint32_t>(h);
  }
  *out = v;
  return true;
}

int sdb_utf8_put(uint32_t cp, char *to) {
  const int n = sdb_utf8_length(cp);
  if (n == 1) {
    to[0] = static_cast<char>(cp);
    return 1;
  }
  static constexpr unsigned char kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (int i = n - 1; i > 0; i--, cp >>= 6) to[i] = static_cast<char>(0x80 | (cp & 0x3F));
  to[0] = static_cast<char>(kLead[n] | cp);
  return n;
}

uint8_t sdb_entry_escape_letter(unsigned char c) {
  return static_cast<uint8_t>(kEscapeLetter[c]);
}

char *sdb_entry_decode_span(const char *s, const char *e, char *out, const char *out_end) {
  return decode_span(s, e, out, out_end);
}

uint64_t sdb_entry_escaped_size(const char *raw, uint64_t raw_len) {
  const auto *b = reinterpret_cast<const unsigned char *>(raw);
  uint64_t size = 0;
  for (uint64_t i = 0; i < raw_len; i++) size += kEscapedSize[b[i]];
  return size;
}

char *sdb_json_escape(char *out, const char *raw, uint64_t raw_len, const char *hex) {
  const auto *b = reinterpret_cast<const unsigned char *>(raw);
  for (uint64_t i = 0; i < raw_len; i++) {
    unsigned char c = b[i];
    if (kEscapedSize[c] == 1) {
      *out++ = static_cast<char>(c);
    } else if (kEscapeLetter[c] != 0) {
      *out++ = '\\';
      *out++ = kEscapeLetter[c];
    } else {
      memcpy(out, "\\u00", 4);
      out[4] = hex[c >> 4];
      out[5] = hex[c & 0xF];
      out += 6;
    }
  }
  return out;
}

uint64_t sdb_entry_size(const char *id, uint64_t id_len, const char *raw, uint64_t raw_len) {
  return kIdOpenLen + sdb_entry_escaped_size(id, id_len) + kRawOpenLen +
         sdb_entry_escaped_size(raw, raw_len) + kCloseLen + 1;
}

uint32_t sdb_entry_write(char *out, const char *id, uint64_t id_len, const char *raw,
                         uint64_t raw_len) {
  char *w = out;
  memcpy(w, SDB_ENTRY_ID_OPEN, kIdOpenLen);
  w = sdb_entry_escape(w + kIdOpenLen, id, id_len);
  memcpy(w, SDB_ENTRY_RAW_OPEN, kRawOpenLen);
  w += kRawOpenLen;
  const auto raw_off = static_cast<uint32_t>(w - out);
  w = sdb_entry_escape(w, raw, raw_len);
  memcpy(w, SDB_ENTRY_CLOSE, kCloseLen);
  w[kCloseLen] = ',';
  return raw_off;
}

uint64_t sdb_entry_decode(const char *entry, uint64_t entry_len, uint32_t raw_off, char *out,
                          uint64_t out_cap) {
  char *end = decode_span(entry + raw_off, entry + entry_len - kCloseLen, out, out + out_cap - 1);
  *end = '\0';
  return static_cast<uint64_t>(end - out);
}

char *sdb_decode_string(const char *s, uint64_t n, uint64_t *out_len) {
  // A decoded string is never longer than its escaped form.
  auto *text = static_cast<char *>(malloc(n + 1));
  if (text == nullptr) return nullptr;
  char *end = decode_span(s, s + n, text, text + n);
  *end = '\0';
  *out_len = static_cast<uint64_t>(end - text);
  return text;
}
