#include "index/index.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/frame.h"
#include "index/inverted.h"

namespace {

constexpr uint32_t kInitialBuckets = 1024;
constexpr uint32_t kInitialDocs = 64;
constexpr uint32_t kInitialIdCap = 256;

char *copy_bytes(const char *s, size_t n) {
  char *p = static_cast<char *>(malloc(n + 1));
  if (p) {
    memcpy(p, s, n);
    p[n] = '\0';
  }
  return p;
}

// The map grows once it holds more than trunc(cap * 0.7) keys.
uint32_t id_map_limit(uint32_t cap) { return static_cast<uint32_t>(cap * 0.7); }

// First position along id's probe sequence that is empty or holds id.
// The load limit guarantees an empty position exists.
uint32_t id_map_probe(char *const *keys, uint32_t cap, const char *id, size_t len) {
  uint32_t mask = cap - 1;
  uint32_t pos = static_cast<uint32_t>(sdb_hash(id, len)) & mask;
  for (uint32_t n = 0; n < cap; n++, pos = (pos + 1) & mask) {
    const char *key = keys[pos];
    if (!key || (strlen(key) == len && memcmp(key, id, len) == 0)) return pos;
  }
  return cap;
}

// Moves every key into arrays of twice the capacity. On failure the old map
// stays in use, whole.
int id_map_grow(sdb_index *ix) {
  uint32_t cap = ix->id_cap * 2;
  char **keys = static_cast<char **>(calloc(cap, sizeof *keys));
  uint32_t *vals = static_cast<uint32_t *>(calloc(cap, sizeof *vals));
  if (!keys || !vals) {
    free(keys);
    free(vals);
    return -1;
  }
  for (uint32_t i = 0; i < ix->id_cap; i++) {
    char *key = ix->id_keys[i];
    if (!key) continue;
    uint32_t pos = id_map_probe(keys, cap, key, strlen(key));
    keys[pos] = key;
    vals[pos] = ix->id_vals[i];
  }
  free(ix->id_keys);
  free(ix->id_vals);
  ix->id_keys = keys;
  ix->id_vals = vals;
  ix->id_cap = cap;
  return 0;
}

// Removes id's key by shifting back the keys after it along the probe
// sequence, so no later key is cut off from its start position. Only an
// undone add removes a key; everywhere else keys are permanent.
void id_map_remove(sdb_index *ix, const char *id) {
  uint32_t mask = ix->id_cap - 1;
  uint32_t hole = id_map_probe(ix->id_keys, ix->id_cap, id, strlen(id));
  if (hole == ix->id_cap || !ix->id_keys[hole]) return;
  free(ix->id_keys[hole]);
  ix->id_keys[hole] = nullptr;
  ix->id_count--;
  for (uint32_t pos = (hole + 1) & mask; ix->id_keys[pos]; pos = (pos + 1) & mask) {
    const char *key = ix->id_keys[pos];
    uint32_t home = static_cast<uint32_t>(sdb_hash(key, strlen(key))) & mask;
    // The key may fill the hole only when its start lies cyclically
    // outside (hole, pos].
    bool start_after_hole = ((pos - home) & mask) < ((pos - hole) & mask);
    if (start_after_hole) continue;
    ix->id_keys[hole] = ix->id_keys[pos];
    ix->id_vals[hole] = ix->id_vals[pos];
    ix->id_keys[pos] = nullptr;
    hole = pos;
  }
}

int doc_table_grow(sdb_index *ix) {
  uint32_t cap = ix->doc_cap * 2;
  if (cap <= ix->doc_cap) return -1;
  sdb_doc *docs = static_cast<sdb_doc *>(realloc(ix->docs, cap * sizeof *docs));
  if (!docs) return -1;
  memset(docs + ix->doc_cap, 0, (cap - ix->doc_cap) * sizeof *docs);
  ix->docs = docs;
  ix->doc_cap = cap;
  return 0;
}

}  // namespace

uint64_t sdb_hash(const char *bytes, size_t n) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < n; i++) {
    h ^= static_cast<unsigned char>(bytes[i]);
    h *= 0x100000001B3ull;
  }
  return h;
}

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
  sdb_index *ix = static_cast<sdb_index *>(calloc(1, sizeof *ix));
  if (!ix) {
    sdb_error("oom: index");
    return nullptr;
  }
  sdb_copy_field(ix->name, sizeof ix->name, name);
  sdb_copy_field(ix->primary_key, sizeof ix->primary_key, primary_key ? primary_key : "id");
  ix->bucket_count = kInitialBuckets;
  ix->buckets = static_cast<sdb_term **>(calloc(kInitialBuckets, sizeof *ix->buckets));
  if (!ix->buckets) {
    free(ix);
    sdb_error("oom: buckets");
    return nullptr;
  }
  ix->doc_cap = kInitialDocs;
  ix->docs = static_cast<sdb_doc *>(calloc(kInitialDocs, sizeof *ix->docs));
  ix->id_cap = kInitialIdCap;
  ix->id_keys = static_cast<char **>(calloc(kInitialIdCap, sizeof *ix->id_keys));
  ix->id_vals = static_cast<uint32_t *>(calloc(kInitialIdCap, sizeof *ix->id_vals));
  if (!ix->docs || !ix->id_keys || !ix->id_vals) {
    free(ix->docs);
    free(ix->id_keys);
    free(ix->id_vals);
    free(ix->buckets);
    free(ix);
    sdb_error("oom: docs");
    return nullptr;
  }
  return ix;
}

void sdb_index_free(sdb_index *ix) {
  if (!ix) return;
  sdb_terms_clear(ix);
  free(ix->buckets);
  for (uint32_t i = 0; i < ix->doc_count; i++) {
    free(ix->docs[i].id);
    free(ix->docs[i].raw);
  }
  free(ix->docs);
  for (uint32_t i = 0; i < ix->id_cap; i++) free(ix->id_keys[i]);
  free(ix->id_keys);
  free(ix->id_vals);
  free(ix);
}

uint32_t sdb_id_map_find(const sdb_index *ix, const char *id) {
  if (ix->id_cap == 0) return SDB_NO_SLOT;
  uint32_t pos = id_map_probe(ix->id_keys, ix->id_cap, id, strlen(id));
  if (pos == ix->id_cap || !ix->id_keys[pos]) return SDB_NO_SLOT;
  return ix->id_vals[pos];
}

int sdb_id_map_insert(sdb_index *ix, const char *id, uint32_t slot) {
  if (ix->id_cap == 0) return -1;
  // Grow first, so a failed growth leaves the map without the new key
  // rather than over its load limit.
  if (ix->id_count + 1 > id_map_limit(ix->id_cap) && id_map_grow(ix) != 0) return -1;
  size_t len = strlen(id);
  uint32_t pos = id_map_probe(ix->id_keys, ix->id_cap, id, len);
  if (pos == ix->id_cap) return -1;
  char *key = copy_bytes(id, len);
  if (!key) return -1;
  ix->id_keys[pos] = key;
  ix->id_vals[pos] = slot;
  ix->id_count++;
  return 0;
}

uint32_t sdb_index_add_raw_doc(sdb_index *ix, const char *id, const char *raw, uint64_t raw_len,
                               sdb_doc_undo *undo) {
  uint32_t slot = sdb_id_map_find(ix, id);
  if (slot != SDB_NO_SLOT) {
    sdb_doc *d = &ix->docs[slot];
    char *text = copy_bytes(raw, raw_len);
    char *id_copy = d->id ? d->id : copy_bytes(id, strlen(id));
    if (!text || !id_copy) {
      free(text);
      if (id_copy != d->id) free(id_copy);
      sdb_error("oom: docs");
      return SDB_NO_SLOT;
    }
    if (undo) {
      *undo = sdb_doc_undo{slot, false, !d->alive, d->raw, d->raw_len, d->token_count};
    } else {
      free(d->raw);
    }
    d->raw = text;
    d->raw_len = raw_len;
    d->id = id_copy;
    d->alive = 1;
    return slot;
  }
  if (ix->doc_count == ix->doc_cap && doc_table_grow(ix) != 0) {
    sdb_error("oom: docs");
    return SDB_NO_SLOT;
  }
  slot = ix->doc_count;
  char *text = copy_bytes(raw, raw_len);
  char *id_copy = copy_bytes(id, strlen(id));
  if (!text || !id_copy || sdb_id_map_insert(ix, id, slot) != 0) {
    free(text);
    free(id_copy);
    sdb_error("oom: docs");
    return SDB_NO_SLOT;
  }
  sdb_doc *d = &ix->docs[slot];
  d->id = id_copy;
  d->raw = text;
  d->raw_len = raw_len;
  d->token_count = 0;
  d->alive = 1;
  ix->doc_count++;
  if (undo) *undo = sdb_doc_undo{slot, true, false, nullptr, 0, 0};
  return slot;
}

void sdb_index_undo_add(sdb_index *ix, sdb_doc_undo *undo) {
  sdb_doc *d = &ix->docs[undo->slot];
  free(d->raw);
  if (undo->created) {
    id_map_remove(ix, d->id);
    free(d->id);
    *d = sdb_doc{};
    ix->doc_count--;
    return;
  }
  d->raw = undo->raw;
  d->raw_len = undo->raw_len;
  d->token_count = undo->token_count;
  undo->raw = nullptr;
  if (undo->revived) {
    free(d->id);
    d->id = nullptr;
    d->alive = 0;
  }
}

void sdb_doc_undo_release(sdb_doc_undo *undo) {
  free(undo->raw);
  undo->raw = nullptr;
}
