#!/usr/bin/env python3
"""The file-system floor of one collection, in seconds: what any collector
must do at least. Lists the store (du -s), reads every manifest body once,
unlinks every unreferenced blob. usage: gc_floor.py ROOT LIST UNREFERENCED"""
import os
import subprocess
import sys
import time


def main():
    root, bodies, unref = sys.argv[1:4]
    body_paths = [os.path.join(root, p) for p in open(bodies).read().split()]
    unref_paths = [os.path.join(root, p) for p in open(unref).read().split()]
    t = time.perf_counter()
    subprocess.run(["du", "-s", root], check=True, stdout=subprocess.DEVNULL)
    for p in body_paths:
        with open(p, "rb") as f:
            f.read()
    for p in unref_paths:
        os.unlink(p)
    print(time.perf_counter() - t)


if __name__ == "__main__":
    main()
