#!/usr/bin/env python3
"""Monolithic 1,000-byte pushes without and with a quota, interleaved (the
settings file rewritten before each push) so that the machine's load falls
on both alike. Prints the two medians and their ratio.

usage: push_pairs.py PORT STORE_ROOT CONFIG_FILE PAIRS"""
import hashlib
import http.client
import os
import statistics
import sys
import time

QUOTA = 10**15  # never reached: the check's cost alone is measured


def main():
    port, store, config, pairs = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
    settings = {
        "none": '{"registry_storage_root": "%s"}' % store,
        "quota": '{"registry_storage_root": "%s", "registry_quota_bytes": %d}' % (store, QUOTA),
    }
    times = {"none": [], "quota": []}

    def push(kind):
        with open(config, "w") as f:
            f.write(settings[kind])
        data = os.urandom(1000)
        digest = "sha256:" + hashlib.sha256(data).hexdigest()
        conn = http.client.HTTPConnection("127.0.0.1", port)
        start = time.perf_counter()
        conn.request("POST", f"/v2/bench/app/blobs/uploads/?digest={digest}", body=data)
        resp = conn.getresponse()
        resp.read()
        times[kind].append((time.perf_counter() - start) * 1000)
        conn.close()
        if resp.status != 201:
            sys.exit(f"push answered {resp.status}")

    for i in range(pairs):
        for kind in ("none", "quota") if i % 2 else ("quota", "none"):
            push(kind)
    none, quota = statistics.median(times["none"]), statistics.median(times["quota"])
    print(f"{pairs} pairs: without a quota {none:.2f} ms, with {quota:.2f} ms "
          f"(median), ratio {quota / none:.2f}x")


if __name__ == "__main__":
    main()
