#!/usr/bin/env python3
"""The registry's requests on a store shared through MooseFS (scripts/
cluster.sh: front-end 1 over its mount) against the same requests on local
disk (a front-end over a local storage root), same programs, same run.

  small    manifest GET, tag list and blob HEAD: requests per second over one
           keep-alive connection, for SECONDS each; ratio shared/local
           (goal for manifest GET >= 0.5x)
  blobs    a BLOB_MIB MiB blob pushed (POST, one PATCH, PUT ?digest=) and
           pulled (GET); throughput ratio shared/local (goal >= 0.7x)
  calls    the system calls one small request makes, counted with strace on
           the CGI program run directly, and those that touch the store

usage: bench.py BUILD_DIR [CASE ...]   (default: every case)
Environment: BLOB_MIB (128), RUNS (3), BENCH_SECONDS (5)."""
import collections
import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(ROOT, "tests", "clients"))
sys.path.insert(0, os.path.join(ROOT, "tests", "cluster"))
sys.path.insert(0, os.path.join(ROOT, "bench", "registry"))
from served_registry import ServedRegistry  # noqa: E402
from cluster_support import Cluster, unusable_reason  # noqa: E402
from bench import make_blob, median_pair, say  # noqa: E402
import oci_image  # noqa: E402

BLOB_MIB = int(os.environ.get("BLOB_MIB", "128"))
SECONDS = float(os.environ.get("BENCH_SECONDS", "5"))


class Target:
    """One front-end: its address and the storage root its programs use."""

    def __init__(self, name, host, port, root, cgi):
        self.name, self.host, self.port, self.root, self.cgi = name, host, port, root, cgi

    def conn(self):
        return http.client.HTTPConnection(self.host, self.port, timeout=600, blocksize=1 << 20)

    def request(self, method, path, body=None, headers=None, sink=False):
        c = self.conn()
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        if sink:
            while r.read(1 << 20):
                pass
        else:
            r.read()
        c.close()
        return r


def push_image(t, work):
    layout = os.path.join(work, "layout-" + t.name)
    image = oci_image.build_image(layout, "v1", layers=2, seed="small")
    subprocess.run(["skopeo", "--insecure-policy", "copy", "-q", "--dest-tls-verify=false",
                    f"oci:{layout}:v1", f"docker://{t.host}:{t.port}/bench/small:v1"], check=True)
    return image


def small_cases(image):
    return [("manifest GET", "GET", "v2_manifests", "/v2/bench/small/manifests/v1"),
            ("tag list", "GET", "v2_tags", "/v2/bench/small/tags/list"),
            ("blob HEAD", "HEAD", "v2_blobs", f"/v2/bench/small/blobs/{image['layers'][0]}")]


def rate(t, method, path):
    """Requests per second over one keep-alive connection."""
    c = t.conn()
    n, end = 0, time.perf_counter() + SECONDS
    start = time.perf_counter()
    while time.perf_counter() < end:
        c.request(method, path, headers={"Accept": "application/vnd.oci.image.manifest.v1+json"})
        r = c.getresponse()
        r.read()
        if r.status != 200:
            raise RuntimeError(f"{t.name} {method} {path}: {r.status}")
        n += 1
    c.close()
    return n / (time.perf_counter() - start)


def case_small(local, shared, image):
    say(f"== small requests, one connection, {SECONDS:g} s each: shared store against local disk")
    out = {}
    for label, method, _, path in small_cases(image):
        rl, rs = rate(local, method, path), rate(shared, method, path)
        out[label] = rs / rl
        goal = "  (goal >= 0.5x)" if label == "manifest GET" else ""
        say(f"  {label:<14} local {rl:7.0f} req/s   shared {rs:7.0f} req/s   "
            f"ratio {rs / rl:5.2f}x{goal}")
    return out


def case_blobs(local, shared, work):
    say(f"== a {BLOB_MIB} MiB blob pushed and pulled: shared store against local disk")
    blob = os.path.join(work, "blob.bin")
    digest = make_blob(blob, BLOB_MIB)

    def push(t):
        def run():
            r = t.request("POST", "/v2/bench/big/blobs/uploads/")
            loc = r.getheader("Location")
            with open(blob, "rb") as f:
                r = t.request("PATCH", loc, body=f,
                              headers={"Content-Length": str(BLOB_MIB << 20),
                                       "Content-Type": "application/octet-stream"})
            loc = r.getheader("Location")
            r = t.request("PUT", loc + ("&" if "?" in loc else "?") + "digest=" + digest)
            if r.status != 201:
                raise RuntimeError(f"{t.name}: push answered {r.status}")
        return run

    def remove(t):
        p = os.path.join(t.root, "blobs", "sha256", digest[7:9], digest[7:])
        if os.path.exists(p):
            os.remove(p)

    def pull(t):
        def run():
            r = t.request("GET", f"/v2/bench/big/blobs/{digest}", sink=True)
            if r.status != 200:
                raise RuntimeError(f"{t.name}: pull answered {r.status}")
        return run

    def pushed_fresh(t):
        def run():
            remove(t)
            push(t)()
        return run

    out = {}
    tl, ts = median_pair(pushed_fresh(local), pushed_fresh(shared))
    out["blob push"] = tl / ts
    say(f"  blob push      local {BLOB_MIB / tl:7.1f} MiB/s   shared {BLOB_MIB / ts:7.1f} MiB/s   "
        f"ratio {tl / ts:5.2f}x  (goal >= 0.7x)")
    tl, ts = median_pair(pull(local), pull(shared))
    out["blob pull"] = tl / ts
    say(f"  blob pull      local {BLOB_MIB / tl:7.1f} MiB/s   shared {BLOB_MIB / ts:7.1f} MiB/s   "
        f"ratio {tl / ts:5.2f}x  (goal >= 0.7x)")
    return out


def count_calls(t, program, method, path, work):
    """(all system calls, calls on the store, the store's calls by name) of
    one request, the CGI program run directly as lighttpd would run it."""
    trace = os.path.join(work, "trace")
    env = dict(os.environ, REQUEST_METHOD=method, PATH_INFO=path, REQUEST_URI=path,
               SCRIPT_NAME="/_registry/" + program, SERVER_PROTOCOL="HTTP/1.1",
               REMOTE_ADDR="127.0.0.1", REGISTRY_STORAGE_ROOT=t.root,
               REGISTRY_ACCESS_LOG_DIR=os.path.dirname(t.cgi),
               HTTP_ACCEPT="application/vnd.oci.image.manifest.v1+json")
    subprocess.run(["strace", "-f", "-o", trace, os.path.join(t.cgi, program)], cwd=t.cgi,
                   env=env, stdout=subprocess.DEVNULL, check=True)
    total, store = 0, collections.Counter()
    fds = set()
    call = re.compile(r"^(?:\d+\s+)?(\w+)\((.*)\)\s+=\s+(-?\d+)")
    with open(trace) as f:
        for line in f:
            m = call.match(line)
            if not m:
                continue
            total += 1
            name, args, rc = m.group(1), m.group(2), int(m.group(3))
            first = args.split(",", 1)[0].strip()
            if t.root in args:
                store[name] += 1
                if name in ("openat", "open") and rc >= 0:
                    fds.add(rc)
            elif first.isdigit() and int(first) in fds:
                store[name] += 1
                if name == "close":
                    fds.discard(int(first))
            elif name == "sendfile" and args.split(",")[1].strip().isdigit() and \
                    int(args.split(",")[1]) in fds:
                store[name] += 1
    return total, sum(store.values()), store


def case_calls(local, shared, image, work):
    say("== system calls of one request (strace on the CGI program), on the shared store")
    for label, method, program, path in small_cases(image):
        total, on_store, by_name = count_calls(shared, program, method, path, work)
        names = ", ".join(f"{k} {v}" for k, v in sorted(by_name.items()))
        say(f"  {label:<14} {total:4d} calls, {on_store:3d} on the store: {names}")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    reason = unusable_reason()
    if reason:
        sys.exit(reason)
    build = os.path.abspath(sys.argv[1])
    cases = sys.argv[2:] or ["small", "blobs", "calls"]
    programs = os.path.join(build, "endpoints")
    work = tempfile.mkdtemp(prefix="cluster-bench-")
    local_srv = cluster = None
    try:
        local_srv = ServedRegistry(os.path.join(work, "local"), programs)
        cluster = Cluster(programs)
        local = Target("local", "127.0.0.1", local_srv.port, local_srv.root, local_srv.cgi)
        u = cluster.urls[0].split("//", 1)[1]
        shared = Target("shared", "127.0.0.1", int(u.split(":")[1]), cluster.roots[0],
                        os.path.join(cluster.dir, "fe1", "cgi"))
        image = push_image(local, work)
        push_image(shared, work)
        for c in cases:
            if c == "small":
                case_small(local, shared, image)
            elif c == "blobs":
                case_blobs(local, shared, work)
            elif c == "calls":
                case_calls(local, shared, image, work)
            else:
                sys.exit(f"unknown case {c}")
    finally:
        if cluster:
            cluster.down()
        if local_srv:
            local_srv.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
