// Numbers as text, byte for byte as printf writes them in the C locale,
// whatever locale the host has set. printf follows LC_NUMERIC, so a host
// that calls setlocale(LC_ALL, "") in a country that writes decimal commas
// would otherwise store "1,5" for 1.5 in a document, which is no longer
// JSON. Every number the library writes goes through here.
#pragma once

#include <cstddef>

// The longest text either function gives, without the terminator: "%.17f"
// of -DBL_MAX (a sign, 309 digits, the point and 17 decimals).
inline constexpr size_t SDB_NUMBER_TEXT_MAX = 328;

// Both behave as snprintf(out, size, FORMAT, precision, v) in the C locale
// for a precision from 0 to 17: at most size - 1 bytes and a terminator are
// written (nothing when size is 0), and the length of the whole text is
// returned; -1 for a precision beyond 17.

// "%.*g": the shorter of fixed and exponent form, trailing zeros dropped.
int sdb_print_general(char *out, size_t size, double v, int precision);

// "%.*f": fixed form with precision decimals.
int sdb_print_fixed(char *out, size_t size, double v, int precision);
