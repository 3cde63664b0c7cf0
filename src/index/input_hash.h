// The hash of every table keyed by what a caller passed in (the values of a
// field, the terms a query matched): keyed by a secret drawn once per
// process, so that no input can be made to pile up in one chain.
#pragma once

#include <cstddef>
#include <cstdint>

// A keyed 64-bit hash of n bytes; seed mixes in a caller's own tag (such as
// a value's kind) without hashing it as a separate byte.
uint64_t sdb_input_hash(const void *bytes, size_t n, uint64_t seed = 0);
