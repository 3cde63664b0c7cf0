#include "index/column_bits.h"

#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/hashing.h"

namespace {

// Keys a column keeps, and how many of them with bits.
constexpr uint32_t kKeys = 16;
constexpr uint32_t kWithBits = 8;

struct entry {
  char *key;  // owned
  uint32_t len;
  uint64_t hash;
  uint64_t version;  // the column's, when the key was asked for
  uint64_t used;     // the clock at its last use
  uint64_t request;  // the column's use (sdb_column::used) at its last use
  uint64_t *bits;    // owned; nullptr until asked for twice
};

void entry_free(entry *e) {
  free(e->key);
  free(e->bits);
  *e = entry{};
}

}  // namespace

struct sdb_column_bits {
  entry entries[kKeys];
  uint32_t count;
  uint64_t clock;
};

uint64_t *sdb_column_bits_find(sdb_column_bits **kept, uint64_t version, uint64_t request,
                               uint32_t cell_count, const char *key, uint32_t len, bool *build) {
  *build = false;
  if (*kept == nullptr) {
    *kept = static_cast<sdb_column_bits *>(calloc(1, sizeof(sdb_column_bits)));
    if (*kept == nullptr) return nullptr;
  }
  sdb_column_bits *b = *kept;
  b->clock++;
  const uint64_t hash = sdb_table_hash(key, len);
  entry *e = nullptr;
  for (uint32_t i = 0; i < b->count && e == nullptr; i++)
    if (b->entries[i].hash == hash && b->entries[i].len == len &&
        memcmp(b->entries[i].key, key, len) == 0)
      e = &b->entries[i];
  if (e != nullptr && e->version != version) {  // kept from before a change
    free(e->bits);
    e->bits = nullptr;
    e->version = version;
    e->used = b->clock;
    e->request = request;
    return nullptr;
  }
  if (e != nullptr) {
    e->used = b->clock;
    e->request = request;
    if (e->bits != nullptr) return e->bits;
    // Asked for again: bits, making room among those with bits (never
    // taking those the request at hand holds).
    uint32_t with_bits = 0;
    entry *oldest = nullptr;
    for (uint32_t i = 0; i < b->count; i++) {
      entry &other = b->entries[i];
      if (other.bits == nullptr) continue;
      with_bits++;
      if (other.request != request && (oldest == nullptr || other.used < oldest->used))
        oldest = &other;
    }
    if (with_bits >= kWithBits) {
      if (oldest == nullptr) return nullptr;
      free(oldest->bits);
      oldest->bits = nullptr;
    }
    e->bits = static_cast<uint64_t *>(calloc(cell_count / 64 + 1, sizeof(uint64_t)));
    *build = e->bits != nullptr;
    return e->bits;
  }
  // A new key, in place of the least recently used one (not the request's)
  // when all are taken.
  const bool fresh = b->count < kKeys;
  entry *at = fresh ? &b->entries[b->count] : nullptr;
  for (uint32_t i = 0; !fresh && i < kKeys; i++) {
    entry &other = b->entries[i];
    if (other.request != request && (at == nullptr || other.used < at->used)) at = &other;
  }
  if (at == nullptr) return nullptr;
  char *copy = static_cast<char *>(malloc(len ? len : 1));
  if (copy == nullptr) return nullptr;
  if (len > 0) memcpy(copy, key, len);
  if (fresh) {
    b->count++;
  } else {
    entry_free(at);
  }
  *at = entry{copy, len, hash, version, b->clock, request, nullptr};
  return nullptr;
}

void sdb_column_bits_free(sdb_column_bits *b) {
  if (b == nullptr) return;
  for (uint32_t i = 0; i < b->count; i++) entry_free(&b->entries[i]);
  free(b);
}
