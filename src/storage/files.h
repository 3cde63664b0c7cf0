// Storage primitives: the storage directory, directories and files below
// it, atomic whole-file replacement and whole-file reads.
//
// The storage directory is opened once (it may itself be a symbolic link);
// every path below it is a relative path of '/'-separated components, opened
// one component at a time from it and never through a symbolic link, so
// nothing planted in the store can lead a read or a write outside it. The
// library forms no relative path longer than SDB_REL_PATH_SIZE, and a
// component longer than a directory entry's name fails as the system
// would (ENAMETOOLONG): nothing is ever cut. Messages name the full path,
// "<storage_dir>/<relative path>".
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "base/checksum.h"
#include "base/error.h"
#include "base/limits.h"

// Pieces one write hands the system at most.
enum { SDB_REPLACE_MAX_PIECES = 1024 };

// Room for a full path shown in a message: a message is cut at
// SDB_ERROR_SIZE - 1 bytes, and every path in one follows a word, so a path
// cut to this room gives the same message as the whole one.
inline constexpr size_t SDB_MESSAGE_PATH_SIZE = SDB_ERROR_SIZE;

// The storage directory as the host named it; "" while none is open.
extern char s_storage_dir[SDB_STORAGE_DIR_SIZE];

// Creates the storage directory dir (shorter than SDB_STORAGE_DIR_SIZE)
// with every missing parent (as the host names it, links followed) and
// opens it. Returns 0, or -1 with "storage %s: %s" and none open.
int sdb_store_open(const char *dir);

// Closes the storage directory; nothing below can be reached afterwards.
void sdb_store_close(void);

// Formats "<storage_dir>/<rel>" into out.
void sdb_full_path(char *out, size_t size, const char *rel);

// Creates every directory of rel that is missing, outermost first, making
// each new one durable in its parent. Failures are left to the file
// operations that follow to report. A component that is a link is never
// followed.
void sdb_make_dirs(const char *rel);

// Removes one file, or one empty directory; failures are ignored.
void sdb_remove(const char *rel);
void sdb_rmdir(const char *rel);

// What a name below the store is, without following a link.
enum sdb_entry_kind {
  SDB_ENTRY_NONE,   // nothing there
  SDB_ENTRY_FILE,   // a regular file
  SDB_ENTRY_DIR,    // a directory
  SDB_ENTRY_OTHER,  // a link, a FIFO, a device, or unknown
};
sdb_entry_kind sdb_entry_kind_of(const char *rel);

// Whether something other than a directory or a link stands at rel or at
// one of the directories above it, found without following links: no
// directory can ever be made there. A link, or a name that cannot be
// looked at, is left to the file operations to report.
bool sdb_path_blocked(const char *rel);

// A replacement in progress: the file at rel is being written as
// "<rel>.tmp". sdb_replace_begin opens it (a file or link found in its
// place is removed first; the temporary is created, never opened through
// anything), sdb_replace_write adds bytes, sdb_replace_commit flushes it to
// stable storage, renames it over the target and flushes the directory;
// sdb_replace_abort discards it. Whatever fails, no ".tmp" outlives the
// replacement and the target keeps its old bytes, except that a directory
// flush that fails after the rename leaves the target holding the new bytes
// (they are not known to survive a power cut). Messages: "fopen %s: %s"
// (the temporary path), "fwrite %s: %s", "fsync %s: %s",
// "fclose %s failed" and "rename %s: %s" (the target path).
struct sdb_replace {
  int dir;  // the directory of the target
  int fd;
  int write_error;  // 0, or why a write failed: commit reports it and discards the file
  char name[SDB_ENTRY_NAME_SIZE];
  char tmp_name[SDB_ENTRY_NAME_SIZE + sizeof ".tmp"];
  char path[SDB_MESSAGE_PATH_SIZE];  // for messages
  char tmp[SDB_MESSAGE_PATH_SIZE];
};

// Returns 0, or -1 with "fopen %s: %s".
int sdb_replace_begin(sdb_replace *r, const char *rel);
// Appends the pieces (a failure is reported by commit). The pieces are the
// writer's to use up: what a partial write leaves is noted in them.
void sdb_replace_write(sdb_replace *r, struct iovec *pieces, int count);
// Appends the first len bytes of the open file from, copied by the kernel
// rather than through this process's memory. False, with nothing appended,
// when they could not be copied so (a file system that cannot, or the file
// is shorter): the caller then writes them itself. (Should what was copied
// not go, the write fails as a failed sdb_replace_write would.)
bool sdb_replace_copy(sdb_replace *r, int from, uint64_t len);
// Returns 0, or -1 with the failing step's message (the target unchanged);
// 1 when only the directory flush after the rename failed (message
// "fsync %s: %s"; the target holds the new bytes). Without flush, for a
// cache whose loss costs only work, neither the file nor the directory is
// flushed: a process that dies still leaves the old bytes or the new, but
// after a power cut the file may hold neither, which its reader must tell.
int sdb_replace_commit(sdb_replace *r, bool flush = true);
void sdb_replace_abort(sdb_replace *r);

// Replaces the file at rel with len bytes of data (as above, in one piece).
// Returns 0, -1 or 1 as sdb_replace_commit.
int sdb_write_file_atomic(const char *rel, const void *data, uint64_t len);

enum sdb_read_status {
  SDB_READ_OK,
  SDB_READ_MISSING,    // nothing by that name: the one failure that means "not stored"
  SDB_READ_FAILED,     // "read %s: %s": it is there but cannot be read
  SDB_READ_NO_MEMORY,  // "oom: read %s"
};

// Reads the whole file at rel into a heap block (free it) with a NUL byte
// after the data. A name that is not a regular file (a link, a directory, a
// FIFO) is never opened in a way that could block, and fails to read.
// With st, the file's status as it was opened goes there.
sdb_read_status sdb_read_file(const char *rel, char **data, uint64_t *len,
                              struct stat *st = nullptr);

// Formats "<dir>/<file>" into out. An index's directory and one entry name
// always fit; were one cut it would name another file, so it becomes "",
// which names none, and the result is false.
bool sdb_file_path(char (&out)[SDB_REL_PATH_SIZE], const char *dir, const char *file);

// Opens the regular file at rel for reading (never a link, a FIFO or a
// directory). The descriptor, or -1 without a message.
int sdb_open_regular(const char *rel);

// Maps len bytes of the open file fd from its start, private, with prot
// (PROT_READ, or with PROT_WRITE): MAP_FAILED when it cannot be mapped;
// munmap(len) releases it. The mapping starts a page past a huge page's
// boundary: a file written whole lies in the page cache in pieces of up
// to a huge page, which the kernel maps whole on a touch where the
// mapping's alignment allows it, so that a few scattered reads of a
// large file would each hold that much of it.
void *sdb_map_file(int fd, size_t len, int prot);

// Maps in one call the pages of a file mapping that hold len bytes at at,
// which the caller is about to read whole: a fault per 64 KB costs more
// than reading them. Advice only; nothing changes where it cannot.
void sdb_map_read_ahead(const void *at, uint64_t len);

// Reads the size bytes of the open file fd from its start through a small
// buffer, handing each piece to see (when given) with its offset, and puts
// their sdb_checksum in *sum. For a file read once whole to be checked:
// reading costs less than a first touch of each page of a mapping. False
// when the file gave fewer bytes, memory ran out, or see said so.
// With marks, the checksum's marks are put there (base/checksum.h).
bool sdb_read_through(int fd, uint64_t size, uint64_t *sum,
                      bool (*see)(void *ctx, const unsigned char *piece, size_t len, uint64_t at),
                      void *ctx, sdb_vec<sdb_checksum_mark> *marks = nullptr);

// The same for bytes [at, end) of fd, added to stream.
bool sdb_read_into(int fd, uint64_t at, uint64_t end, sdb_checksum_stream *stream,
                   bool (*see)(void *ctx, const unsigned char *piece, size_t len,
                               uint64_t at) = nullptr,
                   void *ctx = nullptr);

// Puts a copy of the file at rel in place of the pages of its mapping map
// (len bytes, made by sdb_map_file) past its first head bytes (at most
// 4 KB; a large file's up to the first huge page boundary): read into
// memory on huge pages, then moved there in one call, so that the mapping
// holds the same bytes at the same addresses (what stays mapped is read
// ahead, sdb_map_read_ahead). For a mapping about to be
// read whole and partly written: on a virtual machine the first touch of
// each mapped page, and a write's copy of it, can cost more than reading
// the whole file. What the process wrote there is lost: for a mapping not
// yet written. Only when the file still begins with the head bytes the
// mapping does (a file written anew by another process is left alone);
// false, the mapping as it was, otherwise.
bool sdb_map_copy_in(const char *rel, unsigned char *map, uint64_t len, uint64_t head);

// Opens the regular file at rel for appending (never through a link),
// or, when fresh, creates it empty in place of whatever file stood there.
// The descriptor, or -1 without a message. For files that are read whole
// and checked, never mapped: what a reader may find half-written there is
// for it to pass over.
int sdb_open_append(const char *rel, bool fresh);

// Sets the file at rel aside under the first free name of "<rel><suffix>",
// "<rel><suffix>.2", "<rel><suffix>.3", ..., never replacing anything:
// renamed, or, with keep, linked (the file stays where it was as well).
// The name used goes to aside (relative). Returns 0, or -1 with
// "set aside %s: %s".
int sdb_set_aside(const char *rel, const char *suffix, bool keep, char *aside, size_t size);

// The names in the directory rel, one at a time: the next name (not "." or
// ".."), or nullptr at the end or when it cannot be read.
struct sdb_dir_walk {
  void *dir;  // a DIR
  int fd;     // the directory, for the kinds of its entries
};
bool sdb_dir_open(sdb_dir_walk *w, const char *rel);
const char *sdb_dir_next(sdb_dir_walk *w, sdb_entry_kind *kind);
void sdb_dir_close(sdb_dir_walk *w);

// The storage directory's descriptor, for the lock file; -1 when closed.
int sdb_store_fd(void);
