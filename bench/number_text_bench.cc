// The library's number texts beside the C library's snprintf with the same
// format, their peer: the canonical writer's "%.17g" and "%.0f" and the
// "%.10g" of a number's tokens, over 4096 numbers of the kinds documents
// hold (prices with two decimals, measurements of every magnitude, whole
// numbers). The floor is a copy of the finished texts (the texts' bytes
// written once, as the writer appends them).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/number_text.h"

namespace {

const std::vector<double> &Numbers() {
  static const std::vector<double> numbers = [] {
    std::vector<double> v;
    std::mt19937_64 rng(7);
    for (int i = 0; i < 4096; i++) {
      switch (i % 3) {
        case 0:  // a price
          v.push_back(static_cast<double>(rng() % 100000) / 100.0);
          break;
        case 1:  // a measurement
          v.push_back(
              std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 120) - 100));
          break;
        default:  // a count or an id
          v.push_back(static_cast<double>(rng() % 10000000));
      }
    }
    return v;
  }();
  return numbers;
}

struct format {
  const char *printf_format;
  bool fixed;
  int precision;
};
const format kFormats[] = {{"%.17g", false, 17}, {"%.10g", false, 10}, {"%.0f", true, 0}};

void Finish(benchmark::State &state, size_t bytes) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * Numbers().size()));
  state.counters["bytes_per_number"] = static_cast<double>(bytes) / Numbers().size();
  state.SetLabel(kFormats[state.range(0)].printf_format);
}

void BM_Library(benchmark::State &state) {
  const format &f = kFormats[state.range(0)];
  char buf[64];
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (double v : Numbers()) {
      const int n = f.fixed ? sdb_print_fixed(buf, sizeof buf, v, f.precision)
                            : sdb_print_general(buf, sizeof buf, v, f.precision);
      benchmark::DoNotOptimize(buf);
      bytes += static_cast<size_t>(n);
    }
  }
  Finish(state, bytes);
}
BENCHMARK(BM_Library)->DenseRange(0, 2);

void BM_Snprintf(benchmark::State &state) {
  const format &f = kFormats[state.range(0)];
  char buf[64];
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (double v : Numbers()) {
      const int n = snprintf(buf, sizeof buf, f.printf_format, v);
      benchmark::DoNotOptimize(buf);
      bytes += static_cast<size_t>(n);
    }
  }
  Finish(state, bytes);
}
BENCHMARK(BM_Snprintf)->DenseRange(0, 2);

void BM_CopyFloor(benchmark::State &state) {
  const format &f = kFormats[state.range(0)];
  std::vector<std::string> texts;
  char buf[64];
  for (double v : Numbers()) {
    const int n = f.fixed ? sdb_print_fixed(buf, sizeof buf, v, f.precision)
                          : sdb_print_general(buf, sizeof buf, v, f.precision);
    texts.emplace_back(buf, static_cast<size_t>(n));
  }
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const std::string &t : texts) {
      memcpy(buf, t.data(), t.size());
      benchmark::DoNotOptimize(buf);
      bytes += t.size();
    }
  }
  Finish(state, bytes);
}
BENCHMARK(BM_CopyFloor)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
