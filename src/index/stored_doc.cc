#include "index/stored_doc.h"

#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/holders.h"
#include "index/entry.h"

yyjson_doc *sdb_doc_read(sdb_doc_reader *r, const sdb_doc *d, bool *oom) {
  *oom = true;
  const uint64_t escaped = sdb_entry_escaped_length(d->entry_len, d->raw_off);
  if (!sdb_reserve(&r->text, &r->cap, escaped + 1 + YYJSON_PADDING_SIZE, 256)) return nullptr;
  if (r->alc == nullptr && (r->alc = yyjson_alc_dyn_new()) == nullptr) return nullptr;
  const uint64_t len = sdb_entry_decode(d->entry, d->entry_len, d->raw_off, r->text, r->cap);
  memset(r->text + len, 0, YYJSON_PADDING_SIZE);
  yyjson_read_err err;
  yyjson_doc *doc = yyjson_read_opts(r->text, len, YYJSON_READ_INSITU, r->alc, &err);
  *oom = doc == nullptr && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION;
  return doc;
}

void sdb_doc_reader_free(sdb_doc_reader *r) {
  free(r->text);
  if (r->alc != nullptr) yyjson_alc_dyn_free(r->alc);
  *r = sdb_doc_reader{};
}
