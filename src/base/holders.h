// Owners for the working memory of one call, so every early return releases
// it: heap text from malloc or yyjson's writer, parsed and mutable yyjson
// documents.
#pragma once

#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

struct sdb_free_deleter {
  void operator()(void *p) const { free(p); }
};
struct sdb_doc_deleter {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
struct sdb_mut_doc_deleter {
  void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};

using sdb_text_ptr = std::unique_ptr<char, sdb_free_deleter>;
using sdb_doc_ptr = std::unique_ptr<yyjson_doc, sdb_doc_deleter>;
using sdb_mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, sdb_mut_doc_deleter>;

// Grows the array *items (room for *cap items) to room for at least need,
// doubling from first; the items held stay. False when memory ran out, with
// the array as it was.
template <typename T, typename N>
bool sdb_reserve(T **items, N *cap, uint64_t need, uint64_t first = 64) {
  if (need <= *cap) return true;
  uint64_t grown = *cap ? uint64_t{*cap} * 2 : first;
  while (grown < need) grown *= 2;
  auto *p = static_cast<T *>(realloc(*items, grown * sizeof(T)));
  if (p == nullptr) return false;
  *items = p;
  *cap = static_cast<N>(grown);
  return true;
}

// An allocator for the JSON reader that backs large blocks with huge pages
// (sdb_advise_huge): a large batch's parse fills tens of megabytes at once.
const yyjson_alc *sdb_json_allocator(void);
