#!/usr/bin/env bash
# A short tour of searchdb: builds the command-line tool, indexes the bundled
# book data in a temporary directory and runs a few searches.
#   examples/demo.sh            build in build/ (BUILD_DIR overrides)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

if ! { command -v cmake && command -v c++ && pkg-config --exists 'yyjson >= 0.12' gtest; } \
    >/dev/null 2>&1; then
  "$root/scripts/bootstrap"
fi
echo "Building the searchdb tool in $build ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target searchdb_cli >/dev/null

data="$(mktemp -d "${TMPDIR:-/tmp}/searchdb-demo.XXXXXX")"
trap 'rm -rf "$data"' EXIT

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
printf '\n%sThe data lived in %s and is removed now. Try it yourself:%s\n' "$dim" "$data" "$plain"
printf '  %s/tools/searchdb --help\n  %s/tools/searchdb shell\n' "$build" "$build"
