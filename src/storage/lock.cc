#include "storage/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/error.h"
#include "base/hashing.h"
#include "base/holders.h"
#include "base/limits.h"
#include "storage/files.h"
#include "storage/layout.h"

int s_lock_timeout_ms = SDB_LOCK_TIMEOUT_MS;

namespace {

constexpr const char *kLockFile = SDB_LOCK_FILE;
constexpr const char *kLockName =
    SDB_LOCK_FILE + sizeof SDB_LIST_DIR;  // within the list's directory
constexpr char kMagic[8] = {'s', 'd', 'b', 'g', 'e', 'n', '0', '1'};
constexpr char kSlotMagic[8] = {'s', 'd', 'b', 's', 'l', 'o', 't', '1'};

// Where things are (lock.h).
constexpr size_t kListAt = 8;
constexpr size_t kBucketsAt = 16;
constexpr size_t kSlotMagicAt = kBucketsAt + 8 * SDB_GEN_BUCKETS;  // where earlier versions stop
constexpr size_t kTableAt = kSlotMagicAt + 8;
constexpr size_t kSlotsEndAt = kTableAt + 8;
constexpr size_t kOwnAt = kSlotsEndAt + 8;
constexpr size_t kSlotsAt = kOwnAt + 8 * SDB_GEN_BUCKETS;
constexpr uint64_t kNameMax = 255;
static_assert(SDB_GEN_SLOT_MAX == 16 + ((kNameMax + 7) & ~uint64_t{7}));
// More slot records than any store makes; a length beyond is damage.
constexpr uint64_t kSlotsMax = uint64_t{1} << 30;

int s_lock_fd = -1;
bool s_lock_writable = false;  // opened for writing: the exclusive lock can be had
bool s_no_flock = false;       // flock failed other than for a holder: no locks here
dev_t s_lock_dev;              // the file open, to compare with the one at the path
ino_t s_lock_ino;
uint64_t s_lock_files = 0;  // lock files opened by this process
char s_lock_reason[SDB_ERROR_SIZE];

// This process's copy of the slot names of one table, read so far.
struct slot {
  uint64_t hash;    // FNV-1a of the name
  uint64_t at;      // where its generation is in the file
  uint64_t before;  // while raised: its index's generation before
  uint64_t name;    // offset of the name in names
  bool raised;      // by the change in progress
};
struct {
  uint64_t table;  // the identity of the table they come from
  uint64_t end;    // the length of the records read
  slot *slots;
  uint32_t count, cap;
  char *names;
  uint64_t names_len, names_cap;
} s_cache;

void put_u64(unsigned char *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t get_u64(const unsigned char *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

// The bucket mapping every version shares is FNV-1a (base/hashing.h),
// whatever the library's tables use: older processes on the same store
// compute it that way.
uint64_t fnv1a(const char *bytes, size_t n) {
  return sdb_hash(bytes, n);
}

uint64_t record_size(uint64_t name_len) {
  return 16 + ((name_len + 7) & ~uint64_t{7});
}

void pause_ms(int ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

void lock_path(char (&path)[SDB_MESSAGE_PATH_SIZE]) {
  sdb_full_path(path, sizeof path, kLockFile);
}

// Records why the lock cannot be had; cut like every message.
void set_reason(const char *why) {
  char path[SDB_MESSAGE_PATH_SIZE];
  lock_path(path);
  const size_t room = sizeof s_lock_reason - 1;
  size_t len = 0;
  for (const char *piece : {"lock ", static_cast<const char *>(path), ": ", why}) {
    const size_t m = std::min(strlen(piece), room - len);
    memcpy(s_lock_reason + len, piece, m);
    len += m;
  }
  s_lock_reason[len] = '\0';
}

void fail(int code, const char *why) {
  char path[SDB_MESSAGE_PATH_SIZE];
  lock_path(path);
  sdb_error(code, "lock %s: %s", path, why);
}

bool out_of_resources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOMEM;
}

void forget_slots(void) {
  free(s_cache.slots);
  free(s_cache.names);
  s_cache = {};
}

// Opens the file at the path: 0, with the file open or the reason set;
// -1 when out of descriptors or memory (message and reason set).
int open_lock_file(void) {
  char path[SDB_MESSAGE_PATH_SIZE];
  lock_path(path);
  const int store = sdb_store_fd();
  const int dir =
      store < 0 ? -1 : openat(store, SDB_LIST_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int err = store < 0 ? EBADF : errno;
  int fd = -1;
  if (dir >= 0) {
    fd = openat(dir, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    err = errno;
    if (fd < 0 && !out_of_resources(err)) {
      // Read-only: the generations can still be followed, under the
      // shared lock.
      fd = openat(dir, kLockName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    close(dir);
  }
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) != 0) {
    err = errno;
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    set_reason(strerror(err));
    if (!out_of_resources(err)) return 0;
    // Loading read-only for want of a descriptor would refuse every change
    // for the life of the process.
    sdb_error(sdb_errno_code(err), "lock %s: %s", path, strerror(err));
    return -1;
  }
  s_lock_fd = fd;
  s_lock_files++;
  s_lock_dev = st.st_dev;
  s_lock_ino = st.st_ino;
  s_lock_writable = (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR;
  s_no_flock = false;
  if (s_lock_writable) {
    s_lock_reason[0] = '\0';
  } else {
    set_reason(strerror(err));  // why it could not be opened for writing
  }
  return 0;
}

void close_lock_file(void) {
  if (s_lock_fd >= 0) close(s_lock_fd);
  s_lock_fd = -1;
  s_lock_writable = false;
  s_no_flock = false;
  forget_slots();
}

// Whether the file open is the one at the path: 1, 0 (another one, or
// none), or -1 with errno when that cannot be told. Found below the store's
// directory without following links.
int at_path(void) {
  const int store = sdb_store_fd();
  if (store < 0) {
    errno = EBADF;
    return -1;
  }
  const int dir = openat(store, SDB_LIST_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return errno == ENOENT ? 0 : -1;
  struct stat st;
  const int rc = fstatat(dir, kLockName, &st, AT_SYMLINK_NOFOLLOW);
  const int err = errno;
  close(dir);
  if (rc != 0) {
    errno = err;
    return err == ENOENT ? 0 : -1;
  }
  return st.st_dev == s_lock_dev && st.st_ino == s_lock_ino ? 1 : 0;
}

// Opens the file now at the path in place of the one open: -1 as
// open_lock_file.
int reopen(void) {
  close_lock_file();
  // The list's directory may have gone with the file.
  sdb_make_dirs(SDB_LIST_DIR);
  return open_lock_file();
}

// ---- the slot names ----

slot *find_slot(const char *name, uint64_t hash) {
  for (uint32_t i = 0; i < s_cache.count; i++) {
    const slot &s = s_cache.slots[i];
    if (s.hash == hash && strcmp(s_cache.names + s.name, name) == 0) return &s_cache.slots[i];
  }
  return nullptr;
}

// Room for one more slot with a name of n bytes. False when memory ran out.
bool reserve_slot(uint64_t n) {
  return sdb_reserve(&s_cache.slots, &s_cache.cap, uint64_t{s_cache.count} + 1, 16) &&
         sdb_reserve(&s_cache.names, &s_cache.names_cap, s_cache.names_len + n + 1, 1024);
}

// Adds a slot whose generation is at `at`, room reserved.
void add_slot(const char *name, uint64_t n, uint64_t at) {
  memcpy(s_cache.names + s_cache.names_len, name, n);
  s_cache.names[s_cache.names_len + n] = '\0';
  s_cache.slots[s_cache.count++] = slot{fnv1a(name, n), at, 0, s_cache.names_len, false};
  s_cache.names_len += n + 1;
}

enum sync_result { SYNC_OK, SYNC_DAMAGED, SYNC_FAILED };

// Reads the slot records this process has not seen yet. SYNC_FAILED sets
// the message.
sync_result sync_slots(const sdb_generations *g) {
  if (s_cache.table != g->table) {
    forget_slots();
    s_cache.table = g->table;
  }
  if (g->table == 0 || g->slots_end == s_cache.end) return SYNC_OK;
  if (g->slots_end < s_cache.end || g->slots_end - s_cache.end > kSlotsMax) return SYNC_DAMAGED;
  const uint64_t len = g->slots_end - s_cache.end;
  std::unique_ptr<unsigned char, sdb_free_deleter> buf(static_cast<unsigned char *>(malloc(len)));
  if (!buf) {
    sdb_error(SEARCHDB_NOMEM, "oom: generations");
    return SYNC_FAILED;
  }
  const ssize_t n = pread(s_lock_fd, buf.get(), len, static_cast<off_t>(kSlotsAt + s_cache.end));
  if (n < 0) {
    fail(sdb_errno_code(errno), strerror(errno));
    return SYNC_FAILED;
  }
  if (static_cast<uint64_t>(n) < len) return SYNC_DAMAGED;
  for (uint64_t at = 0; at < len;) {
    const unsigned char *rec = buf.get() + at;
    if (len - at < 16) return SYNC_DAMAGED;
    const uint64_t name_len = get_u64(rec + 8);
    if (name_len == 0 || name_len > kNameMax || record_size(name_len) > len - at)
      return SYNC_DAMAGED;
    const char *name = reinterpret_cast<const char *>(rec + 16);
    if (memchr(name, '\0', name_len) != nullptr) return SYNC_DAMAGED;
    if (!reserve_slot(name_len)) {
      sdb_error(SEARCHDB_NOMEM, "oom: generations");
      return SYNC_FAILED;
    }
    add_slot(name, name_len, kSlotsAt + s_cache.end);
    s_cache.end += record_size(name_len);
    at += record_size(name_len);
  }
  return SYNC_OK;
}

// The generation word at `at`; 0 where the file does not reach (a file cut
// short is found out by its header).
uint64_t read_word(uint64_t at) {
  unsigned char word[8];
  return pread(s_lock_fd, word, 8, static_cast<off_t>(at)) == 8 ? get_u64(word) : 0;
}

bool write_bytes(const unsigned char *bytes, size_t n, uint64_t at) {
  errno = 0;
  if (pwrite(s_lock_fd, bytes, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n)) return true;
  fail(errno ? sdb_errno_code(errno) : SEARCHDB_IO, errno ? strerror(errno) : "short write");
  return false;
}

bool write_word(uint64_t value, uint64_t at) {
  unsigned char word[8];
  put_u64(word, value);
  return write_bytes(word, 8, at);
}

// A slot's generation word: from what the header's read took in when it
// lies there.
uint64_t word_at(const sdb_generations *g, uint64_t at) {
  return at + 8 <= g->read ? get_u64(g->bytes + at) : read_word(at);
}

// What g took in from `at` on is older than what was just written there:
// generations from there are read from the file again.
void stale_from(sdb_generations *g, uint64_t at) {
  g->read = std::min(g->read, at);
}

uint64_t draw_identity(void) {
  uint64_t id = 0;
  if (getrandom(&id, sizeof id, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof id)) {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    id = (static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec)) *
             0x9E3779B97F4A7C15ull ^
         static_cast<uint64_t>(getpid()) << 32;
  }
  return id ? id : 1;
}

// Writes the header anew under a new identity, with no slots. Counters
// that did not read whole start from a random point, so that an earlier
// version's process, which knows no identity, cannot take them for those
// it saw before. The slot records after it are left to be overwritten.
bool renew(sdb_generations *g) {
  const uint64_t id = draw_identity();
  if (!g->whole) {
    g->whole = true;
    g->list = id >> 1;
    for (uint64_t &b : g->bucket) b = id >> 1;
  }
  g->table = id;
  g->slots_end = 0;
  for (uint64_t &o : g->own) o = 0;
  unsigned char h[kSlotsAt];
  memcpy(h, kMagic, 8);
  put_u64(h + kListAt, g->list);
  for (int b = 0; b < SDB_GEN_BUCKETS; b++) put_u64(h + kBucketsAt + 8 * b, g->bucket[b]);
  memcpy(h + kSlotMagicAt, kSlotMagic, 8);
  put_u64(h + kTableAt, g->table);
  put_u64(h + kSlotsEndAt, 0);
  for (int b = 0; b < SDB_GEN_BUCKETS; b++) put_u64(h + kOwnAt + 8 * b, 0);
  // Not flushed: the generations only tell running processes what moved,
  // and a system crash ends every one of those.
  if (!write_bytes(h, sizeof h, 0)) return false;
  forget_slots();
  s_cache.table = id;
  return true;
}

}  // namespace

uint32_t sdb_gen_bucket(const char *name) {
  return static_cast<uint32_t>(fnv1a(name, strlen(name)) % SDB_GEN_BUCKETS);
}

int sdb_lock_open(void) {
  sdb_lock_close();
  s_lock_reason[0] = '\0';
  return open_lock_file();
}

void sdb_lock_close(void) {
  close_lock_file();
}

const char *sdb_lock_reason(void) {
  return s_lock_reason;
}

sdb_lock_status sdb_lock_take(bool exclusive) {
  const int op = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  // Short pauses: a change holds the lock for a few milliseconds, and a
  // waiter that sleeps longer than that finds it taken again by the
  // processes that probe more often.
  int waited = 0, pause = 1, moves = 0;
  for (;;) {
    if (s_lock_fd < 0 && open_lock_file() != 0) return SDB_LOCK_FAILED;
    if (s_lock_fd < 0 || s_no_flock || (exclusive && !s_lock_writable)) return SDB_LOCK_UNAVAILABLE;
    if (flock(s_lock_fd, op) == 0) {
      const int same = at_path();
      if (same == 1) return SDB_LOCK_HELD;
      const int err = errno;
      (void)flock(s_lock_fd, LOCK_UN);
      if (same < 0) {
        fail(sdb_errno_code(err), strerror(err));
        return SDB_LOCK_FAILED;
      }
      // Removed or replaced since it was opened: the lock on this file
      // keeps out no process that opened the one at the path. Once at
      // once; a file that keeps moving is waited for like a holder.
      if (reopen() != 0) return SDB_LOCK_FAILED;
      if (moves++ == 0) continue;
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EWOULDBLOCK) {
      const int err = errno;
      // Without locks, reads still follow the file at the path.
      if (at_path() == 0 && reopen() != 0) return SDB_LOCK_FAILED;
      s_no_flock = true;
      set_reason(strerror(err));
      return SDB_LOCK_UNAVAILABLE;
    }
    if (waited >= s_lock_timeout_ms) {
      sdb_error(SEARCHDB_LOCKED, "storage '%s' is locked", s_storage_dir);
      return SDB_LOCK_BUSY;
    }
    pause_ms(pause);
    waited += pause;
    pause = pause < 4 ? pause * 2 : 4;
  }
}

bool sdb_lock_try_exclusive(void) {
  if (s_lock_fd < 0 || s_no_flock || !s_lock_writable) return false;
  if (flock(s_lock_fd, LOCK_EX | LOCK_NB) != 0) return false;
  if (at_path() == 1) return true;
  (void)flock(s_lock_fd, LOCK_UN);
  return false;
}

void sdb_lock_release(void) {
  if (s_lock_fd >= 0) (void)flock(s_lock_fd, LOCK_UN);
}

bool sdb_lock_moved(void) {
  struct stat st;
  if (s_lock_fd >= 0) return fstat(s_lock_fd, &st) == 0 && st.st_nlink == 0;
  // Without a file open, one made since (by a process that may write) is
  // worth opening.
  return sdb_store_fd() >= 0 && fstatat(sdb_store_fd(), kLockFile, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool sdb_generations_read(sdb_generations *g) {
  g->file = s_lock_files;
  g->whole = false;
  g->table = g->list = g->slots_end = g->read = 0;
  for (int b = 0; b < SDB_GEN_BUCKETS; b++) g->bucket[b] = g->own[b] = 0;
  if (s_lock_fd < 0) {
    g->file = 0;
    return false;
  }
  const ssize_t n = pread(s_lock_fd, g->bytes, sizeof g->bytes, 0);
  if (n < 0) return false;
  g->read = static_cast<uint64_t>(n);
  const unsigned char *h = g->bytes;
  if (g->read < kSlotMagicAt || memcmp(h, kMagic, 8) != 0) return true;
  g->whole = true;
  g->list = get_u64(h + kListAt);
  for (int b = 0; b < SDB_GEN_BUCKETS; b++) g->bucket[b] = get_u64(h + kBucketsAt + 8 * b);
  if (g->read < kSlotsAt || memcmp(h + kSlotMagicAt, kSlotMagic, 8) != 0 ||
      get_u64(h + kTableAt) == 0)
    return true;
  g->table = get_u64(h + kTableAt);
  g->slots_end = get_u64(h + kSlotsEndAt);
  for (int b = 0; b < SDB_GEN_BUCKETS; b++) g->own[b] = get_u64(h + kOwnAt + 8 * b);
  return true;
}

int sdb_generations_prepare(sdb_generations *g, bool may_write) {
  if (!sdb_generations_read(g)) return 0;
  if (may_write && (!g->whole || g->table == 0) && !renew(g)) return -1;
  switch (sync_slots(g)) {
    case SYNC_OK:
      return 0;
    case SYNC_FAILED:
      return -1;
    case SYNC_DAMAGED:
      break;
  }
  if (may_write) return renew(g) ? 0 : -1;
  // Read as no table until a change writes it anew.
  g->table = 0;
  g->slots_end = 0;
  for (uint64_t &o : g->own) o = 0;
  forget_slots();
  return 0;
}

bool sdb_index_generation(const sdb_generations *g, const char *name, uint64_t *gen) {
  const uint64_t hash = fnv1a(name, strlen(name));
  const uint32_t b = static_cast<uint32_t>(hash % SDB_GEN_BUCKETS);
  const uint64_t by_others = g->bucket[b] - g->own[b];
  if (g->table == 0) {
    *gen = by_others;
    return true;
  }
  if (s_cache.table != g->table) return false;
  const slot *s = find_slot(name, hash);
  if (s == nullptr) {
    if (s_cache.end != g->slots_end) return false;
    *gen = by_others;
    return true;
  }
  *gen = word_at(g, s->at) + by_others;
  return true;
}

void sdb_generations_forget_raises(void) {
  for (uint32_t i = 0; i < s_cache.count; i++) s_cache.slots[i].raised = false;
}

bool sdb_generations_raise_list(sdb_generations *g) {
  return write_word(++g->list, kListAt);
}

bool sdb_generations_raise_index(sdb_generations *g, const char *name) {
  const size_t n = strlen(name);
  const uint64_t hash = fnv1a(name, n);
  const uint32_t b = static_cast<uint32_t>(hash % SDB_GEN_BUCKETS);
  const slot *found = find_slot(name, hash);
  if (found != nullptr && found->raised) return true;
  const uint64_t by_others = g->bucket[b] - g->own[b];
  uint32_t i;
  uint64_t own_gen = 0;
  if (found != nullptr) {
    i = static_cast<uint32_t>(found - s_cache.slots);
    own_gen = read_word(found->at);
    if (!write_word(own_gen + 1, found->at)) return false;
    stale_from(g, found->at);
  } else {
    if (n == 0 || n > kNameMax) {
      fail(SEARCHDB_TOOBIG, "index name too long for a slot");
      return false;
    }
    if (!reserve_slot(n)) {
      sdb_error(SEARCHDB_NOMEM, "oom: generations");
      return false;
    }
    // The record first, then the length that takes it in: a process that
    // dies between leaves bytes no one reads.
    unsigned char rec[SDB_GEN_SLOT_MAX] = {};
    put_u64(rec, 1);
    put_u64(rec + 8, n);
    memcpy(rec + 16, name, n);
    const uint64_t at = kSlotsAt + g->slots_end;
    if (!write_bytes(rec, record_size(n), at) ||
        !write_word(g->slots_end + record_size(n), kSlotsEndAt))
      return false;
    stale_from(g, at);
    g->slots_end += record_size(n);
    i = s_cache.count;
    add_slot(name, n, at);
    s_cache.end = g->slots_end;
  }
  if (!write_word(++g->bucket[b], kBucketsAt + 8 * b) || !write_word(++g->own[b], kOwnAt + 8 * b))
    return false;
  s_cache.slots[i].raised = true;
  s_cache.slots[i].before = own_gen + by_others;
  return true;
}

const char *sdb_generations_next_raised(uint32_t *pos, uint64_t *before) {
  while (*pos < s_cache.count) {
    const slot &s = s_cache.slots[(*pos)++];
    if (!s.raised) continue;
    *before = s.before;
    return s_cache.names + s.name;
  }
  return nullptr;
}
