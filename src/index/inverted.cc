// The term table of an index, rebuilt whole from the stored documents.
//
// Every live document is parsed, its member values are flattened to text and
// tokenized into one field token list, and the tokens are entered in order:
// each distinct token (cut to SDB_TERM_MAX bytes after folding) has one
// sdb_term in the chain of bucket hash % bucket_count, new entries at the
// head of their chain, and one posting per document that holds it.
//
// Entries are carved from blocks (sdb_term_block, chained from
// ix->term_blocks) instead of being allocated one by one; a block is zeroed
// when it is obtained, and all blocks go when the table is cleared.
//
// Once every document is entered, the entries are also sorted by their bytes
// into the term order (sdb_term_order), which the matching of tokens that
// are not terms walks instead of the whole table.
//
// Documents are entered in ascending slot order, so while slot s is being
// entered its posting in a term, if any, is that term's last one: an
// occurrence looks at the last posting only.
//
// The new table is built apart from the index (sdb_rebuild) and installed
// only once it is complete: when memory runs out part-way the index keeps
// the table that describes the documents it had, and the caller takes its
// change back. An index never holds a table that misses some of its
// documents' tokens.
#include "index/inverted.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame/frame.h"
#include "index/index.h"
#include "index/tokenizer.h"
#include "search/bm25.h"

// Entries per block: about 150 KB, so a large table needs few allocations
// and a small one wastes little.
enum { SDB_TERMS_PER_BLOCK = 512 };

struct sdb_term_block {
  sdb_term_block *next;
  uint32_t used;
  sdb_term terms[SDB_TERMS_PER_BLOCK];
};

namespace {

// A joined array's text holds at most this many bytes.
constexpr size_t kJoinedMax = 2047;
constexpr uint32_t kFirstPostingCap = 8;

// ---- Field token list ----

bool reserve_bytes(sdb_field_tokens *list, uint64_t n) {
  uint64_t need = list->bytes_len + n;
  if (need <= list->bytes_cap) return true;
  uint64_t cap = list->bytes_cap == 0 ? 4096 : list->bytes_cap * 2;
  if (cap < need) cap = need;
  auto *bytes = static_cast<char *>(realloc(list->bytes, cap));
  if (bytes == nullptr) {
    list->failed = true;
    return false;
  }
  list->bytes = bytes;
  list->bytes_cap = cap;
  return true;
}

bool reserve_item(sdb_field_tokens *list) {
  if (list->count < list->cap) return true;
  uint64_t cap = list->cap == 0 ? 256 : list->cap * 2;
  auto *items = static_cast<sdb_field_token *>(realloc(list->items, cap * sizeof(sdb_field_token)));
  if (items == nullptr) {
    list->failed = true;
    return false;
  }
  list->items = items;
  list->cap = cap;
  return true;
}

// Appends the tokens of text[0 .. n), folded, each with tag. Either all of
// them are appended or, when the list cannot grow, none.
void append_text_tokens(sdb_field_tokens *list, const char *text, size_t n, int32_t tag) {
  uint64_t old_count = list->count;
  uint64_t old_bytes = list->bytes_len;
  // The tokens of a text never take more bytes than the text.
  if (!reserve_bytes(list, n)) return;
  size_t pos = 0, start = 0, len = 0;
  while (sdb_next_token(text, n, &pos, &start, &len)) {
    if (!reserve_item(list)) {
      list->count = old_count;
      list->bytes_len = old_bytes;
      return;
    }
    char *dst = list->bytes + list->bytes_len;
    memcpy(dst, text + start, len);
    sdb_fold_case(dst, len);
    list->items[list->count++] = {list->bytes_len, len, tag};
    list->bytes_len += len;
  }
}

// "%.10g" of the number converted to a double, whatever its subtype.
int format_number(yyjson_val *val, char *out, size_t size) {
  return snprintf(out, size, "%.10g", yyjson_get_num(val));
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

// ---- Term table ----

uint32_t bucket_of(uint64_t hash, uint32_t bucket_count) {
  return static_cast<uint32_t>(hash & (bucket_count - 1));  // bucket_count is a power of two
}

// Doubles the bucket array, relinking the entries bucket by bucket from 0,
// each chain from its head, at the head of their new chains. When the
// larger array cannot be obtained the table keeps its size.
void grow_buckets(sdb_rebuild *r) {
  uint32_t count = r->bucket_count * 2;
  if (count < r->bucket_count) return;
  auto **buckets = static_cast<sdb_term **>(calloc(count, sizeof(sdb_term *)));
  if (buckets == nullptr) return;
  for (uint32_t b = 0; b < r->bucket_count; b++) {
    sdb_term *t = r->buckets[b];
    while (t != nullptr) {
      sdb_term *next = t->next;
      uint32_t nb = bucket_of(t->hash, count);
      t->next = buckets[nb];
      buckets[nb] = t;
      t = next;
    }
  }
  free(r->buckets);
  r->buckets = buckets;
  r->bucket_count = count;
}

// A zero-filled entry from the current block, or from a new one.
sdb_term *take_entry(sdb_rebuild *r) {
  sdb_term_block *block = r->term_blocks;
  if (block == nullptr || block->used == SDB_TERMS_PER_BLOCK) {
    block = static_cast<sdb_term_block *>(calloc(1, sizeof *block));
    if (block == nullptr) return nullptr;
    block->next = r->term_blocks;
    r->term_blocks = block;
  }
  return &block->terms[block->used++];
}

// Makes the entry for a token that is not in the table, growing the table
// first when one more entry would exceed three per four buckets.
sdb_term *add_term(sdb_rebuild *r, const char *bytes, uint64_t len, uint64_t hash) {
  if (r->term_count + 1 > r->bucket_count * 3 / 4) grow_buckets(r);
  sdb_term *t = take_entry(r);
  if (t == nullptr) {
    sdb_error("oom: term");
    return nullptr;
  }
  t->hash = hash;
  memcpy(t->text, bytes, len);
  t->len = len;
  uint32_t b = bucket_of(hash, r->bucket_count);
  t->next = r->buckets[b];
  r->buckets[b] = t;
  r->term_count++;
  return t;
}

// Records one occurrence of the term in slot. False when there was no room
// for a new posting.
bool add_occurrence(sdb_term *t, uint32_t slot, int32_t tag) {
  uint32_t flags = tag == -1 ? SDB_POSTING_TITLE : 0;
  if (t->posting_count > 0) {
    sdb_posting *last = &t->postings[t->posting_count - 1];
    if (last->doc == slot) {
      last->tf++;
      last->flags |= flags;
      return true;
    }
  }
  if (t->posting_count == t->posting_cap) {
    uint32_t cap = t->posting_cap == 0 ? kFirstPostingCap : t->posting_cap * 2;
    auto *postings = static_cast<sdb_posting *>(realloc(t->postings, cap * sizeof(sdb_posting)));
    if (postings == nullptr) {
      sdb_error("oom: postings");
      return false;
    }
    t->postings = postings;
    t->posting_cap = cap;
  }
  t->postings[t->posting_count++] = {slot, 1, flags};
  t->doc_freq++;
  return true;
}

bool enter_token(sdb_rebuild *r, uint32_t slot, const char *bytes, uint64_t len, int32_t tag) {
  if (len > SDB_TERM_MAX) len = SDB_TERM_MAX;
  uint64_t hash = sdb_hash(bytes, len);
  sdb_term *t = sdb_term_find(r->bucket_count, r->buckets, bytes, len, hash);
  if (t == nullptr) t = add_term(r, bytes, len, hash);
  return t != nullptr && add_occurrence(t, slot, tag);
}

// Collects and enters the tokens of one live slot and records its token
// count. A text that does not parse gives no tokens. False when memory ran
// out, with the message set.
bool enter_document(const sdb_doc *d, uint32_t slot, sdb_rebuild *r, sdb_field_tokens *list) {
  yyjson_read_err err;
  yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(d->raw), d->raw_len, 0, nullptr, &err);
  if (doc == nullptr) {
    if (err.code != YYJSON_READ_ERROR_MEMORY_ALLOCATION) return true;
    sdb_error("oom: rebuild");
    return false;
  }
  sdb_field_tokens_reset(list);
  sdb_collect_doc_tokens(yyjson_doc_get_root(doc), list);
  yyjson_doc_free(doc);
  if (list->failed) {
    sdb_error("oom: rebuild");
    return false;
  }
  r->token_counts[slot] = list->count;
  r->total_tokens += list->count;
  for (uint64_t i = 0; i < list->count; i++) {
    const sdb_field_token &tok = list->items[i];
    if (!enter_token(r, slot, list->bytes + tok.off, tok.len, tok.tag)) return false;
  }
  return true;
}

// Releases every entry with its postings.
void free_term_blocks(sdb_term_block *block) {
  while (block != nullptr) {
    sdb_term_block *next = block->next;
    for (uint32_t i = 0; i < block->used; i++) free(block->terms[i].postings);
    free(block);
    block = next;
  }
}

// ---- Term order ----

// An entry with its sort key: its first 8 bytes, the first the most
// significant. Token bytes are never 0 and an entry's text is zero beyond
// its length, so the key orders a text before its extensions, and two keys
// are equal only when both texts go on past 8 bytes.
struct order_item {
  uint64_t key;
  sdb_term *term;
  uint32_t scan_pos;
};

uint64_t leading_key(const sdb_term *t) {
  uint64_t key = 0;
  for (int i = 0; i < 8; i++) key = key << 8 | static_cast<uint8_t>(t->text[i]);
  return key;
}

bool item_before(const order_item &a, const order_item &b) {
  if (a.key != b.key) return a.key < b.key;
  return strcmp(a.term->text + 8, b.term->text + 8) < 0;
}

uint8_t common_prefix(const sdb_term *a, const sdb_term *b) {
  uint64_t n = a->len < b->len ? a->len : b->len;
  uint64_t i = 0;
  while (i < n && a->text[i] == b->text[i]) i++;
  return static_cast<uint8_t>(i);  // at most SDB_TERM_MAX
}

void free_order(sdb_term_order *order) {
  free(order->terms);
  free(order->scan_pos);
  free(order->lcp);
  *order = sdb_term_order{};
}

// Sorts the entries of the table in r by their bytes into r->order. False
// when memory ran out.
bool build_order(sdb_rebuild *r) {
  const uint32_t n = r->term_count;
  if (n == 0) return true;
  std::unique_ptr<order_item, decltype(&free)> items(
      static_cast<order_item *>(malloc(n * sizeof(order_item))), free);
  sdb_term_order *order = &r->order;
  order->terms = static_cast<sdb_term **>(malloc(n * sizeof(sdb_term *)));
  order->scan_pos = static_cast<uint32_t *>(malloc(n * sizeof(uint32_t)));
  order->lcp = static_cast<uint8_t *>(malloc(n));
  if (!items || !order->terms || !order->scan_pos || !order->lcp) {
    free_order(order);
    return false;
  }
  uint32_t pos = 0;
  for (uint32_t b = 0; b < r->bucket_count; b++)
    for (sdb_term *t = r->buckets[b]; t != nullptr; t = t->next, pos++)
      items.get()[pos] = {leading_key(t), t, pos};
  std::sort(items.get(), items.get() + n, item_before);
  for (uint32_t i = 0; i < n; i++) {
    order->terms[i] = items.get()[i].term;
    order->scan_pos[i] = items.get()[i].scan_pos;
    order->lcp[i] = i == 0 ? 0 : common_prefix(order->terms[i - 1], order->terms[i]);
  }
  order->count = n;
  return true;
}

// Each slot's length factor, once every document is entered.
void fill_norms(const sdb_index *ix, sdb_rebuild *r) {
  const double avgdl = r->live_count ? sdb_average_length(r->total_tokens, r->live_count) : 1.0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++)
    r->doc_norms[slot] = ix->docs[slot].alive
                             ? sdb_length_norm(static_cast<double>(r->token_counts[slot]), avgdl)
                             : -1.0;
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

void sdb_collect_doc_tokens(yyjson_val *root, sdb_field_tokens *list) {
  if (yyjson_is_arr(root)) {
    size_t idx, max;
    yyjson_val *elem;
    yyjson_arr_foreach(root, idx, max, elem) sdb_collect_tokens(elem, list, 0);
    return;
  }
  if (!yyjson_is_obj(root)) return;
  yyjson_val *title = nullptr;
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(root, idx, max, key, val) {
    if (yyjson_equals_str(key, "title") || yyjson_equals_str(key, "name")) {
      title = key;
      break;
    }
  }
  yyjson_obj_foreach(root, idx, max, key, val) {
    sdb_collect_tokens(val, list, key == title ? -1 : static_cast<int32_t>(idx));
  }
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

sdb_term *sdb_term_find(uint32_t bucket_count, sdb_term *const *buckets, const char *bytes,
                        uint64_t len, uint64_t hash) {
  for (sdb_term *t = buckets[bucket_of(hash, bucket_count)]; t != nullptr; t = t->next) {
    if (t->hash == hash && t->len == len && memcmp(t->text, bytes, len) == 0) return t;
  }
  return nullptr;
}

void sdb_terms_clear(sdb_index *ix) {
  free_term_blocks(ix->term_blocks);
  ix->term_blocks = nullptr;
  memset(ix->buckets, 0, ix->bucket_count * sizeof(sdb_term *));
  ix->term_count = 0;
  free_order(&ix->order);
  free(ix->doc_norms);
  ix->doc_norms = nullptr;
}

bool sdb_rebuild_prepare(const sdb_index *ix, sdb_rebuild *r) {
  *r = sdb_rebuild{};
  r->bucket_count = ix->bucket_count;
  r->buckets = static_cast<sdb_term **>(calloc(r->bucket_count, sizeof(sdb_term *)));
  const size_t slots = ix->doc_count ? ix->doc_count : 1;
  r->token_counts = static_cast<uint64_t *>(calloc(slots, sizeof(uint64_t)));
  r->doc_norms = static_cast<double *>(malloc(slots * sizeof(double)));
  if (r->buckets == nullptr || r->token_counts == nullptr || r->doc_norms == nullptr) {
    sdb_rebuild_discard(r);
    sdb_error("oom: rebuild");
    return false;
  }
  sdb_field_tokens list{};
  std::unique_ptr<sdb_field_tokens, void (*)(sdb_field_tokens *)> release(&list,
                                                                          sdb_field_tokens_free);
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const sdb_doc *d = &ix->docs[slot];
    r->live_count += d->alive ? 1 : 0;
    if (d->alive && !enter_document(d, slot, r, &list)) {
      sdb_rebuild_discard(r);
      return false;
    }
  }
  fill_norms(ix, r);
  if (!build_order(r)) {
    sdb_rebuild_discard(r);
    sdb_error("oom: rebuild");
    return false;
  }
  return true;
}

void sdb_rebuild_install(sdb_index *ix, sdb_rebuild *r) {
  free_term_blocks(ix->term_blocks);
  free(ix->buckets);
  ix->buckets = r->buckets;
  ix->bucket_count = r->bucket_count;
  ix->term_count = r->term_count;
  ix->term_blocks = r->term_blocks;
  free_order(&ix->order);
  ix->order = r->order;
  ix->total_tokens = r->total_tokens;
  ix->live_count = r->live_count;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++)
    ix->docs[slot].token_count = r->token_counts[slot];
  free(r->token_counts);
  free(ix->doc_norms);
  ix->doc_norms = r->doc_norms;
  *r = sdb_rebuild{};
}

void sdb_rebuild_discard(sdb_rebuild *r) {
  free_term_blocks(r->term_blocks);
  free_order(&r->order);
  free(r->buckets);
  free(r->token_counts);
  free(r->doc_norms);
  *r = sdb_rebuild{};
}

bool sdb_index_rebuild(sdb_index *ix) {
  sdb_rebuild r;
  if (!sdb_rebuild_prepare(ix, &r)) return false;
  sdb_rebuild_install(ix, &r);
  return true;
}
