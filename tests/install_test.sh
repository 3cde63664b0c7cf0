#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds examples/hello.c against
# the installed tree the two ways a host would: as plain C with pkg-config,
# and as a CMake project with find_package(searchdb). Both programs must run
# and find the document they search for. The command-line tool must come with
# its manual page and bash completion (SEARCHDB_TOOL=OFF when it is not built).
#   install_test.sh BUILD_DIR SOURCE_DIR LIBDIR C_COMPILER [FLAGS]
# LIBDIR is the library directory relative to the prefix; FLAGS go to every
# compile and link (the sanitizer flags when the library is instrumented, since
# an uninstrumented host cannot load it).
set -euo pipefail
build=$1
source=$2
libdir=$3
cc=$4
flags=${5:-}

work=$(mktemp -d /tmp/searchdb-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
hello=$source/examples/hello.c
c_flags="-std=c11 -Wall -Wextra -Wpedantic -Werror $flags"

die() {
  echo "FAIL: $*" >&2
  exit 1
}
# Runs a command with its output kept in a log shown only on failure.
quietly() {
  local log=$1
  shift
  "$@" >"$work/$log.log" 2>&1 || { cat "$work/$log.log" >&2; die "$* failed"; }
}
# The search in hello.c matches exactly one of its two documents.
check_hello_output() {
  local out=$1
  grep -qx 'added 2 documents' "$out" || die "hello did not add two documents: $(cat "$out")"
  grep -q '"totalHits":1}$' "$out" || die "hello found not exactly one hit: $(cat "$out")"
  grep -q '"title":"The Hobbit"' "$out" || die "hello's hit is not The Hobbit: $(cat "$out")"
}

quietly install cmake --install "$build" --prefix "$prefix"

# Layout: the header as written, the library behind its SONAME links.
cmp -s "$source/include/searchdb.h" "$prefix/include/searchdb.h" ||
  die "include/searchdb.h is not installed as it is in the source tree"
lib=$prefix/$libdir
[ -L "$lib/libsearchdb.so" ] || die "no link libsearchdb.so in $lib"
[ -L "$lib/libsearchdb.so.1" ] || die "no link libsearchdb.so.1 in $lib"
real=$(readlink -f "$lib/libsearchdb.so.1")
[ -f "$real" ] && [ ! -L "$real" ] || die "libsearchdb.so.1 does not lead to a file"
[ "$(readlink -f "$lib/libsearchdb.so")" = "$real" ] ||
  die "libsearchdb.so and libsearchdb.so.1 lead to different files"

# The command-line tool (unless configured out) with its manual page and its
# bash completion, which offers the commands and the indexes of a store.
if [ "${SEARCHDB_TOOL:-ON}" = ON ]; then
  tool=$prefix/bin/searchdb
  "$tool" --version | grep -qx 'searchdb [0-9]*\.[0-9]*\.[0-9]*' ||
    die "the installed tool does not give its version"
  page=$prefix/share/man/man1/searchdb.1
  [ -f "$page" ] || die "no manual page at $page"
  groff -man -Tutf8 -ww -z "$page" >"$work/man.log" 2>&1 && [ ! -s "$work/man.log" ] ||
    die "the manual page does not format cleanly: $(cat "$work/man.log")"
  completion=$prefix/share/bash-completion/completions/searchdb
  [ -f "$completion" ] || die "no bash completion at $completion"
  quietly tool-create "$tool" --dir "$work/store-tool" create shop/books
  complete_words() {
    PATH="$prefix/bin:$PATH" bash -c 'source "$1"; shift; COMP_WORDS=("$@")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _searchdb; echo "${COMPREPLY[*]}"' _ "$completion" "$@"
  }
  [ "$(complete_words searchdb s)" = "search stats shell serve" ] ||
    die "bash completion of 's' gives '$(complete_words searchdb s)'"
  [ "$(complete_words searchdb search shop/books --f)" = "--facet --fields" ] ||
    die "bash completion of search's '--f' gives '$(complete_words searchdb search shop/books --f)'"
  [ "$(complete_words searchdb search shop/books --where a=1 --rank t)" = "typo-aware" ] ||
    die "bash completion of a --rank gives '$(complete_words searchdb search shop/books --rank t)'"
  [ "$(complete_words searchdb --dir "$work/store-tool" get sh)" = "shop/books" ] ||
    die "bash completion of an index name gives '$(complete_words searchdb --dir "$work/store-tool" get sh)'"
fi

# A plain C host through pkg-config, built as the README shows: a run path
# to the installed library, so it runs with no LD_LIBRARY_PATH. It runs twice
# on one storage directory, as a user may.
export PKG_CONFIG_PATH=$lib/pkgconfig
pc_flags=$(pkg-config --cflags --libs searchdb) || die "pkg-config does not know searchdb"
run_path=$(pkg-config --variable=libdir searchdb)
# shellcheck disable=SC2086  # word splitting of the flag lists is wanted
quietly pc-build "$cc" $c_flags "$hello" $pc_flags -Wl,-rpath,"$run_path" -o "$work/hello-pc"
loaded=$(env -u LD_LIBRARY_PATH ldd "$work/hello-pc")
found=$(sed -n 's/^[[:space:]]*libsearchdb\.so\.1 => \([^ ]*\) .*/\1/p' <<<"$loaded")
[ -n "$found" ] && [ "$(readlink -f "$found")" = "$real" ] ||
  die "hello-pc does not load the installed library: $loaded"
for run in 1 2; do
  env -u LD_LIBRARY_PATH "$work/hello-pc" "$work/store-pc" >"$work/pc.out" ||
    die "hello built with pkg-config failed on run $run: $(cat "$work/pc.out")"
  check_hello_output "$work/pc.out"
done

# A CMake host through find_package; CMake's build RPATH finds the library.
mkdir "$work/host"
cat >"$work/host/CMakeLists.txt" <<'HOST'
cmake_minimum_required(VERSION 3.16)
project(searchdb_host C)
find_package(searchdb 1 REQUIRED)
add_executable(hello ${HELLO_SOURCE})
target_link_libraries(hello PRIVATE searchdb::searchdb)
HOST
quietly host-configure cmake -S "$work/host" -B "$work/host/build" \
  -DCMAKE_PREFIX_PATH="$prefix" -DHELLO_SOURCE="$hello" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$c_flags" -DCMAKE_EXE_LINKER_FLAGS="$flags"
grep -qx "searchdb_DIR:PATH=$lib/cmake/searchdb" "$work/host/build/CMakeCache.txt" ||
  die "find_package did not take the installed package"
quietly host-build cmake --build "$work/host/build"
"$work/host/build/hello" "$work/store-cmake" >"$work/cmake.out" ||
  die "hello built with find_package failed: $(cat "$work/cmake.out")"
check_hello_output "$work/cmake.out"

echo "install: header, library links, pkg-config and find_package hosts all work"
