#include "base/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace {

constexpr uintptr_t kHuge = uintptr_t{2} << 20;

}  // namespace

void sdb_advise_huge(void *block, size_t size) {
  // A block smaller than a huge page cannot hold one.
  if (size < kHuge) return;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHuge - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

void *sdb_alloc_filled(size_t size, void **base) {
  *base = nullptr;
  if (size < kHuge) return *base = malloc(size ? size : 1);
  if (size > SIZE_MAX - 2 * kHuge) return nullptr;
  const size_t whole = (size + kHuge - 1) & ~(kHuge - 1);
  auto *raw = static_cast<char *>(malloc(whole + kHuge));
  if (raw == nullptr) return nullptr;
  *base = raw;
  const uintptr_t at = (reinterpret_cast<uintptr_t>(raw) + kHuge - 1) & ~(kHuge - 1);
  // Every fault then maps 2 MB instead of 4 KB: on a virtual machine a
  // page's fault can cost more than writing the page.
  const size_t advised = whole - size <= size / 4 ? whole : size & ~(kHuge - 1);
  (void)madvise(reinterpret_cast<void *>(at), advised, MADV_HUGEPAGE);
  return reinterpret_cast<void *>(at);
}

namespace {

void *json_malloc(void *, size_t size) {
  void *p = malloc(size);
  if (p != nullptr) sdb_advise_huge(p, size);
  return p;
}

void *json_realloc(void *, void *block, size_t, size_t size) {
  void *p = realloc(block, size);
  if (p != nullptr) sdb_advise_huge(p, size);
  return p;
}

void json_free(void *, void *block) {
  free(block);
}

const yyjson_alc kJsonAllocator = {json_malloc, json_realloc, json_free, nullptr};

}  // namespace

const yyjson_alc *sdb_json_allocator(void) {
  return &kJsonAllocator;
}
