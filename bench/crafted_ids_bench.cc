// Adding and opening 120,000 documents whose ids were chosen to collide in
// a lookup table, beside as many documents with random ids: what a host
// that stores ids from untrusted input pays when someone picks them.
//
// The crafted ids are seven characters long and share the low 20 bits of
// their 64-bit FNV-1a hash, the start position the id map gave every id
// while it hashed with FNV-1a (a map of up to 2^20 positions). They are
// found by meeting in the middle: FNV-1a's low 20 bits depend on nothing
// but the low 20 bits of the state and the bytes, and its multiplier is
// odd, so the last three characters can be undone from the target state
// and matched against the states the first four reach.
//
// Each iteration uses a fresh store: "add" is one searchdb_documents_add of
// every document as one JSON array into a new index; "open" is a
// searchdb_init of the stored result plus one searchdb_document_get. The
// peer of each crafted figure is the random one measured in the same run;
// the goal is crafted / random within 2. Each figure is given as elapsed
// time and as the processor time of the process, which a machine busy with
// other work moves less.
//
// Only the public interface is used, so the program measures any version of
// the library.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "searchdb.h"

namespace {

constexpr size_t kIds = 120000;
constexpr size_t kIdLength = 7;
constexpr uint32_t kLowBits = 20;
constexpr uint32_t kLowMask = (1u << kLowBits) - 1;
constexpr uint64_t kFnvBasis = 0xCBF29CE484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001B3ull;
constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr uint32_t kLetters = sizeof kAlphabet - 1;
constexpr char kIndex[] = "ids";

uint64_t Fnv1a(const std::string &s) {
  uint64_t h = kFnvBasis;
  for (unsigned char c : s) h = (h ^ c) * kFnvPrime;
  return h;
}

// The inverse of FNV-1a's multiplier modulo 2^64 (Newton's iteration; each
// step doubles the correct low bits).
uint64_t InversePrime() {
  uint64_t x = kFnvPrime;
  for (int i = 0; i < 6; i++) x *= 2 - kFnvPrime * x;
  return x;
}

// kIds distinct ids of kIdLength characters whose FNV-1a has the low bits
// of target: four leading characters run forwards from the basis, three
// trailing ones backwards from the target, joined where the states meet.
std::vector<std::string> CraftedIds(uint32_t target) {
  const uint64_t inverse = InversePrime();
  constexpr size_t kTail = 3, kHead = kIdLength - kTail;
  std::vector<std::vector<uint32_t>> tails(size_t{1} << kLowBits);  // by state: tail numbers
  for (uint32_t n = 0; n < kLetters * kLetters * kLetters; n++) {
    uint64_t state = target;
    // Undo the characters from the last: before byte c the state was
    // (after * inverse) ^ c.
    uint32_t rest = n;
    std::string tail(kTail, ' ');
    for (size_t i = 0; i < kTail; i++, rest /= kLetters) tail[i] = kAlphabet[rest % kLetters];
    for (size_t i = kTail; i-- > 0;)
      state = ((state * inverse) ^ static_cast<unsigned char>(tail[i])) & kLowMask;
    tails[state].push_back(n);
  }
  std::vector<std::string> ids;
  std::string id(kIdLength, ' ');
  for (uint64_t head = 0; ids.size() < kIds; head++) {
    uint64_t rest = head;
    for (size_t i = 0; i < kHead; i++, rest /= kLetters) id[i] = kAlphabet[rest % kLetters];
    uint64_t state = kFnvBasis;
    for (size_t i = 0; i < kHead; i++)
      state = (state ^ static_cast<unsigned char>(id[i])) * kFnvPrime;
    for (uint32_t n : tails[state & kLowMask]) {
      for (size_t i = 0; i < kTail; i++, n /= kLetters) id[kHead + i] = kAlphabet[n % kLetters];
      ids.push_back(id);
      if (ids.size() == kIds) break;
    }
  }
  return ids;
}

std::vector<std::string> RandomIds() {
  std::mt19937_64 rng(20240611);
  std::unordered_set<std::string> seen;
  std::vector<std::string> ids;
  std::string id(kIdLength, ' ');
  while (ids.size() < kIds) {
    for (char &c : id) c = kAlphabet[rng() % kLetters];
    if (seen.insert(id).second) ids.push_back(id);
  }
  return ids;
}

std::string Batch(const std::vector<std::string> &ids) {
  std::string batch = "[";
  for (size_t i = 0; i < ids.size(); i++)
    batch += (i ? ",{\"id\":\"" : "{\"id\":\"") + ids[i] + "\",\"n\":" + std::to_string(i) + "}";
  return batch + "]";
}

// Elapsed and processor seconds, means over the iterations.
struct Figures {
  double wall = 0, cpu = 0;
};

struct IdSet {
  std::vector<std::string> ids;
  std::string batch;
  Figures add, open;
};
IdSet g_random, g_crafted;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Times one step into *sum; false when the step failed.
template <typename Step>
bool Timed(Figures *sum, Step step) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu = CpuSeconds();
  const bool ok = step();
  sum->cpu += CpuSeconds() - cpu;
  sum->wall += SecondsSince(start);
  return ok;
}

void AddAndOpen(benchmark::State &state, IdSet *set) {
  Figures add, open;
  for (auto _ : state) {
    char tmpl[] = "/tmp/searchdb-ids-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      state.SkipWithError("mkdtemp failed");
      return;
    }
    const std::string store = std::string(tmpl) + "/store";
    bool ok = searchdb_init(store.c_str()) == 0 && searchdb_index_create(kIndex, nullptr) == 0;
    const double before = add.wall + open.wall;
    ok = ok && Timed(&add, [&] {
           return searchdb_documents_add(kIndex, set->batch.c_str()) == static_cast<int>(kIds);
         });
    searchdb_cleanup();
    ok = ok && Timed(&open, [&] {
           return searchdb_init(store.c_str()) == 0 &&
                  searchdb_document_get(kIndex, set->ids.back().c_str()) != nullptr;
         });
    if (!ok) state.SkipWithError(searchdb_last_error());
    searchdb_cleanup();
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    state.SetIterationTime(add.wall + open.wall - before);
  }
  const auto runs = static_cast<double>(state.iterations());
  set->add = Figures{add.wall / runs, add.cpu / runs};
  set->open = Figures{open.wall / runs, open.cpu / runs};
  state.counters["add_s"] = set->add.wall;
  state.counters["add_cpu_s"] = set->add.cpu;
  state.counters["open_s"] = set->open.wall;
  state.counters["open_cpu_s"] = set->open.cpu;
}

void Compare(const char *step, const Figures &crafted, const Figures &random) {
  fprintf(stderr,
          "%s: crafted %.3f s, random %.3f s: %.2f; processor time %.3f s / %.3f s: %.2f "
          "(goal: at most 2)\n",
          step, crafted.wall, random.wall, crafted.wall / random.wall, crafted.cpu, random.cpu,
          crafted.cpu / random.cpu);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  const auto start = std::chrono::steady_clock::now();
  const uint32_t target = static_cast<uint32_t>(Fnv1a("searchdb")) & kLowMask;
  g_crafted.ids = CraftedIds(target);
  // The crafted ids are what they claim: distinct, and one start for all.
  std::unordered_set<std::string> distinct(g_crafted.ids.begin(), g_crafted.ids.end());
  for (const std::string &id : g_crafted.ids) {
    if ((Fnv1a(id) & kLowMask) != target || id.size() != kIdLength) {
      fprintf(stderr, "crafted_ids_bench: id %s misses the target\n", id.c_str());
      return 1;
    }
  }
  if (distinct.size() != kIds) {
    fprintf(stderr, "crafted_ids_bench: the crafted ids repeat\n");
    return 1;
  }
  g_random.ids = RandomIds();
  g_crafted.batch = Batch(g_crafted.ids);
  g_random.batch = Batch(g_random.ids);
  fprintf(stderr, "crafted_ids_bench: %zu ids of each kind made in %.2f s\n", kIds,
          SecondsSince(start));
  benchmark::RegisterBenchmark("ids/random", AddAndOpen, &g_random)
      ->Iterations(3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ids/crafted", AddAndOpen, &g_crafted)
      ->Iterations(3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_random.add.wall > 0 && g_crafted.add.wall > 0) {
    Compare("add", g_crafted.add, g_random.add);
    Compare("open", g_crafted.open, g_random.open);
  }
  return 0;
}
