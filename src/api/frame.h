// Process-wide state of the library and the conventions every export shares.
//
// All state is global and unprotected: the host makes one call at a time.
//  - s_initialized: 1 between a successful searchdb_init and searchdb_cleanup,
//    in the process that made the init and in its children of fork alike.
//  - s_storage_dir: the storage directory, "" while not initialised.
//  - s_error: the last-error text; written only by sdb_error, cleared only by
//    searchdb_init (after its argument checks) and searchdb_cleanup.
//  - s_result: every non-constant text result; overwritten by the next
//    successful text-returning export.
#pragma once

#include <cstddef>

enum {
  SDB_STORAGE_DIR_SIZE = 8192,
  SDB_ERROR_SIZE = 1024,
  SDB_RESULT_SIZE = 33554432,
  SDB_PATH_SIZE = 16384,
  SDB_FILE_PATH_SIZE = 16448,
};

extern int s_initialized;
extern char s_storage_dir[SDB_STORAGE_DIR_SIZE];
extern char s_error[SDB_ERROR_SIZE];
extern char s_result[SDB_RESULT_SIZE];

// The check every export but searchdb_cleanup and searchdb_last_error makes
// first: true, with the message set, when the call must fail before it
// touches anything. That is "not initialized", or, in a process forked from
// the one that called searchdb_init, the message naming that process: a
// child shares its parent's lock file description, so a lock it took or
// released would be its parent's, and its own would exclude nobody.
bool sdb_call_refused(void);

// Formats the last-error text (cut at 1023 characters).
void sdb_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Copies len bytes of text into s_result and returns s_result. A text that
// does not fit whole is refused: s_result stays as it was, the message is
// "result too large" and the result is nullptr.
const char *sdb_result_set(const char *text, size_t len);

// Asks for the block to be backed by huge pages where it can be: touching
// fresh memory page by page costs far more than reading or writing it, so
// blocks of many megabytes are cheaper to fill this way. Advice only; a
// system without it loses nothing but speed.
void sdb_advise_huge(void *block, size_t size);
