#include "index/terms.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/error.h"
#include "base/hashing.h"
#include "base/memory.h"

// Term texts live in blocks that never move while a text is in use, so a
// term can point at its text. Texts of removed terms stay behind as dead
// bytes until there are more of them than live ones; then the live texts
// move to one new block.
struct sdb_text_block {
  sdb_text_block *next;
  uint64_t used;
  uint64_t size;
  char *bytes() { return reinterpret_cast<char *>(this + 1); }
};

namespace {

constexpr uint64_t kTextBlockBytes = 64 * 1024;
constexpr uint32_t kFirstTermCap = 256;

uint64_t text_live_bytes(const sdb_terms *d) {
  uint64_t live = 0;
  for (uint32_t id = 0; id < d->ids; id++)
    if (d->terms[id].text != nullptr) live += d->terms[id].len + 2;
  return live;
}

uint64_t text_store_bytes(const sdb_terms *d) {
  uint64_t used = 0;
  for (const sdb_text_block *b = d->texts; b != nullptr; b = b->next) used += b->used;
  return used;
}

void free_text_blocks(sdb_text_block *b) {
  while (b != nullptr) {
    sdb_text_block *next = b->next;
    free(b);
    b = next;
  }
}

sdb_text_block *new_text_block(uint64_t size) {
  auto *b = static_cast<sdb_text_block *>(malloc(sizeof(sdb_text_block) + size));
  if (b != nullptr) *b = sdb_text_block{nullptr, 0, size};
  return b;
}

// Copies the text of t, with its length byte and NUL, to the end of block b
// and points t at the copy.
void move_text(sdb_text_block *b, sdb_term *t) {
  char *copy = b->bytes() + b->used;
  memcpy(copy, t->text - 1, t->len + 2);
  t->text = copy + 1;
  b->used += t->len + 2;
}

// Moves every live text into one block with room for n more bytes.
bool compact_texts(sdb_terms *d, uint64_t live, uint64_t n) {
  sdb_text_block *b = new_text_block(live + n);
  if (b == nullptr) return false;
  for (uint32_t id = 0; id < d->ids; id++)
    if (d->terms[id].text != nullptr) move_text(b, &d->terms[id]);
  for (uint32_t i = 0; i < d->count; i++) d->order_text[i] = d->terms[d->order[i]].text;
  free_text_blocks(d->texts);
  d->texts = b;
  return true;
}

constexpr uint64_t kEmpty = ~uint64_t{0};

uint32_t table_home(uint64_t key, uint32_t mask) {
  return static_cast<uint32_t>(key) & mask;
}

uint64_t table_entry(uint64_t key, uint32_t id) {
  return (key & 0xFFFFFFFF00000000ull) | id;
}

uint32_t entry_id(uint64_t entry) {
  return static_cast<uint32_t>(entry);
}

uint64_t key_of(const sdb_term &t) {
  return sdb_term_key(t.text, t.len);
}

void table_put(uint64_t *table, uint32_t mask, uint64_t key, uint32_t id) {
  uint32_t pos = table_home(key, mask);
  while (table[pos] != kEmpty) pos = (pos + 1) & mask;
  table[pos] = table_entry(key, id);
}

bool grow_table(sdb_terms *d, uint32_t need) {
  uint32_t size = d->table ? d->table_mask + 1 : 1024;
  while (static_cast<uint64_t>(need) * 2 > size) size *= 2;
  if (d->table != nullptr && size == d->table_mask + 1) return true;
  auto *table = static_cast<uint64_t *>(malloc(size * sizeof(uint64_t)));
  if (table == nullptr) return false;
  memset(table, 0xFF, size * sizeof(uint64_t));
  for (uint32_t id = 0; id < d->ids; id++)
    if (d->terms[id].text != nullptr) table_put(table, size - 1, key_of(d->terms[id]), id);
  free(d->table);
  d->table = table;
  d->table_mask = size - 1;
  return true;
}

template <typename T>
bool grow_array(T **array, uint32_t cap) {
  auto *grown = static_cast<T *>(realloc(*array, static_cast<size_t>(cap) * sizeof(T)));
  if (grown == nullptr) return false;
  *array = grown;
  return true;
}

// ---- Big tfs ----

uint64_t tf_key(uint32_t id, uint32_t slot) {
  return (uint64_t{id} << 32 | slot) + 1;
}

uint32_t tf_home(uint64_t key, uint32_t cap) {
  return static_cast<uint32_t>(sdb_table_hash_u64(key)) & (cap - 1);
}

uint32_t tf_probe(const sdb_tf_table *t, uint64_t key) {
  uint32_t pos = tf_home(key, t->cap);
  while (t->keys[pos] != 0 && t->keys[pos] != key) pos = (pos + 1) & (t->cap - 1);
  return pos;
}

// An entry of the order before its extensions: the first 8 bytes as a
// number, then the rest.
struct text_key {
  uint64_t head;
  uint32_t id;
};

uint64_t head_of(const sdb_term *t) {
  uint64_t key = 0;
  for (uint32_t i = 0; i < 8; i++)
    key = key << 8 | (i < t->len ? static_cast<uint8_t>(t->text[i]) : 0);
  return key;
}

}  // namespace

uint32_t sdb_buckets_after(uint32_t start, uint32_t n) {
  uint64_t buckets = start;
  while (n > buckets * 3 / 4) buckets *= 2;
  return static_cast<uint32_t>(buckets);
}

uint64_t sdb_scan_key(const sdb_terms *d, const sdb_term *t) {
  const uint64_t bucket = t->hash & (d->bucket_count - 1);
  uint32_t growths = 0, epoch = 0;
  for (uint64_t b = d->start_buckets; b < d->bucket_count; b *= 2) {
    growths++;
    // The doubling from b came right before the term numbered b * 3 / 4 + 1
    // was entered.
    if (t->rank >= b * 3 / 4) epoch++;
  }
  const bool newest_first = (growths - epoch) % 2 == 0;
  const uint32_t place = newest_first ? 0x7FFFFFFFu - t->rank : 0x80000000u | t->rank;
  return bucket << 32 | place;
}

int sdb_text_compare(const char *text, const char *bytes, uint32_t len) {
  const uint32_t text_len = sdb_text_len(text);
  const int c = memcmp(text, bytes, std::min(text_len, len));
  if (c != 0) return c;
  return text_len < len ? -1 : (text_len > len ? 1 : 0);
}

uint32_t sdb_terms_find_keyed(const sdb_terms *d, const char *bytes, uint32_t len, uint64_t key) {
  if (d->table == nullptr) return SDB_NO_TERM;
  const uint64_t fragment = key & 0xFFFFFFFF00000000ull;
  for (uint32_t pos = table_home(key, d->table_mask);; pos = (pos + 1) & d->table_mask) {
    const uint64_t entry = d->table[pos];
    if (entry == kEmpty) return SDB_NO_TERM;
    if ((entry & 0xFFFFFFFF00000000ull) != fragment) continue;
    const sdb_term *t = &d->terms[entry_id(entry)];
    if (t->len == len && memcmp(t->text, bytes, len) == 0) return entry_id(entry);
  }
}

void sdb_terms_prefetch_slot(const sdb_terms *d, uint64_t key) {
  if (d->table != nullptr) __builtin_prefetch(&d->table[table_home(key, d->table_mask)]);
}

void sdb_terms_prefetch_term(const sdb_terms *d, uint64_t key) {
  if (d->table == nullptr) return;
  const uint64_t entry = d->table[table_home(key, d->table_mask)];
  if (entry != kEmpty && (entry & 0xFFFFFFFF00000000ull) == (key & 0xFFFFFFFF00000000ull)) {
    __builtin_prefetch(&d->terms[entry_id(entry)]);
  }
}

uint32_t sdb_posting_tf(const sdb_terms *d, uint32_t id, uint32_t i) {
  const sdb_term *t = &d->terms[id];
  const uint32_t tf = t->tfs[i] & SDB_TF_MASK;
  if (tf != SDB_TF_OVERFLOW) return tf;
  const sdb_tf_table *big = &d->big_tfs;
  return big->tfs[tf_probe(big, tf_key(id, t->docs[i]))];
}

uint8_t sdb_tf_byte(uint32_t tf, bool title) {
  const uint32_t small = tf < SDB_TF_OVERFLOW ? tf : uint32_t{SDB_TF_OVERFLOW};
  return static_cast<uint8_t>(small | (title ? SDB_TF_TITLE : 0));
}

void sdb_terms_free(sdb_terms *d) {
  for (uint32_t id = 0; id < d->ids; id++)
    if (d->terms[id].cap > 0) free(d->terms[id].docs);
  free(d->terms);
  free(d->free_ids);
  free(d->table);
  free(d->order);
  free(d->order_text);
  free(d->lcp);
  free(d->by_first);
  free(d->pool_docs);
  free(d->pool_tfs);
  free(d->big_tfs.keys);
  free(d->big_tfs.tfs);
  free_text_blocks(d->texts);
  const uint32_t buckets = d->bucket_count, start = d->start_buckets;
  *d = sdb_terms{};
  d->bucket_count = buckets;
  d->start_buckets = start;
}

bool sdb_terms_reserve_records(sdb_terms *d, uint32_t n) {
  const uint64_t ids = static_cast<uint64_t>(d->ids) + n;
  if (ids > 0xFFFFFFF0u) return false;
  if (ids <= d->cap) return true;
  uint32_t cap = d->cap ? d->cap : kFirstTermCap;
  while (cap < ids) cap *= 2;
  if (!grow_array(&d->terms, cap) || !grow_array(&d->free_ids, cap)) return false;
  sdb_advise_huge(d->terms, cap * sizeof(sdb_term));
  d->cap = cap;
  return true;
}

bool sdb_terms_reserve_lookup(sdb_terms *d, uint32_t n) {
  return grow_table(d,
                    static_cast<uint32_t>(std::min<uint64_t>(uint64_t{d->count} + n, 0xFFFFFFF0u)));
}

bool sdb_terms_reserve_lists(sdb_terms *d, uint32_t n) {
  const uint64_t listed = static_cast<uint64_t>(d->count) + n;
  if (listed <= d->list_cap) return true;
  uint32_t cap = d->list_cap ? d->list_cap : kFirstTermCap;
  while (cap < listed) cap *= 2;
  if (!grow_array(&d->order, cap) || !grow_array(&d->order_text, cap) ||
      !grow_array(&d->lcp, cap) || !grow_array(&d->by_first, cap))
    return false;
  d->list_cap = cap;
  return true;
}

bool sdb_terms_reserve(sdb_terms *d, uint32_t n) {
  return sdb_terms_reserve_records(d, n) && sdb_terms_reserve_lists(d, n) &&
         sdb_terms_reserve_lookup(d, n);
}

bool sdb_terms_reserve_text(sdb_terms *d, uint64_t n) {
  if (d->texts != nullptr && d->texts->size - d->texts->used >= n) return true;
  const uint64_t stored = text_store_bytes(d);
  const uint64_t live = text_live_bytes(d);
  if (stored - live > live && stored - live > kTextBlockBytes) return compact_texts(d, live, n);
  sdb_text_block *b = new_text_block(std::max(kTextBlockBytes, n));
  if (b == nullptr) return false;
  b->next = d->texts;
  d->texts = b;
  return true;
}

bool sdb_terms_reserve_big_tfs(sdb_terms *d, uint32_t n) {
  sdb_tf_table *t = &d->big_tfs;
  const uint64_t need = static_cast<uint64_t>(t->count) + n;
  if (need * 2 <= t->cap) return true;
  uint32_t cap = t->cap ? t->cap : 16;
  while (need * 2 > cap) cap *= 2;
  auto *keys = static_cast<uint64_t *>(calloc(cap, sizeof(uint64_t)));
  auto *tfs = static_cast<uint32_t *>(malloc(cap * sizeof(uint32_t)));
  if (keys == nullptr || tfs == nullptr) {
    free(keys);
    free(tfs);
    return false;
  }
  sdb_tf_table grown{keys, tfs, cap, t->count};
  for (uint32_t i = 0; i < t->cap; i++) {
    if (t->keys[i] == 0) continue;
    const uint32_t pos = tf_probe(&grown, t->keys[i]);
    keys[pos] = t->keys[i];
    tfs[pos] = t->tfs[i];
  }
  free(t->keys);
  free(t->tfs);
  *t = grown;
  return true;
}

bool sdb_terms_own_postings(sdb_terms *d, uint32_t id, uint32_t cap) {
  sdb_term *t = &d->terms[id];
  if (t->cap >= cap) return true;
  // One block: the slots, then the tf bytes.
  auto *block = static_cast<uint32_t *>(malloc(static_cast<size_t>(cap) * 5));
  if (block == nullptr) return false;
  auto *tfs = reinterpret_cast<uint8_t *>(block + cap);
  if (t->count > 0) {
    memcpy(block, t->docs, t->count * sizeof(uint32_t));
    memcpy(tfs, t->tfs, t->count);
  }
  if (t->cap > 0) free(t->docs);
  t->docs = block;
  t->tfs = tfs;
  t->cap = cap;
  return true;
}

uint32_t sdb_terms_add(sdb_terms *d, const char *bytes, uint32_t len, uint64_t key) {
  const uint32_t id = d->free_count > 0 ? d->free_ids[--d->free_count] : d->ids++;
  sdb_text_block *b = d->texts;
  char *text = b->bytes() + b->used + 1;
  text[-1] = static_cast<char>(len);
  memcpy(text, bytes, len);
  text[len] = '\0';
  b->used += len + 2;
  d->terms[id] = sdb_term{sdb_hash(bytes, len), text, len, 0, 0, 0, 0, nullptr, nullptr};
  table_put(d->table, d->table_mask, key, id);
  d->count++;
  return id;
}

void sdb_terms_remove(sdb_terms *d, uint32_t id) {
  const uint32_t mask = d->table_mask;
  uint32_t hole = table_home(key_of(d->terms[id]), mask);
  while (entry_id(d->table[hole]) != id) hole = (hole + 1) & mask;
  d->table[hole] = kEmpty;
  // Shift back the ids after the hole that their probe would no longer reach.
  for (uint32_t pos = (hole + 1) & mask; d->table[pos] != kEmpty; pos = (pos + 1) & mask) {
    const uint32_t home = table_home(key_of(d->terms[entry_id(d->table[pos])]), mask);
    if (((pos - home) & mask) < ((pos - hole) & mask)) continue;
    d->table[hole] = d->table[pos];
    d->table[pos] = kEmpty;
    hole = pos;
  }
  sdb_term *t = &d->terms[id];
  if (t->cap > 0) free(t->docs);
  *t = sdb_term{};
  d->free_ids[d->free_count++] = id;
  d->count--;
}

void sdb_terms_set_big_tf(sdb_terms *d, uint32_t id, uint32_t slot, uint32_t tf) {
  sdb_tf_table *t = &d->big_tfs;
  const uint64_t key = tf_key(id, slot);
  const uint32_t pos = tf_probe(t, key);
  if (t->keys[pos] == 0) t->count++;
  t->keys[pos] = key;
  t->tfs[pos] = tf;
}

void sdb_terms_clear_big_tf(sdb_terms *d, uint32_t id, uint32_t slot) {
  sdb_tf_table *t = &d->big_tfs;
  if (t->cap == 0) return;
  const uint32_t mask = t->cap - 1;
  uint32_t hole = tf_probe(t, tf_key(id, slot));
  if (t->keys[hole] == 0) return;
  t->keys[hole] = 0;
  t->count--;
  for (uint32_t pos = (hole + 1) & mask; t->keys[pos] != 0; pos = (pos + 1) & mask) {
    const uint32_t home = tf_home(t->keys[pos], t->cap);
    if (((pos - home) & mask) < ((pos - hole) & mask)) continue;
    t->keys[hole] = t->keys[pos];
    t->tfs[hole] = t->tfs[pos];
    t->keys[pos] = 0;
    hole = pos;
  }
}

uint8_t sdb_terms_common_prefix(const sdb_term *a, const sdb_term *b) {
  const uint32_t n = std::min(a->len, b->len);
  uint32_t i = 0;
  while (i < n && a->text[i] == b->text[i]) i++;
  return static_cast<uint8_t>(i);  // at most SDB_TERM_MAX
}

bool sdb_terms_sort_by_text(sdb_terms *d) {
  const uint32_t n = d->count;
  uint32_t *ids = d->order;
  uint32_t k = 0;
  for (uint32_t id = 0; id < d->ids; id++)
    if (d->terms[id].text != nullptr) ids[k++] = id;
  // Sorting keys of 8 leading bytes settles almost every comparison without
  // touching the texts; token bytes are never 0, so a shorter text that is
  // a prefix of a longer one gets the smaller key.
  std::unique_ptr<text_key[], decltype(&free)> keys(
      static_cast<text_key *>(malloc(std::max<size_t>(n, 1) * sizeof(text_key))), free);
  const sdb_term *terms = d->terms;
  if (keys) {
    for (uint32_t i = 0; i < n; i++) keys[i] = {head_of(&terms[ids[i]]), ids[i]};
    std::sort(keys.get(), keys.get() + n, [terms](const text_key &a, const text_key &b) {
      if (a.head != b.head) return a.head < b.head;
      const sdb_term *x = &terms[a.id], *y = &terms[b.id];
      return sdb_term_compare(x, y->text, y->len) < 0;
    });
    for (uint32_t i = 0; i < n; i++) ids[i] = keys[i].id;
  } else {
    std::sort(ids, ids + n, [terms](uint32_t a, uint32_t b) {
      return sdb_term_compare(&terms[a], terms[b].text, terms[b].len) < 0;
    });
  }
  keys.reset();
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < n; i++) bytes += d->terms[ids[i]].len + 2;
  sdb_text_block *b = new_text_block(bytes);
  if (b != nullptr) {
    for (uint32_t i = 0; i < n; i++) move_text(b, &d->terms[ids[i]]);
    free_text_blocks(d->texts);
    d->texts = b;
  }
  for (uint32_t i = 0; i < n; i++) {
    d->order_text[i] = d->terms[ids[i]].text;
    d->lcp[i] = i == 0 ? 0 : sdb_terms_common_prefix(&d->terms[ids[i - 1]], &d->terms[ids[i]]);
  }
  return b != nullptr;
}
