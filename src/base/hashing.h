// The two hashes of the library, for two different jobs.
//
// FNV-1a decides orders and places that answers and stored files depend on
// (the term table walk, the generation bucket of an index name), so it is
// the same in every process and every build. Anyone can compute it, so
// whoever chooses the input also chooses its collisions: it never places
// input in a lookup table.
//
// The table hash places input in lookup tables (the id map, the term
// dictionary's exact lookup, the maps of a build, the command-line tool's
// maps). It is keyed with random bits drawn once per process, so an input
// cannot be chosen to pile up on one position: each step multiplies two
// keyed 64-bit words to 128 bits and folds the halves together, which lets
// every input bit reach every output bit. Nothing stored and no order of an
// answer may depend on it, since it differs from one process to the next.
// A table that is stored (the derived file's id table) is keyed the same
// way with bits drawn for that file alone and kept in it: whoever reads
// the file learns its key, but ids chosen against it pile up only until
// the file is written again, with another.
//
// Header only, so that the command-line tool, which does not link the
// library's internals, keys its maps the same way.
#pragma once

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

// 64-bit FNV-1a over n bytes.
inline uint64_t sdb_hash(const char *bytes, size_t n) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < n; i++) {
    h ^= static_cast<unsigned char>(bytes[i]);
    h *= 0x100000001B3ull;
  }
  return h;
}

struct sdb_table_key {
  uint64_t k[4];
};

__extension__ typedef unsigned __int128 sdb_u128;

// The 128-bit product of a and b, its halves folded together.
inline uint64_t sdb_fold(uint64_t a, uint64_t b) {
  const sdb_u128 p = static_cast<sdb_u128>(a) * b;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}

// Random bits for the key. Should the system give none, the clocks, the
// process id and where the stack lies are folded together instead: less
// than random, still unknown to whoever writes the input. The multipliers
// of the number hash are made odd, so that no input bit is lost to them.
inline sdb_table_key sdb_table_key_draw() {
  sdb_table_key key{};
  auto *bytes = reinterpret_cast<unsigned char *>(key.k);
  size_t got = 0;
  while (got < sizeof key.k) {
    const ssize_t n = getrandom(bytes + got, sizeof key.k - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (got < sizeof key.k) {
    timespec mono{}, real{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    clock_gettime(CLOCK_REALTIME, &real);
    uint64_t h = static_cast<uint64_t>(getpid()) ^ reinterpret_cast<uintptr_t>(&key);
    for (uint64_t &word : key.k) {
      h = sdb_fold(h ^ static_cast<uint64_t>(mono.tv_nsec) ^ 0x9E3779B97F4A7C15ull,
                   static_cast<uint64_t>(real.tv_sec) ^ static_cast<uint64_t>(real.tv_nsec) << 32 ^
                       0xBF58476D1CE4E5B9ull);
      word ^= h;
    }
  }
  key.k[1] |= 1;
  key.k[3] |= 1;
  return key;
}

// The key of this process's tables, drawn at its first use. A child of
// fork keeps it, and with it every table built before the fork. Tests may
// replace it while no table exists.
inline sdb_table_key &sdb_table_key_of_process() {
  static sdb_table_key key = sdb_table_key_draw();
  return key;
}

inline uint64_t sdb_load64(const unsigned char *p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return w;
}

inline uint64_t sdb_load32(const unsigned char *p) {
  uint32_t w;
  memcpy(&w, p, 4);
  return w;
}

// The hash of n bytes under key. Short texts (ids, words) take two
// products: their bytes are read as two words, which for a given length
// name the bytes exactly (the length is part of the hash).
inline uint64_t sdb_keyed_hash(const sdb_table_key &key, const char *bytes, size_t n) {
  const auto *p = reinterpret_cast<const unsigned char *>(bytes);
  uint64_t h = key.k[0] ^ n;
  uint64_t a, b;
  if (n <= 16) {
    if (n >= 8) {
      a = sdb_load64(p);
      b = sdb_load64(p + n - 8);
    } else if (n >= 4) {
      a = sdb_load32(p);
      b = sdb_load32(p + n - 4);
    } else if (n > 0) {
      a = uint64_t{p[0]} << 16 | uint64_t{p[n >> 1]} << 8 | p[n - 1];
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    for (; n > 16; p += 16, n -= 16) h = sdb_fold(sdb_load64(p) ^ key.k[1], sdb_load64(p + 8) ^ h);
    // The last 16 bytes, overlapping what came before when fewer are left.
    a = sdb_load64(p + n - 16);
    b = sdb_load64(p + n - 8);
  }
  return sdb_fold(sdb_fold(a ^ key.k[1], b ^ h) ^ key.k[2], key.k[3]);
}

// The table hash of n bytes: keyed with the process's key.
inline uint64_t sdb_table_hash(const char *bytes, size_t n) {
  return sdb_keyed_hash(sdb_table_key_of_process(), bytes, n);
}

// The table hash of a number (a term id, a pair of ids).
inline uint64_t sdb_table_hash_u64(uint64_t x) {
  const sdb_table_key &key = sdb_table_key_of_process();
  return sdb_fold(sdb_fold(x ^ key.k[0], key.k[1]) ^ key.k[2], key.k[3]);
}
