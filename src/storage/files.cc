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

// Size of the regular file behind f. False for anything else (a directory
// opens for reading on POSIX but has no contents to read).
bool regular_file_size(FILE *f, uint64_t *size) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

// Pushes the stream's buffered bytes to the kernel and the file's data to
// stable storage. Returns 0, or the failing step's errno; *wrote is false
// when the buffered bytes themselves could not be written.
int flush_to_disk(FILE *f, bool *wrote) {
  *wrote = fflush(f) == 0;
  if (!*wrote) return errno;
  return fsync(fileno(f)) == 0 ? 0 : errno;
}

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

int sdb_write_file_atomic(const char *path, const void *data, uint64_t len) {
  char tmp[SDB_PATH_SIZE];
  snprintf(tmp, sizeof tmp, "%s.tmp", path);

  FILE *f = fopen(tmp, "wb");
  if (f == nullptr) {
    sdb_error("fopen %s: %s", tmp, strerror(errno));
    return -1;
  }
  if (len != 0 && fwrite(data, 1, len, f) != len) {
    fclose(f);
    discard(tmp);
    sdb_error("fwrite %s failed", path);
    return -1;
  }
  bool wrote;
  int err = flush_to_disk(f, &wrote);
  if (err != 0) {
    fclose(f);
    discard(tmp);
    if (wrote) {
      sdb_error("fsync %s: %s", path, strerror(err));
    } else {
      sdb_error("fwrite %s failed", path);
    }
    return -1;
  }
  if (fclose(f) != 0) {
    discard(tmp);
    sdb_error("fclose %s failed", path);
    return -1;
  }
  if (rename(tmp, path) != 0) {
    err = errno;  // the reason is the rename's, not the clean-up's
    discard(tmp);
    sdb_error("rename %s: %s", path, strerror(err));
    return -1;
  }
  err = sync_parent_dir(path);
  if (err != 0) {
    sdb_error("fsync %s: %s", path, strerror(err));
    return -1;
  }
  return 0;
}

int sdb_read_file(const char *path, char **data, uint64_t *len) {
  FILE *f = fopen(path, "rb");
  if (f == nullptr) return -1;  // a missing file is an ordinary case for the loader
  uint64_t size;
  if (!regular_file_size(f, &size)) {
    fclose(f);
    return -1;
  }
  char *block = size < SIZE_MAX ? static_cast<char *>(malloc(size + 1)) : nullptr;
  if (block == nullptr) {
    fclose(f);
    sdb_error("oom: read %s", path);
    return -1;
  }
  // A file that shrank since it was sized simply gives fewer bytes.
  size_t got = fread(block, 1, size, f);
  fclose(f);
  block[got] = '\0';
  *data = block;
  *len = got;
  return 0;
}
