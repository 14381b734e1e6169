#!/usr/bin/env python3
"""Generates a storage root for the garbage-collection benchmark, in the
engine's on-disk layout: REPOS repositories (two levels, teamNN/appNNNN)
with MANIFESTS image manifests each (a config and three layers, all tagged),
and BLOBS blob files of which a fifth no manifest names. Every blob is
dated an hour back, so the collector's spare window keeps none of them.
Writes the paths of the manifest bodies, relative to ROOT, to LIST.

usage: make_store.py ROOT LIST [--repos 1024] [--manifests 10] [--blobs 50000]"""
import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "healthz"))
from make_store import make_layout, write_blobs, write_manifest  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("list")
    ap.add_argument("--repos", type=int, default=1024)
    ap.add_argument("--manifests", type=int, default=10)
    ap.add_argument("--blobs", type=int, default=50000)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    rnd = random.Random(a.seed)
    root = a.root
    make_layout(root)
    digests = write_blobs(root, a.blobs, rnd, 64, 1024)
    old = time.time() - 3 * 3600  # past the collection's two-hour spare window
    for hx in digests:
        os.utime(os.path.join(root, "blobs", "sha256", hx[:2], hx), (old, old))

    # The first four fifths are referenced, in turn, four per manifest.
    referenced = digests[: a.blobs * 4 // 5]
    bodies = []
    n = 0
    for r in range(a.repos):
        rel = os.path.join("repositories", "team%02d" % (r % 32), "app%04d" % r, "_manifests")
        for m in range(a.manifests):
            refs = [referenced[(n * 4 + k) % len(referenced)] for k in range(4)]
            n += 1
            layers = ",".join('{"mediaType":"application/vnd.oci.image.layer.v1.tar+gzip",'
                              '"digest":"sha256:%s","size":1}' % h for h in refs[1:])
            body = ('{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",'
                    '"config":{"mediaType":"application/vnd.oci.image.config.v1+json",'
                    '"digest":"sha256:%s","size":1},"layers":[%s]}' % (refs[0], layers)).encode()
            hx = write_manifest(os.path.join(root, rel), "v%d" % m, body)
            bodies.append(os.path.join(rel, hx))
    with open(a.list, "w") as f:
        f.write("\n".join(bodies) + "\n")
    print("store at %s: %d repositories x %d manifests, %d blobs (%d unreferenced)"
          % (root, a.repos, a.manifests, a.blobs, a.blobs - len(referenced)))


if __name__ == "__main__":
    main()
