// Storage primitives: directory paths, atomic whole-file replacement and
// whole-file reads, over a small POSIX platform layer.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "frame/frame.h"

enum { SDB_REPLACE_PATH_SIZE = SDB_PATH_SIZE, SDB_REPLACE_MAX_PIECES = 1024 };

// Creates every directory of path, outermost first; failures are ignored
// (later file operations report them).
void sdb_mkdir_p(const char *path);

// Removes one empty directory / one file; failures are ignored.
void sdb_rmdir(const char *path);
void sdb_remove(const char *path);

// Renames from to to, replacing a file at to. Returns 0, or -1 with
// "rename %s: %s" (from and the reason).
int sdb_rename(const char *from, const char *to);

// A replacement in progress: the file at path is being written as
// "<path>.tmp". sdb_replace_begin opens it, sdb_replace_write adds bytes (in
// as many pieces as the caller likes), sdb_replace_commit flushes it to
// stable storage, renames it over the target and flushes the directory;
// sdb_replace_abort discards it. Whatever fails, no ".tmp" outlives the
// replacement and the target keeps its old bytes, except that a directory
// flush that fails after the rename leaves the target holding the new bytes
// (they are not known to survive a power cut). Messages: "fopen %s: %s"
// (the temporary path), "fwrite %s failed", "fsync %s: %s",
// "fclose %s failed" and "rename %s: %s" (the target path).
struct sdb_replace {
  int fd;
  bool failed;  // a write failed; commit reports it and discards the file
  char path[SDB_REPLACE_PATH_SIZE];
  char tmp[SDB_REPLACE_PATH_SIZE];
};

// Returns 0, or -1 with "fopen %s: %s".
int sdb_replace_begin(sdb_replace *r, const char *path);
// Appends the pieces (a failure is reported by commit).
void sdb_replace_write(sdb_replace *r, const struct iovec *pieces, int count);
// Returns 0, or -1 with the failing step's message; 1 when only the
// directory flush after the rename failed (message "fsync %s: %s").
int sdb_replace_commit(sdb_replace *r);
void sdb_replace_abort(sdb_replace *r);

// Replaces the file at path with len bytes of data (as above, in one
// piece). Returns 0 or -1 (a failed directory flush counts as a failure).
int sdb_write_file_atomic(const char *path, const void *data, uint64_t len);

// Reads the whole file at path into a heap block (free it) with a NUL byte
// after the data. Returns 0, or -1: silently when the file cannot be opened
// or sized, with "oom: read %s" when memory ran out.
int sdb_read_file(const char *path, char **data, uint64_t *len);
