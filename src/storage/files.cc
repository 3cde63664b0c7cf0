// Storage primitives over POSIX.
//
// A replacement writes "<target>.tmp", flushes it to stable storage, renames
// it over the target and then flushes the directory, so that once a write
// has reported success the new content survives a power cut, and a reader
// (or the next load after a crash) sees either the old or the new file whole.
// The temporary file never outlives a failed call. A directory that is
// created is made durable in its parent for the same reason.
//
// Every name below the store is reached from the store's descriptor, one
// component at a time with O_NOFOLLOW, and a file is opened O_NONBLOCK and
// checked to be a regular file before anything is read from it, so a link
// planted in the store cannot lead outside it and a FIFO cannot stall a
// start.
#include "storage/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/checksum.h"
#include "base/error.h"
#include "base/memory.h"
#include "storage/layout.h"

char s_storage_dir[SDB_STORAGE_DIR_SIZE];

namespace {

int s_store = -1;

// Splits rel into its directory part (its first *dir_len bytes, 0 for the
// store itself) and its last component, which is returned.
const char *split(const char *rel, size_t *dir_len) {
  const char *slash = strrchr(rel, '/');
  *dir_len = slash ? static_cast<size_t>(slash - rel) : 0;
  return slash ? slash + 1 : rel;
}

// Copies the n bytes of one component to out (SDB_ENTRY_NAME_SIZE bytes).
// False, with errno ENAMETOOLONG, when no directory entry can have such a
// name: cut, it would name another.
bool component_name(const char *bytes, size_t n, char (&out)[SDB_ENTRY_NAME_SIZE]) {
  if (n >= sizeof out) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(out, bytes, n);
  out[n] = '\0';
  return true;
}

// Makes the new entries of a directory durable. A file system that cannot
// sync directories is given the benefit of the doubt: there is nothing more
// this process can do.
int sync_dir(int fd) {
  return fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
}

// Opens the directory of the first len bytes of rel (none: the store),
// component by component and never through a link; with create, making the
// missing ones (an empty component is then skipped). -1 with errno set when
// it cannot.
int walk_dirs(const char *rel, size_t len, bool create) {
  if (s_store < 0) {
    errno = EBADF;
    return -1;
  }
  int fd = openat(s_store, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const char *p = rel, *stop = rel + len;
  while (fd >= 0 && p < stop) {
    const char *end = static_cast<const char *>(memchr(p, '/', static_cast<size_t>(stop - p)));
    const size_t n = end ? static_cast<size_t>(end - p) : static_cast<size_t>(stop - p);
    const char *start = p;
    p = end ? end + 1 : stop;
    if (n == 0 && create) continue;
    char component[SDB_ENTRY_NAME_SIZE];
    if (!component_name(start, n, component)) {
      close(fd);
      return -1;
    }
    if (create && mkdirat(fd, component, 0777) == 0) (void)sync_dir(fd);
    const int next = openat(fd, component, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int err = errno;
    close(fd);
    errno = err;
    fd = next;
  }
  return fd;
}

int open_dir(const char *rel, size_t len) {
  return walk_dirs(rel, len, false);
}

void discard(sdb_replace *r) {
  if (r->fd >= 0) close(r->fd);
  r->fd = -1;
  (void)unlinkat(r->dir, r->tmp_name, 0);
}

void close_dir(sdb_replace *r) {
  if (r->dir >= 0) close(r->dir);
  r->dir = -1;
}

sdb_entry_kind kind_of_mode(mode_t mode) {
  if (S_ISREG(mode)) return SDB_ENTRY_FILE;
  if (S_ISDIR(mode)) return SDB_ENTRY_DIR;
  return SDB_ENTRY_OTHER;
}

}  // namespace

int sdb_store_open(const char *dir) {
  if (s_store >= 0) close(s_store);
  s_store = -1;
  if (dir != s_storage_dir) snprintf(s_storage_dir, sizeof s_storage_dir, "%s", dir);
  // The storage directory is the host's to name: links on the way to it
  // are followed, and missing directories created.
  for (char *p = s_storage_dir + (s_storage_dir[0] != '\0'); *p != '\0'; p++) {
    if (*p != '/') continue;
    *p = '\0';
    (void)mkdir(s_storage_dir, 0777);
    *p = '/';
  }
  (void)mkdir(s_storage_dir, 0777);
  s_store = open(s_storage_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (s_store < 0) {
    const int err = errno;
    sdb_error(sdb_errno_code(err), "storage %s: %s", s_storage_dir, strerror(err));
    s_storage_dir[0] = '\0';
    return -1;
  }
  return 0;
}

void sdb_store_close(void) {
  if (s_store >= 0) close(s_store);
  s_store = -1;
  s_storage_dir[0] = '\0';
}

int sdb_store_fd(void) {
  return s_store;
}

void sdb_full_path(char *out, size_t size, const char *rel) {
  // Cut to size: the path is for a message, which is cut the same.
  if (snprintf(out, size, "%s/%s", s_storage_dir, rel) < 0) out[0] = '\0';
}

void sdb_make_dirs(const char *rel) {
  const int fd = walk_dirs(rel, strlen(rel), true);
  if (fd >= 0) close(fd);
}

void sdb_remove(const char *rel) {
  size_t dir;
  const char *name = split(rel, &dir);
  const int fd = open_dir(rel, dir);
  if (fd < 0) return;
  (void)unlinkat(fd, name, 0);
  close(fd);
}

void sdb_rmdir(const char *rel) {
  size_t dir;
  const char *name = split(rel, &dir);
  const int fd = open_dir(rel, dir);
  if (fd < 0) return;
  (void)unlinkat(fd, name, AT_REMOVEDIR);
  close(fd);
}

sdb_entry_kind sdb_entry_kind_of(const char *rel) {
  size_t dir;
  const char *name = split(rel, &dir);
  const int fd = open_dir(rel, dir);
  if (fd < 0) return errno == ENOENT ? SDB_ENTRY_NONE : SDB_ENTRY_OTHER;
  struct stat st;
  const int rc = fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW);
  const int err = errno;
  close(fd);
  if (rc != 0) return err == ENOENT ? SDB_ENTRY_NONE : SDB_ENTRY_OTHER;
  return kind_of_mode(st.st_mode);
}

bool sdb_path_blocked(const char *rel) {
  int fd = walk_dirs("", 0, false);
  bool blocked = false;
  for (const char *p = rel; fd >= 0 && *p != '\0';) {
    const char *end = strchr(p, '/');
    const size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
    char component[SDB_ENTRY_NAME_SIZE];
    const bool named = component_name(p, n, component);
    p = end ? end + 1 : p + n;
    if (!named) break;  // left to the file operations to report
    struct stat st;
    int next = -1;
    if (fstatat(fd, component, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(st.st_mode))
        next = openat(fd, component, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      else
        blocked = !S_ISLNK(st.st_mode);
    }
    close(fd);
    fd = next;
  }
  if (fd >= 0) close(fd);
  return blocked;
}

int sdb_replace_begin(sdb_replace *r, const char *rel) {
  size_t dir;
  const char *name = split(rel, &dir);
  sdb_full_path(r->path, sizeof r->path, rel);
  if (snprintf(r->tmp, sizeof r->tmp, "%s%s", r->path, SDB_TEMPORARY_SUFFIX) < 0) r->tmp[0] = '\0';
  r->write_error = 0;
  r->fd = -1;
  r->dir = -1;
  int err = ENAMETOOLONG;
  if (strlen(name) < sizeof r->name) {
    snprintf(r->name, sizeof r->name, "%s", name);
    snprintf(r->tmp_name, sizeof r->tmp_name, "%s%s", name, SDB_TEMPORARY_SUFFIX);
    r->dir = open_dir(rel, dir);
    err = errno;
  }
  if (r->dir >= 0) {
    // Whatever stands at the temporary name is an interrupted write's
    // leftover or was planted: it goes, and the temporary is created anew.
    if (unlinkat(r->dir, r->tmp_name, 0) != 0 && errno != ENOENT) {
      err = errno;
    } else {
      r->fd =
          openat(r->dir, r->tmp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      err = errno;
    }
  }
  if (r->fd < 0) {
    close_dir(r);
    sdb_error(sdb_errno_code(err), "fopen %s: %s", r->tmp, strerror(err));
    return -1;
  }
  return 0;
}

void sdb_replace_write(sdb_replace *r, struct iovec *pieces, int count) {
  // A piece may be written in part; the rest follows from where it stopped.
  while (r->write_error == 0 && count > 0) {
    const int n = count < SDB_REPLACE_MAX_PIECES ? count : SDB_REPLACE_MAX_PIECES;
    struct iovec *rest = pieces;
    pieces += n;
    count -= n;
    int first = 0;
    while (first < n) {
      ssize_t wrote = writev(r->fd, rest + first, n - first);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) {
        // Nothing taken and no reason given is the device's failure.
        r->write_error = wrote < 0 ? errno : EIO;
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

bool sdb_replace_copy(sdb_replace *r, int from, uint64_t len) {
  if (r->write_error != 0) return false;
  loff_t at = 0;
  while (static_cast<uint64_t>(at) < len) {
    const ssize_t n =
        copy_file_range(from, &at, r->fd, nullptr, len - static_cast<uint64_t>(at), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  if (static_cast<uint64_t>(at) == len) return true;
  // What it did copy goes, so that the caller's writes start the file.
  if (at > 0 && (ftruncate(r->fd, 0) != 0 || lseek(r->fd, 0, SEEK_SET) != 0))
    r->write_error = errno != 0 ? errno : EIO;
  return false;
}

void sdb_replace_abort(sdb_replace *r) {
  discard(r);
  close_dir(r);
}

int sdb_replace_commit(sdb_replace *r, bool flush) {
  if (r->write_error != 0) {
    sdb_replace_abort(r);
    sdb_error(sdb_errno_code(r->write_error), "fwrite %s: %s", r->path, strerror(r->write_error));
    return -1;
  }
  if (flush && fsync(r->fd) != 0) {
    int err = errno;
    sdb_replace_abort(r);
    sdb_error(sdb_errno_code(err), "fsync %s: %s", r->path, strerror(err));
    return -1;
  }
  int fd = r->fd;
  r->fd = -1;
  if (close(fd) != 0) {
    sdb_replace_abort(r);
    sdb_error(SEARCHDB_IO, "fclose %s failed", r->path);
    return -1;
  }
  if (renameat(r->dir, r->tmp_name, r->dir, r->name) != 0) {
    int err = errno;  // the reason is the rename's, not the clean-up's
    sdb_replace_abort(r);
    sdb_error(sdb_errno_code(err), "rename %s: %s", r->path, strerror(err));
    return -1;
  }
  int err = flush ? sync_dir(r->dir) : 0;
  close_dir(r);
  if (err != 0) {
    sdb_error(sdb_errno_code(err), "fsync %s: %s", r->path, strerror(err));
    return 1;
  }
  return 0;
}

int sdb_write_file_atomic(const char *rel, const void *data, uint64_t len) {
  sdb_replace r;
  if (sdb_replace_begin(&r, rel) != 0) return -1;
  struct iovec piece = {const_cast<void *>(data), static_cast<size_t>(len)};
  if (len != 0) sdb_replace_write(&r, &piece, 1);
  return sdb_replace_commit(&r);
}

sdb_read_status sdb_read_file(const char *rel, char **data, uint64_t *len, struct stat *st_out) {
  char path[SDB_MESSAGE_PATH_SIZE];
  size_t dir;
  const char *name = split(rel, &dir);
  sdb_full_path(path, sizeof path, rel);
  int dfd = open_dir(rel, dir);
  int fd = dfd < 0 ? -1 : openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  const int err = errno;
  if (dfd >= 0) close(dfd);
  if (fd < 0) {
    if (err == ENOENT) return SDB_READ_MISSING;
    sdb_error(sdb_errno_code(err), "read %s: %s", path, strerror(err));
    return SDB_READ_FAILED;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    close(fd);
    sdb_error(SEARCHDB_IO, "read %s: not a regular file", path);
    return SDB_READ_FAILED;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  char *block = size < SIZE_MAX ? static_cast<char *>(malloc(size + 1)) : nullptr;
  if (block == nullptr) {
    close(fd);
    sdb_error(SEARCHDB_NOMEM, "oom: read %s", path);
    return SDB_READ_NO_MEMORY;
  }
  sdb_advise_huge(block, size + 1);
  // A file that shrank since it was sized simply gives fewer bytes.
  uint64_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, block + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int read_err = errno;
      close(fd);
      free(block);
      sdb_error(sdb_errno_code(read_err), "read %s: %s", path, strerror(read_err));
      return SDB_READ_FAILED;
    }
    if (n == 0) break;
    got += static_cast<uint64_t>(n);
  }
  close(fd);
  block[got] = '\0';
  *data = block;
  *len = got;
  if (st_out != nullptr) *st_out = st;
  return SDB_READ_OK;
}

void *sdb_map_file(int fd, size_t len, int prot) {
  constexpr size_t kHuge = size_t{2} << 20;
  const long page = sysconf(_SC_PAGESIZE);
  if (len == 0 || page <= 0 || len > SIZE_MAX - 2 * kHuge) return MAP_FAILED;
  // Room for the mapping at a page past a huge page boundary, the rest
  // given back once the file lies there.
  const size_t room = len + 2 * kHuge;
  void *reserved =
      mmap(nullptr, room, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) return MAP_FAILED;
  const auto base = reinterpret_cast<uintptr_t>(reserved);
  const uintptr_t at = ((base + kHuge - 1) & ~uintptr_t{kHuge - 1}) + static_cast<uintptr_t>(page);
  void *map = mmap(reinterpret_cast<void *>(at), len, prot, MAP_PRIVATE | MAP_FIXED, fd, 0);
  if (map == MAP_FAILED) {
    munmap(reserved, room);
    return MAP_FAILED;
  }
  const uintptr_t end = (at + len + static_cast<uintptr_t>(page) - 1) & ~uintptr_t(page - 1);
  if (at > base) munmap(reserved, at - base);
  if (base + room > end) munmap(reinterpret_cast<void *>(end), base + room - end);
  return map;
}

namespace {

// Reads len bytes of fd at off into buf, however many calls it takes.
// False when the file gave fewer or a read failed.
bool read_at(int fd, unsigned char *buf, size_t len, uint64_t off) {
  for (size_t done = 0; done < len;) {
    const ssize_t got = pread(fd, buf + done, len - done, static_cast<off_t>(off + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

bool sdb_read_through(int fd, uint64_t size, uint64_t *sum,
                      bool (*see)(void *ctx, const unsigned char *piece, size_t len, uint64_t at),
                      void *ctx, sdb_vec<sdb_checksum_mark> *marks) {
  sdb_checksum_stream stream;
  if (marks != nullptr) marks->count = 0;
  stream.marks = marks;
  if (!sdb_read_into(fd, 0, size, &stream, see, ctx)) return false;
  *sum = stream.value();
  return true;
}

bool sdb_read_into(int fd, uint64_t at, uint64_t end, sdb_checksum_stream *stream,
                   bool (*see)(void *ctx, const unsigned char *piece, size_t len, uint64_t at),
                   void *ctx) {
  constexpr uint64_t kStep = uint64_t{256} << 10;
  const auto room = static_cast<size_t>(std::max<uint64_t>(1, std::min(kStep, end - at)));
  std::unique_ptr<unsigned char, decltype(&free)> buf(
      static_cast<unsigned char *>(sdb_alloc_touched(room)), free);
  if (!buf) return false;
  while (at < end) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(room, end - at));
    if (!read_at(fd, buf.get(), len, at) || (see != nullptr && !see(ctx, buf.get(), len, at)))
      return false;
    stream->add(buf.get(), len);
    at += len;
  }
  return true;
}

bool sdb_map_copy_in(const char *rel, unsigned char *map, uint64_t len, uint64_t head) {
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  constexpr uint64_t kMostHead = 4096;
  const long page_size = sysconf(_SC_PAGESIZE);
  const auto base = reinterpret_cast<uintptr_t>(map);
  if (page_size <= 0 || len > UINTPTR_MAX - base - 2 * kHuge || head > kMostHead) return false;
  const auto page = static_cast<uintptr_t>(page_size);
  const uintptr_t first_huge = (base + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t to = (base + len + page - 1) & ~(page - 1);
  // A large file keeps its start up to a huge page boundary mapped:
  // copied, that part would lie on small pages. A small one is copied
  // from past its head.
  const uintptr_t from =
      base + len >= first_huge + kHuge ? first_huge : (base + head + page - 1) & ~(page - 1);
  if (to <= from) return false;
  const int fd = sdb_open_regular(rel);
  if (fd < 0) return false;
  const size_t n = to - from, lead = from & (kHuge - 1);
  // Whole huge pages, from the one the copy begins in: part of one would
  // be filled page by page.
  const size_t whole = (lead + n + kHuge - 1) & ~(kHuge - 1), room_len = whole + kHuge;
  struct stat st;
  unsigned char now[kMostHead];
  void *room = MAP_FAILED;
  if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == len &&
      pread(fd, now, head, 0) == static_cast<ssize_t>(head) && memcmp(now, map, head) == 0)
    room = mmap(nullptr, room_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (room == MAP_FAILED) {
    close(fd);
    return false;
  }
  const auto room_at = reinterpret_cast<uintptr_t>(room);
  const uintptr_t aligned = (room_at + kHuge - 1) & ~(kHuge - 1);
  auto *copy = reinterpret_cast<unsigned char *>(aligned + lead);
#ifdef MADV_HUGEPAGE
  (void)madvise(reinterpret_cast<void *>(aligned), whole, MADV_HUGEPAGE);
#endif
  // The copy lies at the same place within a huge page as the pages it
  // stands in for, so that every whole huge page of it moves as one.
  const uint64_t off = from - base;
  const bool read = read_at(fd, copy, static_cast<size_t>(len - off), off);
  close(fd);
  const bool moved = read && mremap(copy, n, n, MREMAP_MAYMOVE | MREMAP_FIXED,
                                    reinterpret_cast<void *>(from)) != MAP_FAILED;
  if (!moved) {
    munmap(room, room_len);
    return false;
  }
  // What is left of the room on either side of the copy that moved.
  munmap(room, reinterpret_cast<uintptr_t>(copy) - room_at);
  munmap(copy + n, room_at + room_len - (reinterpret_cast<uintptr_t>(copy) + n));
  sdb_map_read_ahead(map, from - base);  // what stayed mapped
  return true;
}

void sdb_map_read_ahead(const void *at, uint64_t len) {
#ifdef MADV_POPULATE_READ
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0 || len == 0) return;
  const auto from = reinterpret_cast<uintptr_t>(at) & ~uintptr_t(page - 1);
  const auto to = reinterpret_cast<uintptr_t>(at) + len;
  (void)madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_READ);
#else
  (void)at;
  (void)len;
#endif
}

bool sdb_file_path(char (&out)[SDB_REL_PATH_SIZE], const char *dir, const char *file) {
  const int n = snprintf(out, sizeof out, "%s/%s", dir, file);
  if (n >= 0 && static_cast<size_t>(n) < sizeof out) return true;
  out[0] = '\0';
  return false;
}

int sdb_open_regular(const char *rel) {
  size_t dir;
  const char *name = split(rel, &dir);
  const int dfd = open_dir(rel, dir);
  const int fd = dfd < 0 ? -1 : openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (dfd >= 0) close(dfd);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

int sdb_open_append(const char *rel, bool fresh) {
  size_t dir;
  const char *name = split(rel, &dir);
  const int dfd = open_dir(rel, dir);
  if (dfd < 0) return -1;
  if (fresh) (void)unlinkat(dfd, name, 0);
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (fresh ? O_CREAT | O_EXCL : 0);
  const int fd = openat(dfd, name, flags, 0666);
  close(dfd);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

int sdb_set_aside(const char *rel, const char *suffix, bool keep, char *aside, size_t size) {
  size_t dir;
  const char *name = split(rel, &dir);
  const int fd = open_dir(rel, dir);
  int err = errno;
  for (int n = 1; fd >= 0 && n < 10000; n++) {
    char candidate[SDB_ENTRY_NAME_SIZE + 16];
    const int len = n == 1 ? snprintf(candidate, sizeof candidate, "%s%s", name, suffix)
                           : snprintf(candidate, sizeof candidate, "%s%s.%d", name, suffix, n);
    if (len < 0 || static_cast<size_t>(len) >= sizeof candidate) {
      err = ENAMETOOLONG;
      break;
    }
    // A link never replaces what is there; a move is a link and an unlink.
    if (linkat(fd, name, fd, candidate, 0) != 0) {
      err = errno;
      if (err == EEXIST) continue;
      break;
    }
    if (!keep) (void)unlinkat(fd, name, 0);
    close(fd);
    if (dir == 0) {
      snprintf(aside, size, "%s", candidate);
    } else {
      snprintf(aside, size, "%.*s/%s", static_cast<int>(dir), rel, candidate);
    }
    return 0;
  }
  if (fd >= 0) close(fd);
  char path[SDB_MESSAGE_PATH_SIZE];
  sdb_full_path(path, sizeof path, rel);
  sdb_error(sdb_errno_code(err), "set aside %s: %s", path, strerror(err));
  return -1;
}

bool sdb_dir_open(sdb_dir_walk *w, const char *rel) {
  w->dir = nullptr;
  w->fd = open_dir(rel, strlen(rel));
  if (w->fd < 0) return false;
  const int walk_fd = dup(w->fd);
  DIR *d = walk_fd >= 0 ? fdopendir(walk_fd) : nullptr;
  if (d == nullptr) {
    const int err = errno;
    if (walk_fd >= 0) close(walk_fd);
    close(w->fd);
    w->fd = -1;
    errno = err;
    return false;
  }
  w->dir = d;
  return true;
}

const char *sdb_dir_next(sdb_dir_walk *w, sdb_entry_kind *kind) {
  if (w->dir == nullptr) return nullptr;
  for (;;) {
    const dirent *e = readdir(static_cast<DIR *>(w->dir));
    if (e == nullptr) return nullptr;
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    *kind = fstatat(w->fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? kind_of_mode(st.st_mode)
                                                                     : SDB_ENTRY_OTHER;
    return e->d_name;
  }
}

void sdb_dir_close(sdb_dir_walk *w) {
  if (w->dir != nullptr) closedir(static_cast<DIR *>(w->dir));
  if (w->fd >= 0) close(w->fd);
  w->dir = nullptr;
  w->fd = -1;
}
