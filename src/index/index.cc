#include "index/index.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/error.h"
#include "base/memory.h"

namespace {

constexpr uint32_t kInitialDocs = 64;
constexpr uint32_t kInitialIdCap = 256;
// Entries are compacted only once the dead bytes are worth a copy.
constexpr uint64_t kCompactAbove = 1 << 20;

char *copy_text(const char *s) {
  const size_t n = strlen(s);
  auto *p = static_cast<char *>(malloc(n + 1));
  if (p != nullptr) memcpy(p, s, n + 1);
  return p;
}

// The map grows once it holds more than trunc(cap * 0.7) ids.
uint32_t id_map_limit(uint32_t cap) {
  return static_cast<uint32_t>(cap * 0.7);
}

uint32_t id_home(const char *id, uint32_t cap) {
  return static_cast<uint32_t>(sdb_table_hash(id, strlen(id))) & (cap - 1);
}

// First position along id's probe sequence that is empty or holds id. The
// load limit guarantees an empty position exists.
uint32_t id_map_probe(const sdb_index *ix, const uint32_t *slots, uint32_t cap, const char *id) {
  const uint32_t mask = cap - 1;
  uint32_t pos = id_home(id, cap);
  while (slots[pos] != SDB_NO_SLOT && strcmp(ix->docs[slots[pos]].id, id) != 0)
    pos = (pos + 1) & mask;
  return pos;
}

uint32_t *new_id_positions(uint32_t cap) {
  auto *slots = static_cast<uint32_t *>(malloc(cap * sizeof(uint32_t)));
  if (slots != nullptr) memset(slots, 0xFF, cap * sizeof(uint32_t));
  return slots;
}

// Moves every slot number into cap positions (a power of two, larger than
// today's). On failure the old map stays in use, whole.
bool id_map_resize(sdb_index *ix, uint32_t cap) {
  uint32_t *slots = new_id_positions(cap);
  if (slots == nullptr) return false;
  for (uint32_t i = 0; i < ix->id_cap; i++) {
    const uint32_t slot = ix->id_slots[i];
    if (slot != SDB_NO_SLOT) slots[id_map_probe(ix, slots, cap, ix->docs[slot].id)] = slot;
  }
  free(ix->id_slots);
  ix->id_slots = slots;
  ix->id_cap = cap;
  return true;
}

bool id_map_grow(sdb_index *ix) {
  return id_map_resize(ix, ix->id_cap * 2);
}

// Removes id's position by shifting back the positions after it along the
// probe sequence, so no later id is cut off from its start. Only an undone
// put removes an id; everywhere else ids are permanent.
void id_map_remove(sdb_index *ix, const char *id) {
  const uint32_t mask = ix->id_cap - 1;
  uint32_t hole = id_map_probe(ix, ix->id_slots, ix->id_cap, id);
  if (ix->id_slots[hole] == SDB_NO_SLOT) return;
  ix->id_slots[hole] = SDB_NO_SLOT;
  ix->id_count--;
  for (uint32_t pos = (hole + 1) & mask; ix->id_slots[pos] != SDB_NO_SLOT; pos = (pos + 1) & mask) {
    const uint32_t home = id_home(ix->docs[ix->id_slots[pos]].id, ix->id_cap);
    // The id may fill the hole only when its start lies cyclically outside
    // (hole, pos].
    if (((pos - home) & mask) < ((pos - hole) & mask)) continue;
    ix->id_slots[hole] = ix->id_slots[pos];
    ix->id_slots[pos] = SDB_NO_SLOT;
    hole = pos;
  }
}

// Grows the document table and the norms beside it to cap slots.
bool doc_table_resize(sdb_index *ix, uint32_t cap) {
  auto *norms = static_cast<double *>(realloc(ix->norms, cap * sizeof(double)));
  if (norms == nullptr) return false;
  ix->norms = norms;
  auto *docs = static_cast<sdb_doc *>(realloc(ix->docs, cap * sizeof(sdb_doc)));
  if (docs == nullptr) return false;
  memset(docs + ix->doc_cap, 0, (cap - ix->doc_cap) * sizeof(sdb_doc));
  ix->docs = docs;
  ix->doc_cap = cap;
  return true;
}

// Doubles the document table.
bool doc_table_grow(sdb_index *ix) {
  const uint32_t cap = ix->doc_cap * 2;
  return cap > ix->doc_cap && doc_table_resize(ix, cap);
}

void block_use(sdb_index *ix, uint32_t block, uint64_t bytes) {
  ix->blocks[block].live += bytes;
  ix->live_bytes += bytes;
}

void block_release(sdb_index *ix, uint32_t block, uint64_t bytes) {
  sdb_entry_block *b = &ix->blocks[block];
  b->live -= bytes;
  ix->live_bytes -= bytes;
  if (b->live == 0) sdb_block_drop_unused(ix, block);
}

// Bytes an entry takes in its block, its comma included.
uint64_t entry_bytes(const sdb_doc &d) {
  return d.entry_len + 1;
}

}  // namespace

void sdb_copy_field(char *dst, size_t size, const char *src) {
  size_t n = strlen(src);
  if (n >= size) {
    n = size - 1;
    // src[n] is the first byte left out; when it continues a character,
    // that character goes too (a UTF-8 sequence has at most 3 such bytes).
    for (int k = 0; k < 3 && n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80; k++) n--;
  }
  memcpy(dst, src, n);
  dst[n] = '\0';
}

sdb_index *sdb_index_new(const char *name, const char *primary_key) {
  auto *ix = static_cast<sdb_index *>(calloc(1, sizeof(sdb_index)));
  if (ix == nullptr) {
    sdb_error(SEARCHDB_NOMEM, "oom: index");
    return nullptr;
  }
  sdb_copy_field(ix->name, sizeof ix->name, name);
  sdb_copy_field(ix->primary_key, sizeof ix->primary_key, primary_key ? primary_key : "id");
  ix->doc_cap = kInitialDocs;
  ix->docs = static_cast<sdb_doc *>(calloc(kInitialDocs, sizeof(sdb_doc)));
  ix->norms = static_cast<double *>(malloc(kInitialDocs * sizeof(double)));
  ix->id_cap = kInitialIdCap;
  ix->id_slots = new_id_positions(kInitialIdCap);
  if (ix->docs == nullptr || ix->norms == nullptr || ix->id_slots == nullptr) {
    free(ix->docs);
    free(ix->norms);
    free(ix->id_slots);
    free(ix);
    sdb_error(SEARCHDB_NOMEM, "oom: docs");
    return nullptr;
  }
  ix->built = true;
  ix->terms.bucket_count = SDB_FIRST_BUCKETS;
  ix->terms.start_buckets = SDB_FIRST_BUCKETS;
  return ix;
}

void sdb_index_free(sdb_index *ix) {
  if (ix == nullptr) return;
  sdb_terms_free(&ix->terms);
  if (ix->columns != nullptr) ix->columns_free(ix->columns);
  for (uint32_t i = 0; i < ix->doc_count; i++) free(ix->docs[i].id);
  free(ix->docs);
  free(ix->norms);
  free(ix->id_slots);
  for (uint32_t b = 0; b < ix->block_count; b++) free(ix->blocks[b].bytes);
  free(ix->blocks);
  free(ix);
}

uint32_t sdb_id_map_find(const sdb_index *ix, const char *id) {
  return ix->id_slots[id_map_probe(ix, ix->id_slots, ix->id_cap, id)];
}

uint32_t sdb_block_add(sdb_index *ix, char *bytes, uint64_t size) {
  uint32_t block = ix->block_count;
  if (ix->blocks_free > 0) {
    block = 0;
    while (ix->blocks[block].bytes != nullptr) block++;
    ix->blocks_free--;
  } else {
    if (ix->block_count == ix->block_cap) {
      const uint32_t cap = ix->block_cap ? ix->block_cap * 2 : 8;
      auto *blocks =
          static_cast<sdb_entry_block *>(realloc(ix->blocks, cap * sizeof(sdb_entry_block)));
      if (blocks == nullptr) return SDB_NO_SLOT;
      ix->blocks = blocks;
      ix->block_cap = cap;
    }
    ix->block_count++;
  }
  ix->blocks[block] = sdb_entry_block{bytes, size, 0};
  ix->entry_bytes += size;
  return block;
}

void sdb_block_drop_unused(sdb_index *ix, uint32_t block) {
  sdb_entry_block *b = &ix->blocks[block];
  if (b->bytes == nullptr || b->live != 0) return;
  free(b->bytes);
  ix->entry_bytes -= b->size;
  *b = sdb_entry_block{};
  ix->blocks_free++;
  while (ix->block_count > 0 && ix->blocks[ix->block_count - 1].bytes == nullptr) {
    ix->block_count--;
    ix->blocks_free--;
  }
}

bool sdb_index_reserve(sdb_index *ix, uint32_t n) {
  const uint64_t docs = uint64_t{ix->doc_count} + n, ids = uint64_t{ix->id_count} + n;
  if (docs > 0x80000000u) return false;
  uint64_t doc_cap = ix->doc_cap, id_cap = ix->id_cap;
  while (doc_cap < docs) doc_cap *= 2;
  while (ids > id_map_limit(static_cast<uint32_t>(id_cap))) id_cap *= 2;
  if (id_cap > 0x80000000u) return false;
  if (doc_cap > ix->doc_cap && !doc_table_resize(ix, static_cast<uint32_t>(doc_cap))) return false;
  return id_cap == ix->id_cap || id_map_resize(ix, static_cast<uint32_t>(id_cap));
}

uint32_t sdb_index_put(sdb_index *ix, const char *id, const char *entry, uint64_t entry_len,
                       uint32_t raw_off, uint64_t raw_len, uint32_t block, sdb_doc_undo *undo) {
  uint32_t pos = id_map_probe(ix, ix->id_slots, ix->id_cap, id);
  uint32_t slot = ix->id_slots[pos];
  if (slot != SDB_NO_SLOT) {
    sdb_doc *d = &ix->docs[slot];
    *undo = sdb_doc_undo{slot, false, *d};
    d->entry = entry;
    d->entry_len = entry_len;
    d->raw_off = raw_off;
    d->raw_len = raw_len;
    d->block = block;
    d->alive = 1;
    block_use(ix, block, entry_bytes(*d));
    return slot;
  }
  // Everything that can fail comes first, so a failure leaves the index as
  // it was.
  char *id_copy = copy_text(id);
  const bool grow = ix->id_count + 1 > id_map_limit(ix->id_cap);
  if (id_copy == nullptr || (ix->doc_count == ix->doc_cap && !doc_table_grow(ix)) ||
      (grow && !id_map_grow(ix))) {
    free(id_copy);
    sdb_error(SEARCHDB_NOMEM, "oom: docs");
    return SDB_NO_SLOT;
  }
  // The empty position found above holds unless the map moved.
  if (grow) pos = id_map_probe(ix, ix->id_slots, ix->id_cap, id);
  slot = ix->doc_count++;
  sdb_doc *d = &ix->docs[slot];
  *undo = sdb_doc_undo{slot, true, *d};
  *d = sdb_doc{id_copy, entry, entry_len, raw_len, raw_off, block, 0, 1};
  ix->id_slots[pos] = slot;
  ix->id_count++;
  block_use(ix, block, entry_bytes(*d));
  return slot;
}

void sdb_index_kill(sdb_index *ix, uint32_t slot, sdb_doc_undo *undo) {
  sdb_doc *d = &ix->docs[slot];
  *undo = sdb_doc_undo{slot, false, *d};
  *d = sdb_doc{d->id, nullptr, 0, 0, 0, 0, 0, 0};
}

void sdb_index_undo(sdb_index *ix, sdb_doc_undo *undo) {
  sdb_doc *d = &ix->docs[undo->slot];
  const bool had_new_entry = d->alive && d->entry != undo->before.entry;
  if (had_new_entry) block_release(ix, d->block, entry_bytes(*d));
  if (undo->created) {
    id_map_remove(ix, d->id);
    free(d->id);
    *d = sdb_doc{};
    ix->doc_count--;
    return;
  }
  *d = undo->before;
}

void sdb_index_settle(sdb_index *ix, const sdb_doc_undo *undo) {
  const sdb_doc &before = undo->before;
  const sdb_doc &now = ix->docs[undo->slot];
  if (before.alive && before.entry != now.entry)
    block_release(ix, before.block, entry_bytes(before));
}

void sdb_index_compact_entries(sdb_index *ix) {
  const uint64_t dead = ix->entry_bytes - ix->live_bytes;
  if (dead <= ix->live_bytes || dead < kCompactAbove) return;
  auto *bytes = static_cast<char *>(malloc(ix->live_bytes ? ix->live_bytes : 1));
  if (bytes == nullptr) return;
  sdb_advise_huge(bytes, ix->live_bytes);
  char *w = bytes;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    sdb_doc *d = &ix->docs[slot];
    if (!d->alive) continue;
    memcpy(w, d->entry, d->entry_len + 1);
    d->entry = w;
    d->block = 0;
    w += d->entry_len + 1;
  }
  for (uint32_t b = 0; b < ix->block_count; b++) free(ix->blocks[b].bytes);
  ix->blocks[0] = sdb_entry_block{bytes, ix->live_bytes, ix->live_bytes};
  ix->block_count = 1;
  ix->blocks_free = 0;
  ix->entry_bytes = ix->live_bytes;
}

uint32_t sdb_index_list_find(const sdb_index_list *list, const char *name) {
  for (uint32_t i = 0; i < list->count; i++)
    if (strcmp(list->items[i]->name, name) == 0) return i;
  return SDB_NO_INDEX;
}

bool sdb_index_list_add(sdb_index_list *list, sdb_index *ix) {
  if (!sdb_reserve(&list->items, &list->cap, uint64_t{list->count} + 1, 8)) return false;
  list->items[list->count++] = ix;
  return true;
}

void sdb_index_list_clear(sdb_index_list *list) {
  for (uint32_t i = 0; i < list->count; i++) sdb_index_free(list->items[i]);
  free(list->items);
  *list = sdb_index_list{};
}
