// A checksum of stored bytes: it tells a file that was cut short or had
// bytes changed by accident from the one that was written, at the speed of
// reading memory. It is no defence against a file made to pass it: what is
// read from a file is bounds-checked where it is used all the same.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/hashing.h"

namespace sdb_checksum_detail {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;

inline uint64_t rotl(uint64_t x, int r) {
  return (x << r) | (x >> (64 - r));
}

inline uint64_t round(uint64_t acc, uint64_t word) {
  return rotl(acc + word * kPrime2, 31) * kPrime1;
}

}  // namespace sdb_checksum_detail

// The checksum of n bytes: four independent lanes over 32-byte steps (so
// the multiplications overlap), folded together with the length.
inline uint64_t sdb_checksum(const void *data, size_t n) {
  using namespace sdb_checksum_detail;
  const auto *p = static_cast<const unsigned char *>(data);
  const unsigned char *end = p + n;
  uint64_t lane[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  while (end - p >= 32) {
    for (int i = 0; i < 4; i++) lane[i] = round(lane[i], sdb_load64(p + 8 * i));
    p += 32;
  }
  uint64_t h = rotl(lane[0], 1) + rotl(lane[1], 7) + rotl(lane[2], 12) + rotl(lane[3], 18);
  for (int i = 0; i < 4; i++) h = (h ^ round(0, lane[i])) * kPrime1 + kPrime3;
  h += n;
  while (end - p >= 8) {
    h = rotl(h ^ round(0, sdb_load64(p)), 27) * kPrime1 + kPrime3;
    p += 8;
  }
  while (p < end) h = rotl(h ^ (*p++ * kPrime3), 11) * kPrime1;
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  return h ^ (h >> 32);
}
