#include "index/title_column.h"

#include <cstdlib>
#include <cstring>

#include "base/holders.h"
#include "base/array.h"
#include "index/tokenizer.h"

bool sdb_title_text_add(sdb_title_text *t, const char *token, uint64_t n) {
  if (n > SDB_TERM_MAX) n = SDB_TERM_MAX;
  if (!sdb_reserve(&t->bytes, &t->cap, t->len + n + 1, 64)) return false;
  if (t->len > 0) t->bytes[t->len++] = ' ';
  memcpy(t->bytes + t->len, token, n);
  t->len += n;
  return true;
}

void sdb_title_scratch_free(sdb_title_scratch *s) {
  sdb_field_tokens_free(&s->tokens);
  free(s->text.bytes);
  *s = sdb_title_scratch{};
}

bool sdb_title_of(yyjson_val *root, sdb_title_scratch *s) {
  s->text.len = 0;
  yyjson_val *key = sdb_title_key(root);
  if (key == nullptr) return true;
  sdb_field_tokens_reset(&s->tokens);
  sdb_collect_tokens(yyjson_obj_iter_get_val(key), &s->tokens, -1);
  if (s->tokens.failed) return false;
  for (uint64_t i = 0; i < s->tokens.count; i++) {
    const sdb_field_token &tok = s->tokens.items[i];
    if (!sdb_title_text_add(&s->text, s->tokens.bytes + tok.off, tok.len)) return false;
  }
  return true;
}
