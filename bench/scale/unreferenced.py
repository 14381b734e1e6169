#!/usr/bin/env python3
"""Prints the paths (relative to ROOT) of the blobs no manifest body in
LIST names: what a collection of the generated store deletes.
usage: unreferenced.py ROOT LIST"""
import os
import re
import sys


def main():
    root, bodies = sys.argv[1], sys.argv[2]
    named = set()
    for rel in open(bodies).read().split():
        with open(os.path.join(root, rel)) as f:
            named.update(re.findall(r'sha256:([0-9a-f]{64})', f.read()))
    base = os.path.join(root, "blobs", "sha256")
    out = sys.stdout
    for fan in sorted(os.listdir(base)):
        for name in os.listdir(os.path.join(base, fan)):
            if name not in named:
                out.write("blobs/sha256/%s/%s\n" % (fan, name))


if __name__ == "__main__":
    main()
