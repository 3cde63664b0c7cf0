// Output rules, the same for every caller so that equal parsed values always
// give equal texts:
//  - null, true, false as themselves;
//  - reals with "%.17g"; signed and unsigned integers converted to the
//    nearest double and printed with "%.0f" (so integers beyond 2^53 come
//    out as that double's exact value); both as in the C locale, whatever
//    locale the host has set;
//  - strings whole, by their stored length: '"' and '\' escaped with a
//    backslash, \b \t \n \f \r by letter, every other byte below 0x20
//    (NUL included) as \u00xx with lowercase hex digits, every byte from
//    0x20 up (0x7F and all of UTF-8 included) as itself;
//  - arrays and objects in stored order, duplicate keys kept, no white space.
//
// The buffer (*text, *len, *cap) grows before each piece of n bytes when
// cap < len + n + 2, doubling (from 256) as every growable array does
// (base/array.h). So there is always room for the terminating NUL.
//
// Nesting is walked with an explicit stack on the heap, so any depth the
// parser accepts is written without exhausting the call stack.
#include "index/canonical.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/array.h"
#include "base/number_text.h"
#include "index/entry.h"

namespace {

struct sdb_out {
  char **text;
  uint64_t *len;
  uint64_t *cap;
};

// Makes room for n more bytes and the terminator. On failure the block and
// the capacity stay as they were.
bool reserve(sdb_out out, uint64_t n) {
  return sdb_reserve(out.text, out.cap, *out.len + n + 2, 256);
}

bool put(sdb_out out, const char *bytes, size_t n) {
  if (!reserve(out, n)) return false;
  memcpy(*out.text + *out.len, bytes, n);
  *out.len += n;
  return true;
}

bool put_char(sdb_out out, char c) {
  return put(out, &c, 1);
}

bool put_number(sdb_out out, yyjson_val *val) {
  char scratch[64];
  int n;
  switch (yyjson_get_subtype(val)) {
    case YYJSON_SUBTYPE_UINT:
      n = sdb_print_fixed(scratch, sizeof scratch, static_cast<double>(yyjson_get_uint(val)), 0);
      break;
    case YYJSON_SUBTYPE_SINT:
      n = sdb_print_fixed(scratch, sizeof scratch, static_cast<double>(yyjson_get_sint(val)), 0);
      break;
    default:
      n = sdb_print_general(scratch, sizeof scratch, yyjson_get_real(val), 17);
      break;
  }
  // Integers reach at most 2^64 (21 characters with a sign) and "%.17g"
  // at most 24, so the scratch always holds the whole number.
  return put(out, scratch, static_cast<size_t>(n));
}

bool put_string(sdb_out out, const char *s, size_t n) {
  if (!reserve(out, sdb_entry_escaped_size(s, n) + 2)) return false;
  char *w = *out.text + *out.len;
  *w++ = '"';
  w = sdb_json_escape(w, s, n, SDB_HEX_LOWER);
  *w++ = '"';
  *out.len = static_cast<uint64_t>(w - *out.text);
  return true;
}

// Writes a value that has no children: a scalar or an empty container.
bool put_leaf(sdb_out out, yyjson_val *val) {
  switch (yyjson_get_type(val)) {
    case YYJSON_TYPE_NULL:
      return put(out, "null", 4);
    case YYJSON_TYPE_BOOL:
      return yyjson_get_bool(val) ? put(out, "true", 4) : put(out, "false", 5);
    case YYJSON_TYPE_NUM:
      return put_number(out, val);
    case YYJSON_TYPE_STR:
      return put_string(out, unsafe_yyjson_get_str(val), unsafe_yyjson_get_len(val));
    case YYJSON_TYPE_ARR:
      return put_char(out, '[') && put_char(out, ']');
    case YYJSON_TYPE_OBJ:
      return put_char(out, '{') && put_char(out, '}');
    default:
      return true;  // raw and invalid values write nothing
  }
}

// One open container. Its children lie one after another in the parsed
// document; an object's children alternate key, value.
struct sdb_frame {
  yyjson_val *next;  // next child to write
  size_t done;       // children written so far
  size_t total;      // all children (twice the member count for an object)
  bool is_obj;
};

using sdb_stack = sdb_vec<sdb_frame>;

bool push(sdb_stack *st, sdb_frame frame) {
  return st->push(frame);
}

// Writes val: a leaf directly, a non-empty container's opening bracket
// with a frame pushed for its children.
bool open_value(sdb_out out, sdb_stack *st, yyjson_val *val) {
  bool is_obj = yyjson_is_obj(val);
  size_t size = yyjson_is_arr(val) || is_obj ? unsafe_yyjson_get_len(val) : 0;
  if (size == 0) return put_leaf(out, val);
  if (!put_char(out, is_obj ? '{' : '[')) return false;
  return push(st, {unsafe_yyjson_get_first(val), 0, is_obj ? size * 2 : size, is_obj});
}

// Writes the separator before the next child of frame f, then the child.
bool write_next_child(sdb_out out, sdb_stack *st, sdb_frame *f) {
  yyjson_val *child = f->next;
  f->next = unsafe_yyjson_get_next(child);
  size_t pos = f->done++;
  if (f->is_obj && pos % 2 == 1) {
    // A value: the key before it was just written.
    if (!put_char(out, ':')) return false;
  } else if (pos > 0 && !put_char(out, ',')) {
    return false;
  }
  return open_value(out, st, child);
}

}  // namespace

bool sdb_json_emit(yyjson_val *val, char **text, uint64_t *len, uint64_t *cap) {
  sdb_out out{text, len, cap};
  sdb_stack st{};
  std::unique_ptr<sdb_stack, void (*)(sdb_stack *)> release(&st,
                                                            [](sdb_stack *s) { s->release(); });
  if (!open_value(out, &st, val)) return false;
  while (st.count > 0) {
    sdb_frame *top = &st.items[st.count - 1];
    if (top->done == top->total) {
      if (!put_char(out, top->is_obj ? '}' : ']')) return false;
      st.count--;
    } else if (!write_next_child(out, &st, top)) {
      return false;
    }
  }
  return true;
}

bool sdb_json_emit_string(const char *s, size_t n, char **text, uint64_t *len, uint64_t *cap) {
  return put_string({text, len, cap}, s, n);
}

char *sdb_val_to_json(yyjson_val *val, uint64_t *out_len) {
  char *text = nullptr;
  uint64_t len = 0;
  uint64_t cap = 0;
  if (!sdb_json_emit(val, &text, &len, &cap)) {
    free(text);
    return nullptr;
  }
  if (text == nullptr) {
    // Nothing was written: the empty text.
    text = static_cast<char *>(malloc(2));
    if (text == nullptr) return nullptr;
  }
  text[len] = '\0';
  if (out_len != nullptr) *out_len = len;
  return text;
}
