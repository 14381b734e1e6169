#!/usr/bin/env python3
"""The registry on a shared store, served by two front-ends (lighttpd and
the programs, each on its own MooseFS mount): pushes go through one, pulls
and manifest deletions through the other, and registry-admin gc runs over
and over during both. Afterwards every push that succeeded and was not
deleted pulls back byte-identical through both front-ends with skopeo
(which checks every digest), every deleted manifest is gone from both, and
no blob a stored manifest names is missing.
ENDPOINTS_DIR and ADMIN_BIN name the programs; CLUSTER_STRESS_SECONDS
(default 15) how long the load runs."""
import hashlib
import http.client
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "stress"))
from cluster_support import ClusterTest  # noqa: E402
from storage_stress import manifest_bodies  # noqa: E402

ADMIN = os.environ.get("ADMIN_BIN", "")
SECONDS = float(os.environ.get("CLUSTER_STRESS_SECONDS", "15"))
OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
SET_BACK = 3 * 3600  # seconds: past the collector's 2-hour spare window for blobs


def sha(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


class Front:
    """HTTP to one front-end, one connection per thread."""

    def __init__(self, url):
        u = urllib.parse.urlsplit(url)
        self.host, self.port = u.hostname, u.port
        self.local = threading.local()

    def request(self, method, path, body=None, headers=None):
        for attempt in range(2):
            c = getattr(self.local, "conn", None)
            if c is None:
                c = self.local.conn = http.client.HTTPConnection(self.host, self.port, timeout=60)
            try:
                c.request(method, path, body=body, headers=headers or {})
                r = c.getresponse()
                return r.status, dict(r.getheaders()), r.read()
            except (http.client.HTTPException, OSError):
                c.close()
                self.local.conn = None
                if attempt:
                    raise

    def close(self):
        c = getattr(self.local, "conn", None)
        if c is not None:
            c.close()
            self.local.conn = None

    def push_blob(self, repo, data):
        digest = sha(data)
        st, h, b = self.request("POST", f"/v2/{repo}/blobs/uploads/")
        if st != 202:
            raise AssertionError(f"POST upload: {st} {b[:300]!r}")
        loc = urllib.parse.urlsplit(h["Location"])
        path = loc.path + ("?" + loc.query if loc.query else "")
        st, h, _ = self.request("PATCH", path, body=data,
                                headers={"Content-Type": "application/octet-stream"})
        if st != 202:
            raise AssertionError(f"PATCH upload: {st}")
        loc = urllib.parse.urlsplit(h["Location"])
        sep = "&" if loc.query else "?"
        st, _, body = self.request("PUT", loc.path + ("?" + loc.query if loc.query else "") +
                                   sep + "digest=" + digest)
        if st != 201:
            raise AssertionError(f"PUT upload: {st} {body[:200]!r}")
        return digest


class Image:
    def __init__(self, n, shared):
        rnd = random.Random(n)
        self.repo = f"stress/r{n % 3}"
        self.tag = f"t{n}"
        self.config = json.dumps({"image": n}).encode()
        self.own = rnd.randbytes(rnd.randint(10_000, 200_000))
        self.shared = shared
        self.manifest = json.dumps({
            "schemaVersion": 2, "mediaType": OCI_MANIFEST,
            "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                       "digest": sha(self.config), "size": len(self.config)},
            "layers": [{"mediaType": "application/vnd.oci.image.layer.v1.tar",
                        "digest": sha(b), "size": len(b)} for b in (self.own, shared)],
        }).encode()
        self.digest = sha(self.manifest)
        self.blobs = {sha(b): b for b in (self.config, self.own, shared)}
        # Every third image is deleted through the other front-end.
        self.doomed = n % 3 == 2


class RegistryAcrossFrontEnds(ClusterTest):
    def setUp(self):
        if not ADMIN:
            self.skipTest("ADMIN_BIN is not set")
        self.fronts = [Front(u) for u in self.cluster.urls]
        self.errors = []
        self.lock = threading.Lock()
        self.pushed = []      # images whose manifest PUT answered 201
        self.deleted = []
        self.stop = threading.Event()
        self.counts = {"pulls": 0, "gc_runs": 0}

    def tearDown(self):
        for f in self.fronts:
            f.close()

    def note(self, what):
        with self.lock:
            self.errors.append(what)

    def guarded(self, fn):
        def run():
            try:
                fn()
            except Exception as e:  # a thread's failure fails the test
                self.note(f"{fn.__name__}: {e!r}")
                self.stop.set()
            finally:
                for f in self.fronts:
                    f.close()
        return threading.Thread(target=run)

    # ---- the load ---------------------------------------------------------

    def pusher(self, first, step):
        shared = [random.Random(1000 + k).randbytes(50_000) for k in range(3)]
        n = first
        while not self.stop.is_set():
            img = Image(n, shared[n % 3])
            for b in img.blobs.values():
                self.fronts[0].push_blob(img.repo, b)
            st, _, body = self.fronts[0].request(
                "PUT", f"/v2/{img.repo}/manifests/{img.tag}", body=img.manifest,
                headers={"Content-Type": OCI_MANIFEST})
            if st == 201:
                with self.lock:
                    self.pushed.append(img)
            elif st == 400 and b"MANIFEST_BLOB_UNKNOWN" in body:
                # Only a collection taking a blob between its upload and the
                # manifest may refuse a push; its own blobs are new, so
                # this would be a lost file.
                self.note(f"push {img.repo}:{img.tag} refused: {body[:200]!r}")
            else:
                self.note(f"push {img.repo}:{img.tag}: {st} {body[:200]!r}")
            n += step

    def deleter(self):
        while not self.stop.is_set():
            with self.lock:
                todo = [i for i in self.pushed if i.doomed and i not in self.deleted]
            for img in todo:
                st, _, body = self.fronts[1].request(
                    "DELETE", f"/v2/{img.repo}/manifests/{img.digest}")
                if st != 202:
                    self.note(f"delete {img.repo}@{img.digest}: {st} {body[:200]!r}")
                    continue
                # Its own blobs are garbage now: old enough for a collection
                # to take them (the shared layer stays young).
                old = time.time() - SET_BACK
                for d in (sha(img.config), sha(img.own)):
                    p = os.path.join(self.cluster.roots[1], "blobs", "sha256", d[7:9], d[7:])
                    try:
                        os.utime(p, (old, old))
                    except FileNotFoundError:
                        pass
                with self.lock:
                    self.deleted.append(img)
            time.sleep(0.05)

    def puller(self):
        rnd = random.Random(7)
        while not self.stop.is_set():
            with self.lock:
                kept = [i for i in self.pushed if not i.doomed]
            if not kept:
                time.sleep(0.05)
                continue
            img = rnd.choice(kept)
            st, _, body = self.fronts[1].request("GET", f"/v2/{img.repo}/manifests/{img.tag}",
                                                 headers={"Accept": OCI_MANIFEST})
            if st != 200 or body != img.manifest:
                self.note(f"pull {img.repo}:{img.tag}: {st}, {len(body)} bytes")
                continue
            for d, data in img.blobs.items():
                st, _, got = self.fronts[1].request("GET", f"/v2/{img.repo}/blobs/{d}")
                if st != 200 or got != data:
                    self.note(f"pull blob {d} of {img.repo}:{img.tag}: {st}, {len(got)} bytes")
            with self.lock:
                self.counts["pulls"] += 1

    def collector(self):
        while not self.stop.is_set():
            r = self.gc()
            if r.returncode == 0:
                self.counts["gc_runs"] += 1
            else:
                self.note(f"gc: {r.returncode} {r.stdout[-300:]} {r.stderr[-300:]}")

    def gc(self):
        return subprocess.run([ADMIN, "gc", "--root", self.cluster.roots[0]],
                              capture_output=True, text=True, timeout=120)

    # ---- the checks -------------------------------------------------------

    def skopeo_pull(self, front_url, img, dest):
        ref = f"docker://{front_url.split('//', 1)[1]}/{img.repo}:{img.tag}"
        r = subprocess.run(["skopeo", "copy", "-q", "--preserve-digests", "--src-tls-verify=false",
                            ref, f"oci:{dest}:{img.tag}"],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, f"skopeo copy {ref}: {r.stderr}")
        with open(os.path.join(dest, "index.json")) as f:
            desc = [m for m in json.load(f)["manifests"]
                    if m.get("annotations", {}).get("org.opencontainers.image.ref.name") == img.tag]
        self.assertEqual(desc[0]["digest"], img.digest, ref)
        for d, data in [(img.digest, img.manifest)] + list(img.blobs.items()):
            with open(os.path.join(dest, "blobs", "sha256", d[7:]), "rb") as f:
                self.assertEqual(f.read(), data, f"{ref}: {d}")

    def test_pushes_pulls_deletes_and_collections_across_two_front_ends(self):
        if not shutil.which("skopeo"):
            raise RuntimeError("skopeo is not installed (scripts/setup.sh installs it)")
        threads = [self.guarded(lambda: self.pusher(0, 2)), self.guarded(lambda: self.pusher(1, 2)),
                   self.guarded(self.deleter), self.guarded(self.puller),
                   self.guarded(self.collector)]
        for t in threads:
            t.start()
        deadline = time.time() + SECONDS
        while time.time() < deadline and not self.stop.is_set():
            time.sleep(0.1)
        self.stop.set()
        for t in threads:
            t.join(timeout=180)
        self.assertEqual(self.errors, [])
        self.assertGreater(len(self.pushed), 0)
        self.assertGreater(len(self.deleted), 0)
        self.assertGreater(self.counts["gc_runs"], 0, "no collection ran during the load")

        # Quiet now: a last collection must run whole and take the garbage.
        r = self.gc()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

        # What only deleted images named, aged past the grace, is gone.
        for img in self.deleted:
            d = sha(img.own)
            self.assertFalse(os.path.exists(os.path.join(
                self.cluster.roots[1], "blobs", "sha256", d[7:9], d[7:])), d)

        kept = [i for i in self.pushed if i not in self.deleted]
        with tempfile.TemporaryDirectory(prefix="cluster-pull-") as tmp:
            for k, img in enumerate(kept):
                for f, url in enumerate(self.cluster.urls):
                    self.skopeo_pull(url, img, os.path.join(tmp, f"{k}-{f}"))
        for img in self.deleted:
            for front in self.fronts:
                st, _, _ = front.request("GET", f"/v2/{img.repo}/manifests/{img.digest}")
                self.assertEqual(st, 404, f"{img.repo}@{img.digest} deleted, still served")

        missing = []
        for path in manifest_bodies(self.cluster.roots[1]):
            with open(path, "rb") as f:
                doc = json.load(f)
            for ref in [doc["config"]["digest"]] + [x["digest"] for x in doc["layers"]]:
                p = os.path.join(self.cluster.roots[1], "blobs", "sha256", ref[7:9], ref[7:])
                if not os.path.isfile(p):
                    missing.append(f"{ref} named by {path}")
        self.assertEqual(missing, [])
        print(f"{len(self.pushed)} pushed through one front-end, {len(self.deleted)} deleted and "
              f"{self.counts['pulls']} pulled through the other; gc: {self.counts['gc_runs']} "
              f"runs; "
              f"{len(kept)} images pulled back from both with skopeo")


if __name__ == "__main__":
    unittest.main(verbosity=2)
