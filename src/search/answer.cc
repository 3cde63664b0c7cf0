#include "search/answer.h"

#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/holders.h"
#include "index/entry.h"

// How much of a page's stored texts is fetched ahead: enough for a page of
// the usual size, not so much that it pushes itself out of the caches.
static constexpr uint32_t kPrefetchHits = 64;
static constexpr uint64_t kPrefetchBytes = 4096;

sdb_answer::~sdb_answer() {
  free(bytes);
}

sdb_hit_text::~sdb_hit_text() {
  sdb_doc_reader_free(&reader);
}

bool sdb_answer_append(sdb_answer *a, const char *bytes, size_t n) {
  if (!sdb_reserve(&a->bytes, &a->cap, a->len + n, 4096)) return false;
  memcpy(a->bytes + a->len, bytes, n);
  a->len += n;
  return true;
}

bool sdb_answer_hit(sdb_answer *a, bool *first, const sdb_doc *d, sdb_hit_text *text) {
  if (!d->alive) return true;
  bool oom;
  sdb_doc_ptr parsed(sdb_hit_parse(d, text, &oom));
  if (!parsed) return !oom;
  size_t n = 0;
  sdb_text_ptr written(
      yyjson_val_write_opts(yyjson_doc_get_root(parsed.get()), 0, nullptr, &n, nullptr));
  if (!written || (!*first && !sdb_answer_append(a, ",", 1)) ||
      !sdb_answer_append(a, written.get(), n))
    return false;
  *first = false;
  return true;
}

void sdb_answer_prefetch(const sdb_index *ix, const sdb_hit *hits, uint32_t start, uint32_t end) {
  for (uint32_t i = start; i < end && i < start + kPrefetchHits; i++) {
    const sdb_doc &d = ix->docs[hits[i].doc];
    for (uint64_t at = 0; d.alive && at < d.entry_len && at < kPrefetchBytes; at += 64)
      __builtin_prefetch(d.entry + at);
  }
}

yyjson_mut_doc *sdb_answer_tail(const char *query, double ms, uint32_t limit, uint32_t offset,
                                uint32_t total) {
  sdb_mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return nullptr;
  yyjson_mut_doc *d = doc.get();
  yyjson_mut_val *root = yyjson_mut_obj(d);
  if (!root) return nullptr;
  yyjson_mut_doc_set_root(d, root);
  const bool ok = yyjson_mut_obj_add_str(d, root, "query", query) &&
                  yyjson_mut_obj_add_real(d, root, "processingTimeMs", ms) &&
                  yyjson_mut_obj_add_int(d, root, "limit", limit) &&
                  yyjson_mut_obj_add_int(d, root, "offset", offset) &&
                  yyjson_mut_obj_add_int(d, root, "totalHits", (int32_t)total);
  return ok ? doc.release() : nullptr;
}

sdb_answer_status sdb_answer_finish(sdb_answer *a, yyjson_mut_doc *tail) {
  size_t tail_len = 0;
  yyjson_write_err err;
  sdb_text_ptr text(yyjson_mut_write_opts(tail, 0, nullptr, &tail_len, &err));
  if (!text)
    return err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION ? SDB_ANSWER_NO_MEMORY
                                                            : SDB_ANSWER_NOT_WRITABLE;
  // The tail begins with the brace of its object, which the comma replaces.
  if (!sdb_answer_append(a, "],", 2) || !sdb_answer_append(a, text.get() + 1, tail_len - 1))
    return SDB_ANSWER_NO_MEMORY;
  return SDB_ANSWER_OK;
}
