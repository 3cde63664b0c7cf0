// Scalar values as a document gives them, and the paths that name them:
// what the columns keep (columns.h) and the scan of stored texts reads
// (value_scan.h).
#pragma once

#include <cstdint>

// Kinds of scalar values, in the order counted values are listed in.
enum sdb_value_kind : uint8_t {
  SDB_VALUE_NUMBER,
  SDB_VALUE_STRING,
  SDB_VALUE_FALSE,
  SDB_VALUE_TRUE,
  SDB_VALUE_NULL,
};

// A scalar value as a request or a document gives it.
struct sdb_value {
  sdb_value_kind kind;
  double num;       // a number
  const char *str;  // a string's bytes (not NUL-terminated)
  uint32_t len;
};

// A path to a member (columns.h says how it steps): len bytes, not NUL-terminated.
struct sdb_path {
  const char *bytes;
  uint32_t len;
};
