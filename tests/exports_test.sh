#!/usr/bin/env bash
# The shared library's dynamic interface is exactly the searchdb_*
# functions that the public header declares: no internal sdb_* function and
# no C++ symbol may leak, and the SONAME carries the ABI's major version.
#   exports_test.sh LIBRARY HEADER
set -euo pipefail
library=$1
header=$2

expected_functions='searchdb_cleanup
searchdb_document_delete
searchdb_document_get
searchdb_documents_add
searchdb_index_check
searchdb_index_create
searchdb_index_delete
searchdb_index_derived_state
searchdb_index_stats_json
searchdb_index_write_derived
searchdb_indexes_list_json
searchdb_init
searchdb_last_error
searchdb_last_error_code
searchdb_search
searchdb_search_request'
expected_soname=libsearchdb.so.1
# Symbols some linkers define in every shared object.
linker_symbols='^(_init|_fini|_edata|_end|__bss_start)$'

failures=0
fail() {
  echo "FAIL: $1" >&2
  failures=$((failures + 1))
}
# Prints the lines of $1 that are not in $2, both sorted, indented.
lines_missing() {
  comm -23 <(printf '%s\n' "$1") <(printf '%s\n' "$2") | sed 's/^/  /'
}

# "ADDRESS TYPE NAME[@VERSION]"; an undefined weak symbol has no address.
symbols=$(nm -D --defined-only "$library" | awk '{ sub(/@.*/, "", $NF); print $(NF-1), $NF }')

functions=$(awk '$1 == "T" && $2 ~ /^searchdb_/ { print $2 }' <<<"$symbols" | sort)
if [ "$functions" != "$expected_functions" ]; then
  fail "exported functions differ"
  echo "missing:"; lines_missing "$expected_functions" "$functions"
  echo "unexpected:"; lines_missing "$functions" "$expected_functions"
fi

others=$(awk '!($1 == "T" && $2 ~ /^searchdb_/) { print $1, $2 }' <<<"$symbols" |
  awk '$2 !~ /'"$linker_symbols"'/' | sort)
if [ -n "$others" ]; then
  fail "symbols other than the searchdb_* functions are exported:"
  c++filt <<<"$others" | sed 's/^/  /'
fi

declared=$(grep -o 'SEARCHDB_API[^(]*[ *]searchdb_[a-z_]*(' "$header" |
  sed 's/.*\(searchdb_[a-z_]*\)($/\1/' | sort)
if [ "$declared" != "$expected_functions" ]; then
  fail "the header does not declare exactly the exported functions"
  echo "missing:"; lines_missing "$expected_functions" "$declared"
  echo "unexpected:"; lines_missing "$declared" "$expected_functions"
fi

soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "$expected_soname" ]; then
  fail "SONAME is '$soname', expected '$expected_soname'"
fi

if [ "$failures" -ne 0 ]; then
  echo "exports: $failures problem(s)" >&2
  exit 1
fi
echo "exports: $(wc -l <<<"$expected_functions") functions, SONAME $soname"
