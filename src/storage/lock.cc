#include "storage/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "index/index.h"
#include "storage/files.h"
#include "storage/layout.h"

int s_lock_timeout_ms = 10000;

namespace {

constexpr const char *kLockFile = SDB_LOCK_FILE;
constexpr const char *kLockName =
    SDB_LOCK_FILE + sizeof SDB_LIST_DIR;  // within the list's directory
constexpr char kMagic[8] = {'s', 'd', 'b', 'g', 'e', 'n', '0', '1'};
constexpr size_t kTableBytes = 8 + 8 * (1 + SDB_GEN_BUCKETS);

int s_lock_fd = -1;
bool s_lock_usable = false;
char s_lock_reason[SDB_ERROR_SIZE];

void put_u64(unsigned char *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t get_u64(const unsigned char *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

void pause_ms(int ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

// Records why the lock cannot be had; cut like every message.
void set_reason(const char *path, const char *why) {
  const size_t room = sizeof s_lock_reason - 1;
  size_t len = 0;
  for (const char *piece : {"lock ", path, ": ", why}) {
    const size_t m = std::min(strlen(piece), room - len);
    memcpy(s_lock_reason + len, piece, m);
    len += m;
  }
  s_lock_reason[len] = '\0';
}

bool out_of_resources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOMEM;
}

void unusable(const char *path, int err) {
  s_lock_usable = false;
  set_reason(path, strerror(err));
}

}  // namespace

uint32_t sdb_gen_bucket(const char *name) {
  return static_cast<uint32_t>(sdb_hash(name, strlen(name)) % SDB_GEN_BUCKETS);
}

int sdb_lock_open(void) {
  sdb_lock_close();
  s_lock_reason[0] = '\0';
  char path[SDB_FILE_PATH_SIZE];
  sdb_full_path(path, sizeof path, kLockFile);
  const int store = sdb_store_fd();
  int dir =
      store < 0 ? -1 : openat(store, SDB_LIST_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int err = errno;
  if (dir >= 0) {
    s_lock_fd = openat(dir, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    err = errno;
    if (s_lock_fd < 0 && !out_of_resources(err)) {
      // Read-only: the generations can still be followed.
      s_lock_fd = openat(dir, kLockName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    close(dir);
  }
  if (s_lock_fd < 0 && out_of_resources(err)) {
    // Loading read-only for want of a descriptor would refuse every change
    // for the life of the process.
    sdb_error("lock %s: %s", path, strerror(err));
    return -1;
  }
  if (s_lock_fd < 0 || dir < 0) {
    unusable(path, err);
    return 0;
  }
  s_lock_usable = (fcntl(s_lock_fd, F_GETFL) & O_ACCMODE) == O_RDWR;
  if (!s_lock_usable) unusable(path, err);
  return 0;
}

void sdb_lock_close(void) {
  if (s_lock_fd >= 0) close(s_lock_fd);
  s_lock_fd = -1;
  s_lock_usable = false;
}

const char *sdb_lock_reason(void) {
  return s_lock_reason;
}

sdb_lock_status sdb_lock_take(bool exclusive) {
  if (!s_lock_usable) return SDB_LOCK_UNAVAILABLE;
  const int op = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  // Short pauses: a change holds the lock for a few milliseconds, and a
  // waiter that sleeps longer than that finds it taken again by the
  // processes that probe more often.
  int waited = 0, pause = 1;
  for (;;) {
    if (flock(s_lock_fd, op) == 0) return SDB_LOCK_HELD;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      char path[SDB_FILE_PATH_SIZE];
      sdb_full_path(path, sizeof path, kLockFile);
      unusable(path, errno);
      return SDB_LOCK_UNAVAILABLE;
    }
    if (waited >= s_lock_timeout_ms) {
      sdb_error("storage '%s' is locked", s_storage_dir);
      return SDB_LOCK_BUSY;
    }
    pause_ms(pause);
    waited += pause;
    pause = pause < 4 ? pause * 2 : 4;
  }
}

void sdb_lock_release(void) {
  if (s_lock_fd >= 0) (void)flock(s_lock_fd, LOCK_UN);
}

bool sdb_generations_read(sdb_generations *g) {
  unsigned char table[kTableBytes] = {};
  const ssize_t n = s_lock_fd < 0 ? -1 : pread(s_lock_fd, table, sizeof table, 0);
  *g = sdb_generations{};
  if (n < 0) return false;
  if (n < static_cast<ssize_t>(sizeof table) || memcmp(table, kMagic, 8) != 0) return true;
  g->list = get_u64(table + 8);
  for (int b = 0; b < SDB_GEN_BUCKETS; b++) g->index[b] = get_u64(table + 16 + 8 * b);
  return true;
}

namespace {

bool write_failed(void) {
  char path[SDB_FILE_PATH_SIZE];
  sdb_full_path(path, sizeof path, kLockFile);
  set_reason(path, errno ? strerror(errno) : "short write");
  return false;
}

bool write_word(uint64_t value, size_t offset) {
  unsigned char word[8];
  put_u64(word, value);
  errno = 0;
  return pwrite(s_lock_fd, word, 8, static_cast<off_t>(offset)) == 8 || write_failed();
}

}  // namespace

bool sdb_generations_write_changed(const sdb_generations *g, bool list, int bucket) {
  if (s_lock_fd < 0 || !s_lock_usable) return false;
  if (list && !write_word(g->list, 8)) return false;
  return bucket < 0 || write_word(g->index[bucket], 16 + 8 * static_cast<size_t>(bucket));
}

bool sdb_generations_write(const sdb_generations *g) {
  if (s_lock_fd < 0 || !s_lock_usable) return false;
  unsigned char table[kTableBytes];
  memcpy(table, kMagic, 8);
  put_u64(table + 8, g->list);
  for (int b = 0; b < SDB_GEN_BUCKETS; b++) put_u64(table + 16 + 8 * b, g->index[b]);
  // Not flushed: they only tell running processes what moved, and a
  // system crash ends every one of those.
  errno = 0;
  if (pwrite(s_lock_fd, table, sizeof table, 0) == static_cast<ssize_t>(sizeof table)) return true;
  return write_failed();
}
