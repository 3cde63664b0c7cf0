// Storage primitives: directory paths, atomic whole-file replacement and
// whole-file reads, over a small POSIX platform layer.
#pragma once

#include <cstdint>

// Creates every directory of path, outermost first; failures are ignored
// (later file operations report them).
void sdb_mkdir_p(const char *path);

// Removes one empty directory / one file; failures are ignored.
void sdb_rmdir(const char *path);
void sdb_remove(const char *path);

// Renames from to to, replacing a file at to. Returns 0, or -1 with
// "rename %s: %s" (from and the reason).
int sdb_rename(const char *from, const char *to);

// Replaces the file at path with len bytes of data through "<path>.tmp",
// flushed to stable storage before it is renamed over the target. Returns 0,
// or -1 with "fopen %s: %s", "fwrite %s failed", "fsync %s: %s",
// "fclose %s failed" or "rename %s: %s" (no ".tmp" left behind, target
// unchanged); or -1 with "fsync %s: %s" when the directory could not be
// flushed after the rename (the target holds the new bytes, but they are not
// known to survive a power cut).
int sdb_write_file_atomic(const char *path, const void *data, uint64_t len);

// Reads the whole file at path into a heap block (free it) with a NUL byte
// after the data. Returns 0, or -1: silently when the file cannot be opened
// or sized, with "oom: read %s" when memory ran out.
int sdb_read_file(const char *path, char **data, uint64_t *len);
