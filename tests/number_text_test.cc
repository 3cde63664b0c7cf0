// The library's number texts against printf in the C locale. This program
// also runs under a locale that writes decimal commas (tests/CMakeLists.txt),
// where printf itself would write "1,5": the library's texts must not follow.
#include "base/number_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host_locale.h"

namespace {

constexpr int kMaxPrecision = 17;

// Doubles where formatting goes wrong if it does: both zeros, the ends of
// the subnormal and normal ranges, 1e±308 and their neighbours, integers
// around 2^53 and 2^64, halves and decimal ties that round at the last
// digit printed, and carries that add a digit or change the exponent; then
// random bit patterns (every exponent, infinities and NaNs among them).
std::vector<double> Values() {
  std::vector<double> v = {0.0,
                           -0.0,
                           DBL_TRUE_MIN,
                           -DBL_TRUE_MIN,
                           2 * DBL_TRUE_MIN,
                           DBL_MIN,
                           -DBL_MIN,
                           std::nextafter(DBL_MIN, 0.0),
                           DBL_MAX,
                           -DBL_MAX,
                           1e308,
                           -1e308,
                           1e-308,
                           -1e-308,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::quiet_NaN(),
                           1.5,
                           2.5,
                           0.125,
                           0.375,
                           1e21,
                           1e16,
                           1e17,
                           123.456};
  for (double x : {1e308, -1e308, 1e-308, DBL_MIN, 1.0}) {
    v.push_back(std::nextafter(x, 0.0));
    v.push_back(std::nextafter(x, 2 * x));
  }
  for (double base : {9007199254740992.0, 18446744073709551616.0, 9223372036854775808.0}) {
    for (int k = -4; k <= 4; k++) v.push_back(base + k * (base / 9007199254740992.0));
  }
  std::mt19937_64 rng(20240613);
  // Ties: n + 0.5 and n / 2^k are exact, so every digit cut through them
  // is a tie broken by the rounding rule.
  for (int i = 0; i < 200; i++) {
    v.push_back(static_cast<double>(rng() % 100000) + 0.5);
    v.push_back(static_cast<double>(rng() % 1000000) / static_cast<double>(1 << (1 + rng() % 20)));
  }
  // Just below a power of ten (9.99..., 0.0999...): rounding carries into a
  // new digit, and in "%g" may switch between fixed and exponent form.
  for (int e = -320; e <= 308; e += 7) {
    const double p = std::pow(10.0, e);
    v.push_back(std::nextafter(p, 0.0));
    v.push_back(p * (1 - 5e-17 * static_cast<double>(1 + rng() % 9)));
  }
  // Whole numbers of every size, as the canonical writer's integers are.
  for (int i = 0; i < 300; i++) {
    v.push_back(static_cast<double>(rng()));
    v.push_back(static_cast<double>(static_cast<int64_t>(rng()) >> (rng() % 64)));
  }
  for (int i = 0; i < 3000; i++) {
    const uint64_t bits = rng();
    double d;
    memcpy(&d, &bits, sizeof d);
    v.push_back(d);
  }
  return v;
}

std::string Show(double v) {
  char buf[64];
  CNumericScope c_numeric;
  snprintf(buf, sizeof buf, "%a", v);
  return buf;
}

TEST(NumberText, EveryTextIsPrintfsInTheCLocale) {
  using print_fn = int (*)(char *, size_t, double, int);
  const struct {
    print_fn print;
    const char *format;
  } kinds[] = {{sdb_print_general, "%.*g"}, {sdb_print_fixed, "%.*f"}};
  const std::vector<double> values = Values();
  long compared = 0;
  for (const auto &kind : kinds) {
    for (double v : values) {
      for (int precision = 0; precision <= kMaxPrecision; precision++) {
        char want[SDB_NUMBER_TEXT_MAX + 8], got[SDB_NUMBER_TEXT_MAX + 8];
        int want_n;
        {
          CNumericScope c_numeric;
          want_n = snprintf(want, sizeof want, kind.format, precision, v);
        }
        const int got_n = kind.print(got, sizeof got, v, precision);
        ASSERT_LE(want_n, static_cast<int>(SDB_NUMBER_TEXT_MAX));
        ASSERT_EQ(got_n, want_n) << kind.format << " " << precision << " of " << Show(v);
        ASSERT_STREQ(got, want) << kind.format << " " << precision << " of " << Show(v);
        compared++;
      }
    }
  }
  printf("%ld texts compared\n", compared);
}

// A buffer too small for the text gets its beginning, as from snprintf.
TEST(NumberText, ATextLongerThanItsBufferIsCutAsSnprintfCutsIt) {
  const double values[] = {1e300, -DBL_MAX, 3.7, -0.0, 123456789.125, DBL_TRUE_MIN};
  for (double v : values) {
    for (int precision : {0, 2, 10, 17}) {
      for (size_t size : {size_t{0}, size_t{1}, size_t{2}, size_t{5}, size_t{24}, size_t{256}}) {
        char want[300], got[300];
        memset(want, '#', sizeof want);
        memset(got, '#', sizeof got);
        int want_n;
        {
          CNumericScope c_numeric;
          want_n = snprintf(want, size, "%.*f", precision, v);
        }
        EXPECT_EQ(sdb_print_fixed(got, size, v, precision), want_n);
        EXPECT_EQ(std::string(got, sizeof got), std::string(want, sizeof want))
            << "%." << precision << "f of " << Show(v) << " in " << size << " bytes";
        memset(want, '#', sizeof want);
        memset(got, '#', sizeof got);
        {
          CNumericScope c_numeric;
          want_n = snprintf(want, size, "%.*g", precision, v);
        }
        EXPECT_EQ(sdb_print_general(got, size, v, precision), want_n);
        EXPECT_EQ(std::string(got, sizeof got), std::string(want, sizeof want))
            << "%." << precision << "g of " << Show(v) << " in " << size << " bytes";
      }
    }
  }
  char buf[8] = "kept";
  EXPECT_EQ(sdb_print_general(buf, sizeof buf, 1.0, kMaxPrecision + 1), -1);
  EXPECT_EQ(sdb_print_fixed(buf, sizeof buf, 1.0, -1), -1);
}

}  // namespace
