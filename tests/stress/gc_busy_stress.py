#!/usr/bin/env python3
"""Collections on a registry whose pushes never pause.

Four clients push through a real lighttpd, about an image a second each,
while registry-admin gc runs on the served root every second or so with a
spare window of SPARE seconds (registry_gc_spare_seconds in the programs'
config.json, read by the admin command run from their directory, as an
operator runs it). Nothing is aged behind the registry's back except what a
case needs to be old, and no collection waits for uploads to pause: young
abandoned uploads are there during every run.

- Fast pushes: a fresh config and layer, a shared base layer skipped after a
  HEAD found it, a layer mounted from another client's repository; the
  manifest right after.
- Slow pushes: their layers are held, then the manifest comes only after a
  whole collection ran in between. Each layer is one a sweep would take if
  its hold were lost: content stored long ago and named by nothing (made old
  here, with no collection running between the ageing and the hold), reached
  by HEAD, by a mount from another repository and by uploading it again; and
  an upload last written ten minutes ago, then finished.
- Garbage: blobs whose manifest never comes, abandoned uploads, some of
  them made stale (untouched for more than 900 seconds).

A manifest refused for a missing blob is a fault unless a collection that
started SPARE seconds or more after the blob's last hold ran before the put
(the window allows that); the client then pushes the blob again. At the end
a last collection runs over a store made old: every image whose push
succeeded pulls back whole (manifest and every blob digest-verified), the
garbage blobs are gone, the stale uploads were removed and the young ones
left, no run failed and no answer was a 5xx. The slow pushes that had a
collection between their holds and their manifest are counted: with holds
ignored each of them would have lost its layers, so the test needs some.

ENDPOINTS_DIR names the folder of built programs, REGISTRY_ADMIN the admin
command."""
import contextlib
import http.client
import json
import math
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from served_registry import LIGHTTPD, ServedRegistry  # noqa: E402
from protocol_answer import Answer, sha  # noqa: E402

PROGRAMS = os.environ.get("ENDPOINTS_DIR", "")
ADMIN = os.environ.get("REGISTRY_ADMIN", "")

CLIENTS = 4
SECONDS = float(os.environ.get("GC_BUSY_SECONDS", "20"))  # of pushing
SPARE = 5                 # seconds: the spare window set for the collections
PACE = 1.0                # seconds: at most one push a client per PACE
OLD = 3600                # seconds: content stored long ago
IDLE_UPLOAD = 600         # seconds: older than SPARE, not yet stale
STALE_UPLOAD = 1000       # seconds: past the 900 seconds of a stale upload
OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
OCI_CONFIG = "application/vnd.oci.image.config.v1+json"
OCI_LAYER = "application/vnd.oci.image.layer.v1.tar"
BASES = [random.Random(f"base {i}").randbytes(64 * 1024 + i) for i in range(3)]


def content(*name, size=8 * 1024):
    return random.Random(" ".join(map(str, name))).randbytes(size)


class World:
    """What the clients and the collector share."""

    def __init__(self, root):
        self.root = root
        self.lock = threading.Condition()
        self.collecting = False
        self.gated = 0            # clients ageing and holding: no run starts
        self.runs = []            # {"spawn", "started", "end", "report"} in order
        self.pushed = []          # (repo, digest, body, {digest: bytes})
        self.garbage = []         # blob digests nothing will name
        self.young_uploads, self.stale_uploads = [], []
        self.slow_tested = 0      # slow pushes with a whole run between hold and put
        self.retried = 0          # manifests refused as the window allows
        self.faults = []
        self.answers = 0

    def fault(self, text):
        with self.lock:
            self.faults.append(text)

    @contextlib.contextmanager
    def no_collection(self):
        """Between ageing content and holding it no run may start, or it
        would take the content before the hold could: the case is a push
        that meets old content, not one that comes too late."""
        with self.lock:
            while self.collecting:
                self.lock.wait()
            self.gated += 1
        try:
            yield
        finally:
            with self.lock:
                self.gated -= 1
                self.lock.notify_all()

    def run_after(self, t, deadline):
        """The first run spawned after t, once it has ended; None past the
        deadline."""
        with self.lock:
            while time.time() < deadline:
                for r in self.runs:
                    if r["spawn"] > t:
                        return r
                self.lock.wait(0.2)
        return None

    def deleting_run(self, held_at, before):
        """A run that could have deleted a blob held at held_at (a time
        taken before the hold) and that started before `before`."""
        with self.lock:
            return any(r["started"] >= math.floor(held_at) + SPARE and r["spawn"] < before
                       for r in self.runs)


def age(path, secs):
    t = time.time() - secs
    os.utime(path, (t, t))


class Client:
    def __init__(self, world, port, n):
        self.w, self.port, self.n = world, port, n
        self.repo = f"busy/c{n}"
        self.held = {}            # digest -> time taken before its last hold

    def request(self, method, path, body=None, headers=None):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            c.request(method, path, body=body, headers=dict(headers or {}))
            r = c.getresponse()
            a = Answer(r.status, {k.lower(): v for k, v in r.getheaders()}, r.read())
        finally:
            c.close()
        with self.w.lock:
            self.w.answers += 1
        if a.status >= 500:
            self.w.fault(f"{method} {path}: {a.status} {a.body[:300]!r}")
        return a

    def blob_path(self, d):
        return os.path.join(self.w.root, "blobs", "sha256", d[7:9], d[7:])

    # -- ways of pushing a blob; each True when the blob is stored and held
    def upload_whole(self, data):
        d = sha(data)
        self.held[d] = time.time()
        a = self.request("POST", f"/v2/{self.repo}/blobs/uploads/?digest={d}", body=data,
                         headers={"Content-Type": "application/octet-stream"})
        if a.status != 201:
            self.w.fault(f"monolithic POST {d}: {a.status} {a.body[:200]!r}")
        return a.status == 201

    def start_upload(self, first):
        """An upload holding `first`: its id and location."""
        a = self.request("POST", f"/v2/{self.repo}/blobs/uploads/")
        if a.status != 202:
            self.w.fault(f"start upload: {a.status} {a.body[:200]!r}")
            return None, None
        loc = a.headers["location"]
        a = self.request("PATCH", loc, body=first, headers={
            "Content-Type": "application/octet-stream",
            "Content-Range": f"0-{len(first) - 1}"})
        if a.status != 202:
            self.w.fault(f"PATCH {loc}: {a.status} {a.body[:200]!r}")
            return None, None
        return loc.rsplit("/", 1)[1], loc

    def upload_idle_then_finish(self, data):
        """Half the bytes, ten idle minutes (made so), the rest and the
        finish: the blob is held from the finish, not from the bytes."""
        d, half = sha(data), len(data) // 2
        upload, loc = self.start_upload(data[:half])
        if not upload:
            return False
        a = self.request("PATCH", loc, body=data[half:], headers={
            "Content-Type": "application/octet-stream",
            "Content-Range": f"{half}-{len(data) - 1}"})
        if a.status != 202:
            self.w.fault(f"PATCH {loc}: {a.status} {a.body[:200]!r}")
            return False
        with self.w.no_collection():
            age(os.path.join(self.w.root, "uploads", upload + ".part"), IDLE_UPLOAD)
            self.held[d] = time.time()
            a = self.request("PUT", f"{loc}?digest={d}")
        if a.status != 201:
            self.w.fault(f"finish {d}: {a.status} {a.body[:200]!r}")
        return a.status == 201

    def head(self, d):
        self.held[d] = time.time()
        return self.request("HEAD", f"/v2/{self.repo}/blobs/{d}").status == 200

    def mount(self, d, source):
        self.held[d] = time.time()
        a = self.request("POST", f"/v2/{self.repo}/blobs/uploads/?mount={d}&from={source}")
        if a.status == 202:  # not stored: a plain upload was opened instead
            self.request("DELETE", a.headers["location"])
        return a.status == 201

    def old_then(self, data, way):
        """Content stored long ago and named by nothing, then reached by
        `way`; True when the blob was still there to reach (it was stored
        a moment ago, so only a stalled machine makes it False)."""
        d = sha(data)
        if not self.upload_whole(data):
            return False
        with self.w.no_collection():
            try:
                age(self.blob_path(d), OLD)
            except FileNotFoundError:
                return False
            if way == "head":
                return self.head(d)
            if way == "mount":
                return self.mount(d, f"busy/c{(self.n + 1) % CLIENTS}")
            return self.upload_whole(data)

    # -- images -----------------------------------------------------------
    def image(self, layers, label):
        config = json.dumps({"architecture": "amd64", "os": "linux",
                             "config": {"Labels": {"push": label}}}).encode()
        body = json.dumps({
            "schemaVersion": 2, "mediaType": OCI_MANIFEST,
            "config": {"mediaType": OCI_CONFIG, "digest": sha(config), "size": len(config)},
            "layers": [{"mediaType": OCI_LAYER, "digest": sha(x), "size": len(x)}
                       for x in layers]}).encode()
        return body, {sha(x): x for x in [config] + layers}

    def put_manifest(self, body, blobs, tag):
        """Puts the manifest; a refusal the window explains pushes the
        missing blobs again. True when stored."""
        for _ in range(3):
            t_put = time.time()
            a = self.request("PUT", f"/v2/{self.repo}/manifests/{tag}", body=body,
                             headers={"Content-Type": OCI_MANIFEST})
            if a.status == 201 and a.headers.get("docker-content-digest") == sha(body):
                with self.w.lock:
                    self.w.pushed.append((self.repo, sha(body), body, blobs))
                return True
            if a.status != 400 or a.code() != "MANIFEST_BLOB_UNKNOWN":
                self.w.fault(f"PUT {self.repo}:{tag}: {a.status} {a.body[:300]!r}")
                return False
            named = re.findall(r"sha256:[0-9a-f]{64}", a.message())
            unexplained = [d for d in named
                           if not self.w.deleting_run(self.held.get(d, t_put), t_put)]
            if not named or unexplained:
                self.w.fault(f"{self.repo}:{tag} refused: {unexplained or a.message()} gone "
                             f"though held within {SPARE} s of every run that started")
                return False
            with self.w.lock:
                self.w.retried += 1
            for d in named:
                if not self.upload_whole(blobs[d]):
                    return False
        self.w.fault(f"{self.repo}:{tag}: never stored")
        return False

    def fast_push(self, i):
        """Fresh config and layer, a base layer skipped after HEAD, a layer
        mounted from an earlier image of another client."""
        own = content(self.n, i, "own")
        base = BASES[(self.n + i) % len(BASES)]
        layers = [base, own]
        with self.w.lock:
            others = [p for p in self.w.pushed if p[0] != self.repo]
        donor = others[(self.n + i) % len(others)] if others else None
        if donor:
            layers.append(list(donor[3].values())[-1])
        body, blobs = self.image(layers, f"fast {self.n} {i}")
        for d, data in blobs.items():
            if data is base and self.head(d):
                continue
            if donor and data is layers[-1] and self.mount(d, donor[0]):
                continue
            if not self.upload_whole(data):
                return
        self.put_manifest(body, blobs, f"fast-{i}")

    def slow_push(self, i):
        """Layers held first, the manifest only after a whole run."""
        ways = ["head", "mount", "again"]
        layers = [content(self.n, i, "old", w) for w in ways]
        idle = content(self.n, i, "idle", size=24 * 1024)
        body, blobs = self.image(layers + [idle], f"slow {self.n} {i}")
        config = blobs[next(iter(blobs))]
        if not self.upload_whole(config) or not self.upload_idle_then_finish(idle):
            return
        tested = True
        for data, way in zip(layers, ways):
            if not self.old_then(data, way):
                tested = False
                if not self.upload_whole(data):
                    return
        first = min(self.held[d] for d in blobs)
        run = self.w.run_after(time.time(), time.time() + 60)
        if run is None:
            self.w.fault("no collection ran while a slow push waited")
            return
        # The run would have taken every old layer were its hold lost, and
        # none of them had outlived the window yet.
        tested = tested and run["started"] < math.floor(first) + SPARE
        if self.put_manifest(body, blobs, f"slow-{i}") and tested:
            with self.w.lock:
                self.w.slow_tested += 1

    def garbage(self, i):
        """A blob whose manifest never comes, or an upload left behind
        (every other one of them made stale)."""
        if i % 2 == 0:
            data = content(self.n, i, "garbage")
            if self.upload_whole(data):
                with self.w.lock:
                    self.w.garbage.append(sha(data))
            return
        upload, _ = self.start_upload(content(self.n, i, "abandoned", size=1024))
        if not upload:
            return
        if i % 4 == 3:
            age(os.path.join(self.w.root, "uploads", upload + ".part"), STALE_UPLOAD)
        with self.w.lock:
            (self.w.stale_uploads if i % 4 == 3 else self.w.young_uploads).append(upload)

    def run(self, until):
        i = 0
        while time.time() < until:
            begin = time.time()
            if i % 3 == 2:
                self.slow_push(i)
            else:
                self.fast_push(i)
            self.garbage(i)
            i += 1
            time.sleep(max(0.0, begin + PACE - time.time()))


class Collector(threading.Thread):
    """A real collection, every second or so, whatever the clients do."""

    def __init__(self, world, cwd):
        super().__init__(daemon=True)
        self.w, self.cwd, self.stop = world, cwd, threading.Event()

    def collect(self):
        w = self.w
        with w.lock:
            while w.gated:
                w.lock.wait()
            w.collecting = True
        spawn = time.time()
        try:
            p = subprocess.run([ADMIN, "gc", "--json", "--root", w.root], cwd=self.cwd,
                               capture_output=True, text=True, timeout=120)
        finally:
            with w.lock:
                w.collecting = False
                w.lock.notify_all()
        if p.returncode != 0:
            w.fault(f"gc failed ({p.returncode}): {p.stdout} {p.stderr}")
            return None
        with open(os.path.join(w.root, "_gc", "progress.json")) as f:
            started = json.load(f)["started_unix"]
        run = {"spawn": spawn, "started": started, "end": time.time(),
               "report": json.loads(p.stdout)}
        with w.lock:
            w.runs.append(run)
            w.lock.notify_all()
        return run

    def run(self):
        while not self.stop.wait(0.5):
            self.collect()


class GcBusy(unittest.TestCase):
    def setUp(self):
        if not PROGRAMS or not ADMIN:
            self.skipTest("set ENDPOINTS_DIR and REGISTRY_ADMIN")
        if not os.path.exists(LIGHTTPD):
            self.skipTest("lighttpd is not installed")
        self.tmp = tempfile.mkdtemp(prefix="gc-busy-")
        self.server = ServedRegistry(os.path.join(self.tmp, "serve"), PROGRAMS)
        self.server.write_config(json.dumps({"registry_gc_spare_seconds": SPARE}))

    def tearDown(self):
        self.server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_pushes_that_never_pause_lose_nothing_to_collections(self):
        began = time.time()
        root = self.server.root
        w = World(root)
        collector = Collector(w, self.server.cgi)
        collector.start()
        clients = [Client(w, self.server.port, n) for n in range(CLIENTS)]
        until = time.time() + SECONDS
        threads = [threading.Thread(target=c.run, args=(until,)) for c in clients]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=300)
        collector.stop.set()
        collector.join(timeout=180)
        busy_runs = list(w.runs)

        # A last collection over a store made old: what a stored manifest
        # names must survive it, the garbage must not.
        for dirpath, _, files in os.walk(os.path.join(root, "blobs")):
            for f in files:
                age(os.path.join(dirpath, f), OLD)
        last = collector.collect()
        self.assertIsNotNone(last, w.faults)

        client = clients[0]
        for repo, d, body, blobs in w.pushed:
            a = client.request("GET", f"/v2/{repo}/manifests/{d}", headers={"Accept": OCI_MANIFEST})
            self.assertEqual((a.status, a.body), (200, body), f"{repo}@{d}")
            for bd, data in blobs.items():
                a = client.request("GET", f"/v2/{repo}/blobs/{bd}")
                self.assertEqual((a.status, sha(a.body)), (200, bd), f"{repo}@{d} names {bd}")
                self.assertEqual(a.body, data)
        for d in w.garbage:
            self.assertFalse(os.path.exists(client.blob_path(d)), f"garbage {d} kept")
        uploads = os.path.join(root, "uploads")
        for u in w.stale_uploads:
            self.assertFalse(os.path.exists(os.path.join(uploads, u + ".part")), f"stale {u} kept")
        for u in w.young_uploads:
            self.assertTrue(os.path.exists(os.path.join(uploads, u + ".part")), f"young {u} removed")

        self.server.stop()
        with open(self.server.access_log, errors="replace") as f:
            statuses = [re.search(r'" (\d{3}) ', line) for line in f]
        self.assertNotIn(None, statuses)
        self.assertEqual([m.group(1) for m in statuses if m.group(1) >= "500"], [])
        self.assertEqual(w.faults, [])

        deleted = sum(r["report"]["blobs_deleted"] for r in busy_runs)
        stale = sum(r["report"]["stale_uploads"] for r in busy_runs)
        print(f"\n{len(w.pushed)} pushes stored, {w.slow_tested} slow ones with a run between "
              f"their holds and their manifest, {w.retried} refused as the window allows; "
              f"{len(busy_runs)} collections meanwhile deleted {deleted} blobs and {stale} "
              f"stale uploads; {w.answers} answers; {time.time() - began:.1f} s",
              file=sys.stderr)
        self.assertGreaterEqual(len(busy_runs), 5, "too few collections ran")
        self.assertGreater(deleted, 0, "no garbage was collected while the clients pushed")
        self.assertGreater(stale, 0, "no stale upload was removed while the clients pushed")
        self.assertGreater(w.slow_tested, 0, "no slow push had a collection before its manifest")


if __name__ == "__main__":
    unittest.main(verbosity=2)
