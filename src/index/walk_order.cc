#include "index/walk_order.h"

uint32_t sdb_buckets_after(uint32_t start, uint32_t n) {
  uint64_t buckets = start;
  while (n > buckets * 3 / 4) buckets *= 2;
  return static_cast<uint32_t>(buckets);
}

uint64_t sdb_scan_key(const sdb_terms *d, const sdb_term *t) {
  const uint64_t bucket = t->hash & (d->bucket_count - 1);
  uint32_t growths = 0, epoch = 0;
  for (uint64_t b = d->start_buckets; b < d->bucket_count; b *= 2) {
    growths++;
    // The doubling from b came right before the term numbered b * 3 / 4 + 1
    // was entered.
    if (t->rank >= b * 3 / 4) epoch++;
  }
  const bool newest_first = (growths - epoch) % 2 == 0;
  const uint32_t place = newest_first ? 0x7FFFFFFFu - t->rank : 0x80000000u | t->rank;
  return bucket << 32 | place;
}
