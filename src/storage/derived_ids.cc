#include "storage/derived_ids.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/checksum.h"
#include "index/index.h"
#include "storage/derived_map.h"

using namespace sdb_derived;

// What a lookup reads of the file's table, and what it has checked.
struct sdb_id_finder {
  const unsigned char *file;
  header h;
  const uint32_t *table;
  sdb_table_key key;
  bool sums_checked;
  uint64_t *chunks_done;  // a bit per chunk, after the struct
};

namespace {

bool bit(const uint64_t *bits, uint64_t i) {
  return (bits[i >> 6] >> (i & 63)) & 1;
}

void set_bit(uint64_t *bits, uint64_t i) {
  bits[i >> 6] |= uint64_t{1} << (i & 63);
}

// The slot of id into *slot, or false when the table does not find it
// there: an id it does not place (which a file made to pass its sums could
// leave out), or a table that cannot be trusted.
bool find(const sdb_index *ix, const char *id, uint32_t *slot) {
  sdb_id_finder *f = ix->id_finder;
  if (!f->sums_checked) {
    if (!sdb_derived_section_intact(f->file, f->h, S_ID_SUMS)) return false;
    f->sums_checked = true;
  }
  const uint64_t mask = f->h.id_positions - 1;
  const uint64_t hash = sdb_keyed_hash(f->key, id, strlen(id));
  for (uint64_t probe = 0; probe < f->h.id_positions; probe++) {
    const uint64_t pos = (hash + probe) & mask;
    const uint64_t chunk = pos * sizeof(uint32_t) / kPageChunk;
    if (!bit(f->chunks_done, chunk)) {
      if (!sdb_derived_id_chunk_intact(f->file, f->h, chunk)) return false;
      set_bit(f->chunks_done, chunk);
    }
    const uint32_t at = f->table[pos];
    if (at >= ix->doc_count) return false;  // an empty position, or a slot no document has
    if (strcmp(ix->docs[at].id, id) == 0) {
      *slot = at;
      return true;
    }
  }
  return false;
}

}  // namespace

void sdb_id_table_fill(const sdb_index *ix, uint32_t count, const sdb_table_key &key,
                       uint64_t positions, uint32_t *table) {
  memset(table, 0xFF, positions * sizeof(uint32_t));
  const uint64_t mask = positions - 1;
  for (uint32_t slot = 0; slot < count; slot++) {
    const char *id = ix->docs[slot].id;
    uint64_t pos = sdb_keyed_hash(key, id, strlen(id)) & mask;
    while (table[pos] != kNoSlot && strcmp(ix->docs[table[pos]].id, id) != 0)
      pos = (pos + 1) & mask;
    if (table[pos] == kNoSlot) table[pos] = slot;
  }
}

void sdb_id_table_sum(const uint32_t *table, uint64_t len, uint64_t *sums) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(table);
  for (uint64_t at = 0; at < len; at += kPageChunk)
    *sums++ = sdb_checksum(bytes + at, std::min(kPageChunk, len - at));
}

void sdb_id_finder_attach(sdb_index *ix, const unsigned char *bytes, uint64_t size) {
  header h;
  // Only for the documents as taken from this very file, before anything
  // changed them.
  if (!ix->ids_pending || !sdb_derived_header_read(bytes, size, &h) || h.id_positions == 0 ||
      h.located != ix->doc_count || h.id_bytes == 0 ||
      ix->lent_ids != reinterpret_cast<const char *>(bytes + h.sections[S_IDS].offset))
    return;
  const uint64_t words = (chunks_of(h.sections[S_ID_TABLE].length) + 63) / 64;
  auto *f =
      static_cast<sdb_id_finder *>(calloc(1, sizeof(sdb_id_finder) + words * sizeof(uint64_t)));
  if (f == nullptr) return;
  f->file = bytes;
  f->h = h;
  f->table = reinterpret_cast<const uint32_t *>(bytes + h.sections[S_ID_TABLE].offset);
  memcpy(f->key.k, h.id_key, sizeof f->key.k);
  f->chunks_done = reinterpret_cast<uint64_t *>(f + 1);
  free(ix->id_finder);
  ix->id_finder = f;
  ix->id_find = find;
}
