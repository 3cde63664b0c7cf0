#!/usr/bin/env python3
"""No function of the library keeps a large stack frame.

    stack_check.py LIMIT_BYTES DIR...

Reads the .su files the compiler's -fstack-usage wrote for the library's
objects under each DIR, prints the largest frames, and fails when a
function's frame exceeds LIMIT_BYTES, or when its size is not bounded, or
when no file is found (the build did not ask for them).
"""
import os
import sys


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    limit = int(sys.argv[1])
    frames = []
    for top in sys.argv[2:]:
        for root, _, files in os.walk(top):
            for name in files:
                if not name.endswith(".su"):
                    continue
                with open(os.path.join(root, name), encoding="utf-8") as f:
                    for line in f:
                        parts = line.rstrip("\n").split("\t")
                        if len(parts) == 3:
                            frames.append((int(parts[1]), parts[2], parts[0]))
    if not frames:
        print("stack check: no .su files below", ", ".join(sys.argv[2:]))
        return 1
    frames.sort(reverse=True)
    print("largest frames:")
    for size, kind, where in frames[:10]:
        print(f"  {size:6d}  {kind:16s} {where}")
    faults = [f for f in frames if f[0] > limit or f[1] == "dynamic"]
    for size, kind, where in faults:
        print(f"FAULT: {where}: {size} bytes ({kind}), over {limit}" if size > limit else
              f"FAULT: {where}: a frame of unbounded size")
    print(f"stack check: {len(frames)} functions, the largest {frames[0][0]} bytes, "
          f"{len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
