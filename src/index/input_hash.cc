// SipHash-1-3 under a 128-bit key read from the system's random source on
// first use (with a fallback that still differs from process to process).
#include "index/input_hash.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

struct sip_key {
  uint64_t k0, k1;
};

sip_key make_key() {
  sip_key key{};
  if (getrandom(&key, sizeof key, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof key)) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    key.k0 = static_cast<uint64_t>(t.tv_nsec) * 0x9E3779B97F4A7C15ull ^
             static_cast<uint64_t>(getpid()) << 32;
    key.k1 =
        reinterpret_cast<uintptr_t>(&key) * 0xC2B2AE3D27D4EB4Full ^ static_cast<uint64_t>(t.tv_sec);
  }
  return key;
}

const sip_key &process_key() {
  static const sip_key key = make_key();
  return key;
}

inline uint64_t rotl(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

inline void sip_round(uint64_t &v0, uint64_t &v1, uint64_t &v2, uint64_t &v3) {
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

}  // namespace

uint64_t sdb_input_hash(const void *bytes, size_t n, uint64_t seed) {
  const sip_key &key = process_key();
  const uint64_t k0 = key.k0 ^ seed, k1 = key.k1;
  uint64_t v0 = 0x736f6d6570736575ull ^ k0, v1 = 0x646f72616e646f6dull ^ k1;
  uint64_t v2 = 0x6c7967656e657261ull ^ k0, v3 = 0x7465646279746573ull ^ k1;
  const auto *p = static_cast<const unsigned char *>(bytes);
  const size_t whole = n & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m;
    memcpy(&m, p + i, 8);
    v3 ^= m;
    sip_round(v0, v1, v2, v3);
    v0 ^= m;
  }
  uint64_t last = static_cast<uint64_t>(n) << 56;
  for (size_t i = whole; i < n; i++) last |= static_cast<uint64_t>(p[i]) << (8 * (i - whole));
  v3 ^= last;
  sip_round(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  for (int r = 0; r < 3; r++) sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}
