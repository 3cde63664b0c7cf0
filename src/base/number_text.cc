// std::to_chars with a precision is defined to give what printf gives in the
// C locale, and never looks at the locale. It is also about four times as
// fast as printf (bench/number_text_bench.cc), which matters to the
// canonical writer and to flattening.
#include "base/number_text.h"

#include <charconv>
#include <cstring>

namespace {

constexpr int kMaxPrecision = 17;

int print(char *out, size_t size, double v, std::chars_format format, int precision) {
  if (precision < 0 || precision > kMaxPrecision) return -1;
  if (size > 0) {
    const std::to_chars_result r = std::to_chars(out, out + size - 1, v, format, precision);
    if (r.ec == std::errc()) {
      *r.ptr = '\0';
      return static_cast<int>(r.ptr - out);
    }
  }
  // Longer than the room given: written whole here, then cut as snprintf
  // cuts it.
  char whole[SDB_NUMBER_TEXT_MAX];
  const std::to_chars_result r = std::to_chars(whole, whole + sizeof whole, v, format, precision);
  if (r.ec != std::errc()) return -1;
  const size_t n = static_cast<size_t>(r.ptr - whole);
  if (size > 0) {
    const size_t kept = n < size - 1 ? n : size - 1;
    memcpy(out, whole, kept);
    out[kept] = '\0';
  }
  return static_cast<int>(n);
}

}  // namespace

int sdb_print_general(char *out, size_t size, double v, int precision) {
  return print(out, size, v, std::chars_format::general, precision);
}

int sdb_print_fixed(char *out, size_t size, double v, int precision) {
  return print(out, size, v, std::chars_format::fixed, precision);
}
