// The locale a test program runs under, and the C locale's numbers beside it.
//
// Every test program starts under the locale named by the environment
// variable SEARCHDB_TEST_LOCALE when it is set, as a host that calls
// setlocale(LC_ALL, "") in a country that writes decimal commas does (see
// host_locale.cc). The library must write and read numbers there as in the
// C locale; what the C locale writes is worked out in a CNumericScope.
#pragma once

#include <clocale>

// While alive, this thread writes and reads numbers as the C locale does,
// and everything else (the C library's messages among them) as the
// program's locale does.
class CNumericScope {
 public:
  CNumericScope();
  ~CNumericScope();
  CNumericScope(const CNumericScope &) = delete;
  CNumericScope &operator=(const CNumericScope &) = delete;

 private:
  locale_t saved_;
};
