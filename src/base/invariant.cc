#include "base/invariant.h"

#include <cstdio>
#include <cstdlib>

#if SEARCHDB_ASSERTS
void sdb_assert_failed(const char *condition, const char *file, int line) {
  fprintf(stderr, "searchdb: broken invariant at %s:%d: %s\n", file, line, condition);
  abort();
}
#endif
