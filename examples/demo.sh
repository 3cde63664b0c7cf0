#!/usr/bin/env bash
# A short tour of searchdb: builds the command-line tool, indexes the bundled
# book data in $build/demo-store, runs a few searches, and ends with the
# command that serves the store and its search page.
#   examples/demo.sh            build in build/ (BUILD_DIR overrides)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

if ! { command -v cmake && command -v c++ &&
  pkg-config --exists 'yyjson >= 0.12' gtest libedit CLI11 libmicrohttpd; } >/dev/null 2>&1; then
  "$root/scripts/bootstrap"
fi
# A first build takes a while: one line per file compiled shows it moving.
echo "Configuring the build in $build ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "Building the searchdb tool ..."
mkdir -p "$build"
log="$build/demo-build.log"
if ! cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target searchdb_cli 2>&1 |
  tee "$log" | sed -un 's|^\[ *\([0-9]*\)%\] Building C[X]* object .*/\([^/]*\)\.o$|  [\1%] \2|p'; then
  tail -n 40 "$log" >&2
  echo "demo: the build failed; its whole output is in $log" >&2
  exit 1
fi

# The store is made afresh each time and kept, to be served afterwards.
data="$build/demo-store"
rm -rf "$data"

if [ -t 1 ]; then bold=$'\033[1m' dim=$'\033[2m' plain=$'\033[0m'; else bold='' dim='' plain=''; fi

# Prints what the step shows and the command as a user types it, then runs it.
step() {
  local what="$1"
  shift
  printf '\n%s# %s%s\n%s$ searchdb %s%s\n' "$dim" "$what" "$plain" "$bold" "$*" "$plain"
  "$build/tools/searchdb" --dir "$data" "$@"
}

step "An index of books, identified by their member \"id\"" create books
step "$(grep -c '"id"' "$root/examples/data/books.json") books from a JSON array" \
  add books "$root/examples/data/books.json"
step "An exact word" search books austen --table
step "A prefix: words that begin with it match too" search books dysto --table
step "A misspelt name still finds its books (longer words allow two typos)" \
  search books dostoyevski --table
step "A page of results: the second five of every book about war" \
  search books war --limit 5 --offset 5 --table
step "Several words: books that hold more of them rank higher" \
  search books science fiction mars --limit 5 --table
step "One document as stored" get books frankenstein --table
step "The statistics of the index" stats books --table
step "What the store holds, and whether anything was set aside" check
printf '\n%sTry it yourself:%s\n' "$dim" "$plain"
printf '  %s/tools/searchdb --dir %s shell\n' "$build" "$data"
printf '\n%sServe the demo store over HTTP, then open http://127.0.0.1:8765/ for its search page:%s\n' \
  "$dim" "$plain"
printf '  %s/tools/searchdb --dir %s serve\n' "$build" "$data"
