#include "base/error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

char s_error[SDB_ERROR_SIZE];
int s_error_code = SEARCHDB_OK;

void sdb_error_v(int code, const char *fmt, va_list ap) {
  vsnprintf(s_error, sizeof s_error, fmt, ap);
  s_error_code = code;
}

void sdb_error(int code, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  sdb_error_v(code, fmt, ap);
  va_end(ap);
}

void sdb_error_clear(void) {
  s_error[0] = '\0';
  s_error_code = SEARCHDB_OK;
}

void sdb_error_prefix(const char *prefix) {
  char inner[SDB_ERROR_SIZE];
  memcpy(inner, s_error, sizeof inner);
  sdb_error(s_error_code, "%s%s", prefix, inner);
}

int sdb_errno_code(int err) {
  return err == ENOMEM ? SEARCHDB_NOMEM : SEARCHDB_IO;
}

sdb_first_failure::sdb_first_failure() : code_(s_error_code) {
  memcpy(text_, s_error, sizeof text_);
}

void sdb_first_failure::restore() const {
  memcpy(s_error, text_, sizeof text_);
  s_error_code = code_;
}
