// Several processes on one storage directory.
//
// The lock file "_indexes/lock" is locked with flock, exclusively by every
// call that changes the store (and by searchdb_init), shared by a call that
// reads when it must load again what another process changed, for the
// length of one call. flock, not fcntl locks: those are dropped by any
// close of the file by the host.
//
// The file also holds generation counters, so that a call that only reads
// can tell with one pread whether anything it is about to answer from has
// changed since this process loaded it:
//
//   bytes 0 .. 8       "sdbgen01"
//   bytes 8 .. 16      the index list's generation
//   bytes 16 .. end    SDB_GEN_BUCKETS index generations; an index's is
//                      the one of bucket sdb_gen_bucket(name)
//
// all little-endian unsigned 64-bit. A change raises the generations of what
// it writes, under the exclusive lock, before it writes it (so a process
// that dies half-way still leaves them raised); a file shorter than this (a
// new one) reads as all zeros. Indexes that share a
// bucket only make one another load again sooner than needed.
#pragma once

#include <cstdint>

// Few enough that the whole table fits in the first 528 bytes of the file,
// which a change overwrites in place, word by word.
enum { SDB_GEN_BUCKETS = 64 };

struct sdb_generations {
  uint64_t list;
  uint64_t index[SDB_GEN_BUCKETS];
};

uint32_t sdb_gen_bucket(const char *name);

enum sdb_lock_status {
  SDB_LOCK_HELD,         // the lock is held
  SDB_LOCK_BUSY,         // another process held it all the while: "storage '%s' is locked"
  SDB_LOCK_UNAVAILABLE,  // it cannot be had at all: sdb_lock_reason() says why
};

// Opens (creating it) the lock file of the open store. Where it cannot be
// opened for writing, it is opened for reading if it can be, and every
// later lock attempt is unavailable. Returns 0, or -1 with "lock %s: %s"
// when the process is out of descriptors or memory.
int sdb_lock_open(void);

// Closes the lock file (releasing any lock).
void sdb_lock_close(void);

// Takes the lock, waiting for up to the lock timeout with growing pauses.
// SDB_LOCK_BUSY sets "storage '%s' is locked"; SDB_LOCK_UNAVAILABLE sets
// nothing (the reason is sdb_lock_reason()).
sdb_lock_status sdb_lock_take(bool exclusive);
void sdb_lock_release(void);

// Why the lock cannot be had: "lock %s: %s", or "" while it can.
const char *sdb_lock_reason(void);

// Reads the generations with one pread; false (all zeros given) when they
// cannot be read.
bool sdb_generations_read(sdb_generations *g);

// Writes the generations; the lock must be held exclusively. False (the
// reason in sdb_lock_reason()) when they could not be written.
bool sdb_generations_write(const sdb_generations *g);

// Writes the list's generation and the one of bucket, in place.
bool sdb_generations_write_changed(const sdb_generations *g, bool list, int bucket);

// How long a call waits for the lock, in milliseconds.
extern int s_lock_timeout_ms;
