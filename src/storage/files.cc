// Storage primitives. Paths are plain byte strings with '/' as the only
// separator; nothing is escaped or normalised. Every path buffer is
// SDB_PATH_SIZE bytes on the stack, so a longer path is cut.
//
// A replacement writes "<target>.tmp", flushes it to stable storage, renames
// it over the target and then flushes the directory, so that once a write
// has reported success the new content survives a power cut, and a reader
// (or the next load after a crash) sees either the old or the new file whole.
// The temporary file never outlives a failed call. A directory that
// sdb_mkdir_p creates is made durable in its parent for the same reason.
#include "storage/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/frame.h"

namespace {

// ---- POSIX platform layer ----

// Makes the entry of path in its directory (a rename, a new directory)
// durable. Returns 0, or the errno of a failed fsync. A directory that
// cannot be opened, or a file system that cannot sync directories, is given
// the benefit of the doubt: there is nothing more this process can do.
int sync_parent_dir(const char *path) {
  char dir[SDB_PATH_SIZE];
  snprintf(dir, sizeof dir, "%s", path);
  char *slash = strrchr(dir, '/');
  if (slash == nullptr) {
    snprintf(dir, sizeof dir, ".");
  } else if (slash == dir) {
    dir[1] = '\0';  // a file in the root directory
  } else {
    *slash = '\0';
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  int err = 0;
  if (fsync(fd) != 0 && errno != EINVAL) err = errno;
  close(fd);
  return err;
}

// Creates one directory and makes its entry durable, so that the files later
// written there cannot lose their directory in a power cut. An existing
// directory, a missing parent or a refusal is not an error at this level:
// the files later written there report it.
void platform_mkdir(const char *path) {
  if (mkdir(path, 0777) == 0) (void)sync_parent_dir(path);
}

// Discards the temporary file of a failed replacement.
void discard(const char *tmp) {
  (void)unlink(tmp);
}

}  // namespace

void sdb_mkdir_p(const char *path) {
  char buf[SDB_PATH_SIZE];
  snprintf(buf, sizeof buf, "%s", path);
  // The first byte is never a separator, so "/a" does not try to make "".
  for (char *p = buf + (buf[0] != '\0'); *p != '\0'; p++) {
    if (*p != '/') continue;
    *p = '\0';
    platform_mkdir(buf);
    *p = '/';
  }
  platform_mkdir(buf);
}

void sdb_rmdir(const char *path) {
  (void)rmdir(path);
}

void sdb_remove(const char *path) {
  (void)unlink(path);
}

int sdb_rename(const char *from, const char *to) {
  if (rename(from, to) == 0) return 0;
  sdb_error("rename %s: %s", from, strerror(errno));
  return -1;
}

int sdb_replace_begin(sdb_replace *r, const char *path) {
  snprintf(r->path, sizeof r->path, "%s", path);
  snprintf(r->tmp, sizeof r->tmp, "%s.tmp", path);
  r->failed = false;
  r->fd = open(r->tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (r->fd < 0) {
    sdb_error("fopen %s: %s", r->tmp, strerror(errno));
    return -1;
  }
  return 0;
}

void sdb_replace_write(sdb_replace *r, const struct iovec *pieces, int count) {
  // A piece may be written in part; the rest follows from where it stopped.
  struct iovec rest[SDB_REPLACE_MAX_PIECES];
  while (!r->failed && count > 0) {
    int n = count < SDB_REPLACE_MAX_PIECES ? count : SDB_REPLACE_MAX_PIECES;
    memcpy(rest, pieces, n * sizeof *rest);
    pieces += n;
    count -= n;
    int first = 0;
    while (first < n) {
      ssize_t wrote = writev(r->fd, rest + first, n - first);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) {
        r->failed = true;
        return;
      }
      size_t left = static_cast<size_t>(wrote);
      while (first < n && left >= rest[first].iov_len) left -= rest[first++].iov_len;
      if (first < n) {
        rest[first].iov_base = static_cast<char *>(rest[first].iov_base) + left;
        rest[first].iov_len -= left;
      }
    }
  }
}

void sdb_replace_abort(sdb_replace *r) {
  if (r->fd >= 0) close(r->fd);
  r->fd = -1;
  discard(r->tmp);
}

int sdb_replace_commit(sdb_replace *r) {
  if (r->failed) {
    sdb_replace_abort(r);
    sdb_error("fwrite %s failed", r->path);
    return -1;
  }
  if (fsync(r->fd) != 0) {
    int err = errno;
    sdb_replace_abort(r);
    sdb_error("fsync %s: %s", r->path, strerror(err));
    return -1;
  }
  int fd = r->fd;
  r->fd = -1;
  if (close(fd) != 0) {
    discard(r->tmp);
    sdb_error("fclose %s failed", r->path);
    return -1;
  }
  if (rename(r->tmp, r->path) != 0) {
    int err = errno;  // the reason is the rename's, not the clean-up's
    discard(r->tmp);
    sdb_error("rename %s: %s", r->path, strerror(err));
    return -1;
  }
  int err = sync_parent_dir(r->path);
  if (err != 0) {
    sdb_error("fsync %s: %s", r->path, strerror(err));
    return 1;
  }
  return 0;
}

int sdb_write_file_atomic(const char *path, const void *data, uint64_t len) {
  sdb_replace r;
  if (sdb_replace_begin(&r, path) != 0) return -1;
  struct iovec piece = {const_cast<void *>(data), static_cast<size_t>(len)};
  if (len != 0) sdb_replace_write(&r, &piece, 1);
  return sdb_replace_commit(&r) == 0 ? 0 : -1;
}

int sdb_read_file(const char *path, char **data, uint64_t *len) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;  // a missing file is an ordinary case for the loader
  // A directory opens for reading on POSIX but has no contents to read.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    close(fd);
    return -1;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  char *block = size < SIZE_MAX ? static_cast<char *>(malloc(size + 1)) : nullptr;
  if (block == nullptr) {
    close(fd);
    sdb_error("oom: read %s", path);
    errno = ENOMEM;
    return -1;
  }
  sdb_advise_huge(block, size + 1);
  // A file that shrank since it was sized simply gives fewer bytes.
  uint64_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, block + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<uint64_t>(n);
  }
  close(fd);
  block[got] = '\0';
  *data = block;
  *len = got;
  return 0;
}
