// A checksum of stored bytes: it tells a file that was cut short or had
// bytes changed by accident from the one that was written, at the speed of
// reading memory. It is no defence against a file made to pass it: what is
// read from a file is bounds-checked where it is used all the same.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/array.h"
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

namespace sdb_checksum_detail {

inline void steps(uint64_t (&lane)[4], const unsigned char *p, size_t blocks) {
  for (; blocks > 0; blocks--, p += 32)
    for (int i = 0; i < 4; i++) lane[i] = round(lane[i], sdb_load64(p + 8 * i));
}

// The lanes folded with the length n and the tail (fewer than 32 bytes).
inline uint64_t finish(const uint64_t (&lane)[4], uint64_t n, const unsigned char *p,
                       const unsigned char *end) {
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

}  // namespace sdb_checksum_detail

// The checksum of n bytes: four independent lanes over 32-byte steps (so
// the multiplications overlap), folded together with the length.
inline uint64_t sdb_checksum(const void *data, size_t n) {
  using namespace sdb_checksum_detail;
  const auto *p = static_cast<const unsigned char *>(data);
  uint64_t lane[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  steps(lane, p, n / 32);
  return finish(lane, n, p + n / 32 * 32, p + n);
}

// How often a stream notes where it stands (a multiple of its 32-byte
// step, so that nothing is held over at a mark): the most a checksum taken
// up from a mark reads again.
constexpr uint64_t kChecksumMarkBytes = uint64_t{64} << 10;

// The lanes of a stream after a whole number of marks' worth of bytes.
struct sdb_checksum_mark {
  uint64_t lane[4];
};

// sdb_checksum of bytes given in pieces of any sizes: the same value as of
// them all in one piece, for a file checked while it is written or read.
//
// With marks set, it appends the lanes after every kChecksumMarkBytes
// bytes: marks->items[i] after (i + 1) * kChecksumMarkBytes. So the
// checksum of other bytes that begin with the same ones can be taken up
// from the last mark before they differ (from_mark) instead of from the
// start. When memory runs out it stops marking, leaving fewer marks than
// the bytes it took would give.
struct sdb_checksum_stream {
  uint64_t lane[4] = {sdb_checksum_detail::kPrime1 + sdb_checksum_detail::kPrime2,
                      sdb_checksum_detail::kPrime2, 0, 0 - sdb_checksum_detail::kPrime1};
  uint64_t n = 0;
  unsigned char held[32];  // the bytes past the last whole step
  uint32_t held_len = 0;
  sdb_vec<sdb_checksum_mark> *marks = nullptr;

  // The stream as it stood at marks->items[i] (i < marks->count), marking
  // on into marks from there: those after i are dropped.
  static sdb_checksum_stream from_mark(sdb_vec<sdb_checksum_mark> *marks, uint64_t i) {
    sdb_checksum_stream s;
    for (int k = 0; k < 4; k++) s.lane[k] = marks->items[i].lane[k];
    s.n = (i + 1) * kChecksumMarkBytes;
    marks->count = i + 1;
    s.marks = marks;
    return s;
  }

  void add(const void *data, size_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (marks != nullptr && len > 0) {
      const uint64_t to_mark = kChecksumMarkBytes - n % kChecksumMarkBytes;
      const size_t part = len < to_mark ? len : static_cast<size_t>(to_mark);
      take(p, part);
      p += part;
      len -= part;
      if (n % kChecksumMarkBytes == 0 &&
          !marks->push(sdb_checksum_mark{{lane[0], lane[1], lane[2], lane[3]}}, 16))
        marks = nullptr;
    }
    take(p, len);
  }

  uint64_t value() const { return sdb_checksum_detail::finish(lane, n, held, held + held_len); }

 private:
  void take(const unsigned char *p, size_t len) {
    using namespace sdb_checksum_detail;
    n += len;
    if (held_len > 0) {
      const size_t fill = len < 32 - held_len ? len : 32 - held_len;
      for (size_t i = 0; i < fill; i++) held[held_len + i] = p[i];
      held_len += static_cast<uint32_t>(fill);
      p += fill;
      len -= fill;
      if (held_len < 32) return;
      steps(lane, held, 1);
      held_len = 0;
    }
    steps(lane, p, len / 32);
    p += len / 32 * 32;
    for (size_t i = 0; i < len % 32; i++) held[i] = p[i];
    held_len = static_cast<uint32_t>(len % 32);
  }
};
