#!/usr/bin/env python3
"""Many clients through a real lighttpd at once, with real collections
(registry-admin gc on the served root) every second or so.

Sixteen client threads speak the protocol over http.client: overlapping
images (shared base layers; two clients per repository pushing the same
tag), every way of pushing a blob (chunked with Content-Range, one PATCH,
monolithic POST, mount, skipped after a HEAD), pulls of other clients'
images while they push, tag and manifest deletions, blobs pushed whose
manifest never comes, uploads left idle between chunks. skopeo pushes two
images meanwhile. At the end a last collection runs over a store made old,
registry-admin verify reads every blob, skopeo pulls every image whose push
succeeded (digest-verified), every access-log line must parse, and no answer
may be a 5xx.

Collections only delete blobs older than their spare window (two hours by
default) and uploads untouched for 900 seconds, so the collector thread makes
things old itself, as time would: before each run it sets back the file times
of blobs and of uploads parked between chunks. It
never ages what a client is using (a blob between its push and the
manifest naming it, an upload with a request in flight), so everything a
client sees fail must be explained by an age it was given: an upload that a
collection removed must have been aged; a manifest refused for a missing
blob must name a blob the client only found by HEAD and that was aged.
Anything else is a fault. Collections do not wait for uploads to pause
(gc_busy_stress.py shows that with a short spare window and no ageing).

ENDPOINTS_DIR names the folder of built programs, REGISTRY_ADMIN the admin
command."""
import http.client
import json
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
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "clients"))
from served_registry import LIGHTTPD, ServedRegistry  # noqa: E402
from protocol_answer import Answer, sha  # noqa: E402
import oci_image  # noqa: E402

PROGRAMS = os.environ.get("ENDPOINTS_DIR", "")
ADMIN = os.environ.get("REGISTRY_ADMIN", "")
SKOPEO = shutil.which("skopeo")

CLIENTS, ROUNDS = 16, 4
BASES = 4                       # shared base layers
OLD = 3 * 3600                  # seconds: past the 2-hour spare window and the 900-second one
OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
OCI_CONFIG = "application/vnd.oci.image.config.v1+json"
OCI_LAYER = "application/vnd.oci.image.layer.v1.tar"
# The 5xx answers a client may meet and retry, documented in
# docs/reliability.md; none is expected here. (code, message prefix)
RETRYABLE_5XX = ()


def blob_bytes(name, size):
    return random.Random(name).randbytes(size)


BASE_LAYERS = [blob_bytes(f"base {i}", 96 * 1024 + i) for i in range(BASES)]


class World:
    """What the clients and the collector share: what is in use (never
    aged), what was aged, what was pushed and deleted, and the faults."""

    def __init__(self, root):
        self.root = root
        self.lock = threading.Condition()
        self.uploading = 0          # clients with an upload open and not parked
        self.parked = {}            # upload id -> cycle it was parked in
        self.aged_uploads = set()
        self.held_blobs = {}        # digest -> count of clients using it
        self.aged_blobs = set()
        self.protected = set()      # skopeo's blobs: its pushes are not ours to age
        self.cycle = 0              # collections finished
        self.runs = {"ran": 0, "deleted": 0, "stale": 0}
        self.pushed = []            # (repo, tag, digest, body, {digest: bytes})
        self.deleted = set()        # manifest digests deleted (or being deleted)
        self.deleted_tags = set()   # (repo, tag)
        self.answers = []           # (method, what, status, code, message)
        self.faults = []
        self.retries = {"upload gone": 0, "blob gone": 0}
        self.abandoned = [threading.Event() for _ in range(CLIENTS)]

    def fault(self, text):
        with self.lock:
            self.faults.append(text)

    # -- uploads: open ones are never aged
    def enter_upload(self):
        with self.lock:
            self.uploading += 1

    def leave_upload(self):
        with self.lock:
            self.uploading -= 1
            self.lock.notify_all()

    def park(self, upload):
        with self.lock:
            self.parked[upload] = self.cycle
            self.uploading -= 1
            self.lock.notify_all()

    def unpark(self, upload):
        """Waits for a collection that began after the park, then takes the
        upload back; True when it was aged meanwhile."""
        with self.lock:
            since = self.parked[upload]
            deadline = time.time() + 20
            while self.cycle < since + 2 and time.time() < deadline and not self.done_collecting:
                self.lock.wait(0.5)
            del self.parked[upload]
            self.uploading += 1
            return upload in self.aged_uploads

    done_collecting = False

    def wait_cycle(self):
        """Until a collection that starts after now has finished."""
        with self.lock:
            target = self.cycle + 2
            deadline = time.time() + 20
            while self.cycle < target and time.time() < deadline and not self.done_collecting:
                self.lock.wait(0.5)

    def release(self, digests):
        with self.lock:
            for d in digests:
                self.held_blobs[d] -= 1
                if not self.held_blobs[d]:
                    del self.held_blobs[d]


class Client:
    """One client speaking the protocol, one connection per request."""

    def __init__(self, world, port, n):
        self.w, self.port, self.n = world, port, n
        self.rng = random.Random(f"client {n}")
        # How each blob of the image being pushed reached the registry.
        self.how = {}

    def request(self, method, path, body=None, headers=None, what=None):
        for attempt in range(3):
            try:
                c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
                c.request(method, path, body=body, headers=dict(headers or {}))
                r = c.getresponse()
                a = Answer(r.status, {k.lower(): v for k, v in r.getheaders()}, r.read())
                c.close()
            except (OSError, http.client.HTTPException) as e:
                self.w.fault(f"{method} {path}: connection failed: {e!r}")
                raise
            with self.w.lock:
                self.w.answers.append((method, what or path, a.status, a.code(), a.message()))
            if a.status >= 500:
                known = any(a.code() == c and a.message().startswith(m) for c, m in RETRYABLE_5XX)
                if not known:
                    self.w.fault(f"{method} {path}: {a.status} {a.body[:300]!r}")
                    return a
                continue
            return a
        return a

    # -- blobs ----------------------------------------------------------------
    def upload_chunks(self, repo, data, chunks, park=False):
        """POST, PATCHes with Content-Range, PUT; True when stored, False
        when a collection took the upload (which must have been aged)."""
        d = sha(data)
        self.w.enter_upload()
        open_ = True
        try:
            a = self.request("POST", f"/v2/{repo}/blobs/uploads/", what="start upload")
            if a.status != 202:
                self.w.fault(f"start upload in {repo}: {a.status} {a.body[:200]!r}")
                return False
            loc = a.headers["location"]
            upload = loc.rsplit("/", 1)[1]
            step = max(1, -(-len(data) // chunks))
            off = 0
            while off < len(data):
                part = data[off:off + step]
                a = self.request("PATCH", loc, body=part, what="patch", headers={
                    "Content-Type": "application/octet-stream",
                    "Content-Range": f"{off}-{off + len(part) - 1}"})
                if a.status == 404 and a.code() == "BLOB_UPLOAD_UNKNOWN" and \
                        upload in self.w.aged_uploads:
                    return False
                if a.status != 202 or a.headers.get("range") != f"0-{off + len(part) - 1}":
                    self.w.fault(f"PATCH {loc} at {off}: {a.status} {a.headers.get('range')} "
                                 f"{a.body[:200]!r}")
                    return False
                off += len(part)
                if park and off < len(data):
                    park = False
                    self.w.park(upload)
                    open_ = False
                    aged = self.w.unpark(upload)
                    open_ = True
                    a = self.request("GET", loc, what="upload progress")
                    if a.status == 404 and a.code() == "BLOB_UPLOAD_UNKNOWN":
                        if not aged:
                            self.w.fault(f"upload {upload}, idle but never aged, was removed")
                        return False
                    if a.status != 204 or a.headers.get("range") != f"0-{off - 1}":
                        self.w.fault(f"GET {loc} after a pause: {a.status} "
                                     f"{a.headers.get('range')} (sent {off})")
                        return False
            a = self.request("PUT", f"{loc}?digest={d}", what="finish")
            if a.status == 404 and a.code() == "BLOB_UPLOAD_UNKNOWN" and \
                    upload in self.w.aged_uploads:
                return False
            if a.status != 201 or a.headers.get("docker-content-digest") != d:
                self.w.fault(f"PUT {loc}: {a.status} {a.body[:200]!r}")
                return False
            return True
        finally:
            if open_:
                self.w.leave_upload()

    def upload_whole(self, repo, data):
        self.w.enter_upload()
        try:
            a = self.request("POST", f"/v2/{repo}/blobs/uploads/?digest={sha(data)}", body=data,
                             headers={"Content-Type": "application/octet-stream"},
                             what="monolithic")
        finally:
            self.w.leave_upload()
        if a.status != 201:
            self.w.fault(f"monolithic POST in {repo}: {a.status} {a.body[:200]!r}")
        return a.status == 201

    def push_blob(self, repo, data, way, park=False, mount_from=None):
        """Pushes one blob the given way; the way it was found is kept for
        judging a manifest refused later."""
        d = sha(data)
        self.how[d] = way
        for _ in range(4):
            if way == "head":
                a = self.request("HEAD", f"/v2/{repo}/blobs/{d}", what="blob head")
                if a.status == 200:
                    return
                way = self.how[d] = "chunks"
            if way == "mount":
                self.w.enter_upload()
                try:
                    a = self.request("POST", f"/v2/{repo}/blobs/uploads/?mount={d}&from={mount_from}",
                                     what="mount")
                    if a.status == 202:
                        # Not stored: the answer is a new upload; cancel it.
                        self.request("DELETE", a.headers["location"], what="cancel")
                finally:
                    self.w.leave_upload()
                if a.status == 201:
                    return
                way = self.how[d] = "chunks"
            ok = self.upload_whole(repo, data) if way == "whole" else \
                self.upload_chunks(repo, data, 1 if way == "one" else 3, park)
            if ok:
                return
            with self.w.lock:
                self.w.retries["upload gone"] += 1
            park = False
        self.w.fault(f"blob {d} could not be pushed to {repo}")

    # -- images ---------------------------------------------------------------
    def image(self, rnd, owner=None):
        """A config, one or two shared base layers and a layer of its own
        (the owner's: another client's image when given)."""
        n = self.n if owner is None else owner
        bases = [BASE_LAYERS[(n + rnd) % BASES]]
        if rnd % 2:
            bases.append(BASE_LAYERS[(n + rnd + 1) % BASES])
        own = blob_bytes(f"own {n} {rnd}", random.Random(f"{n} {rnd}").randrange(16, 64) * 1024)
        config = json.dumps({"architecture": "amd64", "os": "linux",
                             "config": {"Labels": {"client": str(n), "round": str(rnd)}},
                             "rootfs": {"type": "layers", "diff_ids": []}}).encode()
        layers = bases + [own]
        body = json.dumps({
            "schemaVersion": 2, "mediaType": OCI_MANIFEST,
            "config": {"mediaType": OCI_CONFIG, "digest": sha(config), "size": len(config)},
            "layers": [{"mediaType": OCI_LAYER, "digest": sha(x), "size": len(x)} for x in layers],
        }).encode()
        return body, {sha(x): x for x in [config] + layers}

    def push(self, repo, tag, rnd, abandon=False, park=False, adopt=None):
        """Pushes an image; its digest, or None when it failed (a fault) or
        was abandoned. adopt: (owner, repo) of an image whose manifest never
        came: its own blobs are made old (stored long ago, named by
        nothing), pushed again (a finish of stored content, a mount) and
        the manifest put only after a collection ran."""
        body, blobs = self.image(rnd, adopt[0] if adopt else None)
        ways = ["head", "mount", "whole", "chunks", "one"]
        used = list(blobs)
        self.how, self.missing = {}, set()
        # Held from here to the manifest's answer: the collector never ages
        # what a push is using.
        with self.w.lock:
            if adopt:
                for d in used:
                    if d not in map(sha, BASE_LAYERS):
                        if set_old(blob_path(self.w.root, d)):
                            self.w.aged_blobs.add(d)
            for d in used:
                self.w.held_blobs[d] = self.w.held_blobs.get(d, 0) + 1
        try:
            for attempt in range(6):
                for i, (d, data) in enumerate(blobs.items()):
                    if attempt == 0 and adopt:
                        way = "head" if data in BASE_LAYERS else ("chunks", "mount")[i % 2]
                    elif attempt == 0:
                        way = ways[(self.n + rnd + i) % len(ways)]
                    elif d in self.missing:
                        way = "chunks"
                    else:
                        continue
                    self.push_blob(repo, data, way, park=park and attempt == 0 and i == len(blobs) - 1,
                                   mount_from=adopt[1] if adopt else f"stress/app{(self.n + 1) % 8}")
                if abandon:
                    return None
                if adopt and attempt == 0:
                    self.w.wait_cycle()
                a = self.request("PUT", f"/v2/{repo}/manifests/{tag}", body=body,
                                 headers={"Content-Type": OCI_MANIFEST}, what="manifest put")
                if a.status == 201 and a.headers.get("docker-content-digest") == sha(body):
                    with self.w.lock:
                        self.w.pushed.append((repo, tag, sha(body), body, blobs))
                    return sha(body)
                if a.status == 400 and a.code() == "MANIFEST_BLOB_UNKNOWN":
                    named = re.findall(r"sha256:[0-9a-f]{64}", a.message())
                    self.missing = set(named)
                    with self.w.lock:
                        excused = all(self.how.get(d) == "head" and d in self.w.aged_blobs
                                      for d in named) and named
                        self.w.retries["blob gone"] += 1
                    if not excused:
                        self.w.fault(f"manifest {repo}:{tag} refused, blob gone though pushed "
                                     f"({[(d[7:19], self.how.get(d)) for d in named]}): "
                                     f"{a.message()}")
                        return None
                    continue
                self.w.fault(f"PUT manifest {repo}:{tag}: {a.status} {a.body[:300]!r}")
                return None
            self.w.fault(f"manifest {repo}:{tag} never stored")
            return None
        finally:
            self.w.release(used)

    def pull_other(self):
        with self.w.lock:
            if not self.w.pushed:
                return
            repo, tag, d, body, blobs = self.rng.choice(self.w.pushed)
        a = self.request("GET", f"/v2/{repo}/manifests/{d}", what="manifest get",
                         headers={"Accept": OCI_MANIFEST})
        if a.status == 404:
            if d not in self.w.deleted:
                self.w.fault(f"pull {repo}@{d}: 404 though never deleted")
            return
        if a.status != 200 or a.body != body:
            self.w.fault(f"pull {repo}@{d}: {a.status}, body {'same' if a.body == body else 'differs'}")
            return
        for bd, data in blobs.items():
            a = self.request("GET", f"/v2/{repo}/blobs/{bd}", what="blob get")
            if a.status == 404 and d in self.w.deleted:
                continue
            if a.status != 200 or sha(a.body) != bd:
                self.w.fault(f"pull {repo} blob {bd}: {a.status} len {len(a.body)}")

    def run(self):
        repo = f"stress/app{self.n % 8}"
        for rnd in range(ROUNDS):
            own_tag = f"c{self.n}-r{rnd}"
            # The two clients of a repository both push "shared" each round.
            self.push(repo, "shared", rnd + 10)
            d = self.push(repo, own_tag, rnd, park=(self.n + rnd) % 5 == 0)
            self.pull_other()
            if rnd == 1 and self.n % 4 == 2:
                self.push(repo, f"never-{self.n}", 21, abandon=True)
                self.w.abandoned[self.n].set()
            if rnd == 2 and self.n % 4 == 3:
                # A later push of the content whose manifest never came.
                self.w.abandoned[self.n - 1].wait(120)
                self.push(repo, f"adopted-{self.n}", 21,
                          adopt=(self.n - 1, f"stress/app{(self.n - 1) % 8}"))
            if d and rnd == 2 and self.n % 4 == 0:
                with self.w.lock:
                    self.w.deleted_tags.add((repo, own_tag))
                a = self.request("DELETE", f"/v2/{repo}/manifests/{own_tag}", what="tag delete")
                if a.status != 202:
                    self.w.fault(f"DELETE {repo}:{own_tag}: {a.status} {a.body[:200]!r}")
            if d and rnd == 3 and self.n % 4 == 1:
                with self.w.lock:
                    self.w.deleted.add(d)
                    self.w.deleted_tags.add((repo, own_tag))
                a = self.request("DELETE", f"/v2/{repo}/manifests/{d}", what="manifest delete")
                if a.status != 202:
                    self.w.fault(f"DELETE {repo}@{d}: {a.status} {a.body[:200]!r}")
            self.pull_other()


def blob_files(root):
    top = os.path.join(root, "blobs", "sha256")
    for dirpath, _, files in os.walk(top):
        for f in files:
            if re.fullmatch(r"[0-9a-f]{64}", f):
                yield "sha256:" + f, os.path.join(dirpath, f)


def blob_path(root, d):
    return os.path.join(root, "blobs", "sha256", d[7:9], d[7:])


def set_old(path):
    t = time.time() - OLD
    try:
        os.utime(path, (t, t))
        return True
    except FileNotFoundError:
        return False


class Collector(threading.Thread):
    """Every second or so: ages half of the blobs nobody is using and,
    every other cycle, the parked uploads, then runs a real collection
    while the clients go on."""

    def __init__(self, world):
        super().__init__(daemon=True)
        self.w, self.stop = world, threading.Event()
        self.rng = random.Random("collector")

    def run(self):
        w = self.w
        n = 0
        while not self.stop.wait(0.8):
            n += 1
            with w.lock:
                if n % 2 == 0:
                    for u in w.parked:
                        if set_old(os.path.join(w.root, "uploads", u + ".part")):
                            w.aged_uploads.add(u)
                for d, path in blob_files(w.root):
                    if d not in w.held_blobs and d not in w.protected and self.rng.random() < 0.5:
                        if set_old(path):
                            w.aged_blobs.add(d)
            proc = subprocess.Popen([ADMIN, "gc", "--json", "--root", w.root],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            out, err = proc.communicate(timeout=120)
            with w.lock:
                if proc.returncode == 0:
                    doc = json.loads(out)
                    w.runs["ran"] += 1
                    w.runs["deleted"] += doc["blobs_deleted"]
                    w.runs["stale"] += doc["stale_uploads"]
                else:
                    w.faults.append(f"gc failed ({proc.returncode}): {out} {err}")
                w.cycle += 1
                w.lock.notify_all()


class RegistryStress(unittest.TestCase):
    def setUp(self):
        if not PROGRAMS or not ADMIN:
            self.skipTest("set ENDPOINTS_DIR and REGISTRY_ADMIN")
        if not os.path.exists(LIGHTTPD):
            self.skipTest("lighttpd is not installed")
        if not SKOPEO:
            raise RuntimeError("skopeo is not installed (scripts/setup.sh installs it)")
        self.tmp = tempfile.mkdtemp(prefix="registry-stress-")
        self.server = ServedRegistry(os.path.join(self.tmp, "serve"), PROGRAMS)
        self.home = os.path.join(self.tmp, "home")
        os.makedirs(os.path.join(self.home, ".config", "containers"))
        self.policy = os.path.join(self.tmp, "policy.json")
        with open(self.policy, "w") as f:
            json.dump({"default": [{"type": "insecureAcceptAnything"}]}, f)

    def tearDown(self):
        self.server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def skopeo(self, *args):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
               "XDG_RUNTIME_DIR": os.path.join(self.tmp, "run"),
               "TMPDIR": os.path.join(self.tmp, "skopeo-tmp")}
        os.makedirs(env["XDG_RUNTIME_DIR"], exist_ok=True)
        os.makedirs(env["TMPDIR"], exist_ok=True)
        return subprocess.run([SKOPEO, "--policy", self.policy, *args], env=env,
                              capture_output=True, text=True, timeout=180)

    def test_clients_pushing_pulling_deleting_during_collections(self):
        root = self.server.root
        w = World(root)
        # Two real clients push images of their own while the others run.
        layouts = []
        for i in range(2):
            path = os.path.join(self.tmp, f"skopeo-src-{i}")
            res = oci_image.build_image(oci_image.Layout(path), "v1", layers=3,
                                        seed=f"skopeo {i}", layer_size=48 * 1024)
            layouts.append((path, res))
        for path, _ in layouts:
            for d, _ in blob_files_in_layout(path):
                w.protected.add(d)

        collector = Collector(w)
        collector.start()
        clients = [Client(w, self.server.port, n) for n in range(CLIENTS)]
        threads = [threading.Thread(target=c.run) for c in clients]
        for t in threads:
            t.start()
        skopeo_pushes = [(i, self.skopeo("copy", "--dest-tls-verify=false", f"oci:{path}:v1",
                                         f"docker://{self.server.host}/stress/skopeo{i}:v1"))
                         for i, (path, _) in enumerate(layouts)]
        for t in threads:
            t.join(timeout=600)
        with w.lock:
            w.done_collecting = True
            w.lock.notify_all()
        collector.stop.set()
        collector.join(timeout=180)
        for i, p in skopeo_pushes:
            self.assertEqual(p.returncode, 0, f"skopeo push {i}: {p.stderr[-800:]}")

        # A last collection over a store where every blob is old: whatever a
        # stored manifest names must survive it.
        for _, path in blob_files(root):
            set_old(path)
        rc, out, err = run([ADMIN, "gc", "--json", "--root", root])
        self.assertEqual(rc, 0, out + err)
        final = json.loads(out)
        rc, out, err = run([ADMIN, "verify", "--root", root])
        self.assertEqual(rc, 0, out + err)

        expected = self.expected_images(w)
        client = clients[0]
        for (repo, ref), (d, body, blobs) in expected.items():
            a = client.request("GET", f"/v2/{repo}/manifests/{ref}", what="final manifest get",
                               headers={"Accept": OCI_MANIFEST})
            self.assertEqual((a.status, a.headers.get("docker-content-digest")), (200, d),
                             f"{repo}:{ref}")
            self.assertEqual(a.body, body)
            for bd in blobs:
                a = client.request("HEAD", f"/v2/{repo}/blobs/{bd}", what="final blob head")
                self.assertEqual(a.status, 200, f"{repo}:{ref} names {bd}")
        shared = {}
        for repo, tag, d, _, _ in w.pushed:
            if tag == "shared":
                shared.setdefault(repo, set()).add(d)
        for repo, digests in shared.items():
            a = client.request("HEAD", f"/v2/{repo}/manifests/shared", what="shared tag head",
                               headers={"Accept": OCI_MANIFEST})
            self.assertIn(a.headers.get("docker-content-digest"), digests, repo)
        for repo, tag in w.deleted_tags:
            a = client.request("GET", f"/v2/{repo}/manifests/{tag}", what="deleted tag get")
            self.assertEqual((a.status, a.code()), (404, "MANIFEST_UNKNOWN"), f"{repo}:{tag}")

        # Every image, by a real client, digest-verified.
        refs = [(repo, ref, d, blobs) for (repo, ref), (d, _, blobs) in expected.items()]
        for i, (path, res) in enumerate(layouts):
            refs.append((f"stress/skopeo{i}", "v1", res["digest"],
                         {d: read(p) for d, p in blob_files_in_layout(path)}))

        os.makedirs(os.path.join(self.tmp, "pulled"))

        def pull(numbered):
            n, (repo, ref, d, blobs) = numbered
            dest = os.path.join(self.tmp, "pulled", str(n))
            sep = "@" if ref.startswith("sha256:") else ":"
            p = self.skopeo("copy", "--preserve-digests", "--src-tls-verify=false",
                            f"docker://{self.server.host}/{repo}{sep}{ref}", f"oci:{dest}:x")
            if p.returncode != 0:
                return f"skopeo pull {repo}{sep}{ref}: {p.stderr[-500:]}"
            got = dict(blob_files_in_layout(dest))
            if d not in got:
                return f"{repo}{sep}{ref}: pulled manifest is not {d}"
            for bd, data in blobs.items():
                if bd not in got or read(got[bd]) != data:
                    return f"{repo}{sep}{ref}: blob {bd} differs or is missing"
            for gd, gp in got.items():
                if sha(read(gp)) != gd:
                    return f"{repo}{sep}{ref}: {gd} does not match its content"
            return None

        with ThreadPoolExecutor(4) as pool:
            problems = [p for p in pool.map(pull, enumerate(refs)) if p]
        self.assertEqual(problems, [])

        self.check_access_log(root)
        self.check_store_is_clean(root)
        # The server's own log also has what no program answered (one that
        # died): stopped, it has written every line.
        self.server.stop()
        with open(self.server.access_log, errors="replace") as f:
            statuses = [re.search(r'" (\d{3}) ', line) for line in f]
        self.assertGreater(len(statuses), 1000)
        self.assertNotIn(None, statuses)
        self.assertEqual([m.group(1) for m in statuses if m.group(1) >= "500"], [])
        self.assertEqual(w.faults, [])
        print(f"\n{len(w.answers)} answers to the clients; collections: {w.runs} "
              f"(last one deleted {final['blobs_deleted']}); retries: {w.retries}; "
              f"aged {len(w.aged_blobs)} blobs, {len(w.aged_uploads)} uploads; "
              f"{len(refs)} images pulled by skopeo", file=sys.stderr)
        self.assertGreater(w.runs["ran"], 0, "no collection ran while the clients worked")

    @staticmethod
    def expected_images(w):
        """(repo, reference) -> (digest, body, blobs) for every image that
        must pull back: each by its digest unless deleted, and each tag by
        the last push that stored it (the shared tag by one of its two)."""
        out = {}
        for repo, tag, d, body, blobs in w.pushed:
            if d not in w.deleted:
                out[(repo, d)] = (d, body, blobs)
            if (repo, tag) not in w.deleted_tags and tag != "shared":
                out[(repo, tag)] = (d, body, blobs)
        return out

    def check_access_log(self, root):
        """Every line whole: the plain fields, then the same as JSON; no 5xx."""
        lines = 0
        for name in ("registry_access.log.1", "registry_access.log"):
            path = os.path.join(root, name)
            if not os.path.exists(path):
                continue
            with open(path, "rb") as f:
                data = f.read()
            self.assertTrue(data.endswith(b"\n"), name)
            for line in data.decode().splitlines():
                lines += 1
                head, sep, js = line.partition(" {")
                self.assertTrue(sep, line)
                doc = json.loads("{" + js)
                fields = head.split(" ")
                self.assertEqual(len(fields), 6, line)
                method, path_, nbytes, status, actor, ts = fields
                self.assertEqual((method, path_, int(nbytes), int(status), actor, ts),
                                 (doc["method"], doc["path"], doc["bytes"], doc["status"],
                                  doc["actor"], doc["ts"]), line)
                self.assertLess(doc["status"], 500, line)
        self.assertGreater(lines, 1000)

    def check_store_is_clean(self, root):
        """No upload left (every one was finished or cancelled, or removed
        as stale), and no temporary or a collection's aside file anywhere."""
        left = []
        for dirpath, _, files in os.walk(root):
            for f in files:
                if ".tmp-" in f or ".gc-" in f:
                    left.append(os.path.join(dirpath, f))
        uploads = os.path.join(root, "uploads")
        if os.path.isdir(uploads):
            left += [f for f in os.listdir(uploads) if f.endswith(".part")]
        self.assertEqual(left, [])


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(cmd):
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    return p.returncode, p.stdout, p.stderr


def blob_files_in_layout(path):
    top = os.path.join(path, "blobs", "sha256")
    for f in os.listdir(top):
        yield "sha256:" + f, os.path.join(top, f)


if __name__ == "__main__":
    unittest.main(verbosity=2)
