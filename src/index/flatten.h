// Flattening one document into tagged tokens: every member value is turned
// into text and split by the tokenizer, each token tagged with the member it
// came from, so that the index can tell the title member's words apart.
#pragma once

#include <yyjson.h>

#include <cstdint>

// One token of a field token list: its case-folded bytes are
// bytes[off .. off + len) of the list (whole, not yet cut to SDB_TERM_MAX).
struct sdb_field_token {
  uint64_t off;
  uint64_t len;
  int32_t tag;  // member position in the root object; 0 in a root array; -1: title
};

// The tokens of one document, in document order. All token bytes share one
// arena so that collecting allocates nothing per token; the list is reused
// from document to document (sdb_field_tokens_reset) and released with
// sdb_field_tokens_free.
struct sdb_field_tokens {
  char *bytes;
  uint64_t bytes_len;
  uint64_t bytes_cap;
  sdb_field_token *items;
  uint64_t count;
  uint64_t cap;
  bool failed;  // a value's tokens were left out for lack of memory since the last reset
};

// Appends the tokens of one member value, each with tag: a string up to its
// first NUL; a number printed with "%.10g"; true and false as words; an
// array's strings and numbers joined with spaces and cut at 2047 bytes
// (nested containers, booleans and null skipped); nothing for null or an
// object. When the list cannot grow it stays as it was and failed is set.
void sdb_collect_tokens(yyjson_val *val, sdb_field_tokens *list, int32_t tag);

// The key of the title member of a document root: its first member keyed
// "title" or "name" (nullptr for none, and for a root that is no object).
// Its value follows it (yyjson_obj_iter_get_val).
yyjson_val *sdb_title_key(yyjson_val *root);

// Appends the tokens of a whole document: every member of a root object,
// tagged with its position, except the first member keyed "title" or
// "name", tagged -1; every element of a root array tagged 0. Other roots
// give nothing.
void sdb_collect_doc_tokens(yyjson_val *root, sdb_field_tokens *list);

// The most bytes of the text an array gives.
enum { SDB_JOINED_MAX = 2047 };

// The text the index takes from an array (as sdb_collect_tokens joins it)
// into out, which has room for SDB_JOINED_MAX bytes; returns its length.
// The cut may fall inside a UTF-8 sequence.
size_t sdb_join_array(yyjson_val *arr, char *out);

void sdb_field_tokens_reset(sdb_field_tokens *list);
void sdb_field_tokens_free(sdb_field_tokens *list);
