// What identifies a document: the value of its primary key member, and the
// longest text a document may have.
#pragma once

#include <yyjson.h>

#include <cstdint>

#include "base/limits.h"

enum sdb_id_status {
  SDB_ID_OK,
  SDB_ID_MISSING,  // no member with the primary key, or not a string or number
  SDB_ID_HAS_NUL,  // a string id holding a NUL byte, which would alias a shorter id
};

enum { SDB_NUMBER_ID_SIZE = 256 };

// The longest canonical text a document may have: one that the result
// buffer cannot hold could be stored but never fetched.
inline constexpr uint64_t SDB_DOC_TEXT_MAX = SDB_TEXT_MAX;

// The id of one document: the value of its first member keyed primary_key,
// a string as it is or a number as its "%.0f" text (written into number_buf,
// cut to 255 characters). *id points into the document or into number_buf.
sdb_id_status sdb_doc_id_of(yyjson_val *doc, const char *primary_key,
                            char number_buf[SDB_NUMBER_ID_SIZE], const char **id);
