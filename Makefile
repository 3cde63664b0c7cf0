# The front door. On a fresh Debian 12 machine `make test` installs what is
# missing (scripts/bootstrap), builds and runs every test.
#   make demo    build the command-line tool and show a search session
#   make test    configure build/, build, run the tests
#   make asan    the same under AddressSanitizer and UBSan, in build-asan/
#   make bench   build and run every benchmark program in build/bench/
#   make clean   remove both build directories
# BUILD_TYPE, JOBS, CTEST_ARGS, BENCH_ARGS (for the Google Benchmark programs)
# and OPEN_CHANGE_ARGS (for build/bench/open_change; "--scales all" leaves
# out ten times the corpus) can be set on the command line.

BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CTEST_ARGS ?=
BENCH_ARGS ?=
OPEN_CHANGE_ARGS ?= --scales all,x10

# Benchmarks read the corpus path from SEARCHDB_CORPUS; by default the shared
# corpus beside the repository, when it is there.
SEARCHDB_CORPUS ?= $(wildcard $(CURDIR)/../shared/corpus/packages.jsonl.gz)
ifneq ($(SEARCHDB_CORPUS),)
export SEARCHDB_CORPUS
endif

# What building and testing need; bootstrap runs only when one is missing,
# so a machine set up by other means never needs it.
TEST_DEPS_PRESENT = command -v cmake >/dev/null && command -v cc >/dev/null && \
  command -v c++ >/dev/null && python3 -c 'import ensurepip' 2>/dev/null && \
  command -v tmux >/dev/null && command -v groff >/dev/null && \
  pkg-config --exists 'yyjson >= 0.12' gtest gmock libedit CLI11 libmicrohttpd 2>/dev/null && \
  command -v chromium >/dev/null && command -v chromedriver >/dev/null && command -v curl >/dev/null && \
  locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'
BENCH_DEPS_PRESENT = $(TEST_DEPS_PRESENT) && \
  pkg-config --exists benchmark sqlite3 xapian-core 2>/dev/null && command -v wrk >/dev/null

# $(call configure_and_build,DIR,EXTRA_CMAKE_ARGS)
configure_and_build = cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(2) && \
  cmake --build $(1) -j$(JOBS)

.PHONY: all build demo test asan bench deps bench-deps clean

all: build

deps:
	@$(TEST_DEPS_PRESENT) || scripts/bootstrap

bench-deps:
	@$(BENCH_DEPS_PRESENT) || scripts/bootstrap --bench

build: deps
	$(call configure_and_build,build,-DSEARCHDB_SANITIZE=OFF)

demo:
	examples/demo.sh

test: build
	ctest --test-dir build --output-on-failure $(CTEST_ARGS)

asan: deps
	$(call configure_and_build,build-asan,-DSEARCHDB_SANITIZE=ON)
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp ctest --test-dir build-asan --output-on-failure $(CTEST_ARGS)

bench: bench-deps
	$(call configure_and_build,build,-DSEARCHDB_SANITIZE=OFF)
	@[ -n "$$SEARCHDB_CORPUS" ] || echo "note: SEARCHDB_CORPUS is not set; benchmarks that need the corpus skip"
	@set -e; ran=0; \
	for program in build/bench/*_bench; do \
	  [ -x "$$program" ] || continue; \
	  echo "== $$program"; "$$program" $(BENCH_ARGS); ran=$$((ran + 1)); \
	done; \
	[ "$$ran" -gt 0 ] || { echo "no benchmark programs in build/bench" >&2; exit 1; }
	@[ ! -x build/bench/open_change ] || { echo "== build/bench/open_change"; \
	  build/bench/open_change $(OPEN_CHANGE_ARGS); }
	@[ ! -x build/bench/compare/searchdb_compare ] || build/bench/compare/searchdb_compare
	@[ ! -x build/bench/serve_load ] || ! command -v wrk >/dev/null || { \
	  echo "== build/bench/serve_load"; build/bench/serve_load; }
	@! command -v chromedriver >/dev/null || { echo "== bench/serve_page_latency.py"; \
	  SEARCHDB_CLI=build/tools/searchdb python3 -B bench/serve_page_latency.py; }

clean:
	rm -rf build build-asan

# Robustness, beyond the test suite:
#   make fuzz      build the libFuzzer targets (fuzz/) with clang under ASan and
#                  UBSan in build-fuzz/, and run each for FUZZ_SECONDS seconds
#   make soak      the crash-consistency test for SOAK_ROUNDS kill rounds, and
#                  four processes sharing one store for SOAK_CHANGES changes
#                  each while writers are killed at random
#   make valgrind  every test program under Valgrind's memcheck, in build-valgrind/
FUZZ_SECONDS ?= 60
SOAK_ROUNDS ?= 300
SOAK_SEED ?= 1
SOAK_CHANGES ?= 1000
FUZZ_TARGETS = $(patsubst fuzz/%_fuzz.cc,%,$(wildcard fuzz/*_fuzz.cc))
FUZZ_DEPS_PRESENT = echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, long) { return 0; }' | \
  clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null
VALGRIND = valgrind --quiet --soname-synonyms=somalloc=nouserintercepts --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
  --error-exitcode=99

.PHONY: fuzz soak valgrind

fuzz: deps
	@$(FUZZ_DEPS_PRESENT) || scripts/bootstrap --fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSEARCHDB_FUZZ=ON -DSEARCHDB_SANITIZE=ON -DSEARCHDB_TESTS=OFF -DSEARCHDB_BENCH=OFF
	cmake --build build-fuzz -j$(JOBS) --target fuzz_targets
	@set -e; mkdir -p build-fuzz/artifacts; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t; \
	  echo "== fuzz $$t for $(FUZZ_SECONDS) s"; \
	  if ! build-fuzz/fuzz/$${t}_fuzz build-fuzz/corpus/$$t fuzz/corpus/$$t \
	      -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	      -artifact_prefix=build-fuzz/artifacts/$$t- > build-fuzz/$$t.log 2>&1; then \
	    tail -n 60 build-fuzz/$$t.log; echo "fuzz $$t failed; input kept in build-fuzz/artifacts/" >&2; exit 1; \
	  fi; \
	  grep -E '^Done|number_of_executed_units|new_units_added' build-fuzz/$$t.log; \
	done

soak: build
	SEARCHDB_SOAK_ROUNDS=$(SOAK_ROUNDS) SEARCHDB_CRASH_SEED=$(SOAK_SEED) build/tests/crash_test
	SEARCHDB_PROCS_CHANGES=$(SOAK_CHANGES) SEARCHDB_PROCS_KILLS=1 SEARCHDB_PROCS_SEED=$(SOAK_SEED) \
	  build/tests/processes_test

valgrind: deps
	@command -v valgrind >/dev/null || scripts/bootstrap --valgrind
	$(call configure_and_build,build-valgrind,-DSEARCHDB_SANITIZE=OFF -DSEARCHDB_BENCH=OFF)
	@set -e; ran=0; \
	for t in build-valgrind/tests/*_test; do \
	  [ -x "$$t" ] || continue; \
	  echo "== valgrind $$t"; $(VALGRIND) $$t --gtest_brief=1; ran=$$((ran + 1)); \
	done; \
	[ "$$ran" -gt 0 ] || { echo "no test programs in build-valgrind/tests" >&2; exit 1; }
