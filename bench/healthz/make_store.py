#!/usr/bin/env python3
"""Generates a large storage root for benchmarks, in the on-disk layout
the storage engine uses: REPOS repositories (two levels, team/app) with
TAGS tags each, and BLOBS blob files spread over the 256 fan-out
directories. Blob contents are random bytes named by their SHA-256.

usage: make_store.py ROOT [--repos 1024] [--tags 4] [--blobs 20000]"""
import argparse
import hashlib
import os
import random


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("--repos", type=int, default=1024)
    ap.add_argument("--tags", type=int, default=4)
    ap.add_argument("--blobs", type=int, default=20000)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    rnd = random.Random(a.seed)
    root = a.root
    for d in ("blobs/sha256", "repositories", "uploads"):
        os.makedirs(os.path.join(root, d), exist_ok=True)

    digests = []
    for i in range(a.blobs):
        data = rnd.randbytes(rnd.randint(64, 4096))
        hx = hashlib.sha256(data).hexdigest()
        fan = os.path.join(root, "blobs", "sha256", hx[:2])
        os.makedirs(fan, exist_ok=True)
        write(os.path.join(fan, hx), data)
        digests.append(hx)

    for r in range(a.repos):
        repo = os.path.join(root, "repositories", "team%02d" % (r % 32), "app%04d" % r)
        man = os.path.join(repo, "_manifests")
        for t in range(a.tags):
            body = ('{"schemaVersion":2,"repo":%d,"tag":%d}' % (r, t)).encode()
            hx = hashlib.sha256(body).hexdigest()
            write_dir = os.path.join(man, "revisions", "sha256", hx)
            os.makedirs(write_dir, exist_ok=True)
            write(os.path.join(write_dir, "link"), ("sha256:" + hx).encode())
            write(os.path.join(man, hx), body)
            write(os.path.join(man, hx + ".ct"),
                  b"application/vnd.oci.image.manifest.v1+json")
            tag = "latest" if t == 0 else "v%d" % t
            tdir = os.path.join(man, "tags", tag, "current")
            os.makedirs(tdir, exist_ok=True)
            write(os.path.join(tdir, "link"), ("sha256:" + hx).encode())
    print("store at %s: %d repositories x %d tags, %d blobs" % (root, a.repos, a.tags, a.blobs))


if __name__ == "__main__":
    main()
