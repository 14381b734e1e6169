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


def make_layout(root):
    for d in ("blobs/sha256", "repositories", "uploads"):
        os.makedirs(os.path.join(root, d), exist_ok=True)


def write_blobs(root, count, rnd, min_size=64, max_size=4096):
    """Writes count blobs of random bytes, each named by its SHA-256 in its
    fan-out directory; returns their hex digests in the order written."""
    digests = []
    for i in range(count):
        data = rnd.randbytes(rnd.randint(min_size, max_size))
        hx = hashlib.sha256(data).hexdigest()
        fan = os.path.join(root, "blobs", "sha256", hx[:2])
        os.makedirs(fan, exist_ok=True)
        write(os.path.join(fan, hx), data)
        digests.append(hx)
    return digests


def write_manifest(man, tag, body):
    """Stores body in the _manifests directory man as a push under tag does:
    body, content type, revision link and tag link. Returns its hex digest."""
    hx = hashlib.sha256(body).hexdigest()
    write_dir = os.path.join(man, "revisions", "sha256", hx)
    os.makedirs(write_dir, exist_ok=True)
    write(os.path.join(write_dir, "link"), ("sha256:" + hx).encode())
    write(os.path.join(man, hx), body)
    write(os.path.join(man, hx + ".ct"),
          b"application/vnd.oci.image.manifest.v1+json")
    tdir = os.path.join(man, "tags", tag, "current")
    os.makedirs(tdir, exist_ok=True)
    write(os.path.join(tdir, "link"), ("sha256:" + hx).encode())
    return hx


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
    make_layout(root)
    write_blobs(root, a.blobs, rnd)

    for r in range(a.repos):
        repo = os.path.join(root, "repositories", "team%02d" % (r % 32), "app%04d" % r)
        man = os.path.join(repo, "_manifests")
        for t in range(a.tags):
            body = ('{"schemaVersion":2,"repo":%d,"tag":%d}' % (r, t)).encode()
            write_manifest(man, "latest" if t == 0 else "v%d" % t, body)
    print("store at %s: %d repositories x %d tags, %d blobs" % (root, a.repos, a.tags, a.blobs))


if __name__ == "__main__":
    main()
