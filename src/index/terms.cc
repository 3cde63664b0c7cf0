#include "index/terms.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/array.h"
#include "base/error.h"
#include "base/hashing.h"
#include "base/invariant.h"
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

// ---- The exact lookup ----

constexpr uint64_t kKeyHigh = 0xFFFFFFFF00000000ull;

uint32_t entry_id(uint64_t entry) {
  return static_cast<uint32_t>(entry);
}

// An entry holds the high half of its term's key, which a probe compares
// before it reads the term; its place comes from the low half, so moving
// it takes the key again from the term's text.
struct lookup_ops {
  static constexpr unsigned char kEmptyByte = 0xFF;
  static bool empty(uint64_t entry) { return entry == ~uint64_t{0}; }
  const sdb_terms *d;
  uint64_t hash(uint64_t entry) const {
    const sdb_term &t = d->terms[entry_id(entry)];
    return sdb_term_key(t.text, t.len);
  }
};

// The position of id's entry, whose key is key.
uint32_t position_of(const sdb_terms *d, uint64_t key, uint32_t id) {
  return sdb_table_probe<uint64_t, lookup_ops>(d->lookup, key,
                                               [id](uint64_t e) { return entry_id(e) == id; });
}

// ---- Big tfs ----

uint64_t tf_key(uint32_t id, uint32_t slot) {
  return (uint64_t{id} << 32 | slot) + 1;
}

struct big_tf_ops {
  static constexpr unsigned char kEmptyByte = 0;
  static bool empty(const sdb_big_tf &b) { return b.key == 0; }
  static uint64_t hash(const sdb_big_tf &b) { return sdb_table_hash_u64(b.key); }
};

uint32_t tf_probe(const sdb_table<sdb_big_tf> &t, uint64_t key) {
  return sdb_table_probe<sdb_big_tf, big_tf_ops>(
      t, sdb_table_hash_u64(key), [key](const sdb_big_tf &b) { return b.key == key; });
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

const char *sdb_terms_bad_text(const sdb_terms *d) {
  static const char k_empty[2] = {0, 0};  // a length byte of 0, then the NUL
  if (d->unchecked != nullptr) d->unchecked->failed = true;
  return k_empty + 1;
}

uint32_t sdb_terms_bad_id(const sdb_terms *d) {
  if (d->unchecked != nullptr) d->unchecked->failed = true;
  return 0;
}

int sdb_text_compare(const char *text, const char *bytes, uint32_t len) {
  const uint32_t text_len = sdb_text_len(text);
  const int c = memcmp(text, bytes, std::min(text_len, len));
  if (c != 0) return c;
  return text_len < len ? -1 : (text_len > len ? 1 : 0);
}

namespace {

// The id of the term with these bytes, by a binary search of the byte
// order, or SDB_NO_TERM.
uint32_t find_in_order(const sdb_terms *d, const char *bytes, uint32_t len) {
  uint32_t lo = 0, hi = d->count;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const int c = sdb_text_compare(sdb_order_text(d, mid), bytes, len);
    if (c == 0) return sdb_order_id(d, mid);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return SDB_NO_TERM;
}

}  // namespace

uint32_t sdb_terms_find_keyed(const sdb_terms *d, const char *bytes, uint32_t len, uint64_t key) {
  if (d->lent) return find_in_order(d, bytes, len);
  if (d->lookup.slots == nullptr) return SDB_NO_TERM;
  const uint64_t fragment = key & kKeyHigh;
  const sdb_term *terms = d->terms;
  const uint32_t pos = sdb_table_probe<uint64_t, lookup_ops>(d->lookup, key, [&](uint64_t entry) {
    if ((entry & kKeyHigh) != fragment) return false;
    const sdb_term *t = &terms[entry_id(entry)];
    return t->len == len && memcmp(t->text, bytes, len) == 0;
  });
  const uint64_t entry = d->lookup.slots[pos];
  return lookup_ops::empty(entry) ? SDB_NO_TERM : entry_id(entry);
}

void sdb_terms_prefetch_slot(const sdb_terms *d, uint64_t key) {
  if (d->lookup.slots != nullptr)
    __builtin_prefetch(&d->lookup.slots[static_cast<uint32_t>(key) & d->lookup.mask]);
}

void sdb_terms_prefetch_term(const sdb_terms *d, uint64_t key) {
  if (d->lookup.slots == nullptr) return;
  const uint64_t entry = d->lookup.slots[static_cast<uint32_t>(key) & d->lookup.mask];
  if (!lookup_ops::empty(entry) && (entry & kKeyHigh) == (key & kKeyHigh)) {
    __builtin_prefetch(&d->terms[entry_id(entry)]);
  }
}

uint32_t sdb_posting_tf(const sdb_terms *d, uint32_t id, uint32_t i) {
  const sdb_term *t = &sdb_term_at(d, id);
  const uint32_t tf = t->tfs[i] & SDB_TF_MASK;
  if (tf != SDB_TF_OVERFLOW) return tf;
  return d->big_tfs.slots[tf_probe(d->big_tfs, tf_key(id, t->docs[i]))].tf;
}

uint8_t sdb_tf_byte(uint32_t tf, bool title) {
  const uint32_t small = tf < SDB_TF_OVERFLOW ? tf : uint32_t{SDB_TF_OVERFLOW};
  return static_cast<uint8_t>(small | (title ? SDB_TF_TITLE : 0));
}

void sdb_terms_free(sdb_terms *d) {
  // A lent dictionary's postings all lie in its file, and most of its
  // records were never made: reading them all would only fault in their
  // zeroed pages.
  if (!d->lent)
    for (uint32_t id = 0; id < d->ids; id++)
      if (d->terms[id].cap > 0) free(d->terms[id].docs);
  free(d->terms);
  free(d->free_ids);
  sdb_table_free(&d->lookup);
  if (!d->lent) free(d->order);
  free(d->order_text);
  free(d->lcp);
  free(d->by_first);
  free(d->pool_docs);
  free(d->pool_tfs);
  sdb_table_free(&d->big_tfs);
  free_text_blocks(d->texts);
  free(d->unchecked);
  const uint32_t buckets = d->bucket_count, start = d->start_buckets;
  *d = sdb_terms{};
  d->bucket_count = buckets;
  d->start_buckets = start;
}

bool sdb_terms_reserve_records(sdb_terms *d, uint32_t n) {
  const uint64_t ids = static_cast<uint64_t>(d->ids) + n;
  if (ids > 0xFFFFFFF0u) return false;
  if (ids <= d->cap) return true;
  const uint64_t cap = sdb_grown_cap(d->cap, ids, kFirstTermCap);
  if (!sdb_resize_filled(&d->terms, cap) || !sdb_resize(&d->free_ids, cap)) return false;
  sdb_advise_huge(d->terms, cap * sizeof(sdb_term));
  d->cap = static_cast<uint32_t>(cap);
  return true;
}

bool sdb_terms_reserve_lookup(sdb_terms *d, uint32_t n) {
  SDB_ASSERT(!d->lent);
  const uint64_t need = std::min<uint64_t>(uint64_t{d->count} + n, 0xFFFFFFF0u);
  const uint64_t cap = sdb_table_cap_for(need, 1, 2, d->lookup.slots ? d->lookup.mask + 1 : 1024);
  if (d->lookup.slots != nullptr && cap == uint64_t{d->lookup.mask} + 1) return true;
  return sdb_table_resize(&d->lookup, cap, lookup_ops{d});
}

bool sdb_terms_reserve_lists(sdb_terms *d, uint32_t n) {
  SDB_ASSERT(!d->lent);
  const uint64_t listed = static_cast<uint64_t>(d->count) + n;
  if (listed <= d->list_cap) return true;
  const uint64_t cap = sdb_grown_cap(d->list_cap, listed, kFirstTermCap);
  if (!sdb_resize_filled(&d->order, cap) || !sdb_resize_filled(&d->order_text, cap) ||
      !sdb_resize_filled(&d->lcp, cap) || !sdb_resize_filled(&d->by_first, cap))
    return false;
  d->list_cap = static_cast<uint32_t>(cap);
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
  // Texts may lie outside the blocks (in a derived file): none of those
  // are dead bytes of the store.
  const uint64_t dead = stored > live ? stored - live : 0;
  if (dead > live && dead > kTextBlockBytes) return compact_texts(d, live, n);
  sdb_text_block *b = new_text_block(std::max(kTextBlockBytes, n));
  if (b == nullptr) return false;
  b->next = d->texts;
  d->texts = b;
  return true;
}

bool sdb_terms_reserve_big_tfs(sdb_terms *d, uint32_t n) {
  sdb_table<sdb_big_tf> *t = &d->big_tfs;
  const uint64_t need = static_cast<uint64_t>(t->count) + n;
  const uint64_t had = t->slots ? uint64_t{t->mask} + 1 : 0;
  if (need * 2 <= had) return true;
  return sdb_table_resize(t, sdb_table_cap_for(need, 1, 2, had ? had : 16), big_tf_ops{});
}

bool sdb_terms_own_postings(sdb_terms *d, uint32_t id, uint32_t cap) {
  sdb_term *t = &d->terms[id];
  if (t->cap >= cap) return true;
  // One block: the slots, then the tf bytes.
  auto *block = static_cast<uint32_t *>(sdb_alloc_touched(static_cast<size_t>(cap) * 5));
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
  // Room must have been made: a record, text store room and a lookup table
  // that keeps an empty position after this term.
  SDB_ASSERT(!d->lent && (d->free_count > 0 || d->ids < d->cap));
  SDB_ASSERT(d->texts != nullptr && d->texts->used + len + 2 <= d->texts->size);
  SDB_ASSERT(d->lookup.count + 1 < d->lookup.mask + 1);
  const uint32_t id = d->free_count > 0 ? d->free_ids[--d->free_count] : d->ids++;
  sdb_text_block *b = d->texts;
  char *text = b->bytes() + b->used + 1;
  text[-1] = static_cast<char>(len);
  memcpy(text, bytes, len);
  text[len] = '\0';
  b->used += len + 2;
  d->terms[id] = sdb_term{sdb_hash(bytes, len), text, len, 0, 0, 0, 0, nullptr, nullptr};
  const uint32_t pos =
      sdb_table_probe<uint64_t, lookup_ops>(d->lookup, key, [](uint64_t) { return false; });
  sdb_table_put_at(&d->lookup, pos, (key & kKeyHigh) | id);
  d->count++;
  return id;
}

bool sdb_terms_enter_all(sdb_terms *d) {
  if (!sdb_terms_reserve_lookup(d, 0)) return false;
  for (uint32_t id = 0; id < d->ids; id++) {
    const sdb_term &t = d->terms[id];
    const uint64_t key = sdb_term_key(t.text, t.len);
    const uint32_t pos =
        sdb_table_probe<uint64_t, lookup_ops>(d->lookup, key, [](uint64_t) { return false; });
    sdb_table_put_at(&d->lookup, pos, (key & kKeyHigh) | id);
  }
  return true;
}

bool sdb_terms_own(sdb_terms *d) {
  if (!d->lent) return true;
  // Every record is made before any is changed.
  for (uint32_t id = 0; id < d->ids; id++) (void)sdb_term_at(d, id);
  const size_t n = std::max<uint32_t>(d->count, 1);
  auto *order = static_cast<uint32_t *>(sdb_alloc_touched(n * sizeof(uint32_t)));
  auto *by_first = static_cast<uint32_t *>(sdb_alloc_touched(n * sizeof(uint32_t)));
  auto *order_text = static_cast<const char **>(sdb_alloc_touched(n * sizeof(const char *)));
  d->lent = false;  // for the lookup's own checks; restored on failure
  if (order == nullptr || by_first == nullptr || order_text == nullptr || !sdb_terms_enter_all(d)) {
    d->lent = true;
    free(order);
    free(by_first);
    free(order_text);
    return false;
  }
  if (d->count > 0) memcpy(order, d->order, d->count * sizeof(uint32_t));
  for (uint32_t i = 0; i < d->count; i++) order_text[i] = d->terms[order[i]].text;
  for (uint32_t id = 0; id < d->ids; id++) by_first[d->terms[id].rank] = id;
  d->order = order;
  d->order_text = order_text;
  d->by_first = by_first;
  d->list_cap = d->count;
  d->lent_texts = nullptr;
  d->lent_text_at = nullptr;
  d->lent_text_bytes = 0;
  return true;
}

void sdb_terms_remove(sdb_terms *d, uint32_t id) {
  SDB_ASSERT(!d->lent);
  const sdb_term &term = d->terms[id];
  sdb_table_remove_at(&d->lookup, position_of(d, sdb_term_key(term.text, term.len), id),
                      lookup_ops{d});
  sdb_term *t = &d->terms[id];
  if (t->cap > 0) free(t->docs);
  *t = sdb_term{};
  d->free_ids[d->free_count++] = id;
  d->count--;
}

void sdb_terms_set_big_tf(sdb_terms *d, uint32_t id, uint32_t slot, uint32_t tf) {
  sdb_table<sdb_big_tf> *t = &d->big_tfs;
  const uint64_t key = tf_key(id, slot);
  const uint32_t pos = tf_probe(*t, key);
  if (big_tf_ops::empty(t->slots[pos])) {
    sdb_table_put_at(t, pos, sdb_big_tf{key, tf});
  } else {
    t->slots[pos].tf = tf;
  }
}

void sdb_terms_clear_big_tf(sdb_terms *d, uint32_t id, uint32_t slot) {
  sdb_table<sdb_big_tf> *t = &d->big_tfs;
  if (t->slots == nullptr) return;
  const uint32_t pos = tf_probe(*t, tf_key(id, slot));
  if (!big_tf_ops::empty(t->slots[pos])) sdb_table_remove_at(t, pos, big_tf_ops{});
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
