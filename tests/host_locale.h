// The locale a test program runs under, and the C locale beside it.
//
// Every test program starts under the locale named by the environment
// variable SEARCHDB_TEST_LOCALE when it is set, as a host that calls
// setlocale(LC_ALL, "") in a country that writes decimal commas does (see
// host_locale.cc); the library must answer and store the same bytes there as
// in the C locale. What the C locale prints is then worked out in a scope of
// CLocaleScope.
#pragma once

#include <clocale>

// While alive, this thread formats and parses as in the C locale, whatever
// the process's locale is.
class CLocaleScope {
 public:
  CLocaleScope();
  ~CLocaleScope();
  CLocaleScope(const CLocaleScope &) = delete;
  CLocaleScope &operator=(const CLocaleScope &) = delete;

 private:
  locale_t saved_;
};
