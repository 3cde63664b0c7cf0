// The last failure: its message and its code (the SEARCHDB_* codes of
// searchdb.h), set together in one place and read by searchdb_last_error()
// and searchdb_last_error_code().
//
// A failure is set where it happens, with the code that says what kind it
// is. A call that goes on after a failure (to undo what it did, or to
// finish a save whose file already stands) keeps that first failure with
// sdb_first_failure, so that what fails on the way does not replace it.
#pragma once

#include <cstdarg>

#include "base/limits.h"
#include "searchdb.h"

// Written only by sdb_error and the functions below.
extern char s_error[SDB_ERROR_SIZE];
extern int s_error_code;

// Formats the message (cut at SDB_ERROR_SIZE - 1 bytes) and sets its code.
void sdb_error(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void sdb_error_v(int code, const char *fmt, va_list ap);

// No failure: "" and SEARCHDB_OK.
void sdb_error_clear(void);

// Puts prefix before the message set now, keeping its code ("q: " before
// a query's fault).
void sdb_error_prefix(const char *prefix);

// The code of a failed system call's errno: SEARCHDB_NOMEM for ENOMEM,
// else SEARCHDB_IO.
int sdb_errno_code(int err);

// Keeps the failure set when it is made, to be put back by restore() once
// the steps after it have run, whatever they set.
class sdb_first_failure {
 public:
  sdb_first_failure();
  void restore() const;

 private:
  int code_;
  char text_[SDB_ERROR_SIZE];
};
