// The title column: for every slot, the token sequence of its document's
// title member (flatten.h), kept as a column (columns.h) so that it is built
// on first use and follows every change as field values do. The typo-aware
// order puts first the documents whose title reads as the query (typo_rank.h).
//
// Its path is empty, which no request path is, so no request can name it.
// A slot's one value is a string: the title's tokens as the index takes
// them, each cut to SDB_TERM_MAX bytes, joined by single spaces (no token
// holds a space, so equal strings are equal sequences). A title that gives
// no token gives no value.
#pragma once

#include <yyjson.h>

#include <cstdint>

#include "index/flatten.h"

// A title sequence being written.
struct sdb_title_text {
  char *bytes;
  uint64_t len, cap;
};

// Appends one token of n bytes to t, cut as the index cuts it. False when
// memory ran out.
bool sdb_title_text_add(sdb_title_text *t, const char *token, uint64_t n);

// Working memory for reading titles, reused from document to document.
struct sdb_title_scratch {
  sdb_field_tokens tokens;
  sdb_title_text text;
};

void sdb_title_scratch_free(sdb_title_scratch *s);

// The title sequence of a document root into s->text (len 0: none). False
// when memory ran out.
bool sdb_title_of(yyjson_val *root, sdb_title_scratch *s);
