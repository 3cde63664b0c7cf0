#include "base/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

constexpr uintptr_t kHuge = uintptr_t{2} << 20;
// Below this, a block most likely lies in pages the heap has touched before.
constexpr size_t kPopulateFrom = 64 * 1024;

}  // namespace

void sdb_advise_huge(void *block, size_t size) {
  // A block smaller than a huge page cannot hold one.
  if (size < kHuge) return;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHuge - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

void *sdb_alloc_huge(size_t size) {
  if (size < kHuge / 4) return malloc(size ? size : 1);
  if (size > SIZE_MAX - kHuge) return nullptr;
  const size_t whole = (size + kHuge - 1) & ~(kHuge - 1);
  void *block = nullptr;
  if (posix_memalign(&block, kHuge, whole) != 0) return nullptr;
  (void)madvise(block, whole, MADV_HUGEPAGE);
  return block;
}

void sdb_touch_all(void *block, size_t size) {
#ifdef MADV_POPULATE_WRITE
  const long page = sysconf(_SC_PAGESIZE);
  if (block == nullptr || size < kPopulateFrom || page <= 0) return;
  const auto at = reinterpret_cast<uintptr_t>(block), mask = uintptr_t(page - 1);
  const uintptr_t from = (at + mask) & ~mask, to = (at + size) & ~mask;
  if (to > from) (void)madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)block;
  (void)size;
#endif
}

void *sdb_alloc_touched(size_t size) {
  void *block = sdb_alloc_huge(size);
  if (size < kHuge / 4) sdb_touch_all(block, size);
  return block;
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
