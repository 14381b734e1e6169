#!/usr/bin/env python3
"""The registry's endpoint programs as processes: a CGI environment and a
body on standard input in; the Status line, headers, body, the storage tree
and the access-log line out. ENDPOINTS_DIR names the folder of the built
programs; ENDPOINTS_RUNNER, when set, runs them (e.g. "wine64" for the
Windows build, whose programs end in .exe and see the host's / as Z:)."""
import base64
import hashlib
import json
import urllib.parse
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

DIR = os.path.abspath(os.environ.get("ENDPOINTS_DIR", "") or ".")
RUNNER = os.environ.get("ENDPOINTS_RUNNER", "").split()
EXE = ".exe" if os.path.isfile(os.path.join(DIR, "v2_base.exe")) else ""
WINDOWS = os.name == "nt" or bool(EXE)
TS = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"
API_VERSION = "registry/2.0"
LOG_NAME = "registry_access.log"

OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
OCI_INDEX = "application/vnd.oci.image.index.v1+json"
OCI_CONFIG = "application/vnd.oci.image.config.v1+json"
OCI_LAYER = "application/vnd.oci.image.layer.v1.tar"
OCI_EMPTY = "application/vnd.oci.empty.v1+json"
MANIFEST_MAX = 4194304

USER, PASSWORD = "alice", "s3cret"


def digest_of(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


def digest512_of(data):
    return "sha512:" + hashlib.sha512(data).hexdigest()


def native(path):
    """A host path as the program sees it: Wine maps the host's / to Z:."""
    if WINDOWS and os.name != "nt":
        return "Z:" + path.replace("/", "\\")
    return path


def descriptor(media_type, data_or_digest, size=None):
    if isinstance(data_or_digest, bytes):
        return {"mediaType": media_type, "digest": digest_of(data_or_digest),
                "size": len(data_or_digest)}
    return {"mediaType": media_type, "digest": data_or_digest, "size": size}


def image_manifest(config, layers=(), **extra):
    doc = {"schemaVersion": 2, "mediaType": OCI_MANIFEST, "config": config,
           "layers": list(layers)}
    doc.update(extra)
    return json.dumps(doc, separators=(",", ":")).encode()


def basic(user, password):
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()


def snapshot(root):
    """Every directory and file under root with its content's hash, the
    access log left out: what a request must not change when refused."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for d in dirnames:
            tree[os.path.normpath(os.path.join(rel, d)) + "/"] = None
        for f in filenames:
            if f.startswith(LOG_NAME):
                continue
            with open(os.path.join(dirpath, f), "rb") as fh:
                tree[os.path.normpath(os.path.join(rel, f))] = hashlib.sha256(fh.read()).hexdigest()
    return tree


class Response:
    def __init__(self, raw, method):
        self.raw = raw
        self.method = method
        head, sep, self.body = raw.partition(b"\r\n\r\n")
        if not sep:
            raise AssertionError(f"no end of headers in {raw[:300]!r}")
        lines = head.decode("latin-1").split("\r\n")
        m = re.fullmatch(r"Status: (\d{3})( [^\r\n]*)?", lines[0])
        if not m:
            raise AssertionError(f"first line is not a Status line: {lines[0]!r}")
        self.status = int(m.group(1))
        self.headers = []
        for line in lines[1:]:
            name, colon, value = line.partition(": ")
            if not colon or not re.fullmatch(r"[A-Za-z0-9-]+", name):
                raise AssertionError(f"malformed header line {line!r}")
            self.headers.append((name, value))
        self.log = None  # the access-log record this request left

    def all(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    def header(self, name):
        values = self.all(name)
        if len(values) > 1:
            raise AssertionError(f"{name} appears {len(values)} times: {self.headers}")
        return values[0] if values else None

    def json(self):
        return json.loads(self.body)

    def code(self):
        return self.json()["errors"][0]["code"]

    def __repr__(self):
        return f"<{self.status} {self.headers} {self.body[:200]!r}>"


class EndpointCase(unittest.TestCase):
    """A fresh storage root and working directory per test."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="endpoints-proc-")
        self.cwd = os.path.join(self.tmp, "work")
        self.root = os.path.join(self.tmp, "store")
        os.mkdir(self.cwd)
        os.mkdir(self.root)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    # ---- running a program ---------------------------------------------------

    def run_raw(self, program, method, path, query="", body=None, env=None, root=None):
        full = {"PATH": os.environ.get("PATH", "")}
        for k in os.environ:
            if k in ("SYSTEMROOT", "TEMP", "TMP", "HOME") or k.startswith("WINE"):
                full[k] = os.environ[k]
        full.update({"REQUEST_METHOD": method, "PATH_INFO": path, "QUERY_STRING": query,
                     "GATEWAY_INTERFACE": "CGI/1.1", "SERVER_PROTOCOL": "HTTP/1.1",
                     "REGISTRY_STORAGE_ROOT": native(root or self.root)})
        if body is not None:
            full["CONTENT_LENGTH"] = str(len(body))
        full.update(env or {})
        for attempt in range(2):
            # Files, not pipes: a service Wine starts with the first program
            # inherits its handles and would hold a pipe open long after.
            with tempfile.TemporaryFile() as stdin, tempfile.TemporaryFile() as stdout, \
                    tempfile.TemporaryFile() as stderr:
                stdin.write(body or b"")
                stdin.seek(0)
                p = subprocess.run(RUNNER + [os.path.join(DIR, program + EXE)], env=full,
                                   cwd=self.cwd, stdin=stdin, stdout=stdout, stderr=stderr,
                                   timeout=60)
                stdout.seek(0)
                stderr.seek(0)
                out, err = stdout.read(), stderr.read()
            # Under a loaded Wine a start can fail before the program runs:
            # status 1 and not a byte written, which no program of ours
            # does (each writes an answer whatever happens). Once more, then.
            if not (RUNNER and p.returncode == 1 and not out and not err):
                break
        self.assertEqual(p.returncode, 0,
                         f"{program} {method} {path}: stdout {len(out)} bytes, stderr {err!r}")
        if not getattr(self, "stderr_expected", False):
            self.assertEqual(err, b"", f"{program} {method} {path}")
        self.last_stderr = err
        return Response(out, method)

    def call(self, program, method, path, query="", body=None, env=None, actor="anonymous",
             checked=True):
        """Runs one request. checked: the response and its log line must
        hold what every answer holds (see assert_sane)."""
        log = os.path.join(self.root, LOG_NAME)
        before = os.path.getsize(log) if os.path.isfile(log) else 0
        r = self.run_raw(program, method, path, query, body, env)
        with open(log, "rb") if os.path.isfile(log) else open(os.devnull, "rb") as f:
            f.seek(before)
            lines = [l + "\n" for l in f.read().decode("utf-8").split("\n")[:-1]]
        what = f"{program} {method} {path}?{query} -> {r!r}"
        self.assertEqual(len(lines), 1, f"one log line per request: {lines} for {what}")
        r.log = self.parse_log_line(lines[0], what)
        if checked:
            self.assert_sane(r, method, path, actor, what)
        return r

    def parse_log_line(self, line, what):
        m = re.fullmatch(rf"(\S+) (.*) (\d+) (\d{{3}}) (\S+) ({TS}) (\{{.*\}})\n", line)
        self.assertIsNotNone(m, f"log line {line!r} for {what}")
        record = json.loads(m.group(7))
        self.assertEqual(record["ts"], m.group(6), line)
        self.assertEqual((m.group(1), int(m.group(3)), int(m.group(4)), m.group(5)),
                         (record["method"], record["bytes"], record["status"], record["actor"]),
                         line)
        return record

    def assert_sane(self, r, method, path, actor, what):
        """What every answer holds, whatever the request."""
        self.assertLess(r.status, 500, what)
        self.assertEqual(r.all("Docker-Distribution-API-Version"), [API_VERSION], what)
        if method == "HEAD" or r.status in (204, 304):
            self.assertEqual(r.body, b"", f"a body in a {method} {r.status} answer: {what}")
        length = r.header("Content-Length")
        if length is not None and method != "HEAD":
            self.assertEqual(int(length), len(r.body), what)
        if r.status >= 400 and method != "HEAD":
            self.assertTrue((r.header("Content-Type") or "").startswith("application/json"), what)
            errors = r.json()["errors"]
            self.assertEqual(len(errors), 1, what)
            self.assertIsInstance(errors[0]["code"], str, what)
            self.assertIsInstance(errors[0]["message"], str, what)
        self.assertEqual(r.log, {"ts": r.log["ts"], "method": method, "path": path,
                                 "status": r.status, "bytes": len(r.body), "actor": actor}, what)

    def assert_error(self, r, status, code):
        self.assertEqual(r.status, status, r)
        if r.method != "HEAD":
            codes = code if isinstance(code, tuple) else (code,)
            self.assertIn(r.code(), codes, r)

    def walk_pages(self, program, path, key, n, max_pages=10):
        """Follows the Link headers from the first page to the last."""
        seen, query, pages = [], f"n={n}", 0
        while query is not None:
            r = self.call(program, "GET", path, query)
            self.assertEqual(r.status, 200, r)
            page = r.json()[key]
            self.assertLessEqual(len(page), n)
            seen += page
            pages += 1
            link = r.header("Link")
            if link is None:
                query = None
                continue
            m = re.fullmatch(r'<([^>?]+)\?([^>]*)>; rel="next"', link)
            self.assertIsNotNone(m, link)
            self.assertEqual(m.group(1), path)
            self.assertEqual(m.group(2), f"n={n}&last={page[-1]}")
            query = m.group(2)
            self.assertLess(pages, max_pages, "the pages never end")
        return seen, pages

    # ---- building a store through the programs -------------------------------

    def push_blob(self, data, name="lib/app", **kw):
        d = digest_of(data)
        r = self.call("v2_uploads", "POST", f"/v2/{name}/blobs/uploads/", f"digest={d}", data, **kw)
        self.assertEqual(r.status, 201, r)
        return d

    def push_manifest(self, body, ref, name="lib/app", media_type=OCI_MANIFEST, expect_digest=None,
                      **kw):
        env = dict(kw.pop("env", None) or {})
        if media_type:
            env["CONTENT_TYPE"] = media_type
        r = self.call("v2_manifests", "PUT", f"/v2/{name}/manifests/{ref}", body=body, env=env,
                      **kw)
        self.assertEqual(r.status, 201, r)
        # A digest reference keeps its algorithm; a tag push of ordinary
        # content is sha256.
        want = expect_digest or (digest512_of(body) if ref.startswith("sha512:")
                                 else digest_of(body))
        self.assertEqual(r.header("Docker-Content-Digest"), want)
        return r

    def push_image(self, name="lib/app", tag="v1"):
        """A config and a layer blob and the manifest naming them."""
        config = b'{"architecture":"amd64","os":"linux","rootfs":{"type":"layers"}}'
        layer = bytes(range(256)) * 4
        self.push_blob(config, name)
        self.push_blob(layer, name)
        manifest = image_manifest(descriptor(OCI_CONFIG, config), [descriptor(OCI_LAYER, layer)])
        self.push_manifest(manifest, tag, name)
        return config, layer, manifest

    def start_upload(self, name="lib/app"):
        r = self.call("v2_uploads", "POST", f"/v2/{name}/blobs/uploads/")
        self.assertEqual(r.status, 202, r)
        location = r.header("Location")
        upload_id = r.header("Docker-Upload-UUID")
        self.assertEqual(location, f"/v2/{name}/blobs/uploads/{upload_id}")
        self.assertRegex(upload_id, r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
        return location

    def store_path(self, *parts):
        return os.path.join(self.root, *parts)

    def blob_file(self, digest):
        algorithm, hexd = digest.split(":", 1)
        return self.store_path("blobs", algorithm, hexd[:2], hexd)

    def uploads(self):
        return sorted(n for n in os.listdir(self.store_path("uploads")) if n.endswith(".part"))


class PushAndPull(EndpointCase):
    def test_chunked_push_then_pull_by_tag_and_digest(self):
        config = b'{"os":"linux"}'
        self.push_blob(config)
        layer = os.urandom(70000)  # more than the 64 KiB the body is read in
        loc = self.start_upload()
        self.assertEqual(self.call("v2_uploads", "GET", loc).header("Range"), "0-0")

        r = self.call("v2_uploads", "PATCH", loc, body=layer[:30000],
                      env={"CONTENT_TYPE": "application/octet-stream"})
        self.assertEqual((r.status, r.header("Location"), r.header("Range")),
                         (202, loc, "0-29999"))
        r = self.call("v2_uploads", "PATCH", loc, body=layer[30000:60000],
                      env={"HTTP_CONTENT_RANGE": "30000-59999"})
        self.assertEqual((r.status, r.header("Range")), (202, "0-59999"))
        r = self.call("v2_uploads", "GET", loc)
        self.assertEqual((r.status, r.header("Range"), r.header("Location")), (204, "0-59999", loc))

        d = digest_of(layer)
        r = self.call("v2_uploads", "PUT", loc, f"digest={d}", layer[60000:],
                      env={"HTTP_CONTENT_RANGE": "60000-69999"})
        self.assertEqual((r.status, r.header("Location"), r.header("Docker-Content-Digest")),
                         (201, f"/v2/lib/app/blobs/{d}", d))
        self.assertEqual(self.uploads(), [])
        with open(self.blob_file(d), "rb") as f:
            self.assertEqual(f.read(), layer)

        manifest = image_manifest(descriptor(OCI_CONFIG, config), [descriptor(OCI_LAYER, layer)])
        md = digest_of(manifest)
        r = self.push_manifest(manifest, "v1")
        self.assertEqual(r.header("Location"), f"/v2/lib/app/manifests/{md}")
        self.assertIsNone(r.header("OCI-Subject"))

        for ref in ("v1", md):
            with self.subTest(ref=ref):
                r = self.call("v2_manifests", "GET", f"/v2/lib/app/manifests/{ref}")
                self.assertEqual((r.status, r.body), (200, manifest))
                self.assertEqual(r.header("Content-Type"), OCI_MANIFEST)
                self.assertEqual(r.header("Docker-Content-Digest"), md)
                self.assertEqual(r.header("Content-Length"), str(len(manifest)))
                h = self.call("v2_manifests", "HEAD", f"/v2/lib/app/manifests/{ref}")
                self.assertEqual((h.status, h.headers), (200, r.headers))

        r = self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{d}")
        self.assertEqual((r.status, r.body, r.header("Docker-Content-Digest")), (200, layer, d))
        self.assertEqual(r.header("Content-Length"), str(len(layer)))
        h = self.call("v2_blobs", "HEAD", f"/v2/lib/app/blobs/{d}")
        self.assertEqual((h.status, h.header("Content-Length")), (200, str(len(layer))))
        # Blobs are shared: any repository name reaches them.
        self.assertEqual(self.call("v2_blobs", "GET", f"/v2/other/blobs/{d}").body, layer)

        self.assertEqual(self.call("v2_tags", "GET", "/v2/lib/app/tags/list").json(),
                         {"name": "lib/app", "tags": ["v1"]})
        self.assertEqual(self.call("v2_catalog", "GET", "/v2/_catalog").json(),
                         {"repositories": ["lib/app"]})

    def test_monolithic_post_and_the_empty_blob(self):
        for data in (b"", b"{}", os.urandom(100000)):
            with self.subTest(size=len(data)):
                d = self.push_blob(data)
                with open(self.blob_file(d), "rb") as f:
                    self.assertEqual(f.read(), data)
                # Again: stored once, answered the same.
                self.push_blob(data)
                r = self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{d}")
                self.assertEqual((r.status, r.body), (200, data))
        # Some clients send the digest's colon percent-encoded.
        data = b"encoded digest"
        r = self.call("v2_uploads", "POST", "/v2/lib/app/blobs/uploads/",
                      "digest=" + digest_of(data).replace(":", "%3A"), data)
        self.assertEqual((r.status, r.header("Docker-Content-Digest")), (201, digest_of(data)))
        self.assertEqual(self.uploads(), [])

    def test_mount_from_anywhere_and_fallback_to_an_upload(self):
        d = self.push_blob(b"shared layer", name="src/repo")
        before = snapshot(self.root)
        r = self.call("v2_uploads", "POST", "/v2/dst/repo/blobs/uploads/", f"mount={d}&from=src/repo")
        self.assertEqual((r.status, r.header("Location"), r.header("Docker-Content-Digest")),
                         (201, f"/v2/dst/repo/blobs/{d}", d))
        self.assertEqual(snapshot(self.root), before)
        # A blob the store lacks: an upload starts instead.
        r = self.call("v2_uploads", "POST", "/v2/dst/repo/blobs/uploads/",
                      f"mount={digest_of(b'absent')}&from=src/repo")
        self.assertEqual((r.status, r.header("Range")), (202, "0-0"))
        self.assertEqual(len(self.uploads()), 1)

    def test_every_way_a_push_names_a_stored_blob_holds_it(self):
        """A push that finds a blob stored renews its time, so a collection
        spares it for a whole window until the manifest comes; a pull does
        not."""
        config = self.push_blob(b'{"os":"linux"}')
        cases = [
            ("HEAD", lambda d: self.call("v2_blobs", "HEAD", f"/v2/other/repo/blobs/{d}"), True),
            ("mount", lambda d: self.call("v2_uploads", "POST", "/v2/other/repo/blobs/uploads/",
                                          f"mount={d}&from=lib/app"), True),
            ("upload again", lambda d: self.call("v2_uploads", "POST", "/v2/other/repo/blobs/uploads/",
                                                 f"digest={d}", self.contents[d]), True),
            ("manifest put", lambda d: self.call(
                "v2_manifests", "PUT", "/v2/other/repo/manifests/v1",
                body=image_manifest(descriptor(OCI_CONFIG, config, 14),
                                    [descriptor(OCI_LAYER, d, len(self.contents[d]))]),
                env={"CONTENT_TYPE": OCI_MANIFEST}), True),
            ("GET", lambda d: self.call("v2_blobs", "GET", f"/v2/other/repo/blobs/{d}"), False),
        ]
        self.contents = {}
        for way, act, holds in cases:
            with self.subTest(way=way):
                data = f"a layer stored long ago, then reached by {way}".encode()
                d = self.push_blob(data)
                self.contents[d] = data
                old = time.time() - 3 * 3600
                os.utime(self.blob_file(d), (old, old))
                os.utime(self.blob_file(config), (old, old))
                before = int(time.time())
                r = act(d)
                self.assertLess(r.status, 300, r)
                held = os.path.getmtime(self.blob_file(d)) >= before
                self.assertEqual(held, holds)
                if way == "manifest put":
                    self.assertGreaterEqual(os.path.getmtime(self.blob_file(config)), before)

    def test_upload_status_and_cancel(self):
        loc = self.start_upload()
        self.call("v2_uploads", "PATCH", loc, body=b"12345")
        r = self.call("v2_uploads", "GET", loc)
        self.assertEqual((r.status, r.header("Range"), r.header("Docker-Upload-UUID")),
                         (204, "0-4", loc.rsplit("/", 1)[1]))
        r = self.call("v2_uploads", "DELETE", loc)
        self.assertEqual(r.status, 204)
        self.assertEqual(self.uploads(), [])
        for method, body in (("GET", None), ("PATCH", b"x"), ("DELETE", None)):
            with self.subTest(method=method):
                self.assert_error(self.call("v2_uploads", method, loc, body=body), 404,
                                  "BLOB_UPLOAD_UNKNOWN")
        self.assertEqual(self.uploads(), [])

    def test_chunk_out_of_order_is_refused_and_the_right_one_still_fits(self):
        loc = self.start_upload()
        self.call("v2_uploads", "PATCH", loc, body=b"01234")
        r = self.call("v2_uploads", "PATCH", loc, body=b"567", env={"HTTP_CONTENT_RANGE": "0-2"})
        self.assert_error(r, 416, "BLOB_UPLOAD_INVALID")
        self.assertEqual(r.header("Range"), "0-4")
        for header, body in (("5-7", b"567"), ("bytes 8-9/10", b"89"), ("bytes=10-10", b"X")):
            with self.subTest(header=header):
                r = self.call("v2_uploads", "PATCH", loc, body=body,
                              env={"HTTP_CONTENT_RANGE": header})
                self.assertEqual(r.status, 202, r)
        self.assertEqual(self.call("v2_uploads", "GET", loc).header("Range"), "0-10")
        d = digest_of(b"0123456789X")
        self.assertEqual(self.call("v2_uploads", "PUT", loc, f"digest={d}").status, 201)

    def test_a_body_cut_short_keeps_what_arrived(self):
        loc = self.start_upload()
        self.call("v2_uploads", "PATCH", loc, body=b"01234")
        r = self.call("v2_uploads", "PATCH", loc, body=b"567", env={"CONTENT_LENGTH": "10"})
        self.assert_error(r, 400, "SIZE_INVALID")
        # The client that comes back continues from what the store holds.
        self.assertEqual(self.call("v2_uploads", "GET", loc).header("Range"), "0-7")
        r = self.call("v2_uploads", "PATCH", loc, body=b"89", env={"HTTP_CONTENT_RANGE": "8-9"})
        self.assertEqual((r.status, r.header("Range")), (202, "0-9"))

    def test_the_saved_digest_follows_every_chunk_retry_and_cut(self):
        """Each PATCH leaves the running digest of exactly what the upload
        holds, also after a refused retry and a body cut short; the finish
        takes it and forgets it."""
        loc = self.start_upload()
        uid = loc.rsplit("/", 1)[1]
        state = self.store_path("uploads", "sha256-state", uid)

        def covered():
            with open(state) as f:
                return int(f.read().split()[3])

        self.call("v2_uploads", "PATCH", loc, body=b"01234")
        self.assertEqual(covered(), 5)
        r = self.call("v2_uploads", "PATCH", loc, body=b"567", env={"HTTP_CONTENT_RANGE": "2-4"})
        self.assert_error(r, 416, "BLOB_UPLOAD_INVALID")
        self.assertEqual(covered(), 5)
        r = self.call("v2_uploads", "PATCH", loc, body=b"567", env={"CONTENT_LENGTH": "10"})
        self.assert_error(r, 400, "SIZE_INVALID")
        self.assertEqual(covered(), 8)
        r = self.call("v2_uploads", "PATCH", loc, body=b"89", env={"HTTP_CONTENT_RANGE": "8-9"})
        self.assertEqual((r.status, covered()), (202, 10))
        d = digest_of(b"0123456789")
        self.assertEqual(self.call("v2_uploads", "PUT", loc, f"digest={d}").status, 201)
        self.assertFalse(os.path.exists(state))
        with open(self.blob_file(d), "rb") as f:
            self.assertEqual(f.read(), b"0123456789")

    def test_digest_mismatch_stores_nothing(self):
        stored = self.push_blob(b"stored")
        blobs = snapshot(self.store_path("blobs"))
        # A digest the store lacks, and one it holds for other bytes.
        for wrong in (digest_of(b"other"), stored):
            with self.subTest(digest=wrong):
                loc = self.start_upload()
                self.call("v2_uploads", "PATCH", loc, body=b"content")
                r = self.call("v2_uploads", "PUT", loc, f"digest={wrong}")
                self.assert_error(r, 400, "DIGEST_INVALID")
                r = self.call("v2_uploads", "POST", "/v2/lib/app/blobs/uploads/",
                              f"digest={wrong}", b"content")
                self.assert_error(r, 400, "DIGEST_INVALID")
                self.assertEqual(snapshot(self.store_path("blobs")), blobs)

    def test_manifest_content_type_index_and_the_largest_body(self):
        config, layer, manifest = self.push_image()
        # No Content-Type: the body's own mediaType is stored.
        plain = image_manifest(descriptor(OCI_CONFIG, config), annotations={"k": "v"})
        self.push_manifest(plain, "plain", media_type=None)
        self.assertEqual(self.call("v2_manifests", "GET", "/v2/lib/app/manifests/plain")
                         .header("Content-Type"), OCI_MANIFEST)

        index = json.dumps({"schemaVersion": 2, "mediaType": OCI_INDEX, "manifests": [
            descriptor(OCI_MANIFEST, manifest)]}).encode()
        self.push_manifest(index, "multi", media_type=OCI_INDEX)
        r = self.call("v2_manifests", "GET", "/v2/lib/app/manifests/multi")
        self.assertEqual((r.body, r.header("Content-Type")), (index, OCI_INDEX))

        # Exactly the largest body a push takes, more than one result buffer.
        head = image_manifest(descriptor(OCI_CONFIG, config), annotations={"pad": ""})
        big = head.replace(b'"pad":""', b'"pad":"' + b"x" * (MANIFEST_MAX - len(head)) + b'"')
        self.assertEqual(len(big), MANIFEST_MAX)
        self.push_manifest(big, "big")
        r = self.call("v2_manifests", "GET", f"/v2/lib/app/manifests/{digest_of(big)}")
        self.assertEqual((r.status, r.body == big), (200, True))

    def test_a_pushed_tag_moves_to_the_new_manifest(self):
        config, _, first = self.push_image()
        second = image_manifest(descriptor(OCI_CONFIG, config))
        self.push_manifest(second, "v1")
        r = self.call("v2_manifests", "GET", "/v2/lib/app/manifests/v1")
        self.assertEqual((r.body, r.header("Docker-Content-Digest")), (second, digest_of(second)))
        # The first stays reachable by its digest.
        self.assertEqual(self.call("v2_manifests", "GET",
                                   f"/v2/lib/app/manifests/{digest_of(first)}").body, first)


class Ranges(EndpointCase):
    CASES = [
        # (Range header, status, Content-Range, first byte, length)
        ("bytes=0-9", 206, "bytes 0-9/100", 0, 10),
        ("bytes=90-", 206, "bytes 90-99/100", 90, 10),
        ("bytes=-10", 206, "bytes 90-99/100", 90, 10),
        ("bytes=-500", 206, "bytes 0-99/100", 0, 100),
        ("bytes=95-500", 206, "bytes 95-99/100", 95, 5),
        ("bytes=99-99", 206, "bytes 99-99/100", 99, 1),
        (" bytes=10-19 ", 206, "bytes 10-19/100", 10, 10),
        ("bytes=100-", 416, "bytes */100", None, None),
        ("bytes=100-200", 416, "bytes */100", None, None),
        ("bytes=-0", 416, "bytes */100", None, None),
        ("bytes=0-1,5-6", 200, None, 0, 100),
        ("items=0-9", 200, None, 0, 100),
        ("bytes=9-0", 416, "bytes */100", None, None),  # reversed: nothing to send
        ("bytes=a-b", 200, None, 0, 100),
        ("bytes=1234567890123456789-", 200, None, 0, 100),
        ("", 200, None, 0, 100),
    ]

    def test_table(self):
        data = bytes(range(100))
        d = self.push_blob(data)
        for header, status, content_range, first, length in self.CASES:
            for method in ("GET", "HEAD"):
                with self.subTest(range=header, method=method):
                    r = self.call("v2_blobs", method, f"/v2/lib/app/blobs/{d}",
                                  env={"HTTP_RANGE": header})
                    self.assertEqual(r.status, status, r)
                    self.assertEqual(r.header("Content-Range"), content_range)
                    if status == 416:
                        self.assert_error(r, 416, "UNSUPPORTED")
                        continue
                    self.assertEqual(r.header("Content-Length"), str(length))
                    if method == "GET":
                        self.assertEqual(r.body, data[first:first + length])

    def test_empty_blob(self):
        d = self.push_blob(b"")
        r = self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{d}")
        self.assertEqual((r.status, r.body, r.header("Content-Length")), (200, b"", "0"))
        for header in ("bytes=0-", "bytes=-1"):
            with self.subTest(range=header):
                r = self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{d}",
                              env={"HTTP_RANGE": header})
                self.assertEqual((r.status, r.header("Content-Range")), (416, "bytes */0"))


class Listings(EndpointCase):
    REPOS = ["alpha", "beta/one", "beta/two", "gamma"]
    TAGS = ["1.0", "1.1", "2.0", "latest"]

    def setUp(self):
        super().setUp()
        config = b'{"os":"linux"}'
        self.push_blob(config, "alpha")
        self.manifest = image_manifest(descriptor(OCI_CONFIG, config))
        for repo in self.REPOS:
            self.push_manifest(self.manifest, "latest", repo)
        for tag in self.TAGS[:-1]:
            self.push_manifest(self.manifest, tag, "alpha")

    def check_listing(self, program, path, key, names, head):
        r = self.call(program, "GET", path)
        self.assertEqual((r.json(), r.header("Link")), ({**head, key: names}, None))
        for n, pages in ((1, 4), (2, 2), (3, 2), (4, 1), (100, 1)):
            with self.subTest(n=n):
                self.assertEqual(self.walk_pages(program, path, key, n), (names, pages))
        cases = [
            # (query, expected names, Link expected)
            ("n=0", [], False),
            ("n=0&last=" + names[0], [], False),
            ("last=" + names[1], names[2:], False),
            ("n=1&last=" + names[1], names[2:3], True),
            ("last=" + names[-1], [], False),
            ("last=zzz", [], False),
            ("last=", names, False),
            ("n=100001", names, False),
            ("n=", names, False),
        ]
        for query, expected, link in cases:
            with self.subTest(query=query):
                r = self.call(program, "GET", path, query)
                self.assertEqual(r.json(), {**head, key: expected})
                self.assertEqual(r.header("Link") is not None, link, r)
        for query in ("n=abc", "n=-1", "n=1e3", "n=%2B1", "n=0x10"):
            with self.subTest(query=query):
                r = self.call(program, "GET", path, query)
                self.assert_error(r, 400, "PAGINATION_NUMBER_INVALID")

    def test_catalog(self):
        self.check_listing("v2_catalog", "/v2/_catalog", "repositories", self.REPOS, {})

    def test_tags(self):
        self.check_listing("v2_tags", "/v2/alpha/tags/list", "tags", self.TAGS, {"name": "alpha"})
        self.assertEqual(self.call("v2_tags", "GET", "/v2/beta/one/tags/list").json(),
                         {"name": "beta/one", "tags": ["latest"]})
        self.assert_error(self.call("v2_tags", "GET", "/v2/beta/tags/list"), 404, "NAME_UNKNOWN")

    def test_head_of_a_listing_has_no_body(self):
        for program, path, query in (("v2_catalog", "/v2/_catalog", ""),
                                     ("v2_catalog", "/v2/_catalog", "n=1"),
                                     ("v2_tags", "/v2/alpha/tags/list", ""),
                                     ("v2_tags", "/v2/alpha/tags/list", "n=0"),
                                     ("v2_referrers", f"/v2/alpha/referrers/{digest_of(self.manifest)}",
                                      "")):
            with self.subTest(program=program, query=query):
                r = self.call(program, "HEAD", path, query)
                self.assertEqual(r.status, 200)


class LargeStore(EndpointCase):
    """Past every size the store's walk once stopped at: 2,056 repositories
    made by direct mkdirs, 700 under one parent, 300 seven levels deep,
    beside two pushed ones."""

    def setUp(self):
        super().setUp()
        config = b'{"os":"linux"}'
        self.push_blob(config, "alpha")
        manifest = image_manifest(descriptor(OCI_CONFIG, config))
        for repo, tag in (("alpha", "1.0"), ("alpha", "latest"), ("beta/one", "latest")):
            self.push_manifest(manifest, tag, repo)
        made = [f"wide/r{i:04d}" for i in range(700)] + [f"top{i:04d}" for i in range(1050)] + \
               [f"deep/a{i:03d}/b/c/d/e/r" for i in range(300)] + \
               [f"top{i:04d}/inner" for i in range(6)]
        for name in made:
            os.makedirs(self.store_path("repositories", *name.split("/"), "_manifests"))
        self.names = sorted(["alpha", "beta/one"] + made)

    def test_catalog_paging_and_status_see_every_repository(self):
        r = self.call("v2_catalog", "GET", "/v2/_catalog")
        self.assertEqual((r.json()["repositories"], r.header("Link")), (self.names, None))
        for n in (100, 333):
            with self.subTest(n=n):
                seen, pages = self.walk_pages("v2_catalog", "/v2/_catalog", "repositories", n,
                                              max_pages=100)
                self.assertEqual(seen, self.names)
                self.assertEqual(pages, -(-len(self.names) // n))
        status = self.run_raw("status", "GET", "/status", "format=json").json()
        self.assertEqual((status["store"]["repositories"], status["store"]["tags"]),
                         (len(self.names), 3))


class Referrers(EndpointCase):
    def test_listing_with_and_without_artifact_type(self):
        _, layer, subject = self.push_image()
        sd = digest_of(subject)
        empty = self.push_blob(b"{}")
        sig_config = b'{"signature":true}'
        self.push_blob(sig_config)
        subject_desc = descriptor(OCI_MANIFEST, subject)

        sbom = image_manifest(descriptor(OCI_EMPTY, empty, 2), [descriptor(OCI_LAYER, layer)],
                              artifactType="application/vnd.example.sbom", subject=subject_desc,
                              annotations={"org.example.kind": "sbom"})
        sig = image_manifest(descriptor("application/vnd.example.sig", sig_config),
                             subject=subject_desc)
        r = self.push_manifest(sbom, digest_of(sbom))
        self.assertEqual(r.header("OCI-Subject"), sd)
        self.assertEqual(self.push_manifest(sig, "sig").header("OCI-Subject"), sd)
        # A referrer may come before its subject.
        orphan_subject = digest_of(b"not pushed yet")
        orphan = image_manifest(descriptor(OCI_EMPTY, empty, 2), artifactType="application/x-o",
                                subject=descriptor(OCI_MANIFEST, orphan_subject, 10))
        self.push_manifest(orphan, digest_of(orphan))

        sbom_entry = {"mediaType": OCI_MANIFEST, "digest": digest_of(sbom), "size": len(sbom),
                      "artifactType": "application/vnd.example.sbom",
                      "annotations": {"org.example.kind": "sbom"}}
        sig_entry = {"mediaType": OCI_MANIFEST, "digest": digest_of(sig), "size": len(sig),
                     "artifactType": "application/vnd.example.sig"}
        both = sorted([sbom_entry, sig_entry], key=lambda e: e["digest"])

        def index(entries):
            return {"schemaVersion": 2, "mediaType": OCI_INDEX, "manifests": entries}

        cases = [
            # (subject, query, entries, filtered)
            (sd, "", both, False),
            (sd, "artifactType=application/vnd.example.sbom", [sbom_entry], True),
            (sd, "artifactType=application%2Fvnd.example.sig", [sig_entry], True),
            (sd, "artifactType=application/unknown", [], True),
            (orphan_subject, "", [{"mediaType": OCI_MANIFEST, "digest": digest_of(orphan),
                                   "size": len(orphan), "artifactType": "application/x-o"}], False),
            (digest_of(b"nothing refers to this"), "", [], False),
        ]
        for subject_digest, query, entries, filtered in cases:
            with self.subTest(subject=subject_digest, query=query):
                r = self.call("v2_referrers", "GET", f"/v2/lib/app/referrers/{subject_digest}",
                              query)
                self.assertEqual(r.status, 200, r)
                self.assertEqual(r.header("Content-Type"), OCI_INDEX)
                self.assertEqual(r.json(), index(entries))
                self.assertEqual(r.header("OCI-Filters-Applied"),
                                 "artifactType" if filtered else None)
        # Another repository has no referrers of the same subject.
        self.assertEqual(self.call("v2_referrers", "GET", f"/v2/other/referrers/{sd}").json(),
                         index([]))

        # A tag delete keeps the manifest, a delete by digest removes it.
        self.assertEqual(self.call("v2_manifests", "DELETE", "/v2/lib/app/manifests/sig").status, 202)
        self.assertEqual(self.call("v2_referrers", "GET", f"/v2/lib/app/referrers/{sd}").json(),
                         index(both))
        self.assertEqual(self.call("v2_manifests", "DELETE",
                                   f"/v2/lib/app/manifests/{digest_of(sbom)}").status, 202)
        self.assertEqual(self.call("v2_referrers", "GET", f"/v2/lib/app/referrers/{sd}").json(),
                         index([sig_entry]))


class Sha512(EndpointCase):
    """sha512 digests end to end: blobs under blobs/sha512, manifests kept
    under the digest they were pushed by, referrers of a sha512 subject."""

    def test_blobs_by_chunks_monolithic_and_mount(self):
        data = bytes(range(256)) * 40
        d = digest512_of(data)
        # Chunks, then a finish naming the sha512 digest.
        up = self.start_upload()
        self.assertEqual(self.call("v2_uploads", "PATCH", up, body=data[:3000]).status, 202)
        r = self.call("v2_uploads", "PUT", up, f"digest={d}", data[3000:])
        self.assertEqual((r.status, r.header("Docker-Content-Digest")), (201, d), r)
        self.assertEqual(r.header("Location"), f"/v2/lib/app/blobs/{d}")
        with open(self.blob_file(d), "rb") as f:
            self.assertEqual(f.read(), data)
        # The same bytes by their sha256 digest are another blob.
        self.assertEqual(self.call("v2_blobs", "HEAD", f"/v2/lib/app/blobs/{digest_of(data)}")
                         .status, 404)
        # Monolithic.
        small = b"one request, sha512"
        ds = digest512_of(small)
        r = self.call("v2_uploads", "POST", "/v2/lib/app/blobs/uploads/", f"digest={ds}", small)
        self.assertEqual((r.status, r.header("Docker-Content-Digest")), (201, ds), r)
        # Read back: HEAD, GET, a range.
        r = self.call("v2_blobs", "HEAD", f"/v2/lib/app/blobs/{d}")
        self.assertEqual((r.status, r.header("Content-Length"), r.header("Docker-Content-Digest")),
                         (200, str(len(data)), d))
        r = self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{d}")
        self.assertEqual((r.status, r.body, r.header("Docker-Content-Digest")), (200, data, d))
        r = self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{d}", env={"HTTP_RANGE": "bytes=10-19"})
        self.assertEqual((r.status, r.body, r.header("Content-Range")),
                         (206, data[10:20], f"bytes 10-19/{len(data)}"))
        # A mount of a sha512 blob is the blob, at once.
        r = self.call("v2_uploads", "POST", "/v2/other/blobs/uploads/", f"mount={d}&from=lib/app")
        self.assertEqual((r.status, r.header("Docker-Content-Digest")), (201, d), r)
        self.assertEqual(self.uploads(), [])
        # Delete: gone, and its fan-out directory with it.
        self.assertEqual(self.call("v2_blobs", "DELETE", f"/v2/lib/app/blobs/{ds}").status, 202)
        self.assertFalse(os.path.exists(os.path.dirname(self.blob_file(ds))))
        self.assert_error(self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{ds}"), 404,
                          "BLOB_UNKNOWN")

    def test_manifests_by_sha512_and_their_referrers(self):
        config = b'{"architecture":"amd64","os":"linux"}'
        layer = b"layer bytes" * 100
        self.push_blob(config)
        d_layer = digest512_of(layer)
        r = self.call("v2_uploads", "POST", "/v2/lib/app/blobs/uploads/", f"digest={d_layer}", layer)
        self.assertEqual(r.status, 201, r)
        # A sha256 config beside a sha512 layer, pushed by its sha512 digest.
        manifest = image_manifest(descriptor(OCI_CONFIG, config),
                                  [descriptor(OCI_LAYER, d_layer, len(layer))])
        dm = digest512_of(manifest)
        r = self.push_manifest(manifest, dm)
        self.assertEqual(r.header("Location"), f"/v2/lib/app/manifests/{dm}")
        self.assertTrue(os.path.isfile(self.store_path(
            "repositories", "lib", "app", "_manifests", "revisions", "sha512", dm[7:], "link")))
        for method in ("GET", "HEAD"):
            r = self.call("v2_manifests", method, f"/v2/lib/app/manifests/{dm}")
            self.assertEqual((r.status, r.header("Docker-Content-Digest"), r.header("Content-Type")),
                             (200, dm, OCI_MANIFEST), r)
            self.assertEqual(r.body, manifest if method == "GET" else b"")
        # Not under its sha256 digest: that was never pushed.
        self.assert_error(self.call("v2_manifests", "GET",
                                    f"/v2/lib/app/manifests/{digest_of(manifest)}"),
                          404, "MANIFEST_UNKNOWN")
        # By tag it is named by its config's algorithm: sha256 here.
        self.push_manifest(manifest, "v1")
        self.assertEqual(self.call("v2_manifests", "HEAD", "/v2/lib/app/manifests/v1")
                         .header("Docker-Content-Digest"), digest_of(manifest))
        # Named by sha512 throughout, it is a sha512 manifest by tag too (what
        # its client computed and checks the answer against).
        config512 = b'{"architecture":"amd64","os":"linux"}'
        d_config512 = digest512_of(config512)
        r = self.call("v2_uploads", "POST", "/v2/lib/app/blobs/uploads/", f"digest={d_config512}",
                      config512)
        self.assertEqual(r.status, 201, r)
        all512 = image_manifest(descriptor(OCI_CONFIG, d_config512, len(config512)),
                                [descriptor(OCI_LAYER, d_layer, len(layer))])
        self.push_manifest(all512, "v512", expect_digest=digest512_of(all512))
        r = self.call("v2_manifests", "GET", "/v2/lib/app/manifests/v512")
        self.assertEqual((r.header("Docker-Content-Digest"), r.body), (digest512_of(all512), all512))

        # An index naming the sha512 manifest.
        index = json.dumps({"schemaVersion": 2, "mediaType": OCI_INDEX,
                            "manifests": [descriptor(OCI_MANIFEST, dm, len(manifest))]}).encode()
        self.push_manifest(index, digest512_of(index), media_type=OCI_INDEX)

    # .../referrers/sha512/<128 hex>/<64 or 128 hex>: the Win32 backend does
    # not use long paths yet.
    @unittest.skipIf(WINDOWS, "referrer links of a sha512 subject pass Windows' 260-byte path limit")
    def test_referrers_of_a_sha512_subject(self):
        config = b'{"architecture":"amd64","os":"linux"}'
        self.push_blob(config)
        manifest = image_manifest(descriptor(OCI_CONFIG, config))
        dm = digest512_of(manifest)
        self.push_manifest(manifest, dm)
        empty = self.push_blob(b"{}")
        sig = image_manifest(descriptor(OCI_EMPTY, empty, 2), artifactType="application/x-sig",
                             subject=descriptor(OCI_MANIFEST, dm, len(manifest)))
        r = self.push_manifest(sig, digest_of(sig))
        self.assertEqual(r.header("OCI-Subject"), dm)
        sig512 = image_manifest(descriptor(OCI_EMPTY, empty, 2), artifactType="application/x-sig5",
                                subject=descriptor(OCI_MANIFEST, dm, len(manifest)))
        self.push_manifest(sig512, digest512_of(sig512))
        r = self.call("v2_referrers", "GET", f"/v2/lib/app/referrers/{dm}")
        self.assertEqual(r.status, 200, r)
        self.assertEqual([(e["digest"], e["artifactType"]) for e in r.json()["manifests"]],
                         [(digest_of(sig), "application/x-sig"),
                          (digest512_of(sig512), "application/x-sig5")])
        # A delete by the sha512 digest removes it from the listing.
        self.assertEqual(self.call("v2_manifests", "DELETE",
                                   f"/v2/lib/app/manifests/{digest512_of(sig512)}").status, 202)
        self.assertEqual([e["digest"] for e in self.call(
            "v2_referrers", "GET", f"/v2/lib/app/referrers/{dm}").json()["manifests"]],
            [digest_of(sig)])

    def test_another_algorithm_is_refused_naming_the_kept_ones(self):
        md5 = "md5:" + hashlib.md5(b"x").hexdigest()
        for program, method, path, query in (
                ("v2_blobs", "GET", f"/v2/lib/app/blobs/{md5}", ""),
                ("v2_manifests", "GET", f"/v2/lib/app/manifests/{md5}", ""),
                ("v2_uploads", "POST", "/v2/lib/app/blobs/uploads/", f"digest={md5}")):
            with self.subTest(program=program):
                r = self.call(program, method, path, query, b"x" if method == "POST" else None)
                self.assert_error(r, 400, "DIGEST_INVALID")
                self.assertIn("sha256, sha512", r.json()["errors"][0]["message"])
        self.assertEqual(self.uploads(), [])


class Deletes(EndpointCase):
    def test_tag_delete_keeps_the_manifest_digest_delete_removes_it(self):
        config, layer, manifest = self.push_image(tag="v1")
        md = digest_of(manifest)
        self.push_manifest(manifest, "v2")
        url = "/v2/lib/app/manifests/"

        r = self.call("v2_manifests", "DELETE", url + "v1")
        self.assertEqual((r.status, r.body), (202, b""))
        self.assert_error(self.call("v2_manifests", "GET", url + "v1"), 404, "MANIFEST_UNKNOWN")
        self.assertEqual(self.call("v2_manifests", "GET", url + "v2").body, manifest)
        self.assertEqual(self.call("v2_manifests", "GET", url + md).body, manifest)
        self.assertEqual(self.call("v2_tags", "GET", "/v2/lib/app/tags/list").json()["tags"], ["v2"])
        self.assert_error(self.call("v2_manifests", "DELETE", url + "v1"), 404, "MANIFEST_UNKNOWN")

        r = self.call("v2_manifests", "DELETE", url + md)
        self.assertEqual(r.status, 202)
        for ref in ("v2", md):
            with self.subTest(ref=ref):
                self.assert_error(self.call("v2_manifests", "GET", url + ref), 404,
                                  "MANIFEST_UNKNOWN")
                self.assert_error(self.call("v2_manifests", "HEAD", url + ref), 404, None)
        self.assertEqual(self.call("v2_tags", "GET", "/v2/lib/app/tags/list").json()["tags"], [])
        self.assert_error(self.call("v2_manifests", "DELETE", url + md), 404, "MANIFEST_UNKNOWN")
        # The blobs stay: only a collection removes them.
        for data in (config, layer):
            self.assertEqual(self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{digest_of(data)}")
                             .status, 200)

    def test_blob_delete(self):
        d = self.push_blob(b"short-lived")
        r = self.call("v2_blobs", "DELETE", f"/v2/lib/app/blobs/{d}")
        self.assertEqual((r.status, r.body), (202, b""))
        self.assertFalse(os.path.exists(self.blob_file(d)))
        for method in ("GET", "HEAD", "DELETE"):
            with self.subTest(method=method):
                self.assert_error(self.call("v2_blobs", method, f"/v2/lib/app/blobs/{d}"), 404,
                                  "BLOB_UNKNOWN")


class Methods(EndpointCase):
    D = digest_of(b"x")
    ROUTES = [
        # (program, path, methods it answers)
        ("v2_base", "/v2/", "GET, HEAD"),
        ("v2_catalog", "/v2/_catalog", "GET, HEAD"),
        ("v2_tags", "/v2/lib/app/tags/list", "GET, HEAD"),
        ("v2_manifests", "/v2/lib/app/manifests/v1", "GET, HEAD, PUT, DELETE"),
        ("v2_blobs", f"/v2/lib/app/blobs/{D}", "GET, HEAD, DELETE"),
        ("v2_uploads", "/v2/lib/app/blobs/uploads/", "GET, POST, PATCH, PUT, DELETE"),
        ("v2_referrers", f"/v2/lib/app/referrers/{D}", "GET, HEAD"),
    ]
    OTHERS = ("GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "TRACE", "CONNECT", "get", "Put")

    def test_options_and_405_with_allow(self):
        before = snapshot(self.root)
        for program, path, allow in self.ROUTES:
            with self.subTest(program=program, method="OPTIONS"):
                r = self.call(program, "OPTIONS", path)
                self.assertEqual((r.status, r.header("Allow"), r.body),
                                 (204, allow + ", OPTIONS", b""))
            for method in self.OTHERS:
                if method in allow.split(", "):
                    continue
                with self.subTest(program=program, method=method):
                    r = self.call(program, method, path, body=b"x" if method in ("PUT", "POST", "PATCH") else None)
                    self.assert_error(r, 405, "UNSUPPORTED")
                    self.assertEqual(r.header("Allow"), allow + ", OPTIONS")
        # Nothing refused and nothing answered at once touched the store.
        self.assertEqual(snapshot(self.root), before)

    def test_post_to_an_upload_and_unknown_endpoints(self):
        loc = self.start_upload()
        r = self.call("v2_uploads", "POST", loc, body=b"x")
        self.assert_error(r, 405, "UNSUPPORTED")
        self.assertEqual(r.header("Allow"), "GET, PATCH, PUT, DELETE, OPTIONS")
        self.assertEqual(self.call("v2_uploads", "GET", loc).header("Range"), "0-0")
        for program, path in (("v2_base", "/v2/unknown"), ("v2_base", "/v2/lib/app/other/x"),
                              ("v2_tags", "/v2/lib/app/tags/lis")):
            with self.subTest(path=path):
                self.assertEqual(self.call(program, "GET", path).status, 404)
        r = self.call("v2_base", "GET", "/v2/")
        self.assertEqual((r.status, r.json()), (200, {}))


class Authentication(EndpointCase):
    def setUp(self):
        super().setUp()
        with open(os.path.join(self.cwd, "config.json"), "w") as f:
            json.dump({"registry_auth_user": USER,
                       "registry_auth_sha256": hashlib.sha256(PASSWORD.encode()).hexdigest()}, f)

    def assert_refused(self, r, method):
        self.assertEqual(r.status, 401, r)
        self.assertRegex(r.header("WWW-Authenticate") or "",
                         r'^Bearer realm="http://[^"]+/token",service="registry"'
                         r'(,scope="[^"]+")?(,error="[a-z_]+")?$')
        self.assertEqual(r.all("Docker-Distribution-API-Version"), [API_VERSION])
        if method != "HEAD":
            self.assertEqual(r.code(), "UNAUTHORIZED")
        self.assertEqual((r.log["status"], r.log["actor"]), (401, "anonymous"))

    def test_every_program_refuses_without_good_credentials(self):
        d = digest_of(b"blob")
        requests = [
            ("v2_base", "GET", "/v2/", "", None),
            ("v2_catalog", "GET", "/v2/_catalog", "", None),
            ("v2_tags", "GET", "/v2/lib/app/tags/list", "", None),
            ("v2_manifests", "PUT", "/v2/lib/app/manifests/v1", "", b"{}"),
            ("v2_blobs", "DELETE", f"/v2/lib/app/blobs/{d}", "", None),
            ("v2_uploads", "POST", "/v2/lib/app/blobs/uploads/", f"digest={d}", b"blob"),
            ("v2_referrers", "GET", f"/v2/lib/app/referrers/{d}", "", None),
            ("v2_manifests", "OPTIONS", "/v2/lib/app/manifests/v1", "", None),
            ("v2_blobs", "TRACE", f"/v2/lib/app/blobs/{d}", "", None),
        ]
        credentials = [
            None,
            basic(USER, "wrong"),
            basic("bob", PASSWORD),
            basic(USER.upper(), PASSWORD),
            basic(USER, PASSWORD + " "),
            "Basic " + base64.b64encode(USER.encode()).decode(),
            "Basic !!!!",
            "Basic",
            "Bearer " + base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode(),
            "",
        ]
        before = snapshot(self.root)
        for program, method, path, query, body in requests:
            for auth in credentials:
                if auth is not None and program not in ("v2_base", "v2_uploads"):
                    continue  # every program shares the check: one suffices
                with self.subTest(program=program, method=method, auth=auth):
                    env = {} if auth is None else {"HTTP_AUTHORIZATION": auth}
                    r = self.call(program, method, path, query, body, env, checked=False)
                    self.assert_refused(r, method)
        self.assertEqual(snapshot(self.root), before)

    def test_good_credentials_push_and_pull_as_the_user(self):
        for auth in (basic(USER, PASSWORD), "basic " + basic(USER, PASSWORD)[6:],
                     "  Basic " + basic(USER, PASSWORD)[6:]):
            with self.subTest(auth=auth):
                env = {"HTTP_AUTHORIZATION": auth}
                r = self.call("v2_base", "GET", "/v2/", env=env, actor=USER)
                self.assertEqual(r.status, 200)
        env = {"HTTP_AUTHORIZATION": basic(USER, PASSWORD)}
        d = self.push_blob(b"layer", env=env, actor=USER)
        r = self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{d}", env=env, actor=USER)
        self.assertEqual(r.body, b"layer")
        r = self.call("v2_manifests", "OPTIONS", "/v2/lib/app/manifests/v1", env=env, actor=USER)
        self.assertEqual(r.status, 204)
        r = self.call("v2_manifests", "GET", "/v2/lib/app/manifests/v1", env=env, actor=USER)
        self.assert_error(r, 404, "MANIFEST_UNKNOWN")

    def test_a_refusal_is_an_answer_like_any_other(self):
        # Like every answer: no body for HEAD, and the log counts what was sent.
        for method in ("GET", "HEAD"):
            with self.subTest(method=method):
                r = self.call("v2_base", method, "/v2/", checked=False)
                self.assertEqual(r.status, 401)
                self.assert_sane(r, method, "/v2/", "anonymous", repr(r))


# bcrypt entries as htpasswd -B -C 4 writes them; the password is NAME-pw.
USERS_FILE = """# the team
alice:$2y$04$kZFHIqCv7AZg0no4HXW/4ukFfERbjwHN9qa7G.obfsdQwGAMwxyWy
bob:$2y$04$2Bx4R1Q57Ti3ai.kZfcVXOTqvIOE6M0ZWW7yw8XsN7R5pNSoxtU6u
carol:$2y$04$RpYMPSIn0Hf9l7vbwQ7LwuD2Flk/NTbbhXaM6pSYw/HqparsF5QYy
"""
TEAM_RULES = [
    {"repositories": ["public/**"], "users": ["alice"], "actions": ["*"]},
    {"repositories": ["public/**"], "users": ["anonymous", "*"], "actions": ["pull"]},
    {"repositories": ["team/**"], "users": ["alice", "bob"], "actions": ["push", "delete"]},
    {"repositories": ["team/**"], "users": ["carol"], "actions": ["pull"]},
]


def b64url_json(part):
    return json.loads(base64.urlsafe_b64decode(part + "=" * (-len(part) % 4)))


class AccessControl(EndpointCase):
    """A team of three from a users file, rules per repository, an
    anonymous public area, and bearer tokens from the token program."""

    def setUp(self):
        super().setUp()
        with open(os.path.join(self.cwd, "users"), "w") as f:
            f.write(USERS_FILE)
        self.settings()

    def settings(self, **extra):
        with open(os.path.join(self.cwd, "config.json"), "w") as f:
            json.dump({"registry_htpasswd": "users", "registry_access": TEAM_RULES,
                       "registry_admins": ["alice"], **extra}, f)

    def token(self, scopes, auth=None, status=200, service="registry"):
        query = "&".join([f"service={service}"] +
                         ["scope=" + urllib.parse.quote(s, safe="") for s in scopes])
        env = {"HTTP_AUTHORIZATION": auth} if auth else {}
        user = auth and auth.startswith("Basic ") and \
            base64.b64decode(auth.split()[1]).decode().split(":")[0]
        r = self.call("token", "GET", "/token", query, env=env,
                      actor=user if status == 200 and user else "anonymous", checked=False)
        self.assertEqual(r.status, status, r)
        if status != 200:
            return r
        answer = r.json()
        self.assertEqual(answer["token"], answer["access_token"])
        self.assertEqual(answer["expires_in"], 300)
        self.assertRegex(answer["issued_at"], TS)
        self.assertEqual(r.header("Cache-Control"), "no-store")
        return answer["token"]

    def grants(self, token):
        claims = b64url_json(token.split(".")[1])
        return {(a["type"], a["name"]): a["actions"] for a in claims["access"]}, claims

    def test_a_token_grants_what_was_asked_and_the_rules_allow(self):
        cases = [
            # (credentials, scope, what the token grants on it)
            (basic("bob", "bob-pw"), "repository:team/app:pull,push", ["pull", "push"]),
            (basic("carol", "carol-pw"), "repository:team/app:pull,push", ["pull"]),
            (basic("carol", "carol-pw"), "repository:team/app:*", ["pull"]),
            (basic("carol", "carol-pw"), "repository:other/app:pull", []),
            (basic("alice", "alice-pw"), "repository:public/tool:delete", ["delete"]),
            (None, "repository:public/tool:pull,push", ["pull"]),
            (None, "repository:team/app:pull", []),
            (basic("bob", "bob-pw"), "repository:Team/App:pull", []),  # no valid name
        ]
        for auth, scope, want in cases:
            with self.subTest(auth=auth, scope=scope):
                granted, claims = self.grants(self.token([scope], auth))
                name = scope.split(":")[1]
                self.assertEqual(granted[("repository", name)], want)
                self.assertEqual(claims["aud"], "registry")
                self.assertEqual(claims["exp"] - claims["iat"], 300)
                self.assertEqual(claims["sub"],
                                 base64.b64decode(auth.split()[1]).decode().split(":")[0]
                                 if auth else "")
        # Several scopes in one request, and the catalog for a signed-in user.
        granted, _ = self.grants(self.token(["repository:team/a:pull", "repository:public/b:push",
                                             "registry:catalog:*"], basic("bob", "bob-pw")))
        self.assertEqual(granted, {("repository", "team/a"): ["pull"],
                                   ("repository", "public/b"): [],
                                   ("registry", "catalog"): ["*"]})
        granted, _ = self.grants(self.token(["registry:catalog:*"]))
        self.assertEqual(granted[("registry", "catalog")], [])

    def test_the_token_program_refuses_cleanly(self):
        # The first token lays out the store and makes the signing key.
        self.token(["repository:team/app:pull"], basic("bob", "bob-pw"))
        before = snapshot(self.root)
        self.assertEqual(self.token(["repository:team/app:pull"], basic("bob", "wrong"), 401)
                         .header("WWW-Authenticate"), 'Basic realm="Vornhalt Registry"')
        self.token(["repository:team/app:pull"], basic("dave", "dave-pw"), 401)
        self.token(["repository:team/app:pull"], basic("carol", "bob-pw"), 401)
        for scope in ('repository:team/app"\r\nX: y:pull', "repository::pull", "repository:x",
                      "repository:" + "a" * 300 + ":pull"):
            with self.subTest(scope=scope):
                self.token([scope], basic("bob", "bob-pw"), 400)
        self.token([f"repository:r{i}:pull" for i in range(17)], basic("bob", "bob-pw"), 400)
        self.token(["repository:team/app:pull"], basic("bob", "bob-pw"), 400, service="other")
        r = self.call("token", "POST", "/token", body=b"", checked=False)
        self.assertEqual(r.status, 405)
        # A token buys no new token.
        t = self.token(["repository:team/app:pull"], basic("bob", "bob-pw"))
        self.token(["repository:team/app:push"], "Bearer " + t, 401)
        self.assertEqual(snapshot(self.root), before)

    def test_the_api_with_tokens_and_basic_credentials(self):
        bob = {"HTTP_AUTHORIZATION": "Bearer " + self.token(["repository:team/app:pull,push"],
                                                            basic("bob", "bob-pw"))}
        d = self.push_blob(b"team layer", "team/app", env=bob, actor="bob")
        r = self.call("v2_blobs", "GET", f"/v2/team/app/blobs/{d}", env=bob, actor="bob")
        self.assertEqual(r.body, b"team layer")
        # A token grants only its scopes: another repository asks for more.
        r = self.call("v2_blobs", "GET", f"/v2/team/other/blobs/{d}", env=bob, actor="bob")
        self.assert_error(r, 401, "UNAUTHORIZED")
        self.assertIn('scope="repository:team/other:pull",error="insufficient_scope"',
                      r.header("WWW-Authenticate"))
        # carol may pull but not push: her token says so, and so do the rules.
        carol_token = self.token(["repository:team/app:pull,push"], basic("carol", "carol-pw"))
        carol = {"HTTP_AUTHORIZATION": "Bearer " + carol_token}
        self.assertEqual(self.call("v2_blobs", "HEAD", f"/v2/team/app/blobs/{d}", env=carol,
                                   actor="carol").status, 200)
        r = self.call("v2_uploads", "POST", "/v2/team/app/blobs/uploads/", env=carol, actor="carol")
        self.assert_error(r, 403, "DENIED")
        self.assertEqual(r.json()["errors"][0]["message"],
                         "access denied: carol may not push to team/app")
        r = self.call("v2_blobs", "DELETE", f"/v2/team/app/blobs/{d}",
                      env={"HTTP_AUTHORIZATION": basic("carol", "carol-pw")}, actor="carol")
        self.assert_error(r, 403, "DENIED")
        # Anonymous: the public area only.
        self.push_blob(b"public layer", "public/tool",
                       env={"HTTP_AUTHORIZATION": basic("alice", "alice-pw")}, actor="alice")
        self.assertEqual(self.call("v2_blobs", "GET",
                                   f"/v2/public/tool/blobs/{digest_of(b'public layer')}").status, 200)
        r = self.call("v2_blobs", "GET", f"/v2/team/app/blobs/{d}")
        self.assert_error(r, 401, "UNAUTHORIZED")
        # A token signed with another key, one for another service and one
        # whose time is over: each a 401, never more.
        forged = carol_token.rsplit(".", 1)[0] + "." + "A" * 43
        for bad in (forged, carol_token + "x", "a.b", carol_token.replace(".", "", 1)):
            with self.subTest(token=bad[:30]):
                r = self.call("v2_blobs", "HEAD", f"/v2/team/app/blobs/{d}",
                              env={"HTTP_AUTHORIZATION": "Bearer " + bad})
                self.assertEqual(r.status, 401)
                self.assertIn('error="invalid_token"', r.header("WWW-Authenticate"))

    def test_mounts_need_pull_on_their_source(self):
        alice = {"HTTP_AUTHORIZATION": basic("alice", "alice-pw")}
        bob = {"HTTP_AUTHORIZATION": basic("bob", "bob-pw")}
        d = self.push_blob(b"secret layer", "public/x", env=alice, actor="alice")
        # bob may pull public/x: the mount works.
        r = self.call("v2_uploads", "POST", "/v2/team/app/blobs/uploads/",
                      f"mount={d}&from=public/x", env=bob, actor="bob")
        self.assertEqual(r.status, 201, r)
        # From a repository bob may not pull, or with no source named: an
        # upload, never a way to the blob.
        for query in (f"mount={d}&from=other/x", f"mount={d}", f"mount={d}&from=..%2Fx"):
            with self.subTest(query=query):
                r = self.call("v2_uploads", "POST", "/v2/team/app/blobs/uploads/", query, env=bob,
                              actor="bob")
                self.assertEqual(r.status, 202, r)

    def test_the_catalog_lists_what_the_caller_may_pull(self):
        alice = {"HTTP_AUTHORIZATION": basic("alice", "alice-pw")}
        self.settings(registry_access=[{"repositories": ["**"], "users": ["alice"],
                                        "actions": ["*"]}] + TEAM_RULES)
        for name in ("other/x", "public/tool", "team/app", "team/db"):
            self.push_blob(b"x", name, env=alice, actor="alice")
            self.push_manifest(image_manifest(descriptor(OCI_CONFIG, b"x")), "v1", name, env=alice,
                               actor="alice")
        self.settings()
        cases = [(alice, "alice", ["other/x", "public/tool", "team/app", "team/db"]),
                 ({"HTTP_AUTHORIZATION": basic("carol", "carol-pw")}, "carol",
                  ["public/tool", "team/app", "team/db"])]
        for env, user, want in cases:
            with self.subTest(user=user):
                r = self.call("v2_catalog", "GET", "/v2/_catalog", env=env, actor=user)
                self.assertEqual(r.json(), {"repositories": want})
        token = self.token(["registry:catalog:*"], basic("carol", "carol-pw"))
        r = self.call("v2_catalog", "GET", "/v2/_catalog", "n=2",
                      env={"HTTP_AUTHORIZATION": "Bearer " + token}, actor="carol")
        self.assertEqual(r.json(), {"repositories": ["public/tool"]})  # other/x left out
        self.assertIn("last=public/tool", r.header("Link") or "")
        r = self.call("v2_catalog", "GET", "/v2/_catalog")
        self.assert_error(r, 401, "UNAUTHORIZED")

    def test_settings_that_cannot_be_used_answer_500_and_change_nothing(self):
        self.stderr_expected = True
        cases = [
            ('{"registry_htpasswd": "users", "_pad": "' + "x" * 5000 + '", "registry_qouta_bytes": 1}',
             'unknown key \\"registry_qouta_bytes\\"'),
            ('{"registry_auth_user": "alice", "registry_auth_sha256": 5}', "registry_auth_sha256"),
            ("{not json", "not JSON"),
        ]
        before = snapshot(self.root)
        for text, says in cases:
            with open(os.path.join(self.cwd, "config.json"), "w") as f:
                f.write(text)
            for program, method, path, query in (("v2_base", "GET", "/v2/", ""),
                                                 ("v2_catalog", "GET", "/v2/_catalog", ""),
                                                 ("v2_uploads", "POST", "/v2/x/blobs/uploads/", ""),
                                                 ("token", "GET", "/token", "scope=repository:x:pull")):
                with self.subTest(text=text[:40], program=program):
                    r = self.run_raw(program, method, path, query)
                    self.assertEqual(r.status, 500, r)
                    self.assertIn(says, r.body.decode())
                    self.assertIn("settings file config.json", r.body.decode())
                    self.assertIn(b"settings file config.json", self.last_stderr)
        self.assertEqual(snapshot(self.root), before)
        # The users file gone: a password cannot be checked, so nothing passes.
        self.settings()
        os.remove(os.path.join(self.cwd, "users"))
        r = self.run_raw("v2_base", "GET", "/v2/", env={"HTTP_AUTHORIZATION": basic("bob", "bob-pw")})
        self.assertEqual(r.status, 500, r)
        self.assertIn("users file users cannot be read", r.body.decode())


class Quota(EndpointCase):
    def test_an_upload_past_the_quota_is_refused_and_not_stored(self):
        with open(os.path.join(self.cwd, "config.json"), "w") as f:
            f.write('{"registry_quota_bytes": 10}')
        self.push_blob(b"12345678")
        blobs = snapshot(self.store_path("blobs"))
        r = self.call("v2_uploads", "POST", "/v2/lib/app/blobs/uploads/",
                      f"digest={digest_of(b'abc')}", b"abc")
        self.assert_error(r, 403, "DENIED")
        self.assertEqual(self.uploads(), [])
        loc = self.start_upload()
        r = self.call("v2_uploads", "PUT", loc, f"digest={digest_of(b'abc')}", b"abc")
        self.assert_error(r, 403, "DENIED")
        self.assertEqual(snapshot(self.store_path("blobs")), blobs)
        # What still fits is taken.
        self.push_blob(b"ab")


class AccessLog(EndpointCase):
    def test_lines_in_order_with_status_bytes_and_actor(self):
        d = self.push_blob(bytes(1000))
        self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{d}", env={"HTTP_RANGE": "bytes=0-99"})
        self.call("v2_blobs", "HEAD", f"/v2/lib/app/blobs/{d}")
        self.call("v2_manifests", "GET", "/v2/lib/app/manifests/none")
        with open(self.store_path(LOG_NAME), "rb") as f:
            lines = f.read().decode().splitlines()
        self.assertEqual([l.split(" ")[:5] for l in lines], [
            ["POST", "/v2/lib/app/blobs/uploads/", "0", "201", "anonymous"],
            ["GET", f"/v2/lib/app/blobs/{d}", "100", "206", "anonymous"],
            ["HEAD", f"/v2/lib/app/blobs/{d}", "0", "200", "anonymous"],
            ["GET", "/v2/lib/app/manifests/none", lines[3].split(" ")[2], "404", "anonymous"],
        ])
        self.assertGreater(int(lines[3].split(" ")[2]), 0)

    def test_control_bytes_in_the_path_stay_on_one_line(self):
        path = "/v2/lib/app\n/manifests/v1\r\"x\\"
        r = self.call("v2_manifests", "GET", path)
        self.assertEqual(r.status, 400)
        with open(self.store_path(LOG_NAME), "rb") as f:
            self.assertEqual(f.read().count(b"\n"), 1)


class Unavailable(EndpointCase):
    def test_a_root_that_cannot_be_made_answers_503(self):
        blocked = os.path.join(self.tmp, "blocked")
        with open(blocked, "w") as f:
            f.write("a file where the root should be")
        d = digest_of(b"x")
        for program, method, path in (("v2_catalog", "GET", "/v2/_catalog"),
                                      ("v2_tags", "GET", "/v2/a/tags/list"),
                                      ("v2_manifests", "GET", "/v2/a/manifests/v1"),
                                      ("v2_blobs", "GET", f"/v2/a/blobs/{d}"),
                                      ("v2_uploads", "POST", "/v2/a/blobs/uploads/"),
                                      ("v2_referrers", "GET", f"/v2/a/referrers/{d}")):
            with self.subTest(program=program):
                r = self.run_raw(program, method, path, root=blocked)
                self.assertEqual(r.status, 503, r)
                self.assertEqual(r.all("Docker-Distribution-API-Version"), [API_VERSION])
                self.assertEqual(r.code(), "UNKNOWN")


class EndpointWordNames(EndpointCase):
    """Repository names with a component that is one of the URL's marker
    words, at each position: the last marker ends the name, so every
    endpoint reaches the same repository, and each Location it answers
    leads back to it."""

    NAMES = ["team/blobs", "blobs/team", "team/manifests", "manifests/manifests", "org/tags",
             "tags/list", "x/uploads", "a/blobs/uploads", "blobs/uploads/z", "y/referrers",
             "referrers/y", "v2", "v2/v2", "catalog", "m/manifests/blobs/tags/referrers/list"]

    def test_every_endpoint_for_every_name(self):
        for name in self.NAMES:
            with self.subTest(name=name):
                self.every_endpoint(name)
        # The catalog and the status page list each name once, and the
        # status page's next links walk through them all.
        self.assertEqual(self.call("v2_catalog", "GET", "/v2/_catalog").json(),
                         {"repositories": sorted(self.NAMES)})
        seen, query = [], "n=1"
        for _ in self.NAMES:
            page = self.run_raw("status", "GET", "/status", query,
                                env={"HTTP_ACCEPT": "text/html"}).body.decode()
            seen += re.findall(r"<tr><td>([^<]+)</td><td>v1</td>", page)
            m = re.search(r'id="next" href="/status\?([^"]+)"', page)
            if not m:
                break
            query = m.group(1).replace("&amp;", "&")
        self.assertEqual(seen, sorted(self.NAMES))

    def every_endpoint(self, name):
        config = f'{{"os":"linux","name":"{name}"}}'.encode()
        layer = name.encode() * 100
        # Chunked upload: POST, PATCH and PUT to the Location answered.
        loc = self.start_upload(name)
        r = self.call("v2_uploads", "PATCH", loc, body=layer[:50])
        self.assertEqual((r.status, r.header("Location"), r.header("Range")), (202, loc, "0-49"))
        self.assertEqual(self.call("v2_uploads", "GET", loc).status, 204)
        d = digest_of(layer)
        r = self.call("v2_uploads", "PUT", loc, f"digest={d}", layer[50:])
        self.assertEqual((r.status, r.header("Location"), r.header("Docker-Content-Digest")),
                         (201, f"/v2/{name}/blobs/{d}", d))
        # Monolithic, mount, and a cancelled upload.
        self.push_blob(config, name)
        r = self.call("v2_uploads", "POST", f"/v2/{name}/blobs/uploads/", f"mount={d}&from={name}")
        self.assertEqual((r.status, r.header("Location")), (201, f"/v2/{name}/blobs/{d}"))
        cancelled = self.start_upload(name)
        self.assertEqual(self.call("v2_uploads", "DELETE", cancelled).status, 204)
        self.assert_error(self.call("v2_uploads", "GET", cancelled), 404, "BLOB_UPLOAD_UNKNOWN")
        # Blobs.
        for method in ("GET", "HEAD"):
            r = self.call("v2_blobs", method, f"/v2/{name}/blobs/{d}")
            self.assertEqual((r.status, r.header("Docker-Content-Digest")), (200, d))
        # Manifests by tag and digest; the Location names the repository.
        manifest = image_manifest(descriptor(OCI_CONFIG, config), [descriptor(OCI_LAYER, layer)])
        md = digest_of(manifest)
        r = self.push_manifest(manifest, "v1", name)
        self.assertEqual(r.header("Location"), f"/v2/{name}/manifests/{md}")
        for ref in ("v1", md):
            for method in ("GET", "HEAD"):
                r = self.call("v2_manifests", method, f"/v2/{name}/manifests/{ref}")
                self.assertEqual((r.status, r.header("Docker-Content-Digest")), (200, md))
        # Tags and referrers.
        self.assertEqual(self.call("v2_tags", "GET", f"/v2/{name}/tags/list").json(),
                         {"name": name, "tags": ["v1"]})
        empty = b"{}"
        self.push_blob(empty, name)
        referrer = image_manifest(descriptor(OCI_EMPTY, empty), [descriptor(OCI_EMPTY, empty)],
                                  artifactType="application/vnd.example.sig",
                                  subject=descriptor(OCI_MANIFEST, manifest))
        r = self.push_manifest(referrer, digest_of(referrer), name)
        self.assertEqual(r.header("OCI-Subject"), md)
        r = self.call("v2_referrers", "GET", f"/v2/{name}/referrers/{md}")
        self.assertEqual([m["digest"] for m in r.json()["manifests"]], [digest_of(referrer)])
        # Deletes: a second tag, then the referrer by digest.
        self.push_manifest(manifest, "gone", name)
        self.assertEqual(self.call("v2_manifests", "DELETE", f"/v2/{name}/manifests/gone").status,
                         202)
        self.assertEqual(
            self.call("v2_manifests", "DELETE", f"/v2/{name}/manifests/{digest_of(referrer)}")
            .status, 202)
        self.assertEqual(self.call("v2_tags", "GET", f"/v2/{name}/tags/list").json()["tags"],
                         ["v1"])


class UpperCaseNames(EndpointCase):
    """Names are lower case: what creates or changes something refuses any
    other, with the reason; what was stored before stays readable."""

    WHY = "repository names are lower case"

    def test_writes_are_refused_and_change_nothing(self):
        config, layer, manifest = self.push_image("lib/app")
        d, md = digest_of(layer), digest_of(manifest)
        loc = self.start_upload("lib/app")
        upload_id = loc.rsplit("/", 1)[1]
        oci = {"CONTENT_TYPE": OCI_MANIFEST}
        before = snapshot(self.root)
        rows = [
            ("v2_manifests", "PUT", "/v2/Lib/app/manifests/v1", "", manifest, oci),
            ("v2_manifests", "PUT", f"/v2/lib/App/manifests/{md}", "", manifest, oci),
            ("v2_manifests", "DELETE", f"/v2/LIB/APP/manifests/{md}", "", None, {}),
            ("v2_manifests", "DELETE", "/v2/lib/appX/manifests/v1", "", None, {}),
            ("v2_blobs", "DELETE", f"/v2/Lib/app/blobs/{d}", "", None, {}),
            ("v2_uploads", "POST", "/v2/Lib/app/blobs/uploads/", "", None, {}),
            ("v2_uploads", "POST", "/v2/Lib/app/blobs/uploads/", f"digest={d}", layer, {}),
            ("v2_uploads", "POST", "/v2/Lib/app/blobs/uploads/", f"mount={d}&from=lib/app", None, {}),
            ("v2_uploads", "PATCH", f"/v2/Lib/app/blobs/uploads/{upload_id}", "", b"abc", {}),
            ("v2_uploads", "PUT", f"/v2/Lib/app/blobs/uploads/{upload_id}", f"digest={d}", None, {}),
            ("v2_uploads", "DELETE", f"/v2/Lib/app/blobs/uploads/{upload_id}", "", None, {}),
        ]
        for program, method, path, query, body, env in rows:
            with self.subTest(method=method, path=path, query=query):
                r = self.call(program, method, path, query, body, env)
                self.assert_error(r, 400, "NAME_INVALID")
                self.assertIn(self.WHY, r.json()["errors"][0]["message"])
                self.assertEqual(snapshot(self.root), before)

    def test_a_name_stored_with_upper_case_stays_readable(self):
        config, layer, manifest = self.push_image("lib/app")
        md = digest_of(manifest)
        # As an older version stored it: the same tree under another name.
        shutil.copytree(self.store_path("repositories", "lib", "app"),
                        self.store_path("repositories", "Lib", "App"))
        for program, method, path, want in [
                ("v2_manifests", "GET", "/v2/Lib/App/manifests/v1", manifest),
                ("v2_manifests", "HEAD", f"/v2/Lib/App/manifests/{md}", b""),
                ("v2_blobs", "GET", f"/v2/Lib/App/blobs/{digest_of(layer)}", layer),
                ("v2_blobs", "HEAD", f"/v2/Lib/App/blobs/{digest_of(config)}", b""),
                ("v2_referrers", "GET", f"/v2/Lib/App/referrers/{md}", None),
                ("v2_tags", "GET", "/v2/Lib/App/tags/list", b'{"name":"Lib/App","tags":["v1"]}')]:
            with self.subTest(method=method, path=path):
                r = self.call(program, method, path)
                self.assertEqual(r.status, 200, r)
                if want is not None:
                    self.assertEqual(r.body.strip(), want)
        self.assertIn("Lib/App", self.call("v2_catalog", "GET", "/v2/_catalog").json()["repositories"])


class TagsPushedTogether(EndpointCase):
    """PUT by digest with ?tag= sets every tag or none and names each in an
    OCI-Tag header; tags that differ only in case are one file on Windows,
    so none may sit beside another."""

    def test_tags_set_with_a_push_by_digest(self):
        config, layer, manifest = self.push_image("lib/app", "v1")
        other = image_manifest(descriptor(OCI_CONFIG, config), annotations={"k": "2"})
        od = digest_of(other)
        r = self.push_manifest(other, od, env={"QUERY_STRING": "tag=a&tag=b.1&tag=a&tag=v1"})
        self.assertEqual(r.all("OCI-Tag"), ["a", "b.1", "v1"])
        self.assertEqual(self.call("v2_tags", "GET", "/v2/lib/app/tags/list").json()["tags"],
                         ["a", "b.1", "v1"])
        for tag in ("a", "b.1", "v1"):
            self.assertEqual(self.call("v2_manifests", "HEAD", f"/v2/lib/app/manifests/{tag}")
                             .header("Docker-Content-Digest"), od)
        # Without ?tag=, no OCI-Tag.
        self.assertEqual(self.push_manifest(manifest, digest_of(manifest)).all("OCI-Tag"), [])

    def test_a_refused_tag_sets_none(self):
        config, layer, manifest = self.push_image("lib/app", "V1")
        other = image_manifest(descriptor(OCI_CONFIG, config), annotations={"k": "2"})
        od = digest_of(other)
        before = snapshot(self.root)
        for query in ("tag=ok&tag=-bad", "tag=ok&tag=", "tag=ok&tag=nul", "tag=ok&tag=x.",
                      "tag=ok&tag=v1", "tag=ok&tag=Ok", "tag=" + "t" * 129):
            with self.subTest(query=query):
                r = self.call("v2_manifests", "PUT", f"/v2/lib/app/manifests/{od}", query, other,
                              {"CONTENT_TYPE": OCI_MANIFEST})
                self.assert_error(r, 400, "TAG_INVALID")
                self.assertEqual(snapshot(self.root), before)
        r = self.call("v2_manifests", "PUT", f"/v2/lib/app/manifests/{od}", "tag=ok&tag=v1",
                      other, {"CONTENT_TYPE": OCI_MANIFEST})
        self.assertIn("stored tag V1", r.json()["errors"][0]["message"])

    def test_a_tag_differing_only_in_case_is_refused(self):
        config, layer, manifest = self.push_image("lib/app", "V1")
        other = image_manifest(descriptor(OCI_CONFIG, config), annotations={"k": "2"})
        before = snapshot(self.root)
        r = self.call("v2_manifests", "PUT", "/v2/lib/app/manifests/v1", body=other,
                      env={"CONTENT_TYPE": OCI_MANIFEST})
        self.assert_error(r, 400, "TAG_INVALID")
        self.assertIn("stored tag V1", r.json()["errors"][0]["message"])
        self.assertEqual(snapshot(self.root), before)
        # The same tag in the same case moves; another repository is free.
        self.push_manifest(other, "V1")
        self.assertEqual(self.call("v2_manifests", "HEAD", "/v2/lib/app/manifests/V1")
                         .header("Docker-Content-Digest"), digest_of(other))
        self.push_image("lib/other", "v1")
        # A deleted tag no longer stands in the way.
        self.assertEqual(self.call("v2_manifests", "DELETE", "/v2/lib/app/manifests/V1").status, 202)
        self.push_manifest(other, "v1")


class IndexesAndForeignLayers(EndpointCase):
    FOREIGN = "application/vnd.docker.image.rootfs.foreign.diff.tar.gzip"
    NONDIST = "application/vnd.oci.image.layer.nondistributable.v1.tar+gzip"

    def test_an_empty_index_is_accepted(self):
        for media_type in (OCI_INDEX, "application/vnd.docker.distribution.manifest.list.v2+json"):
            with self.subTest(media_type=media_type):
                index = json.dumps({"schemaVersion": 2, "mediaType": media_type,
                                    "manifests": []}).encode()
                self.push_manifest(index, "empty", media_type=media_type)
                r = self.call("v2_manifests", "GET", "/v2/lib/app/manifests/empty")
                self.assertEqual((r.body, r.header("Content-Type")), (index, media_type))

    def test_foreign_layers_need_no_blob(self):
        config = b'{"os":"windows"}'
        self.push_blob(config)
        stored = b"a foreign layer someone pushed anyway"
        self.push_blob(stored)
        layers = [dict(descriptor(self.FOREIGN, digest_of(b"elsewhere"), 9),
                       urls=["https://example.com/layer"]),
                  dict(descriptor(self.NONDIST, digest_of(b"elsewhere too"), 13),
                       urls=["https://example.com/other"]),
                  descriptor(self.NONDIST, stored)]
        manifest = image_manifest(descriptor(OCI_CONFIG, config), layers)
        self.push_manifest(manifest, "win")
        r = self.call("v2_manifests", "GET", "/v2/lib/app/manifests/win")
        self.assertEqual((r.status, r.body), (200, manifest))
        self.assert_error(self.call("v2_blobs", "GET", f"/v2/lib/app/blobs/{digest_of(b'elsewhere')}"),
                          404, "BLOB_UNKNOWN")


class BadInputs(EndpointCase):
    """Refused requests: each answers its status and code, never a 5xx, and
    leaves the store exactly as it was."""

    def setUp(self):
        super().setUp()
        self.config, self.layer, self.manifest = self.push_image()
        self.push_manifest(self.manifest, "v2")
        self.upload = self.start_upload()
        self.call("v2_uploads", "PATCH", self.upload, body=b"hello")

    def rows(self):
        cfg, lay, man = (digest_of(x) for x in (self.config, self.layer, self.manifest))
        up = self.upload
        upload_id = up.rsplit("/", 1)[1]
        sha512 = digest512_of(self.layer)  # stored only under its sha256 digest
        upper = lambda d: d[:7] + d[7:].upper()
        md5 = "md5:" + hashlib.md5(self.layer).hexdigest()
        sha384 = "sha384:" + hashlib.sha384(self.layer).hexdigest()
        oci = {"CONTENT_TYPE": OCI_MANIFEST}
        good = self.manifest
        config_desc = descriptor(OCI_CONFIG, self.config)
        ghost = descriptor(OCI_LAYER, digest_of(b"never pushed"), 12)
        FOREIGN = "application/vnd.docker.image.rootfs.foreign.diff.tar.gzip"
        NONDIST = "application/vnd.oci.image.layer.nondistributable.v1.tar"

        def manifest(**fields):
            doc = json.loads(good)
            doc.update(fields)
            return json.dumps(doc).encode()

        too_big = good[:-1] + b',"annotations":{"pad":"' + b"x" * MANIFEST_MAX + b'"}}'
        long_name = "a" * 256
        m = "v2_manifests"
        b = "v2_blobs"
        u = "v2_uploads"
        return [
            # (what, program, method, path, query, body, env, status, code)
            # -- repository names
            # "lib-", "a___b" and "a.-b" are names the service helpers' rule
            # accepts; every component must begin with a letter or digit.
            # Upper case is read but never written (see UpperCaseNames).
            ("_catalog as a name", m, "PUT", "/v2/_catalog/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("_catalog as a level", "v2_tags", "GET", "/v2/lib/_catalog/tags/list", "", None, {}, 400, "NAME_INVALID"),
            ("upper-case name push", m, "PUT", "/v2/Lib/app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("upper-case name upload", u, "POST", "/v2/lib/APP/blobs/uploads/", "", None, {}, 400, "NAME_INVALID"),
            ("upper-case name blob delete", b, "DELETE", f"/v2/Lib/app/blobs/{lay}", "", None, {}, 400, "NAME_INVALID"),
            ("component starts with a dot", m, "PUT", "/v2/lib/.app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("component starts with a dash", m, "PUT", "/v2/lib/-app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("inside another repository's files", m, "PUT", "/v2/lib/app/_manifests/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("onto another repository's tag link", m, "PUT", "/v2/lib/app/_manifests/tags/v1/current/link/manifests/v2", "", good, oci, 400, "NAME_INVALID"),
            ("dot-dot push", m, "PUT", "/v2/lib/../app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("dot push", m, "PUT", "/v2/lib/./app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("dot-dot upload", u, "POST", "/v2/lib/../x/blobs/uploads/", "", None, {}, 400, "NAME_INVALID"),
            ("dot-dot monolithic", u, "POST", "/v2/lib/../x/blobs/uploads/", f"digest={digest_of(b'm')}", b"m", {}, 400, "NAME_INVALID"),
            ("dot-dot mount", u, "POST", "/v2/lib/../x/blobs/uploads/", f"mount={lay}", None, {}, 400, "NAME_INVALID"),
            ("dot-dot blob read", b, "GET", f"/v2/lib/../x/blobs/{lay}", "", None, {}, 400, "NAME_INVALID"),
            ("dot-dot blob delete", b, "DELETE", f"/v2/lib/../app/blobs/{lay}", "", None, {}, 400, "NAME_INVALID"),
            ("dot-dot patch", u, "PATCH", f"/v2/lib/../app/blobs/uploads/{upload_id}", "", b"abc", {}, 400, "NAME_INVALID"),
            ("dot-dot tags", "v2_tags", "GET", "/v2/lib/../app/tags/list", "", None, {}, 400, "NAME_INVALID"),
            ("dot-dot referrers", "v2_referrers", "GET", f"/v2/lib/../app/referrers/{man}", "", None, {}, 400, "NAME_INVALID"),
            ("backslash push", m, "PUT", "/v2/lib\\app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("backslash upload", u, "POST", "/v2/lib\\app/blobs/uploads/", "", None, {}, 400, "NAME_INVALID"),
            ("backslash blob", b, "GET", f"/v2/lib\\app/blobs/{lay}", "", None, {}, 400, "NAME_INVALID"),
            ("backslash tags", "v2_tags", "GET", "/v2/lib\\app/tags/list", "", None, {}, 400, "NAME_INVALID"),
            ("encoded slash", m, "GET", "/v2/lib%2Fapp/manifests/v1", "", None, {}, 400, "NAME_INVALID"),
            ("double slash", m, "PUT", "/v2/lib//app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("trailing slash", m, "PUT", "/v2/lib/app//manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("leading separator", u, "POST", "/v2/-lib/blobs/uploads/", "", None, {}, 400, "NAME_INVALID"),
            ("256 bytes", m, "PUT", f"/v2/{long_name}/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("256 bytes upload", u, "POST", f"/v2/{long_name}/blobs/uploads/", "", None, {}, 400, "NAME_INVALID"),
            ("dot-dot inside a component", m, "PUT", "/v2/lib/a..b/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            # Names Windows would open as a device or alias to another name
            # (it drops a trailing dot or space): refused on every system,
            # so a store keeps its names when it moves between them.
            ("device name", m, "PUT", "/v2/con/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("device name as a component", u, "POST", "/v2/lib/NUL/blobs/uploads/", "", None, {}, 400, "NAME_INVALID"),
            ("device name with an extension", m, "PUT", "/v2/lib/aux.tar/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("numbered device, mixed case", "v2_tags", "GET", "/v2/Com1/app/tags/list", "", None, {}, 400, "NAME_INVALID"),
            ("printer device", "v2_referrers", "GET", f"/v2/lib/lpt9/referrers/{man}", "", None, {}, 400, "NAME_INVALID"),
            ("device blob read", b, "GET", f"/v2/prn/blobs/{lay}", "", None, {}, 400, "NAME_INVALID"),
            ("component ends with a dot", m, "PUT", "/v2/lib./app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("name ends with a dot before the marker", u, "POST", "/v2/lib/app./blobs/uploads/", "", None, {}, 400, "NAME_INVALID"),
            ("component ends with a space", m, "PUT", "/v2/lib /app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            ("backslash and dot-dot", m, "PUT", "/v2/lib\\..\\app/manifests/v1", "", good, oci, 400, "NAME_INVALID"),
            # -- tags
            ("tag starts with a dash", m, "PUT", "/v2/lib/app/manifests/-v1", "", good, oci, 400, "TAG_INVALID"),
            ("tag starts with a dot", m, "PUT", "/v2/lib/app/manifests/.v1", "", good, oci, 400, "TAG_INVALID"),
            ("tag of 129 bytes", m, "PUT", "/v2/lib/app/manifests/" + "t" * 129, "", good, oci, 400, "TAG_INVALID"),
            ("tag with a slash", m, "PUT", "/v2/lib/app/manifests/v1/../v2", "", good, oci, 400, "TAG_INVALID"),
            ("tag dot-dot", m, "GET", "/v2/lib/app/manifests/..", "", None, {}, 400, "TAG_INVALID"),
            ("tag with a space", m, "PUT", "/v2/lib/app/manifests/v 1", "", good, oci, 400, "TAG_INVALID"),
            ("tag delete dot-dot", m, "DELETE", "/v2/lib/app/manifests/..", "", None, {}, 400, "TAG_INVALID"),
            ("tag ends with a dot", m, "PUT", "/v2/lib/app/manifests/v1.", "", good, oci, 400, "TAG_INVALID"),
            ("tag ends with a space", m, "PUT", "/v2/lib/app/manifests/v1 ", "", good, oci, 400, "TAG_INVALID"),
            ("tag is a device", m, "PUT", "/v2/lib/app/manifests/nul", "", good, oci, 400, "TAG_INVALID"),
            ("tag is a device with an extension", m, "PUT", "/v2/lib/app/manifests/CON.1", "", good, oci, 400, "TAG_INVALID"),
            ("tag read of a device", m, "GET", "/v2/lib/app/manifests/aux", "", None, {}, 400, "TAG_INVALID"),
            ("tag with backslashes", m, "PUT", "/v2/lib/app/manifests/v1\\..\\v2", "", good, oci, 400, "TAG_INVALID"),
            ("tag differing only in case from a stored one", m, "PUT", "/v2/lib/app/manifests/V1", "", good, oci, 400, "TAG_INVALID"),
            ("pushed tag starts with a dash", m, "PUT", f"/v2/lib/app/manifests/{man}", "tag=ok&tag=-v1", good, oci, 400, "TAG_INVALID"),
            ("pushed tags differ only in case", m, "PUT", f"/v2/lib/app/manifests/{man}", "tag=ok&tag=OK", good, oci, 400, "TAG_INVALID"),
            ("pushed tag differs only in case from a stored one", m, "PUT", f"/v2/lib/app/manifests/{man}", "tag=ok&tag=V2", good, oci, 400, "TAG_INVALID"),
            ("pushed tag empty", m, "PUT", f"/v2/lib/app/manifests/{man}", "tag=", good, oci, 400, "TAG_INVALID"),
            # -- digests
            ("63 digits", b, "GET", f"/v2/lib/app/blobs/{lay[:-1]}", "", None, {}, 400, "DIGEST_INVALID"),
            ("65 digits", b, "GET", f"/v2/lib/app/blobs/{lay}0", "", None, {}, 400, "DIGEST_INVALID"),
            ("upper-case hex", b, "GET", f"/v2/lib/app/blobs/{upper(lay)}", "", None, {}, 400, "DIGEST_INVALID"),
            ("upper-case algorithm", b, "GET", f"/v2/lib/app/blobs/SHA256:{lay[7:]}", "", None, {}, 400, "DIGEST_INVALID"),
            ("not hex", b, "GET", f"/v2/lib/app/blobs/sha256:{'g' * 64}", "", None, {}, 400, "DIGEST_INVALID"),
            ("digest with a backslash", b, "GET", f"/v2/lib/app/blobs/{lay}\\..", "", None, {}, 400, "DIGEST_INVALID"),
            ("digest with a trailing dot", b, "GET", f"/v2/lib/app/blobs/{lay}.", "", None, {}, 400, "DIGEST_INVALID"),
            ("upper-case blob delete", b, "DELETE", f"/v2/lib/app/blobs/{upper(lay)}", "", None, {}, 400, "DIGEST_INVALID"),
            ("upper-case manifest read", m, "GET", f"/v2/lib/app/manifests/{upper(man)}", "", None, {}, 400, "DIGEST_INVALID"),
            ("upper-case manifest delete", m, "DELETE", f"/v2/lib/app/manifests/{upper(man)}", "", None, {}, 400, "DIGEST_INVALID"),
            ("upper-case referrers", "v2_referrers", "GET", f"/v2/lib/app/referrers/{upper(man)}", "", None, {}, 400, "DIGEST_INVALID"),
            ("sha512 monolithic mismatch", u, "POST", "/v2/lib/app/blobs/uploads/", f"digest={sha512}", b"other", {}, 400, "DIGEST_INVALID"),
            # Algorithms not kept, and sha512 misspelt.
            ("md5 blob", b, "GET", f"/v2/lib/app/blobs/{md5}", "", None, {}, 400, "DIGEST_INVALID"),
            ("sha384 blob head", b, "HEAD", f"/v2/lib/app/blobs/{sha384}", "", None, {}, 400, "DIGEST_INVALID"),
            ("md5 blob delete", b, "DELETE", f"/v2/lib/app/blobs/{md5}", "", None, {}, 400, "DIGEST_INVALID"),
            ("sha384 manifest read", m, "GET", f"/v2/lib/app/manifests/{sha384}", "", None, {}, 400, "DIGEST_INVALID"),
            ("md5 manifest push", m, "PUT", f"/v2/lib/app/manifests/{md5}", "", good, oci, 400, "DIGEST_INVALID"),
            ("sha384 referrers", "v2_referrers", "GET", f"/v2/lib/app/referrers/{sha384}", "", None, {}, 400, "DIGEST_INVALID"),
            ("md5 monolithic", u, "POST", "/v2/lib/app/blobs/uploads/", f"digest={md5}", self.layer, {}, 400, "DIGEST_INVALID"),
            ("sha384 finish", u, "PUT", up, f"digest={sha384}", None, {}, 400, "DIGEST_INVALID"),
            ("sha512 of 127 digits", b, "GET", f"/v2/lib/app/blobs/{sha512[:-1]}", "", None, {}, 400, "DIGEST_INVALID"),
            ("sha512 of 129 digits", m, "GET", f"/v2/lib/app/manifests/{sha512}0", "", None, {}, 400, "DIGEST_INVALID"),
            ("sha512 of 64 digits", b, "GET", f"/v2/lib/app/blobs/sha512:{lay[7:]}", "", None, {}, 400, "DIGEST_INVALID"),
            ("sha512 upper-case hex", b, "GET", f"/v2/lib/app/blobs/{upper(sha512)}", "", None, {}, 400, "DIGEST_INVALID"),
            ("sha512 upper-case manifest push", m, "PUT", f"/v2/lib/app/manifests/{upper(digest512_of(good))}", "", good, oci, 400, "DIGEST_INVALID"),
            ("sha512 upper-case finish", u, "PUT", up, f"digest={upper(digest512_of(b'hello'))}", None, {}, 400, "DIGEST_INVALID"),
            ("sha512 wrong length monolithic", u, "POST", "/v2/lib/app/blobs/uploads/", f"digest={sha512[:-2]}", self.layer, {}, 400, "DIGEST_INVALID"),
            ("sha512 upper-case referrers", "v2_referrers", "GET", f"/v2/lib/app/referrers/{upper(sha512)}", "", None, {}, 400, "DIGEST_INVALID"),
            ("short monolithic digest", u, "POST", "/v2/lib/app/blobs/uploads/", f"digest={lay[:20]}", self.layer, {}, 400, "DIGEST_INVALID"),
            ("monolithic mismatch", u, "POST", "/v2/lib/app/blobs/uploads/", f"digest={cfg}", b"other", {}, 400, "DIGEST_INVALID"),
            ("finish upper-case", u, "PUT", up, f"digest={upper(digest_of(b'hello'))}", None, {}, 400, "DIGEST_INVALID"),
            ("finish empty digest", u, "PUT", up, "digest=", None, {}, 400, "DIGEST_INVALID"),
            ("finish with a body and a bad digest", u, "PUT", up, f"digest={upper(digest_of(b'hello!'))}", b"!", {}, 400, "DIGEST_INVALID"),
            ("finish with a body and no digest", u, "PUT", up, "", b"!", {}, 400, "DIGEST_INVALID"),
            # -- upload ids
            ("not an id", u, "PATCH", "/v2/lib/app/blobs/uploads/not-an-id", "", b"abc", {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("upper-case id", u, "PATCH", f"/v2/lib/app/blobs/uploads/{upload_id.upper()}", "", b"abc", {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("id with a suffix", u, "PATCH", f"{up}.part", "", b"abc", {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("id behind dot-dot", u, "PATCH", f"/v2/lib/app/blobs/uploads/../uploads/{upload_id}", "", b"abc", {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("id with a slash", u, "GET", f"{up}/x", "", None, {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("id with a backslash", u, "GET", f"{up}\\..\\x", "", None, {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("id with a trailing dot", u, "PATCH", f"{up}.", "", b"abc", {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("unknown id read", u, "GET", "/v2/lib/app/blobs/uploads/00000000-0000-0000-0000-000000000000", "", None, {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("unknown id finish", u, "PUT", "/v2/lib/app/blobs/uploads/00000000-0000-0000-0000-000000000000", f"digest={digest_of(b'')}", None, {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("unknown id cancel", u, "DELETE", "/v2/lib/app/blobs/uploads/00000000-0000-0000-0000-000000000000", "", None, {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("patch without an id", u, "PATCH", "/v2/lib/app/blobs/uploads/", "", b"abc", {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            # -- chunks with Content-Range (the upload holds 5 bytes)
            ("chunk at the start", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "0-2"}, 416, "BLOB_UPLOAD_INVALID"),
            ("chunk past the end", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "6-8"}, 416, "BLOB_UPLOAD_INVALID"),
            ("range shorter than the body", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "5-6"}, 416, "BLOB_UPLOAD_INVALID"),
            ("range longer than the body", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "5-9"}, 416, "BLOB_UPLOAD_INVALID"),
            ("range not numbers", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "abc"}, 416, "BLOB_UPLOAD_INVALID"),
            ("range without an end", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "5-"}, 416, "BLOB_UPLOAD_INVALID"),
            ("range backwards", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "7-5"}, 416, "BLOB_UPLOAD_INVALID"),
            ("range total too small", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "bytes 5-7/7"}, 416, "BLOB_UPLOAD_INVALID"),
            ("range negative", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "-5-7"}, 416, "BLOB_UPLOAD_INVALID"),
            ("range of 19 digits", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "1234567890123456789-1234567890123456791"}, 416, "BLOB_UPLOAD_INVALID"),
            ("range with a second range", u, "PATCH", up, "", b"abc", {"HTTP_CONTENT_RANGE": "5-7,8-9"}, 416, "BLOB_UPLOAD_INVALID"),
            ("final chunk at the start", u, "PUT", up, f"digest={digest_of(b'helloabc')}", b"abc", {"HTTP_CONTENT_RANGE": "0-2"}, 416, "BLOB_UPLOAD_INVALID"),
            # -- bodies shorter than announced
            ("manifest cut short", m, "PUT", "/v2/lib/app/manifests/v2", "", good, {**oci, "CONTENT_LENGTH": str(len(good) + 10)}, 400, "SIZE_INVALID"),
            ("monolithic cut short", u, "POST", "/v2/lib/app/blobs/uploads/", f"digest={digest_of(b'whole')}", b"who", {"CONTENT_LENGTH": "5"}, 400, "SIZE_INVALID"),
            # -- manifests
            ("broken JSON", m, "PUT", "/v2/lib/app/manifests/v2", "", good[:-1], oci, 400, "MANIFEST_INVALID"),
            ("JSON array", m, "PUT", "/v2/lib/app/manifests/v2", "", b"[]", oci, 400, "MANIFEST_INVALID"),
            ("empty object", m, "PUT", "/v2/lib/app/manifests/v2", "", b"{}", oci, 400, "MANIFEST_INVALID"),
            ("empty body", m, "PUT", "/v2/lib/app/manifests/v2", "", b"", oci, 400, "MANIFEST_INVALID"),
            ("trailing garbage", m, "PUT", "/v2/lib/app/manifests/v2", "", good + b"}", oci, 400, "MANIFEST_INVALID"),
            ("config blob missing", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(config=dict(ghost, mediaType=OCI_CONFIG)), oci, 400, "MANIFEST_BLOB_UNKNOWN"),
            ("layer blob missing", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(layers=[ghost]), oci, 400, "MANIFEST_BLOB_UNKNOWN"),
            ("index entry missing", m, "PUT", "/v2/lib/app/manifests/v2", "", json.dumps({"schemaVersion": 2, "mediaType": OCI_INDEX, "manifests": [dict(ghost, mediaType=OCI_MANIFEST)]}).encode(), {"CONTENT_TYPE": OCI_INDEX}, 400, "MANIFEST_BLOB_UNKNOWN"),
            ("foreign layer without urls", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(layers=[dict(ghost, mediaType=FOREIGN)]), oci, 400, "MANIFEST_INVALID"),
            ("foreign layer with empty urls", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(layers=[dict(ghost, mediaType=NONDIST, urls=[])]), oci, 400, "MANIFEST_INVALID"),
            ("foreign layer with a url not a string", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(layers=[dict(ghost, mediaType=NONDIST, urls=[1])]), oci, 400, "MANIFEST_INVALID"),
            ("foreign layer with a malformed digest", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(layers=[dict(ghost, mediaType=FOREIGN, digest="sha256:x", urls=["https://example.com/l"])]), oci, 400, "MANIFEST_INVALID"),
            ("foreign layer with no digest", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(layers=[{"mediaType": FOREIGN, "size": 1, "urls": ["https://example.com/l"]}]), oci, 400, "MANIFEST_INVALID"),
            ("plain layer with urls, not stored", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(layers=[dict(ghost, urls=["https://example.com/l"])]), oci, 400, "MANIFEST_BLOB_UNKNOWN"),
            ("foreign type in another case", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(layers=[dict(ghost, mediaType=FOREIGN.upper(), urls=["https://example.com/l"])]), oci, 400, "MANIFEST_BLOB_UNKNOWN"),
            ("empty index of the image type", m, "PUT", "/v2/lib/app/manifests/v2", "", json.dumps({"schemaVersion": 2, "mediaType": OCI_MANIFEST, "manifests": []}).encode(), {"CONTENT_TYPE": OCI_INDEX}, 400, "MANIFEST_INVALID"),
            ("empty index with a control byte in its type", m, "PUT", "/v2/lib/app/manifests/v2", "", json.dumps({"schemaVersion": 2, "mediaType": "x\u0001y", "manifests": []}).encode(), {}, 400, "MANIFEST_INVALID"),
            ("index entries not an array", m, "PUT", "/v2/lib/app/manifests/v2", "", json.dumps({"schemaVersion": 2, "mediaType": OCI_INDEX, "manifests": {}}).encode(), {"CONTENT_TYPE": OCI_INDEX}, 400, "MANIFEST_INVALID"),
            ("sha512 config not stored", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(config=dict(config_desc, digest=digest512_of(self.config))), oci, 400, "MANIFEST_BLOB_UNKNOWN"),
            ("sha384 config", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(config=dict(config_desc, digest=sha384)), oci, 400, "MANIFEST_INVALID"),
            ("sha512 reference of another body", m, "PUT", f"/v2/lib/app/manifests/{digest512_of(b'x')}", "", good, oci, 400, "DIGEST_INVALID"),
            ("sha256 body under its sha512 twin", m, "PUT", f"/v2/lib/app/manifests/{'sha512:' + man[7:] * 2}", "", good, oci, 400, "DIGEST_INVALID"),
            ("digest reference of another body", m, "PUT", f"/v2/lib/app/manifests/{digest_of(b'x')}", "", good, oci, 400, "DIGEST_INVALID"),
            ("upper-case digest reference", m, "PUT", f"/v2/lib/app/manifests/{upper(man)}", "", good, oci, 400, "DIGEST_INVALID"),
            ("schema 1 by type", m, "PUT", "/v2/lib/app/manifests/v2", "", good, {"CONTENT_TYPE": "application/vnd.docker.distribution.manifest.v1+prettyjws"}, 400, "MANIFEST_INVALID"),
            ("schema 1 by body", m, "PUT", "/v2/lib/app/manifests/v2", "", json.dumps({"schemaVersion": 1, "name": "lib/app", "tag": "v2", "fsLayers": [{"blobSum": lay}]}).encode(), {"CONTENT_TYPE": "application/json"}, 400, "MANIFEST_INVALID"),
            ("schema version 3", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(schemaVersion=3), oci, 400, "MANIFEST_INVALID"),
            ("image body as an index", m, "PUT", "/v2/lib/app/manifests/v2", "", good, {"CONTENT_TYPE": OCI_INDEX}, 400, "MANIFEST_INVALID"),
            ("subject without a digest", m, "PUT", "/v2/lib/app/manifests/v2", "", manifest(subject={"mediaType": OCI_MANIFEST, "size": 1}), oci, 400, "MANIFEST_INVALID"),
            ("control byte in the type", m, "PUT", "/v2/lib/app/manifests/v2", "", good, {"CONTENT_TYPE": "application/x\x01y"}, 400, "MANIFEST_INVALID"),
            ("over 4 MiB", m, "PUT", "/v2/lib/app/manifests/v2", "", too_big, oci, 413, "SIZE_INVALID"),
            ("over 4 MiB announced", m, "PUT", "/v2/lib/app/manifests/v2", "", good, {**oci, "CONTENT_LENGTH": str(MANIFEST_MAX + 1)}, 413, "SIZE_INVALID"),
            # -- what is not there
            ("unknown blob", b, "GET", f"/v2/lib/app/blobs/{digest_of(b'none')}", "", None, {}, 404, "BLOB_UNKNOWN"),
            ("unknown blob delete", b, "DELETE", f"/v2/lib/app/blobs/{digest_of(b'none')}", "", None, {}, 404, "BLOB_UNKNOWN"),
            ("sha512 blob stored only as sha256", b, "GET", f"/v2/lib/app/blobs/{sha512}", "", None, {}, 404, "BLOB_UNKNOWN"),
            ("unknown sha512 blob head", b, "HEAD", f"/v2/lib/app/blobs/{digest512_of(b'none')}", "", None, {}, 404, "BLOB_UNKNOWN"),
            ("unknown sha512 blob delete", b, "DELETE", f"/v2/lib/app/blobs/{digest512_of(b'none')}", "", None, {}, 404, "BLOB_UNKNOWN"),
            ("sha512 manifest stored only as sha256", m, "GET", f"/v2/lib/app/manifests/{digest512_of(good)}", "", None, {}, 404, "MANIFEST_UNKNOWN"),
            ("unknown sha512 manifest delete", m, "DELETE", f"/v2/lib/app/manifests/sha512:{'a' * 128}", "", None, {}, 404, "MANIFEST_UNKNOWN"),
            ("unknown tag", m, "GET", "/v2/lib/app/manifests/v9", "", None, {}, 404, "MANIFEST_UNKNOWN"),
            ("unknown repository", m, "GET", "/v2/lib/none/manifests/v1", "", None, {}, 404, ("MANIFEST_UNKNOWN", "NAME_UNKNOWN")),
            ("unknown tag delete", m, "DELETE", "/v2/lib/app/manifests/v9", "", None, {}, 404, "MANIFEST_UNKNOWN"),
            ("unknown digest delete", m, "DELETE", f"/v2/lib/app/manifests/{digest_of(b'none')}", "", None, {}, 404, "MANIFEST_UNKNOWN"),
            ("digest of a blob as a manifest", m, "GET", f"/v2/lib/app/manifests/{lay}", "", None, {}, 404, "MANIFEST_UNKNOWN"),
            ("tags of an unknown repository", "v2_tags", "GET", "/v2/lib/none/tags/list", "", None, {}, 404, "NAME_UNKNOWN"),
            ("page size not a number", "v2_catalog", "GET", "/v2/_catalog", "n=ten", None, {}, 400, "PAGINATION_NUMBER_INVALID"),
            ("tag page size negative", "v2_tags", "GET", "/v2/lib/app/tags/list", "n=-2", None, {}, 400, "PAGINATION_NUMBER_INVALID"),
        ]

    def restore(self, saved):
        """The store as saved, the access log kept: one faulty case must
        not decide the outcome of the next."""
        with open(self.store_path(LOG_NAME), "rb") as f:
            log = f.read()
        shutil.rmtree(self.root)
        shutil.copytree(saved, self.root)
        with open(self.store_path(LOG_NAME), "wb") as f:
            f.write(log)

    def test_table(self):
        saved = os.path.join(self.tmp, "saved")
        shutil.copytree(self.root, saved)
        before = snapshot(self.root)
        for what, program, method, path, query, body, env, status, code in self.rows():
            with self.subTest(what):
                try:
                    r = self.call(program, method, path, query, body, env)
                    self.assert_error(r, status, code)
                    self.assertEqual(snapshot(self.root), before, "the store changed")
                finally:
                    if snapshot(self.root) != before:
                        self.restore(saved)
        # Everything pushed is still served.
        self.assertEqual(self.call("v2_manifests", "GET", "/v2/lib/app/manifests/v1").body,
                         self.manifest)
        self.assertEqual(self.call("v2_uploads", "GET", self.upload).header("Range"), "0-4")


if __name__ == "__main__":
    if not os.path.isfile(os.path.join(DIR, "v2_base" + EXE)):
        raise SystemExit("set ENDPOINTS_DIR to the folder of the built endpoint programs")
    unittest.main(verbosity=2)
