#!/usr/bin/env python3
"""Iterating an index from Python: the time to go through every id and
every document a page at a time, each next to its floor measured in the same
run, and the most memory an iteration holds.

    SEARCHDB_LIBRARY=build/libsearchdb.so PYTHONPATH=bindings/python \\
        python3 bench/python_iterate.py [DOCUMENTS] [STORE]

The index holds DOCUMENTS (1,000,000) small made-up package descriptions;
STORE (a temporary directory) keeps it between runs. Floors: for the ids,
one answer holding every id (what iteration avoids holding); for the
documents, parsing the JSON of the same documents alone.
"""
import json
import os
import shutil
import sys
import tempfile
import time
import tracemalloc

import searchdb


def best(run, times=3):
    seconds = []
    for _ in range(times):
        start = time.perf_counter()
        result = run()
        seconds.append(time.perf_counter() - start)
    return min(seconds), result


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    store = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="searchdb-iterate-")
    made = not os.path.exists(os.path.join(store, "pkgs"))
    try:
        with searchdb.Database(store) as db:
            pkgs = db.create_index("pkgs", exist_ok=True)
            if made:
                for start in range(0, count, 200_000):
                    pkgs.add([{"id": i, "name": f"package{i}", "section": "abcd"[i % 4],
                               "size": i % 5000, "description": f"tool number {i} does things"}
                              for i in range(start, min(count, start + 200_000))])
            count = len(pkgs)

            seconds, ids = best(lambda: list(pkgs))
            floor, every = best(lambda: [hit["id"] for hit in
                                         pkgs.search(limit=0, fields="id")["hits"]])
            assert ids == every
            print(f"list(index), {count:,} ids: {seconds:.2f} s; "
                  f"one answer of every id (floor): {floor:.2f} s")

            seconds, _ = best(lambda: sum(1 for _ in pkgs.values()))
            texts = [pkgs.database._call("searchdb_search_request", pkgs._name,
                                         json.dumps({"limit": 100_000, "offset": o}).encode())
                     for o in range(0, count, 100_000)]
            floor, _ = best(lambda: [json.loads(text) for text in texts])
            print(f"values(), {count:,} documents: {seconds:.2f} s; parsing their JSON "
                  f"alone (floor): {floor:.2f} s ({sum(map(len, texts)) / 1e6:.0f} MB of JSON)")
            del texts, ids, every

            tracemalloc.start()
            sum(1 for _ in pkgs.values())
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            print(f"values(): at most {peak / 1e6:.1f} MB held while iterating "
                  f"(pages of about {searchdb._PAGE_BYTES / 1e6:.1f} MB of JSON)")
    finally:
        if len(sys.argv) <= 2:
            shutil.rmtree(store, ignore_errors=True)


if __name__ == "__main__":
    main()
