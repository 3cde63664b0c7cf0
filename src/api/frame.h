// Process-wide state of the exports and the conventions every export shares.
//
// All state is global and unprotected: the host makes one call at a time.
//  - s_initialized: 1 between a successful searchdb_init and searchdb_cleanup,
//    in the process that made the init and in its children of fork alike.
//  - the last failure (base/error.h): cleared only by searchdb_init (after
//    its argument checks) and searchdb_cleanup.
//  - s_result: every non-constant text result; overwritten by the next
//    successful text-returning export.
#pragma once

#include <cstddef>

#include "base/error.h"
#include "base/limits.h"

extern int s_initialized;
extern char s_result[SDB_RESULT_SIZE];

// The check every export but searchdb_cleanup, searchdb_last_error and
// searchdb_last_error_code makes first: true, with the message set, when
// the call must fail before it touches anything. That is "not initialized",
// or, in a process forked from the one that called searchdb_init, the
// message naming that process: a child shares its parent's lock file
// description, so a lock it took or released would be its parent's, and
// its own would exclude nobody.
bool sdb_call_refused(void);

// Whether this is a child of fork of the process whose searchdb_init
// succeeded: true with the message set (see sdb_call_refused).
bool sdb_foreign_process(void);

// A successful searchdb_init in this process; searchdb_cleanup.
void sdb_frame_start(void);
void sdb_frame_stop(void);

// Copies len bytes of text into s_result and returns s_result. A text that
// does not fit whole is refused: s_result stays as it was, the message is
// "result too large" and the result is nullptr.
const char *sdb_result_set(const char *text, size_t len);
