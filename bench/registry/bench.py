#!/usr/bin/env python3
"""The registry's speed through lighttpd, each case against its floor measured
in the same run on the same server; prints ratios.

  pull     GET of a large blob: the program's standard output, and X-Sendfile,
           against lighttpd serving the same file as a static file; the
           program's peak memory while sending it
  push     a large blob pushed (a) as one PATCH and the finishing PUT, (b) in
           16 MiB chunks with Content-Range, (c) as one POST ?digest=, against
           a CGI program that only copies its body to a file
  small    GET /v2/, manifest GET and HEAD, blob HEAD, tag list with wrk at 1
           and 8 connections, against a CGI program that writes a fixed answer
  client   skopeo copy of a 10-layer image into the registry and back out,
           against skopeo copying it between two local OCI layouts
  scaling  1, 4 and 16 skopeo clients pushing distinct images at once

usage: bench.py BUILD_DIR [CASE ...]   (default: every case)
Environment: BLOB_MIB (1024), RUNS (3), WRK_SECONDS (5)."""
import hashlib
import http.client
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(ROOT, "tests", "clients"))
from served_registry import ServedRegistry  # noqa: E402

BLOB_MIB = int(os.environ.get("BLOB_MIB", "1024"))
RUNS = int(os.environ.get("RUNS", "3"))
WRK_SECONDS = int(os.environ.get("WRK_SECONDS", "5"))
CHUNK = 16 << 20


def say(*a):
    print(*a, flush=True)


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def median_pair(a, b, runs=RUNS):
    """Runs a and b alternately, runs times each; their median times. Each
    run starts with nothing left to write back from the one before."""
    ta, tb = [], []
    for _ in range(runs):
        os.sync()
        ta.append(timed(a))
        os.sync()
        tb.append(timed(b))
    return statistics.median(ta), statistics.median(tb)


def curl(*args):
    subprocess.run(["curl", "-sSf", "-o", "/dev/null", *args], check=True)


def make_blob(path, mib):
    """Random bytes (nothing along the way can take a shortcut); the digest."""
    h = hashlib.sha256()
    with open("/dev/urandom", "rb") as src, open(path, "wb") as out:
        for _ in range(mib):
            chunk = src.read(1 << 20)
            h.update(chunk)
            out.write(chunk)
    return "sha256:" + h.hexdigest()


class Server:
    """lighttpd over the registry's programs, plus the floors: the CGI
    programs under /_floor/ and static files under /static/."""

    def __init__(self, work, build, name, x_sendfile=False):
        self.work = os.path.join(work, name)
        os.makedirs(self.work)
        self.static = os.path.join(self.work, "static")
        floor = os.path.join(self.work, "floor")
        os.makedirs(self.static)
        os.makedirs(floor)
        for p in ("floor_fixed", "floor_body_to_file"):
            shutil.copy(os.path.join(build, "bench", "registry", p), floor)
        extra = os.path.join(self.work, "floors.conf")
        with open(extra, "w") as f:
            f.write(f'alias.url += ( "/_floor/" => "{floor}/", "/static/" => "{self.static}/" )\n'
                    '$HTTP["url"] =~ "^/static/" { cgi.assign = ( ) }\n')
        env = {"LIGHTTPD_EXTRA_CONF": extra, "REGISTRY_X_SENDFILE": "1" if x_sendfile else "0"}
        saved = {k: os.environ.get(k) for k in env}
        os.environ.update(env)
        try:
            self.reg = ServedRegistry(os.path.join(self.work, "serve"),
                                      os.path.join(build, "endpoints"))
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        self.url = f"http://{self.reg.host}"
        self.floor_uploads = os.path.join(floor, "floor_uploads")

    def stop(self):
        self.reg.stop()

    def request(self, method, path, body=None, headers=None):
        c = http.client.HTTPConnection("127.0.0.1", self.reg.port, timeout=600,
                                       blocksize=1 << 20)
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        r.read()
        c.close()
        return r

    def store_blob(self, src, digest):
        """Places src in the store as the blob digest (a hard link: the same
        file the static floor serves)."""
        hexd = digest.split(":")[1]
        fan = os.path.join(self.reg.root, "blobs", "sha256", hexd[:2])
        os.makedirs(fan, exist_ok=True)
        dst = os.path.join(fan, hexd)
        if not os.path.exists(dst):
            os.link(src, dst)

    def clear_store(self):
        for d in ("blobs", "repositories", "uploads"):
            shutil.rmtree(os.path.join(self.reg.root, d), ignore_errors=True)
        shutil.rmtree(self.floor_uploads, ignore_errors=True)


def ratio_line(label, t, floor, goal, more=""):
    r = t / floor
    say(f"  {label:<44} {t:8.3f} s vs floor {floor:8.3f} s   ratio {r:5.2f}x  ({goal}){more}")
    return r


def case_pull(s, sx, work, blob, digest):
    mib = BLOB_MIB
    say(f"== pull: GET of a {mib} MiB blob, against lighttpd serving it as a static file")
    for srv in (s, sx):
        srv.store_blob(blob, digest)
        os.link(blob, os.path.join(srv.static, "blob.bin"))
    path = f"/v2/bench/blob/blobs/{digest}"
    static = lambda srv: curl(srv.url + "/static/blob.bin")  # noqa: E731
    t, f = median_pair(lambda: curl(s.url + path), lambda: static(s))
    r1 = ratio_line("through standard output", t, f, "goal: throughput >= 0.9x, time <= 1.11x",
                    f"  {mib / t:7.0f} MiB/s vs {mib / f:7.0f} MiB/s")
    t, f = median_pair(lambda: curl(sx.url + path), lambda: static(sx))
    r2 = ratio_line("X-Sendfile", t, f, "goal: throughput >= 0.98x, time <= 1.02x",
                    f"  {mib / t:7.0f} MiB/s vs {mib / f:7.0f} MiB/s")
    # Peak memory of the program sending it, run as lighttpd runs it.
    env = dict(os.environ, REQUEST_METHOD="GET", PATH_INFO=path, QUERY_STRING="",
               REMOTE_ADDR="127.0.0.1")
    out = subprocess.run(["/usr/bin/time", "-f", "%M", os.path.join(s.reg.cgi, "v2_blobs")],
                         cwd=s.reg.cgi, env=env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=True)
    rss = int(out.stderr.strip().splitlines()[-1]) / 1024
    say(f"  peak memory of v2_blobs sending it: {rss:.2f} MiB (goal <= 8 MiB)")
    return {"pull_stdout": 1 / r1, "pull_x_sendfile": 1 / r2, "pull_rss_mib": rss}


def start_upload(s, repo):
    r = s.request("POST", f"/v2/{repo}/blobs/uploads/")
    assert r.status == 202, r.status
    return r.getheader("Location")


def case_push(s, work, blob, digest):
    size = os.path.getsize(blob)
    mib = size >> 20
    say(f"== push: a {mib} MiB blob, against a CGI program that copies its body to a file")
    results = {}

    def fresh():
        s.clear_store()

    def patch_put():
        fresh()
        loc = start_upload(s, "bench/push")
        curl("-X", "PATCH", "-T", blob, "-H", "Content-Type: application/octet-stream",
             s.url + loc)
        r = s.request("PUT", f"{loc}?digest={digest}")
        assert r.status == 201, r.status

    def floor_one():
        fresh()
        curl("-X", "POST", "-T", blob, s.url + "/_floor/floor_body_to_file?name=one")

    def chunks(upload):
        with open(blob, "rb") as f:
            at = 0
            while at < size:
                data = f.read(CHUNK)
                upload(at, data)
                at += len(data)

    def chunked():
        fresh()
        loc = start_upload(s, "bench/push")

        def send(at, data):
            r = s.request("PATCH", loc, body=data, headers={
                "Content-Type": "application/octet-stream",
                "Content-Range": f"{at}-{at + len(data) - 1}"})
            assert r.status == 202, r.status
        chunks(send)
        r = s.request("PUT", f"{loc}?digest={digest}")
        assert r.status == 201, r.status

    def floor_chunked():
        fresh()

        def send(at, data):
            r = s.request("POST", "/_floor/floor_body_to_file?name=chunked", body=data)
            assert r.status == 201, r.status
        chunks(send)

    def monolithic():
        fresh()
        curl("-X", "POST", "-T", blob, "-H", "Content-Type: application/octet-stream",
             f"{s.url}/v2/bench/push/blobs/uploads?digest={digest}")

    for label, fn, floor in (("(a) PATCH + PUT", patch_put, floor_one),
                             ("(b) 16 MiB chunks with Content-Range", chunked, floor_chunked),
                             ("(c) monolithic POST ?digest=", monolithic, floor_one)):
        t, f = median_pair(fn, floor)
        results[label] = ratio_line(label, t, f, "goal <= 1.3x",
                                    f"  {mib / t:7.0f} MiB/s vs {mib / f:7.0f} MiB/s")
    s.clear_store()
    return results


HEAD_LOAD = None


def wrk(url, conns, method="GET"):
    """Requests per second, p50 and p99 latency in seconds. HEAD goes through
    head_load instead: wrk's parser waits for the body a HEAD answer
    announces in Content-Length and never gets."""
    if method == "HEAD":
        host, rest = url.split("//", 1)[1].split("/", 1)
        h, port = host.split(":")
        out = subprocess.run([HEAD_LOAD, h, port, "/" + rest, str(conns), str(WRK_SECONDS)],
                             capture_output=True, text=True, check=True).stdout.split()
        rate, p50, p99, errors = float(out[0]), float(out[1]), float(out[2]), int(out[3])
        if errors:
            raise RuntimeError(f"{url}: {errors} HEAD requests failed")
        return rate, p50 * 1e-3, p99 * 1e-3
    out = subprocess.run(["wrk", "-t", str(min(conns, 2)), "-c", str(conns),
                          "-d", f"{WRK_SECONDS}s", "--latency", url],
                         capture_output=True, text=True, check=True).stdout
    rate = float(next(l for l in out.splitlines() if l.startswith("Requests/sec")).split()[1])
    lat = {}
    for line in out.splitlines():
        p = line.split()
        if len(p) == 2 and p[0] in ("50%", "99%"):
            v = p[1]
            unit = 1e-3 if v.endswith("ms") else 1e-6 if v.endswith("us") else 1.0
            lat[p[0]] = float(v.rstrip("msu")) * unit
    errors = [l for l in out.splitlines() if "Non-2xx" in l or "Socket errors" in l]
    if errors:
        raise RuntimeError(f"{url}: {errors}")
    return rate, lat["50%"], lat["99%"]


def case_small(s, work):
    say(f"== small requests with wrk ({WRK_SECONDS} s each), against a CGI program that "
        "writes a fixed answer (HEAD through bench/registry/head_load)")
    image = push_small_image(s, work)
    cases = [("GET /v2/", "GET", "/v2/"),
             ("manifest GET", "GET", f"/v2/bench/small/manifests/{image['tag']}"),
             ("manifest HEAD", "HEAD", f"/v2/bench/small/manifests/{image['tag']}"),
             ("blob HEAD", "HEAD", f"/v2/bench/small/blobs/{image['layers'][0]}"),
             ("tag list", "GET", "/v2/bench/small/tags/list")]
    results = {}
    for conns in (1, 8):
        floors = {}
        for method in ("GET", "HEAD"):
            floors[method] = wrk(s.url + "/_floor/floor_fixed", conns, method)
            rate, p50, p99 = floors[method]
            say(f"  {conns} connection(s), floor {method:<4} {rate:8.0f} req/s  p50 "
                f"{p50 * 1e3:6.2f} ms  p99 {p99 * 1e3:6.2f} ms")
        for label, method, path in cases:
            rate, p50, p99 = wrk(s.url + path, conns, method)
            r = rate / floors[method][0]
            results[f"{label} c{conns}"] = r
            say(f"    {label:<14} {rate:8.0f} req/s  p50 {p50 * 1e3:6.2f} ms  p99 "
                f"{p99 * 1e3:6.2f} ms   {r:5.2f}x floor (goal >= 0.7x)")
    return results


def push_small_image(s, work):
    import oci_image
    layout = os.path.join(work, "small-layout")
    image = oci_image.build_image(layout, "v1", layers=2, seed="small")
    skopeo("copy", f"oci:{layout}:v1", f"docker://{s.reg.host}/bench/small:v1")
    return image


def skopeo(*args):
    subprocess.run(["skopeo", "--insecure-policy", *args, "--dest-tls-verify=false"]
                   if args[0] == "copy" and args[-1].startswith("docker://") else
                   ["skopeo", "--insecure-policy", *args, "--src-tls-verify=false"]
                   if args[0] == "copy" and args[-2].startswith("docker://") else
                   ["skopeo", "--insecure-policy", *args],
                   check=True, stdout=subprocess.DEVNULL)


def case_client(s, work):
    import oci_image
    say("== a real client: skopeo copy of 10 layers, 100 MiB in all")
    layout = os.path.join(work, "client-layout")
    oci_image.build_image(layout, "v1", layers=10, seed="client", layer_size=10 << 20)
    other = os.path.join(work, "client-copy")
    pulled = os.path.join(work, "client-pulled")
    ref = f"docker://{s.reg.host}/bench/client:v1"

    def to_layout(dst):
        def run():
            shutil.rmtree(dst, ignore_errors=True)
            skopeo("copy", f"oci:{layout}:v1", f"oci:{dst}:v1")
        return run

    def push():
        s.clear_store()
        skopeo("copy", f"oci:{layout}:v1", ref)

    def pull():
        shutil.rmtree(pulled, ignore_errors=True)
        skopeo("copy", ref, f"oci:{pulled}:v1")

    t, f = median_pair(push, to_layout(other))
    r1 = ratio_line("push into the registry", t, f, "goal <= 1.5x")
    t, f = median_pair(pull, to_layout(other))
    r2 = ratio_line("pull back out", t, f, "goal <= 1.5x")
    s.clear_store()
    return {"client_push": r1, "client_pull": r2}


def case_scaling(s, work):
    import oci_image
    say("== scaling: clients pushing distinct images at once (4 layers of 16 MiB each)")
    layouts = []
    for i in range(16):
        layout = os.path.join(work, f"scale-{i}")
        oci_image.build_image(layout, "v1", layers=4, seed=f"scale{i}", layer_size=16 << 20)
        layouts.append(layout)
    per_image = sum(os.path.getsize(os.path.join(d, f))
                    for d, _, fs in os.walk(os.path.join(layouts[0], "blobs")) for f in fs)
    results = {}
    cores = os.cpu_count() or 1
    counts = sorted({1, 4, 16, min(cores, 16)})
    for n in counts:
        s.clear_store()
        os.sync()
        t = time.perf_counter()
        procs = [subprocess.Popen(["skopeo", "--insecure-policy", "copy", "--dest-tls-verify=false",
                                   f"oci:{layouts[i]}:v1",
                                   f"docker://{s.reg.host}/bench/scale{i}:v1"],
                                  stdout=subprocess.DEVNULL) for i in range(n)]
        for p in procs:
            if p.wait() != 0:
                raise RuntimeError("a push failed")
        dt = time.perf_counter() - t
        rate = n * per_image / dt / (1 << 20)
        results[n] = rate
        say(f"  {n:2d} client(s): {dt:6.2f} s, {rate:7.1f} MiB/s in all")
    upto = [results[n] for n in counts if n <= cores]
    steady = all(b >= a * 0.95 for a, b in zip(upto, upto[1:]))
    say(f"  up to the core count ({cores}) throughput "
        f"{'does not fall' if steady else 'FALLS'} as clients are added (5% noise allowed)")
    s.clear_store()
    return results


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    global HEAD_LOAD
    HEAD_LOAD = os.path.join(build, "bench", "registry", "head_load")
    cases = sys.argv[2:] or ["pull", "push", "small", "client", "scaling"]
    work = tempfile.mkdtemp(prefix="registry-bench-")
    servers = []
    try:
        s = Server(work, build, "plain")
        servers.append(s)
        blob = digest = None
        if "pull" in cases or "push" in cases:
            blob = os.path.join(work, "blob.bin")
            digest = make_blob(blob, BLOB_MIB)
        results = {}
        for c in cases:
            if c == "pull":
                sx = Server(work, build, "x-sendfile", x_sendfile=True)
                servers.append(sx)
                results.update(case_pull(s, sx, work, blob, digest))
            elif c == "push":
                results.update(case_push(s, work, blob, digest))
            elif c == "small":
                results.update(case_small(s, work))
            elif c == "client":
                results.update(case_client(s, work))
            elif c == "scaling":
                results.update({f"scaling {k}": v for k, v in case_scaling(s, work).items()})
            else:
                sys.exit(f"unknown case {c}")
    finally:
        for srv in servers:
            srv.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
