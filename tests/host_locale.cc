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

locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  return c;
}

}  // namespace

CLocaleScope::CLocaleScope() : saved_(uselocale(CLocale())) {}

CLocaleScope::~CLocaleScope() {
  uselocale(saved_);
}
