// Linked into every test program: runs it under the locale named by
// SEARCHDB_TEST_LOCALE. A locale that cannot be set fails the program rather
// than letting it pass in the C locale and prove nothing, and so does one
// that writes the decimal point as the C locale does.
#include "host_locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

class HostLocale : public ::testing::Environment {
 public:
  void SetUp() override {
    const char *name = getenv("SEARCHDB_TEST_LOCALE");
    if (name == nullptr || *name == '\0') return;
    ASSERT_NE(setlocale(LC_ALL, name), nullptr)
        << "cannot set the locale " << name
        << " named by SEARCHDB_TEST_LOCALE (scripts/bootstrap generates it)";
    ASSERT_STRNE(localeconv()->decimal_point, ".")
        << "the locale " << name << " writes the decimal point as the C locale does";
  }
};

const auto *const g_host_locale = ::testing::AddGlobalTestEnvironment(new HostLocale);

// The program's locale, set up before the first test, with the C locale's
// numbers.
locale_t CNumeric() {
  static const locale_t numeric = newlocale(LC_NUMERIC_MASK, "C", duplocale(LC_GLOBAL_LOCALE));
  return numeric;
}

}  // namespace

CNumericScope::CNumericScope() : saved_(uselocale(CNumeric())) {}

CNumericScope::~CNumericScope() {
  uselocale(saved_);
}
