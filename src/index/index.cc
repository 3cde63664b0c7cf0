#include "index/index.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/error.h"
#include "base/memory.h"
#include "base/table.h"

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

// Gives back a slot's id unless it lies among the lent ones.
void id_free(const sdb_index *ix, char *id) {
  const auto at = reinterpret_cast<uintptr_t>(id), lent = reinterpret_cast<uintptr_t>(ix->lent_ids);
  if (at - lent >= ix->lent_ids_len) free(id);
}

// The map grows once it holds more than trunc(cap * 0.7) ids.
uint32_t id_map_limit(uint32_t cap) {
  return static_cast<uint32_t>(cap * 0.7);
}

// The id map's positions hold slot numbers; an id's entry is found through
// the document table.
struct id_ops {
  static constexpr unsigned char kEmptyByte = 0xFF;  // SDB_NO_SLOT
  static bool empty(uint32_t slot) { return slot == SDB_NO_SLOT; }
  const sdb_index *ix;
  uint64_t hash(uint32_t slot) const {
    const char *id = ix->docs[slot].id;
    return sdb_table_hash(id, strlen(id));
  }
};

// Makes the id map of an index whose map is pending: its positions
// cleared and every slot's id entered, the first slot of a repeated one
// keeping it, in room made for them. Deferred to the map's first use, as
// most processes that take their documents from the derived file never
// look an id up (nor touch the map's pages); no answer changes, so a map
// only read may be made.
void id_map_make(const sdb_index *ix) {
  if (!ix->ids_pending) return;
  auto *w = const_cast<sdb_index *>(ix);
  w->ids_pending = false;
  memset(w->ids.slots, id_ops::kEmptyByte, (uint64_t{w->ids.mask} + 1) * sizeof(uint32_t));
  w->ids.count = 0;
  for (uint32_t slot = 0; slot < w->doc_count; slot++) {
    const char *id = w->docs[slot].id;
    const uint32_t pos = sdb_table_probe<uint32_t, id_ops>(
        w->ids, sdb_table_hash(id, strlen(id)),
        [&](uint32_t other) { return strcmp(w->docs[other].id, id) == 0; });
    if (id_ops::empty(w->ids.slots[pos])) sdb_table_put_at(&w->ids, pos, slot);
  }
}

// The position along id's probe that holds it, or the empty one where it
// would go. The load limit guarantees an empty position exists.
uint32_t id_map_probe(const sdb_index *ix, const char *id) {
  id_map_make(ix);
  return sdb_table_probe<uint32_t, id_ops>(
      ix->ids, sdb_table_hash(id, strlen(id)),
      [&](uint32_t slot) { return strcmp(ix->docs[slot].id, id) == 0; });
}

bool id_map_resize(sdb_index *ix, uint32_t cap) {
  return sdb_table_resize(&ix->ids, cap, id_ops{ix});
}

// Removes id's position. Only an undone put removes an id; everywhere else
// ids are permanent.
void id_map_remove(sdb_index *ix, const char *id) {
  const uint32_t pos = id_map_probe(ix, id);
  if (!id_ops::empty(ix->ids.slots[pos])) sdb_table_remove_at(&ix->ids, pos, id_ops{ix});
}

// Grows the document table and the norms beside it to cap slots, in one
// block that a load fills whole (sdb_alloc_touched).
bool doc_table_resize(sdb_index *ix, uint64_t cap) {
  if (cap > 0x80000000u) return false;
  auto *docs = static_cast<sdb_doc *>(sdb_alloc_touched(cap * (sizeof(sdb_doc) + sizeof(double))));
  if (docs == nullptr) return false;
  auto *norms = reinterpret_cast<double *>(docs + cap);
  if (ix->doc_count > 0) {
    memcpy(docs, ix->docs, ix->doc_count * sizeof(sdb_doc));
    memcpy(norms, ix->norms, ix->doc_count * sizeof(double));
  }
  memset(docs + ix->doc_count, 0, (cap - ix->doc_count) * sizeof(sdb_doc));
  free(ix->docs);  // and the norms after them
  ix->docs = docs;
  ix->norms = norms;
  ix->doc_cap = static_cast<uint32_t>(cap);
  return true;
}

// Doubles the document table.
bool doc_table_grow(sdb_index *ix) {
  return doc_table_resize(ix, sdb_grown_cap(ix->doc_cap, uint64_t{ix->doc_cap} + 1, kInitialDocs));
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

// Gives back a block's memory, as it was got.
void block_free_bytes(const sdb_entry_block &b) {
  if (b.mapped)
    munmap(b.bytes, b.size);
  else
    free(b.bytes);
}

// A pass gives back what it has read of a mapped block in steps of this
// many bytes: few enough calls to cost nothing, small enough that the
// pass never holds much of the file.
constexpr uint64_t kReleaseStep = 4 << 20;

uintptr_t page_size() {
  static const uintptr_t size = [] {
    const long n = sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<uintptr_t>(n) : uintptr_t{4096};
  }();
  return size;
}

// Gives back the whole pages of [from, to) (rounded out when ends, in
// when not) of a mapped block.
const char *release_pages(const sdb_entry_block &b, const char *from, const char *to, bool ends) {
  const uintptr_t page = page_size();
  const auto lo = reinterpret_cast<uintptr_t>(from) & ~(page - 1);
  uintptr_t hi = reinterpret_cast<uintptr_t>(to);
  hi = ends ? (hi + page - 1) & ~(page - 1) : hi & ~(page - 1);
  const uintptr_t block_end =
      (reinterpret_cast<uintptr_t>(b.bytes) + b.size + page - 1) & ~(page - 1);
  hi = std::min(hi, block_end);
  if (hi > lo) madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_DONTNEED);
  return reinterpret_cast<const char *>(std::max(lo, hi));
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
  if (!doc_table_resize(ix, kInitialDocs) ||
      !sdb_table_reset<uint32_t, id_ops>(&ix->ids, kInitialIdCap)) {
    free(ix->docs);
    sdb_table_free(&ix->ids);
    free(ix);
    sdb_error(SEARCHDB_NOMEM, "oom: docs");
    return nullptr;
  }
  ix->built = true;
  ix->docs_block = SDB_NO_SLOT;
  ix->terms.bucket_count = SDB_FIRST_BUCKETS;
  ix->terms.start_buckets = SDB_FIRST_BUCKETS;
  return ix;
}

void sdb_index_free(sdb_index *ix) {
  if (ix == nullptr) return;
  sdb_terms_free(&ix->terms);
  if (ix->mapped != nullptr) munmap(ix->mapped, ix->mapped_len);
  if (ix->columns != nullptr) ix->columns_free(ix->columns);
  if (ix->catch_up != nullptr) ix->catch_up_free(ix->catch_up);
  free(ix->id_finder);
  ix->file_marks.release();
  for (uint32_t i = 0; i < ix->doc_count; i++) id_free(ix, ix->docs[i].id);
  free(ix->docs);  // and the norms
  sdb_table_free(&ix->ids);
  for (uint32_t b = 0; b < ix->block_count; b++) block_free_bytes(ix->blocks[b]);
  free(ix->blocks);
  free(ix);
}

uint32_t sdb_id_map_find(const sdb_index *ix, const char *id) {
  uint32_t slot;
  if (ix->ids_pending && ix->id_finder != nullptr && ix->id_find(ix, id, &slot)) return slot;
  const uint32_t pos = id_map_probe(ix, id);
  return ix->ids.slots[pos];
}

void sdb_id_map_make(const sdb_index *ix) {
  id_map_make(ix);
}

uint32_t sdb_block_add(sdb_index *ix, char *bytes, uint64_t size, bool mapped) {
  uint32_t block = ix->block_count;
  if (ix->blocks_free > 0) {
    block = 0;
    while (ix->blocks[block].bytes != nullptr) block++;
    ix->blocks_free--;
  } else {
    if (!sdb_reserve(&ix->blocks, &ix->block_cap, uint64_t{ix->block_count} + 1, 8))
      return SDB_NO_SLOT;
    ix->block_count++;
  }
  ix->blocks[block] = sdb_entry_block{bytes, size, 0, mapped};
  ix->entry_bytes += size;
  return block;
}

void sdb_block_drop_unused(sdb_index *ix, uint32_t block) {
  sdb_entry_block *b = &ix->blocks[block];
  if (b->bytes == nullptr || b->live != 0) return;
  block_free_bytes(*b);
  ix->entry_bytes -= b->size;
  *b = sdb_entry_block{};
  ix->blocks_free++;
  while (ix->block_count > 0 && ix->blocks[ix->block_count - 1].bytes == nullptr) {
    ix->block_count--;
    ix->blocks_free--;
  }
}

bool sdb_index_reserve(sdb_index *ix, uint32_t n) {
  id_map_make(ix);
  const uint64_t docs = uint64_t{ix->doc_count} + n, ids = uint64_t{ix->ids.count} + n;
  if (docs > 0x80000000u) return false;
  const uint64_t had = uint64_t{ix->ids.mask} + 1;
  uint64_t id_cap = had;
  while (ids > id_map_limit(static_cast<uint32_t>(id_cap))) id_cap *= 2;
  if (id_cap > 0x80000000u) return false;
  if (docs > ix->doc_cap && !doc_table_resize(ix, sdb_grown_cap(ix->doc_cap, docs, kInitialDocs)))
    return false;
  if (id_cap == had) return true;
  if (ix->doc_count != 0) return id_map_resize(ix, static_cast<uint32_t>(id_cap));
  // Nothing to move, as for a load: the positions are cleared when the
  // map is first used, which fills it whole.
  auto *slots = static_cast<uint32_t *>(sdb_alloc_huge(id_cap * sizeof(uint32_t)));
  if (slots == nullptr) return false;
  free(ix->ids.slots);
  ix->ids = sdb_table<uint32_t>{slots, static_cast<uint32_t>(id_cap - 1),
                                static_cast<uint32_t>(id_cap), 0};
  ix->ids_pending = true;
  return true;
}

uint32_t sdb_index_put(sdb_index *ix, const char *id, const char *entry, uint64_t entry_len,
                       uint32_t raw_off, uint64_t raw_len, uint32_t block, sdb_doc_undo *undo) {
  ix->docs_known = false;
  ix->matches_build = false;
  uint32_t pos = id_map_probe(ix, id);
  uint32_t slot = ix->ids.slots[pos];
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
  const bool grow = ix->ids.count + 1 > id_map_limit(ix->ids.mask + 1);
  if (id_copy == nullptr || (ix->doc_count == ix->doc_cap && !doc_table_grow(ix)) ||
      (grow && !id_map_resize(ix, (ix->ids.mask + 1) * 2))) {
    free(id_copy);
    sdb_error(SEARCHDB_NOMEM, "oom: docs");
    return SDB_NO_SLOT;
  }
  // The empty position found above holds unless the map moved.
  slot = ix->doc_count++;
  sdb_doc *d = &ix->docs[slot];
  *undo = sdb_doc_undo{slot, true, *d};
  *d = sdb_doc{id_copy, entry, entry_len, raw_len, raw_off, block, 0, 1};
  if (grow) pos = id_map_probe(ix, id);
  sdb_table_put_at(&ix->ids, pos, slot);
  block_use(ix, block, entry_bytes(*d));
  return slot;
}

void sdb_index_put_lent(sdb_index *ix, const char *id, const char *entry, uint64_t entry_len,
                        uint32_t raw_off, uint64_t raw_len, uint32_t block) {
  SDB_ASSERT(ix->doc_count < ix->doc_cap &&
             ix->ids.count + (ix->doc_count + 1) <= id_map_limit(ix->ids.mask + 1));
  sdb_doc *d = &ix->docs[ix->doc_count++];
  *d = sdb_doc{const_cast<char *>(id), entry, entry_len, raw_len, raw_off, block, 0, 1};
  block_use(ix, block, entry_bytes(*d));
  ix->ids_pending = true;
}

void sdb_index_kill(sdb_index *ix, uint32_t slot, sdb_doc_undo *undo) {
  ix->docs_known = false;
  ix->matches_build = false;
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
    id_free(ix, d->id);
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
  for (uint32_t b = 0; b < ix->block_count; b++) block_free_bytes(ix->blocks[b]);
  ix->blocks[0] = sdb_entry_block{bytes, ix->live_bytes, ix->live_bytes, false};
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

void sdb_release_behind(const sdb_index *ix, const sdb_doc *d, sdb_release_cursor *cur) {
  const bool onward = d != nullptr && d->block == cur->block && d->entry >= cur->from;
  if (cur->block != SDB_NO_SLOT && !onward) {
    // The pass leaves the block (or ends, or turns back): all it passed goes.
    release_pages(ix->blocks[cur->block], cur->from, cur->reach, true);
    cur->block = SDB_NO_SLOT;
  }
  if (d == nullptr) return;
  if (cur->block == SDB_NO_SLOT) {
    if (!ix->blocks[d->block].mapped) return;
    cur->block = d->block;
    cur->from = cur->reach = d->entry;
  }
  cur->reach = std::max(cur->reach, d->entry + entry_bytes(*d));
  // The page the pass is in stays: the next entry may begin on it.
  if (static_cast<uint64_t>(cur->reach - cur->from) >= kReleaseStep)
    cur->from = release_pages(ix->blocks[cur->block], cur->from, cur->reach, false);
}
