// The canonical document writer: the compact JSON text a document is stored
// as. No white space; array and member order kept, duplicate keys kept;
// strings re-escaped by one fixed rule; numbers re-printed through a double.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>

// Appends the canonical text of val to the heap buffer (*text, *len, *cap),
// keeping *cap >= *len + 2. Returns false when the buffer could not grow;
// the text is then incomplete and must be discarded.
bool sdb_json_emit(yyjson_val *val, char **text, uint64_t *len, uint64_t *cap);

// Appends the n bytes at s as a quoted JSON string with the writer's escape
// rule. Returns false when the buffer could not grow.
bool sdb_json_emit_string(const char *s, size_t n, char **text, uint64_t *len, uint64_t *cap);

// The canonical text of val as a NUL-terminated heap block (free it), its
// length in *out_len (out_len may be nullptr); nullptr when memory ran out.
char *sdb_val_to_json(yyjson_val *val, uint64_t *out_len);
