// A member value's text: a string up to its first NUL; a number printed
// with "%.10g" whatever its subtype; true and false as words; an array's
// strings and numbers joined with single spaces, cut at 2047 bytes (nested
// containers, booleans and null left out); nothing for null or an object.
// The title member is the first member keyed "title" or "name": its tokens
// are tagged -1, every other member's with its position.
#include "index/flatten.h"

#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/number_text.h"
#include "index/tokenizer.h"

namespace {

// A joined array's text holds at most this many bytes.
constexpr size_t kJoinedMax = SDB_JOINED_MAX;

// ---- Field token list ----

bool reserve_bytes(sdb_field_tokens *list, uint64_t n) {
  if (sdb_reserve(&list->bytes, &list->bytes_cap, list->bytes_len + n, 4096)) return true;
  list->failed = true;
  return false;
}

// Room for n more items.
bool reserve_items(sdb_field_tokens *list, uint64_t n) {
  if (sdb_reserve(&list->items, &list->cap, list->count + n, 256)) return true;
  list->failed = true;
  return false;
}

// Appends the tokens of text[0 .. n), folded, each with tag. Either all of
// them are appended or, when the list cannot grow, none. This is the
// tokenizer's loop made into one pass over the text: every token is copied
// and its ASCII capitals folded as it is found; only a token with bytes of
// multi-byte characters goes through the tokenizer's own folding, whose
// stepping over those characters decides which capitals it folds.
void append_text_tokens(sdb_field_tokens *list, const char *text, size_t n, int32_t tag) {
  // The tokens of a text never take more bytes than the text, and there
  // are never more of them than half its bytes and one.
  if (!reserve_bytes(list, n) || !reserve_items(list, n / 2 + 1)) return;
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  const auto *end = p + n;
  char *bytes = list->bytes;
  sdb_field_token *items = list->items;
  uint64_t w = list->bytes_len, count = list->count;
  for (;;) {
    while (p < end && !sdb_token_byte[*p]) p++;
    if (p == end) break;
    const unsigned char *token = p;
    const uint64_t start = w;
    unsigned char seen = 0;
    while (p < end && sdb_token_byte[*p]) {
      const unsigned char c = *p++;
      seen |= c;
      bytes[w++] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
    }
    if (seen & 0x80) {
      memcpy(bytes + start, token, w - start);
      sdb_fold_case(bytes + start, w - start);
    }
    items[count++] = {start, w - start, tag};
  }
  list->bytes_len = w;
  list->count = count;
}

// "%.10g" of the number converted to a double, whatever its subtype.
int format_number(yyjson_val *val, char *out, size_t size) {
  return sdb_print_general(out, size, yyjson_get_num(val), 10);
}

// A text of at most kJoinedMax bytes; appends that do not fit are cut.
struct sdb_joined {
  char text[kJoinedMax + 1];
  size_t len;
};

void join_append(sdb_joined *j, const char *s, size_t n) {
  size_t room = kJoinedMax - j->len;
  if (n > room) n = room;
  memcpy(j->text + j->len, s, n);
  j->len += n;
}

// A space first unless the text is still empty.
void join_word(sdb_joined *j, const char *s, size_t n) {
  if (j->len > 0) join_append(j, " ", 1);
  join_append(j, s, n);
}

// The strings and numbers of an array, in order, separated by spaces.
void join_array(yyjson_val *arr, sdb_joined *j) {
  j->len = 0;
  size_t idx, max;
  yyjson_val *elem;
  yyjson_arr_foreach(arr, idx, max, elem) {
    if (yyjson_is_str(elem)) {
      const char *s = yyjson_get_str(elem);
      join_word(j, s, strlen(s));
    } else if (yyjson_is_num(elem)) {
      char num[64];
      int n = format_number(elem, num, sizeof num);
      join_word(j, num, static_cast<size_t>(n));
    }
  }
}

}  // namespace

void sdb_collect_tokens(yyjson_val *val, sdb_field_tokens *list, int32_t tag) {
  switch (yyjson_get_type(val)) {
    case YYJSON_TYPE_STR: {
      const char *s = yyjson_get_str(val);
      append_text_tokens(list, s, strlen(s), tag);
      break;
    }
    case YYJSON_TYPE_NUM: {
      char num[64];
      int n = format_number(val, num, sizeof num);
      append_text_tokens(list, num, static_cast<size_t>(n), tag);
      break;
    }
    case YYJSON_TYPE_BOOL:
      if (yyjson_get_bool(val)) {
        append_text_tokens(list, "true", 4, tag);
      } else {
        append_text_tokens(list, "false", 5, tag);
      }
      break;
    case YYJSON_TYPE_ARR: {
      sdb_joined joined;
      join_array(val, &joined);
      append_text_tokens(list, joined.text, joined.len, tag);
      break;
    }
    default:
      break;  // null and objects give nothing
  }
}

yyjson_val *sdb_title_key(yyjson_val *root) {
  if (!yyjson_is_obj(root)) return nullptr;
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(root, idx, max, key, val) {
    if (yyjson_equals_str(key, "title") || yyjson_equals_str(key, "name")) return key;
  }
  return nullptr;
}

void sdb_collect_doc_tokens(yyjson_val *root, sdb_field_tokens *list) {
  if (yyjson_is_arr(root)) {
    size_t idx, max;
    yyjson_val *elem;
    yyjson_arr_foreach(root, idx, max, elem) sdb_collect_tokens(elem, list, 0);
    return;
  }
  if (!yyjson_is_obj(root)) return;
  yyjson_val *title = sdb_title_key(root);
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(root, idx, max, key, val) {
    sdb_collect_tokens(val, list, key == title ? -1 : static_cast<int32_t>(idx));
  }
}

size_t sdb_join_array(yyjson_val *arr, char *out) {
  sdb_joined joined;
  join_array(arr, &joined);
  memcpy(out, joined.text, joined.len);
  return joined.len;
}

void sdb_field_tokens_reset(sdb_field_tokens *list) {
  list->count = 0;
  list->bytes_len = 0;
  list->failed = false;
}

void sdb_field_tokens_free(sdb_field_tokens *list) {
  free(list->bytes);
  free(list->items);
  *list = sdb_field_tokens{};
}
