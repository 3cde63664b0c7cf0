// Promises the code makes to itself, checked where the test and sanitizer
// builds run them (SEARCHDB_ASSERTS) and compiled out of a release build of
// the library, whose callers pay nothing for them. A broken one means the
// library's own state is wrong: it stops the process with the condition and
// its place, since going on could answer wrongly or damage the store.
#pragma once

#if SEARCHDB_ASSERTS
[[noreturn]] void sdb_assert_failed(const char *condition, const char *file, int line);
#define SDB_ASSERT(condition) \
  ((condition) ? static_cast<void>(0) : sdb_assert_failed(#condition, __FILE__, __LINE__))
#else
// Still compiled, so a check cannot rot, but never evaluated.
#define SDB_ASSERT(condition) static_cast<void>(sizeof(!(condition)))
#endif
