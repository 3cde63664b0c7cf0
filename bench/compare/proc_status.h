// What the kernel says of this process, for the benchmarks' memory figures.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

// A field of a /proc status file ("/proc/self/status", "/proc/self/smaps_rollup")
// in KiB; 0 where there is none.
inline double ProcKb(const char *file, const char *field) {
  double kb = 0;
  if (FILE *f = fopen(file, "r")) {
    char line[256];
    const size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
      if (strncmp(line, field, n) == 0 && line[n] == ':') kb = atof(line + n + 1);
    fclose(f);
  }
  return kb;
}
