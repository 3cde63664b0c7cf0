// Several processes on one storage directory.
//
// The lock file "_indexes/lock" is locked with flock, exclusively by every
// call that changes the store (and by searchdb_init), shared by a call that
// reads when it must load again what another process changed, for the
// length of one call. flock, not fcntl locks: those are dropped by any
// close of the file by the host. A lock file opened for reading only (no
// write permission, a read-only file system) still takes the shared lock.
//
// A lock is only worth anything on the file every process locks: after
// taking it, the file open is compared (device and inode) with the one at
// the path, found below the store's directory without following links; a
// file removed or replaced meanwhile is let go, and the one at the path is
// opened and locked instead. A call that reads without locking first
// checks that the file open still has a name (a removed file, or one
// replaced by a rename, has none) before it trusts the generations below.
//
// The file also holds generation counters, so that a call that only reads
// can tell with one pread (two when its index's slot lies beyond the first
// SDB_GEN_READ bytes) whether anything it is about to answer from has
// changed since this process loaded it. All numbers are little-endian
// unsigned 64-bit:
//
//   bytes 0 .. 8        "sdbgen01"
//   bytes 8 .. 16       the index list's generation
//   bytes 16 .. 528     SDB_GEN_BUCKETS bucket generations; an index's
//                       bucket is sdb_gen_bucket(name)
//
// Every version of the library reads and raises these, and the versions
// before the slot table know nothing else. This one adds a generation per
// index after them:
//
//   bytes 528 .. 536    "sdbslot1"
//   bytes 536 .. 544    the table's identity: drawn at random whenever
//                       the header is written anew, never 0
//   bytes 544 .. 552    the length in bytes of the slot records
//   bytes 552 .. 1064   for each bucket, how many of its raises this
//                       version made
//   bytes 1064 ..       the slot records, one per index name that ever
//                       changed, in the order they first did, never
//                       removed: its generation, the name's length (1 to
//                       255), the name, zeros up to a multiple of 8
//
// A change raises, under the exclusive lock and before it writes anything
// (so that a process that dies half-way still leaves them raised), the
// list's generation when it writes the list, and for an index it writes
// its slot's generation (a record appended, starting at 1, when the name
// has none), its bucket's, and this version's count for that bucket. What
// a process compares for an index is
//
//   its slot's generation + its bucket's - this version's count for it
//
// which a change of that index by any version raises, and a change of
// another index by this version leaves alone: the bucket's raises less
// this version's are those of earlier versions, which cannot say which of
// the bucket's indexes they changed. A deleted and created again name keeps
// its slot, so its counter goes on.
//
// A process that finds another file at the path than the one it opened
// loads everything again: the file that took its place may be a stale copy,
// holding generations it has seen before.
//
// A lock file too short, not beginning with the magic, or whose slot part
// is missing or does not read whole, is written anew, by a change under
// the exclusive lock, before anything is raised: a new identity, and,
// when the first part was not whole either, every counter from a random
// start. A different identity tells every process that everything may
// have changed. A file written by an earlier version gets its slot part
// added that way.
#pragma once

#include <cstdint>

// SDB_GEN_READ: the bytes one read of the header takes in, so that the
// generation of an index whose slot lies among them needs no read of its
// own. SDB_GEN_SLOT_MAX: the longest slot record, a 255-byte name's.
enum { SDB_GEN_BUCKETS = 64, SDB_GEN_READ = 4096, SDB_GEN_SLOT_MAX = 16 + 256 };

// The lock file's header, as one read found it.
struct sdb_generations {
  uint64_t file;   // which lock file this process had open: a count of those it opened
  bool whole;      // the first part read whole; all zeros otherwise
  uint64_t table;  // the slot table's identity; 0 when it has none
  uint64_t list;
  uint64_t bucket[SDB_GEN_BUCKETS];
  uint64_t own[SDB_GEN_BUCKETS];  // of each bucket's raises, this version's (0 without a table)
  uint64_t slots_end;             // length of the slot records (0 without a table)
  uint64_t read;                  // how many of the file's first bytes are in bytes
  unsigned char bytes[SDB_GEN_READ];
};

// The bucket of an index name: 64-bit FNV-1a of its bytes, modulo
// SDB_GEN_BUCKETS, as every version computes it.
uint32_t sdb_gen_bucket(const char *name);

enum sdb_lock_status {
  SDB_LOCK_HELD,         // the lock is held
  SDB_LOCK_BUSY,         // another process held it all the while: "storage '%s' is locked"
  SDB_LOCK_UNAVAILABLE,  // it cannot be had at all: sdb_lock_reason() says why
  SDB_LOCK_FAILED,       // out of descriptors or memory on the way: "lock %s: %s"
};

// Opens (creating it) the lock file of the open store. Where it cannot be
// opened for writing, it is opened for reading if it can be: the exclusive
// lock is then unavailable, the shared one still taken. Returns 0, or -1
// with "lock %s: %s" when the process is out of descriptors or memory.
int sdb_lock_open(void);

// Closes the lock file (releasing any lock) and forgets the slot table.
void sdb_lock_close(void);

// Takes the lock on the file at the path, waiting for up to the lock
// timeout with growing pauses. SDB_LOCK_BUSY sets "storage '%s' is
// locked" and SDB_LOCK_FAILED its message; SDB_LOCK_UNAVAILABLE sets
// nothing (the reason is sdb_lock_reason()): the exclusive lock on a file
// opened for reading, a file system without locks, a lock file that cannot
// be opened.
sdb_lock_status sdb_lock_take(bool exclusive);
void sdb_lock_release(void);

// Takes the exclusive lock only if it is free now, without waiting and
// without a message: for work that may as well be skipped (writing a
// cache). True when it is held.
bool sdb_lock_try_exclusive(void);

// Why the lock cannot be had: "lock %s: %s", or "" while it can.
const char *sdb_lock_reason(void);

// Whether the file open has been removed, or replaced by a rename (it has
// no name left), or, with none open, whether the path names one now: one
// fstat (fstatat without a file). A file moved away under another name is
// found out at the next lock taken.
bool sdb_lock_moved(void);

// Reads the header (and what follows it, up to SDB_GEN_READ bytes) with
// one pread; false (all zeros given) when there is no lock file to read.
bool sdb_generations_read(sdb_generations *g);

// After the lock is taken (exclusively when may_write), or where it cannot
// be had: reads the header and brings this process's copy of the slot
// names up to it. With may_write, a header that is not whole, or a slot
// part missing or damaged, is first written anew. Without, a damaged slot
// part reads as no table. Returns 0 (g all zeros when there is no lock
// file), or -1 with "lock %s: %s" or "oom: generations".
int sdb_generations_prepare(sdb_generations *g, bool may_write);

// The generation the index named name has in g. False when this process's
// copy of the slot names is behind g and does not know the name yet; after
// sdb_generations_prepare, always true.
bool sdb_index_generation(const sdb_generations *g, const char *name, uint64_t *gen);

// The change in progress, under the exclusive lock, on a g prepared with
// may_write. Raises, in the file and in g, the list's generation, or the
// index's (once per change: later calls for a name raised since
// sdb_generations_forget_raises do nothing). False, with "lock %s: %s" or
// "oom: generations", when they could not be written.
void sdb_generations_forget_raises(void);
bool sdb_generations_raise_list(sdb_generations *g);
bool sdb_generations_raise_index(sdb_generations *g, const char *name);

// The indexes raised since sdb_generations_forget_raises, one per call:
// start with *pos = 0; the next name and the generation it had before the
// raise (the raise added one), or nullptr after the last.
const char *sdb_generations_next_raised(uint32_t *pos, uint64_t *before);

// How long a call waits for the lock, in milliseconds.
extern int s_lock_timeout_ms;
