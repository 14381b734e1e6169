#!/usr/bin/env python3
"""The registry's endpoint programs behind a real lighttpd on 127.0.0.1, as
a client speaks to them over HTTP: what skopeo and podman do not exercise
(chunked uploads with Content-Range, ranges, mounts, monolithic uploads,
referrers, tag deletion, large manifests), authentication on every URL,
the access log, and a table of hostile requests that must change nothing.
ENDPOINTS_DIR names the folder of built programs."""
import hashlib
import http.client
import json
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

PROGRAMS = os.environ.get("ENDPOINTS_DIR", "")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from served_registry import LIGHTTPD, ServedRegistry  # noqa: E402
API_VERSION = ("Docker-Distribution-API-Version", "registry/2.0")
OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
OCI_INDEX = "application/vnd.oci.image.index.v1+json"
DOCKER_MANIFEST = "application/vnd.docker.distribution.manifest.v2+json"
DOCKER_LIST = "application/vnd.docker.distribution.manifest.list.v2+json"


def digest(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


class Server(ServedRegistry):
    """lighttpd over the programs in a serve directory of its own."""

    def __init__(self, x_sendfile=False):
        """x_sendfile None: the generated configuration's default."""
        self.tmp = tempfile.mkdtemp(prefix="registry-web-")
        saved = os.environ.pop("REGISTRY_X_SENDFILE", None)
        if x_sendfile is not None:
            os.environ["REGISTRY_X_SENDFILE"] = "1" if x_sendfile else "0"
        try:
            super().__init__(os.path.join(self.tmp, "serve"), PROGRAMS)
        except Exception:
            shutil.rmtree(self.tmp, ignore_errors=True)
            raise
        finally:
            if saved is None:
                os.environ.pop("REGISTRY_X_SENDFILE", None)
            else:
                os.environ["REGISTRY_X_SENDFILE"] = saved

    def stop(self):
        super().stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def set_config(self, text):
        self.write_config(text)


class Response:
    def __init__(self, r, body):
        self.status = r.status
        self.headers = {k.lower(): v for k, v in r.getheaders()}
        self.lines = r.getheaders()
        self.body = body

    def all(self, name):
        """Every value of a header that may repeat, as one list."""
        return [v for k, v in self.lines if k.lower() == name.lower()]

    def header(self, name):
        return self.headers.get(name.lower())

    def json(self):
        return json.loads(self.body)

    def code(self):
        try:
            return self.json()["errors"][0]["code"]
        except (ValueError, KeyError, IndexError, TypeError):
            return None


class RegistryCase(unittest.TestCase):
    server = None
    x_sendfile = False

    @classmethod
    def setUpClass(cls):
        if not os.path.exists(LIGHTTPD):
            raise unittest.SkipTest("lighttpd is not installed")
        cls.server = Server(cls.x_sendfile)

    @classmethod
    def tearDownClass(cls):
        if cls.server:
            cls.server.stop()

    # ---- HTTP -----------------------------------------------------------------

    def request(self, method, path, body=None, headers=None, raw_path=False):
        c = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        if raw_path:
            c.putrequest(method, path, skip_accept_encoding=True)
            for k, v in (headers or {}).items():
                c.putheader(k, v)
            if body is not None:
                c.putheader("Content-Length", str(len(body)))
            c.endheaders(body)
        else:
            h = dict(headers or {})
            if body is None and method in ("POST", "PUT", "PATCH"):
                body = b""
            c.request(method, path, body=body, headers=h)
        r = c.getresponse()
        data = r.read()
        c.close()
        resp = Response(r, data)
        # Every answer of a program carries the protocol version; lighttpd's
        # own refusals of malformed requests (400) do not come from one.
        if path.startswith("/v2") and resp.header("Content-Type") != "text/html":
            self.assertEqual(resp.header(API_VERSION[0]), API_VERSION[1], f"{method} {path}")
        return resp

    def expect_error(self, resp, status, code):
        self.assertEqual((resp.status, resp.code()), (status, code), resp.body[:300])

    # ---- pushing ----------------------------------------------------------------

    def push_blob(self, repo, data):
        d = digest(data)
        r = self.request("POST", f"/v2/{repo}/blobs/uploads/?digest={d}", body=data)
        self.assertEqual(r.status, 201, r.body)
        return d

    def start_upload(self, repo):
        r = self.request("POST", f"/v2/{repo}/blobs/uploads/")
        self.assertEqual(r.status, 202, r.body)
        return r.header("Location")

    def push_manifest(self, repo, ref, doc, media_type=OCI_MANIFEST):
        body = doc if isinstance(doc, bytes) else json.dumps(doc).encode()
        r = self.request("PUT", f"/v2/{repo}/manifests/{ref}", body=body,
                         headers={"Content-Type": media_type})
        self.assertEqual(r.status, 201, r.body)
        return body, r

    def image(self, repo, name, extra=None):
        """Pushes a config and a layer unique to name; the manifest document."""
        config = self.push_blob(repo, json.dumps({"name": name}).encode())
        layer_data = ("layer of " + name).encode()
        layer = self.push_blob(repo, layer_data)
        doc = {"schemaVersion": 2, "mediaType": OCI_MANIFEST,
               "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                          "digest": config, "size": 2},
               "layers": [{"mediaType": "application/vnd.oci.image.layer.v1.tar",
                           "digest": layer, "size": len(layer_data)}]}
        doc.update(extra or {})
        return doc

    # ---- the store ----------------------------------------------------------------

    def tree(self):
        """Every file under the storage root with its content's digest; the
        access log and health files are left out (every request writes them)."""
        out = {}
        for dirpath, dirnames, filenames in os.walk(self.server.root):
            rel = os.path.relpath(dirpath, self.server.root)
            for d in dirnames:
                out[os.path.join(rel, d) + "/"] = None
            for f in filenames:
                if f.startswith("registry_access.log"):
                    continue
                with open(os.path.join(dirpath, f), "rb") as fh:
                    out[os.path.join(rel, f)] = hashlib.sha256(fh.read()).hexdigest()
        return out

    def log_lines(self):
        try:
            with open(self.server.log, "rb") as f:
                return f.read().decode().splitlines()
        except OSError:
            return []

    def log_record(self, before, method, path):
        """The record of the request method path among the lines written since
        before (another request's line may land after its answer did)."""
        deadline = time.time() + 5
        while time.time() < deadline:
            for line in self.log_lines()[before:]:
                rec = json.loads(line.split(" ", 6)[6])
                if (rec["method"], rec["path"]) == (method, path):
                    return rec
            time.sleep(0.02)
        self.fail(f"no access-log line for {method} {path}")


class Basics(RegistryCase):
    def test_base_answers_and_unknown_urls_are_registry_errors(self):
        r = self.request("GET", "/v2/")
        self.assertEqual((r.status, r.body), (200, b"{}\n"))
        r = self.request("HEAD", "/v2/")
        self.assertEqual((r.status, r.body), (200, b""))
        r = self.request("OPTIONS", "/v2/")
        self.assertEqual((r.status, r.header("Allow")), (204, "GET, HEAD, OPTIONS"))
        self.expect_error(self.request("GET", "/v2/nothing/here"), 404, "UNSUPPORTED")
        self.assertEqual(self.request("GET", "/healthz").status, 200)

    def test_methods_an_endpoint_does_not_answer(self):
        d = digest(b"x")
        cases = [
            ("POST", "/v2/", "GET, HEAD, OPTIONS"),
            ("DELETE", "/v2/_catalog", "GET, HEAD, OPTIONS"),
            ("PUT", "/v2/app/tags/list", "GET, HEAD, OPTIONS"),
            ("POST", "/v2/app/manifests/v1", "GET, HEAD, PUT, DELETE, OPTIONS"),
            ("PUT", f"/v2/app/blobs/{d}", "GET, HEAD, DELETE, OPTIONS"),
            ("PATCH", f"/v2/app/blobs/{d}", "GET, HEAD, DELETE, OPTIONS"),
            ("HEAD", "/v2/app/blobs/uploads/", "GET, POST, PATCH, PUT, DELETE, OPTIONS"),
            ("DELETE", f"/v2/app/referrers/{d}", "GET, HEAD, OPTIONS"),
        ]
        for method, path, allow in cases:
            with self.subTest(method=method, path=path):
                r = self.request(method, path, body=b"" if method != "HEAD" else None)
                self.assertEqual((r.status, r.header("Allow")), (405, allow))
                if method != "HEAD":
                    self.assertEqual(r.code(), "UNSUPPORTED")

    def test_every_request_leaves_one_log_line_with_status_bytes_and_actor(self):
        data = os.urandom(300000)
        d = self.push_blob("logged", data)
        before = len(self.log_lines())
        self.assertEqual(self.request("GET", f"/v2/logged/blobs/{d}").body, data)
        rec = self.log_record(before, "GET", f"/v2/logged/blobs/{d}")
        self.assertEqual((rec["status"], rec["bytes"], rec["actor"]), (200, len(data), "anonymous"))
        for method, path, status in [("HEAD", f"/v2/logged/blobs/{d}", 200),
                                     ("OPTIONS", "/v2/", 204),
                                     ("GET", "/v2/logged/manifests/nope", 404)]:
            before = len(self.log_lines())
            self.request(method, path)
            self.assertEqual(self.log_record(before, method, path)["status"], status)
        # One line each: a second one for the same request never follows.
        time.sleep(0.3)
        paths = [json.loads(line.split(" ", 6)[6])["path"] for line in self.log_lines()]
        self.assertEqual(paths.count("/v2/logged/manifests/nope"), 1)


class Uploads(RegistryCase):
    def progress(self, location):
        r = self.request("GET", location)
        self.assertEqual(r.status, 204)
        return r.header("Range")

    def test_chunks_with_content_range_then_put(self):
        data = os.urandom(3 * 70000 + 5)
        loc = self.start_upload("chunked")
        uuid = loc.rsplit("/", 1)[1]
        for start in range(0, len(data), 70000):
            chunk = data[start:start + 70000]
            r = self.request("PATCH", loc, body=chunk, headers={
                "Content-Range": f"{start}-{start + len(chunk) - 1}",
                "Content-Type": "application/octet-stream"})
            self.assertEqual(r.status, 202, r.body)
            self.assertEqual(r.header("Range"), f"0-{start + len(chunk) - 1}")
            self.assertEqual((r.header("Location"), r.header("Docker-Upload-UUID")), (loc, uuid))
        d = digest(data)
        r = self.request("PUT", f"{loc}?digest={d}")
        self.assertEqual((r.status, r.header("Location"), r.header("Docker-Content-Digest")),
                         (201, f"/v2/chunked/blobs/{d}", d))
        self.assertEqual(self.request("GET", f"/v2/chunked/blobs/{d}").body, data)

    def test_a_chunk_that_does_not_continue_the_upload_is_refused_whole(self):
        loc = self.start_upload("ranges")
        self.assertEqual(self.request("PATCH", loc, body=b"0123456789",
                                      headers={"Content-Range": "0-9"}).status, 202)
        before = self.tree()
        cases = [("gap", "11-15", b"abcde"), ("overlap", "5-9", b"abcde"),
                 ("restart", "0-4", b"abcde"), ("length differs", "10-19", b"abcde"),
                 ("end before start", "12-10", b"abc"), ("not numbers", "a-b", b"abc"),
                 ("one number", "10", b"a"), ("negative", "-1-3", b"abcde")]
        for label, header, body in cases:
            with self.subTest(label):
                r = self.request("PATCH", loc, body=body, headers={"Content-Range": header})
                self.assertEqual((r.status, r.header("Range")), (416, "0-9"), r.body)
                self.assertEqual(r.code(), "BLOB_UPLOAD_INVALID")
        self.assertEqual(self.tree(), before)
        self.assertEqual(self.progress(loc), "0-9")

    def test_streamed_patches_and_a_last_body_on_put(self):
        loc = self.start_upload("streamed")
        self.assertEqual(self.progress(loc), "0-0")
        self.request("PATCH", loc, body=b"first part, ")
        self.assertEqual(self.progress(loc), "0-11")
        data = b"first part, last part"
        r = self.request("PUT", f"{loc}?digest={digest(data)}", body=b"last part")
        self.assertEqual(r.status, 201, r.body)
        self.assertEqual(self.request("GET", f"/v2/streamed/blobs/{digest(data)}").body, data)

    def test_finishing_needs_the_right_digest(self):
        loc = self.start_upload("finish")
        self.request("PATCH", loc, body=b"content")
        self.expect_error(self.request("PUT", loc), 400, "DIGEST_INVALID")
        self.expect_error(self.request("PUT", f"{loc}?digest=sha256:abc"), 400, "DIGEST_INVALID")
        self.assertEqual(self.progress(loc), "0-6")  # a malformed digest keeps the upload
        self.expect_error(self.request("PUT", f"{loc}?digest={digest(b'other')}"), 400,
                          "DIGEST_INVALID")
        self.assertEqual(self.request("GET", f"/v2/finish/blobs/{digest(b'other')}").status, 404)
        self.assertEqual(self.request("GET", f"/v2/finish/blobs/{digest(b'content')}").status, 404)

    def test_monolithic_post(self):
        data = os.urandom(100000)
        r = self.request("POST", f"/v2/mono/blobs/uploads/?digest={digest(data)}", body=data)
        self.assertEqual((r.status, r.header("Location")), (201, f"/v2/mono/blobs/{digest(data)}"))
        self.assertEqual(self.request("GET", f"/v2/mono/blobs/{digest(data)}").body, data)
        before = self.tree()
        r = self.request("POST", f"/v2/mono/blobs/uploads/?digest={digest(b'else')}", body=data)
        self.expect_error(r, 400, "DIGEST_INVALID")
        self.assertEqual(self.tree(), before)  # nothing left behind, not even the upload

    def test_mounts(self):
        d = self.push_blob("source/repo", b"shared layer")
        for query in (f"mount={d}&from=source/repo", f"mount={d}"):
            with self.subTest(query):
                r = self.request("POST", f"/v2/target/blobs/uploads/?{query}")
                self.assertEqual((r.status, r.header("Location"), r.header("Docker-Content-Digest")),
                                 (201, f"/v2/target/blobs/{d}", d))
        r = self.request("POST", f"/v2/target/blobs/uploads/?mount={digest(b'absent')}&from=x")
        self.assertEqual(r.status, 202)
        self.assertRegex(r.header("Location"), r"^/v2/target/blobs/uploads/[0-9a-f-]{36}$")

    def test_cancel_and_unknown_ids(self):
        loc = self.start_upload("cancel")
        self.assertEqual(self.request("DELETE", loc).status, 204)
        unknown = "/v2/cancel/blobs/uploads/01234567-89ab-cdef-0123-456789abcdef"
        for method in ("GET", "PATCH", "PUT", "DELETE"):
            for where in (loc, unknown, "/v2/cancel/blobs/uploads/not-an-id"):
                with self.subTest(method=method, where=where):
                    r = self.request(method, where + ("?digest=" + digest(b"") if method == "PUT" else ""))
                    self.expect_error(r, 404, "BLOB_UPLOAD_UNKNOWN")


class Quota(RegistryCase):
    def tearDown(self):
        self.server.set_config(None)

    def test_a_finish_past_the_quota_is_denied_and_nothing_stored_is_touched(self):
        stored = self.push_blob("quota", os.urandom(2000))
        self.server.set_config('{"registry_quota_bytes": 3000}')
        loc = self.start_upload("quota")
        data = os.urandom(5000)
        self.request("PATCH", loc, body=data)
        r = self.request("PUT", f"{loc}?digest={digest(data)}")
        self.expect_error(r, 403, "DENIED")
        self.assertRegex(r.json()["errors"][0]["message"], r"^quota exceeded: .* of 2\.9 KB used$")
        self.assertEqual(self.request("GET", loc).header("Range"), "0-4999")  # kept for a retry
        self.assertEqual(self.request("HEAD", f"/v2/quota/blobs/{stored}").status, 200)
        self.assertEqual(self.request("HEAD", f"/v2/quota/blobs/{digest(data)}").status, 404)
        self.expect_error(self.request("POST", f"/v2/quota/blobs/uploads/?digest={digest(data)}",
                                       body=data), 403, "DENIED")
        self.server.set_config(None)
        self.assertEqual(self.request("PUT", f"{loc}?digest={digest(data)}").status, 201)


class BlobReads(RegistryCase):
    """Blob reads with REGISTRY_X_SENDFILE=0: every body through the program."""

    def test_a_whole_blob_and_who_sends_it(self):
        data = os.urandom(3 << 20)
        d = self.push_blob("xs", data)
        size = lambda: os.path.getsize(self.server.log) if os.path.exists(self.server.log) else 0
        before = size()
        r = self.request("GET", f"/v2/xs/blobs/{d}")
        self.assertEqual((r.status, r.body == data, r.header("Content-Length"),
                          r.header("Docker-Content-Digest"), r.header("Content-Type")),
                         (200, True, str(len(data)), d, "application/octet-stream"))
        self.assertIsNone(r.header("X-Sendfile"), "the name of the file never reaches a client")
        # lighttpd dates a file it sends itself; the program sends no date.
        self.assertEqual(r.header("Last-Modified") is not None, self.x_sendfile is not False)
        # The access log counts the body either way (a late line of the push
        # may land first).
        expected = f'"status":200,"bytes":{len(data)},'
        deadline = time.time() + 5
        line = ""
        while time.time() < deadline and expected not in line:
            time.sleep(0.02)
            if size() > before:
                with open(self.server.log) as f:
                    f.seek(before)
                    line = f.read()
        self.assertIn(expected, line)

    def test_ranges(self):
        data = bytes(range(256)) * 4  # 1,024 bytes
        d = self.push_blob("ranged", data)
        url = f"/v2/ranged/blobs/{d}"
        cases = [("bytes=0-9", 206, 0, 9), ("bytes=1000-", 206, 1000, 1023),
                 ("bytes=-24", 206, 1000, 1023), ("bytes=1000-5000", 206, 1000, 1023),
                 ("bytes=-5000", 206, 0, 1023), ("bytes=0-1,5-6", 200, 0, 1023),
                 ("items=0-3", 200, 0, 1023)]
        for header, status, first, last in cases:
            with self.subTest(header):
                r = self.request("GET", url, headers={"Range": header})
                self.assertEqual(r.status, status)
                self.assertEqual(r.body, data[first:last + 1])
                self.assertEqual(r.header("Content-Length"), str(last - first + 1))
                if status == 206:
                    self.assertEqual(r.header("Content-Range"), f"bytes {first}-{last}/1024")
        for header in ("bytes=1024-", "bytes=5000-6000", "bytes=-0", "bytes=9-3"):
            with self.subTest(header):
                r = self.request("GET", url, headers={"Range": header})
                self.assertEqual((r.status, r.header("Content-Range")), (416, "bytes */1024"))

    def test_head_get_and_delete(self):
        data = os.urandom(5000)
        d = self.push_blob("blobs", data)
        r = self.request("HEAD", f"/v2/blobs/blobs/{d}")
        self.assertEqual((r.status, r.body, r.header("Content-Length"),
                          r.header("Docker-Content-Digest"), r.header("Content-Type")),
                         (200, b"", "5000", d, "application/octet-stream"))
        # The store is shared: any repository name reaches the blob.
        self.assertEqual(self.request("GET", f"/v2/other/name/blobs/{d}").body, data)
        self.assertEqual(self.request("DELETE", f"/v2/blobs/blobs/{d}").status, 202)
        self.expect_error(self.request("GET", f"/v2/blobs/blobs/{d}"), 404, "BLOB_UNKNOWN")
        self.expect_error(self.request("DELETE", f"/v2/blobs/blobs/{d}"), 404, "BLOB_UNKNOWN")
        self.assertEqual(self.request("HEAD", f"/v2/blobs/blobs/{d}").status, 404)


class BlobReadsWithXSendfile(BlobReads):
    """The same reads as the generated configuration serves them by default:
    lighttpd sends whole blobs itself, the program names the file; ranges
    and HEAD stay the program's."""
    x_sendfile = None


class Manifests(RegistryCase):
    def test_put_and_get_by_tag_and_digest_exact_bytes(self):
        doc = self.image("team/app", "one")
        body = json.dumps(doc, indent=3).encode()  # the bytes as pushed, not re-encoded
        _, r = self.push_manifest("team/app", "v1", body)
        d = digest(body)
        self.assertEqual((r.header("Location"), r.header("Docker-Content-Digest")),
                         (f"/v2/team/app/manifests/{d}", d))
        for ref in ("v1", d):
            for method in ("GET", "HEAD"):
                with self.subTest(ref=ref, method=method):
                    g = self.request(method, f"/v2/team/app/manifests/{ref}")
                    self.assertEqual((g.status, g.header("Content-Type"),
                                      g.header("Docker-Content-Digest"),
                                      g.header("Content-Length")),
                                     (200, OCI_MANIFEST, d, str(len(body))))
                    self.assertEqual(g.body, body if method == "GET" else b"")

    def test_docker_types_and_an_index_of_children(self):
        children = []
        for arch in ("amd64", "arm64"):
            doc = self.image("multi", arch)
            doc["mediaType"] = DOCKER_MANIFEST
            body, _ = self.push_manifest("multi", digest(json.dumps(doc).encode()), doc,
                                         DOCKER_MANIFEST)
            children.append({"mediaType": DOCKER_MANIFEST, "digest": digest(body),
                             "size": len(body), "platform": {"os": "linux", "architecture": arch}})
        index = {"schemaVersion": 2, "mediaType": DOCKER_LIST, "manifests": children}
        body, _ = self.push_manifest("multi", "latest", index, DOCKER_LIST)
        g = self.request("GET", "/v2/multi/manifests/latest")
        self.assertEqual((g.body, g.header("Content-Type")), (body, DOCKER_LIST))
        missing = dict(index, manifests=children + [dict(children[0], digest=digest(b"none"))])
        r = self.request("PUT", "/v2/multi/manifests/broken", body=json.dumps(missing).encode(),
                         headers={"Content-Type": DOCKER_LIST})
        self.expect_error(r, 400, "MANIFEST_BLOB_UNKNOWN")

    def test_a_4_mib_manifest_is_stored_and_served_whole(self):
        doc = self.image("big", "big")
        pad = 4 * 1024 * 1024 - len(json.dumps(doc)) - 40
        doc["annotations"] = {"pad": "x" * pad}
        body = json.dumps(doc).encode()
        self.assertLessEqual(len(body), 4 * 1024 * 1024)
        self.assertGreater(len(body), 4 * 1024 * 1024 - 100)
        self.push_manifest("big", "v1", body)
        self.assertEqual(self.request("GET", "/v2/big/manifests/v1").body, body)
        doc["annotations"]["pad"] += "x" * 200
        r = self.request("PUT", "/v2/big/manifests/v2", body=json.dumps(doc).encode(),
                         headers={"Content-Type": OCI_MANIFEST})
        self.expect_error(r, 413, "SIZE_INVALID")

    def test_tag_delete_keeps_the_manifest_digest_delete_takes_its_tags(self):
        body, _ = self.push_manifest("del", "a", self.image("del", "x"))
        self.push_manifest("del", "b", body)
        d = digest(body)
        self.assertEqual(self.request("DELETE", "/v2/del/manifests/a").status, 202)
        self.assertEqual(self.request("GET", "/v2/del/tags/list").json()["tags"], ["b"])
        self.assertEqual(self.request("GET", f"/v2/del/manifests/{d}").status, 200)
        self.expect_error(self.request("DELETE", "/v2/del/manifests/a"), 404, "MANIFEST_UNKNOWN")
        self.assertEqual(self.request("DELETE", f"/v2/del/manifests/{d}").status, 202)
        self.assertEqual(self.request("GET", "/v2/del/tags/list").json()["tags"], [])
        self.expect_error(self.request("GET", "/v2/del/manifests/b"), 404, "MANIFEST_UNKNOWN")
        self.expect_error(self.request("DELETE", f"/v2/del/manifests/{d}"), 404, "MANIFEST_UNKNOWN")


class Listings(RegistryCase):
    def test_tag_pages(self):
        body, _ = self.push_manifest("paged", "t0", self.image("paged", "p"))
        tags = ["t0", "t1", "t2", "t3", "t4"]
        for t in tags[1:]:
            self.push_manifest("paged", t, body)
        r = self.request("GET", "/v2/paged/tags/list")
        self.assertEqual((r.json(), r.header("Link")), ({"name": "paged", "tags": tags}, None))
        r = self.request("GET", "/v2/paged/tags/list?n=2")
        self.assertEqual(r.json()["tags"], ["t0", "t1"])
        self.assertEqual(r.header("Link"), '</v2/paged/tags/list?n=2&last=t1>; rel="next"')
        r = self.request("GET", "/v2/paged/tags/list?n=2&last=t3")
        self.assertEqual((r.json()["tags"], r.header("Link")), (["t4"], None))
        r = self.request("GET", "/v2/paged/tags/list?n=0")
        self.assertEqual((r.json(), r.header("Link")), ({"name": "paged", "tags": []}, None))
        self.expect_error(self.request("GET", "/v2/paged/tags/list?n=x"), 400,
                          "PAGINATION_NUMBER_INVALID")
        self.expect_error(self.request("GET", "/v2/never/pushed/tags/list"), 404, "NAME_UNKNOWN")

    def test_catalog_pages(self):
        for name in ("cat/a", "cat/b", "cat/c"):
            self.push_manifest(name, "v", self.image(name, name))
        names = self.request("GET", "/v2/_catalog").json()["repositories"]
        self.assertEqual(names, sorted(names))
        self.assertTrue({"cat/a", "cat/b", "cat/c"} <= set(names))
        r = self.request("GET", "/v2/_catalog?n=1&last=cat/a")
        self.assertEqual(r.json()["repositories"], ["cat/b"])
        self.assertEqual(r.header("Link"), '</v2/_catalog?n=1&last=cat/b>; rel="next"')
        self.assertEqual(self.request("GET", "/v2/_catalog?n=0").json(), {"repositories": []})


class Referrers(RegistryCase):
    def test_index_of_referrers_with_and_without_a_filter(self):
        subject_body, _ = self.push_manifest("refs", "v1", self.image("refs", "subject"))
        subject = {"mediaType": OCI_MANIFEST, "digest": digest(subject_body),
                   "size": len(subject_body)}
        empty = self.push_blob("refs", b"{}")
        pushed = {}
        for kind, note in (("application/vnd.example.sbom", "s"),
                           ("application/vnd.example.sig", "g")):
            doc = {"schemaVersion": 2, "mediaType": OCI_MANIFEST, "artifactType": kind,
                   "config": {"mediaType": "application/vnd.oci.empty.v1+json",
                              "digest": empty, "size": 2},
                   "layers": [], "subject": subject, "annotations": {"note": note}}
            body = json.dumps(doc).encode()
            _, r = self.push_manifest("refs", digest(body), body)
            self.assertEqual(r.header("OCI-Subject"), digest(subject_body))
            pushed[kind] = body
        r = self.request("GET", f"/v2/refs/referrers/{digest(subject_body)}")
        self.assertEqual((r.status, r.header("Content-Type"), r.header("OCI-Filters-Applied")),
                         (200, OCI_INDEX, None))
        index = r.json()
        self.assertEqual(index["mediaType"], OCI_INDEX)
        want = sorted(({"mediaType": OCI_MANIFEST, "digest": digest(b), "size": len(b),
                        "artifactType": k, "annotations": json.loads(b)["annotations"]}
                       for k, b in pushed.items()), key=lambda e: e["digest"])
        self.assertEqual(index["manifests"], want)
        r = self.request("GET", f"/v2/refs/referrers/{digest(subject_body)}"
                                "?artifactType=application/vnd.example.sig")
        self.assertEqual(r.header("OCI-Filters-Applied"), "artifactType")
        self.assertEqual([e["artifactType"] for e in r.json()["manifests"]],
                         ["application/vnd.example.sig"])
        # Deleted, a referrer leaves the index.
        gone = digest(pushed["application/vnd.example.sig"])
        self.assertEqual(self.request("DELETE", f"/v2/refs/manifests/{gone}").status, 202)
        r = self.request("GET", f"/v2/refs/referrers/{digest(subject_body)}")
        self.assertEqual([e["digest"] for e in r.json()["manifests"]],
                         [digest(pushed["application/vnd.example.sbom"])])

    def test_a_subject_not_pushed_yet_and_none_at_all(self):
        absent = digest(b"not pushed")
        doc = self.image("early", "sig", {"subject": {"mediaType": OCI_MANIFEST,
                                                      "digest": absent, "size": 10}})
        body, r = self.push_manifest("early", "sig", doc)
        self.assertEqual(r.header("OCI-Subject"), absent)
        self.assertEqual([e["digest"] for e in
                          self.request("GET", f"/v2/early/referrers/{absent}").json()["manifests"]],
                         [digest(body)])
        r = self.request("GET", f"/v2/never/pushed/referrers/{digest(b'x')}")
        self.assertEqual((r.status, r.json()["manifests"]), (200, []))
        self.expect_error(self.request("GET", "/v2/early/referrers/sha256:abc"), 400,
                          "DIGEST_INVALID")


class Authentication(RegistryCase):
    PASSWORD = "s3cret pass"

    def setUp(self):
        self.body, _ = self.push_manifest("guarded", "v1", self.image("guarded", "g"))
        self.server.set_config('{"registry_auth_user":"alice","registry_auth_sha256":"%s"}'
                               % hashlib.sha256(self.PASSWORD.encode()).hexdigest())

    def tearDown(self):
        self.server.set_config(None)

    def basic(self, user, password):
        import base64
        return {"Authorization": "Basic " +
                base64.b64encode(f"{user}:{password}".encode()).decode()}

    def test_every_url_refuses_without_valid_credentials(self):
        d = digest(self.body)
        urls = [("GET", "/v2/"), ("HEAD", "/v2/"), ("OPTIONS", "/v2/"), ("GET", "/v2/_catalog"),
                ("GET", "/v2/guarded/tags/list"), ("GET", "/v2/guarded/manifests/v1"),
                ("HEAD", "/v2/guarded/manifests/v1"), ("PUT", "/v2/guarded/manifests/v2"),
                ("DELETE", "/v2/guarded/manifests/v1"), ("GET", f"/v2/guarded/blobs/{d}"),
                ("DELETE", f"/v2/guarded/blobs/{d}"), ("POST", "/v2/guarded/blobs/uploads/"),
                ("OPTIONS", "/v2/guarded/blobs/uploads/"),
                ("GET", f"/v2/guarded/referrers/{d}"), ("GET", "/v2/no/such/url")]
        before = self.tree()
        for creds in ({}, self.basic("alice", "wrong"), self.basic("bob", self.PASSWORD)):
            for method, url in urls:
                with self.subTest(method=method, url=url, creds=creds):
                    r = self.request(method, url, headers=creds)
                    self.assertEqual(r.status, 401)
                    self.assertRegex(r.header("WWW-Authenticate"),
                                     r'^Bearer realm="http://127\.0\.0\.1:\d+/token",'
                                     r'service="registry"(,scope="[^"]+")?(,error="[a-z_]+")?$')
        self.assertEqual(self.tree(), before)

    def test_good_credentials_pass_and_name_the_actor(self):
        before = len(self.log_lines())
        r = self.request("GET", "/v2/guarded/manifests/v1", headers=self.basic("alice", self.PASSWORD))
        self.assertEqual((r.status, r.body), (200, self.body))
        self.assertEqual(self.log_record(before, "GET", "/v2/guarded/manifests/v1")["actor"], "alice")


class EndpointWordNames(RegistryCase):
    """Names with a marker word as a component, at each position: the web
    server's routes send every URL to the program of its last marker, and
    each Location answered leads back to the same repository."""

    NAMES = ["team/blobs", "blobs/team", "team/manifests", "manifests/manifests", "org/tags",
             "tags/list", "x/uploads", "x/blobs/uploads", "blobs/uploads/z", "y/referrers",
             "referrers/y", "v2", "v2/v2", "catalog", "m/manifests/blobs/tags/referrers/list"]

    def test_every_endpoint_for_every_name(self):
        for name in self.NAMES:
            with self.subTest(name=name):
                self.every_endpoint(name)
        r = self.request("GET", "/v2/_catalog")
        self.assertTrue(set(self.NAMES) <= set(r.json()["repositories"]), r.body)

    def every_endpoint(self, name):
        layer = ("layer of " + name).encode() * 10
        loc = self.start_upload(name)
        self.assertTrue(loc.startswith(f"/v2/{name}/blobs/uploads/"), loc)
        r = self.request("PATCH", loc, body=layer[:20], headers={"Content-Range": "0-19"})
        self.assertEqual((r.status, r.header("Location"), r.header("Range")), (202, loc, "0-19"))
        self.assertEqual(self.request("GET", loc).status, 204)
        d = digest(layer)
        r = self.request("PUT", f"{loc}?digest={d}", body=layer[20:])
        self.assertEqual((r.status, r.header("Location")), (201, f"/v2/{name}/blobs/{d}"))
        r = self.request("GET", r.header("Location"))
        self.assertEqual((r.status, r.body, r.header("Docker-Content-Digest")), (200, layer, d))
        cancelled = self.start_upload(name)
        self.assertEqual(self.request("DELETE", cancelled).status, 204)
        self.assertEqual(self.request("GET", cancelled).status, 404)

        doc = self.image(name, name)
        body = json.dumps(doc).encode()
        md = digest(body)
        r = self.request("PUT", f"/v2/{name}/manifests/{md}?tag=v1&tag=blobs&tag=manifests",
                         body=body, headers={"Content-Type": OCI_MANIFEST})
        self.assertEqual((r.status, r.header("Location")), (201, f"/v2/{name}/manifests/{md}"))
        self.assertEqual(", ".join(r.all("OCI-Tag")), "v1, blobs, manifests")
        for ref in ("v1", "blobs", "manifests", md):
            r = self.request("GET", f"/v2/{name}/manifests/{ref}")
            self.assertEqual((r.status, r.body), (200, body))
        r = self.request("GET", f"/v2/{name}/tags/list")
        self.assertEqual(r.json(), {"name": name, "tags": ["blobs", "manifests", "v1"]})
        r = self.request("GET", f"/v2/{name}/referrers/{md}")
        self.assertEqual((r.status, r.json()["manifests"]), (200, []))
        self.assertEqual(self.request("DELETE", f"/v2/{name}/manifests/blobs").status, 202)
        self.assertEqual(self.request("GET", f"/v2/{name}/manifests/blobs").status, 404)


class HostileRequests(RegistryCase):
    """Each request is refused with its status (and, when a program answers,
    its code); the store is the same before and after."""

    def test_table(self):
        body, _ = self.push_manifest("safe/repo", "v1", self.image("safe/repo", "s"))
        blob = self.push_blob("safe/repo", b"a stored blob")
        loc = self.start_upload("safe/repo")
        self.request("PATCH", loc, body=b"half")
        upper = "sha256:" + hashlib.sha256(b"x").hexdigest().upper()
        short = "sha256:" + "a" * 63
        sha512 = "sha512:" + "a" * 128  # well formed, nothing stored under it
        sha512_upper = "sha512:" + "A" * 128
        other = "sha384:" + "a" * 96
        good = json.loads(body)
        no_blob = dict(good, layers=[dict(good["layers"][0], digest=digest(b"absent"))])
        schema1 = {"schemaVersion": 1, "name": "safe/repo", "tag": "v1",
                   "fsLayers": [{"blobSum": blob}], "history": []}
        index_as_image = {"schemaVersion": 2, "mediaType": OCI_INDEX,
                          "manifests": [{"mediaType": OCI_MANIFEST, "digest": digest(body),
                                         "size": len(body)}]}
        M = "/v2/safe/repo/manifests/"
        B = "/v2/safe/repo/blobs/"
        cases = [
            # names
            ("GET", "/v2/Bad..Name/tags/list", None, {}, 400, "NAME_INVALID"),
            ("GET", "/v2/-lead/tags/list", None, {}, 400, "NAME_INVALID"),
            ("PUT", "/v2/a\\b/manifests/v1", body, {"Content-Type": OCI_MANIFEST}, 400, "NAME_INVALID"),
            ("GET", "/v2/a%5cb/manifests/v1", None, {}, 400, "NAME_INVALID"),
            ("GET", "/v2/" + "n" * 300 + "/tags/list", None, {}, 400, "NAME_INVALID"),
            ("GET", "/v2/a%2e%2e/manifests/v1", None, {}, 400, "NAME_INVALID"),
            ("PUT", "/v2/con/x:y/manifests/v1", body, {"Content-Type": OCI_MANIFEST}, 400, "NAME_INVALID"),
            ("GET", "/v2/_catalog/tags/list", None, {}, 400, "NAME_INVALID"),
            ("PUT", "/v2/x/_catalog/manifests/v1", body, {"Content-Type": OCI_MANIFEST}, 400, "NAME_INVALID"),
            ("PUT", "/v2/Safe/repo/manifests/v1", body, {"Content-Type": OCI_MANIFEST}, 400, "NAME_INVALID"),
            ("POST", "/v2/safe/Repo/blobs/uploads/", b"", {}, 400, "NAME_INVALID"),
            # paths the web server refuses before any program runs
            ("GET", "/v2/safe/../repo/manifests/v1", None, {}, 400, None),
            ("GET", "/v2/safe%2frepo/manifests/v1", None, {}, 400, None),
            ("GET", "/v2/safe/repo/blobs/..%2f..%2fconfig.json", None, {}, 400, None),
            ("GET", "/v2/safe/repo/./manifests/v1", None, {}, 400, None),
            ("GET", "/v2/a//b/tags/list", None, {}, 400, None),
            ("PATCH", "/v2/safe/repo/blobs/uploads/..", b"x", {}, 400, None),
            ("GET", "/_registry/v2_base/v2/", None, {}, 404, None),
            ("GET", "/registry_storage/config.json", None, {}, 404, None),
            ("GET", "/config.json", None, {}, 404, None),
            # tags and digests
            ("GET", M + ".hidden", None, {}, 400, "TAG_INVALID"),
            ("GET", M + "t" * 129, None, {}, 400, "TAG_INVALID"),
            ("PUT", M + "a%5cb", body, {"Content-Type": OCI_MANIFEST}, 400, "TAG_INVALID"),
            ("GET", M + upper, None, {}, 400, "DIGEST_INVALID"),
            ("GET", M + short, None, {}, 400, "DIGEST_INVALID"),
            ("GET", M + sha512, None, {}, 404, "MANIFEST_UNKNOWN"),
            ("GET", M + sha512_upper, None, {}, 400, "DIGEST_INVALID"),
            ("GET", M + other, None, {}, 400, "DIGEST_INVALID"),
            ("GET", B + upper, None, {}, 400, "DIGEST_INVALID"),
            ("GET", B + sha512, None, {}, 404, "BLOB_UNKNOWN"),
            ("GET", B + sha512[:-1], None, {}, 400, "DIGEST_INVALID"),
            ("GET", B + "md5:" + "a" * 32, None, {}, 400, "DIGEST_INVALID"),
            ("DELETE", B + "sha256:..", None, {}, 400, "DIGEST_INVALID"),
            ("GET", B + digest(b"absent"), None, {}, 404, "BLOB_UNKNOWN"),
            ("GET", "/v2/safe/repo/referrers/" + upper, None, {}, 400, "DIGEST_INVALID"),
            # uploads
            ("PATCH", "/v2/safe/repo/blobs/uploads/%2e%2e", b"x", {}, 400, None),
            ("PATCH", "/v2/safe/repo/blobs/uploads/" + "0" * 36, b"x", {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("PUT", "/v2/safe/repo/blobs/uploads/ABCDEF01-89ab-cdef-0123-456789abcdef?digest=" + blob,
             None, {}, 404, "BLOB_UPLOAD_UNKNOWN"),
            ("PATCH", loc, b"more", {"Content-Range": "0-3"}, 416, "BLOB_UPLOAD_INVALID"),
            ("PATCH", loc, b"more", {"Content-Range": "4-9"}, 416, "BLOB_UPLOAD_INVALID"),
            ("PATCH", loc, b"more", {"Content-Range": "bytes=4-"}, 416, "BLOB_UPLOAD_INVALID"),
            ("PUT", loc + "?digest=" + sha512_upper, None, {}, 400, "DIGEST_INVALID"),
            ("PUT", loc + "?digest=" + other, None, {}, 400, "DIGEST_INVALID"),
            ("POST", "/v2/safe/repo/blobs/uploads/?digest=" + upper, b"x", {}, 400, "DIGEST_INVALID"),
            ("POST", "/v2/safe/repo/blobs/uploads/" + "0" * 36, b"", {}, 405, "UNSUPPORTED"),
            # manifests
            ("PUT", M + "v2", b"{not json", {"Content-Type": OCI_MANIFEST}, 400, "MANIFEST_INVALID"),
            ("PUT", M + "v2", b"", {"Content-Type": OCI_MANIFEST}, 400, "MANIFEST_INVALID"),
            ("PUT", M + "v2", b"[]", {"Content-Type": OCI_MANIFEST}, 400, "MANIFEST_INVALID"),
            ("PUT", M + "v2", json.dumps(schema1).encode(),
             {"Content-Type": "application/vnd.docker.distribution.manifest.v1+prettyjws"}, 400,
             "MANIFEST_INVALID"),
            ("PUT", M + "v2", json.dumps(schema1).encode(), {"Content-Type": OCI_MANIFEST}, 400,
             "MANIFEST_INVALID"),
            ("PUT", M + "v2", body, {"Content-Type": OCI_INDEX}, 400, "MANIFEST_INVALID"),
            ("PUT", M + "v2", json.dumps(index_as_image).encode(), {"Content-Type": OCI_MANIFEST},
             400, "MANIFEST_INVALID"),
            ("PUT", M + "v2", json.dumps(no_blob).encode(), {"Content-Type": OCI_MANIFEST}, 400,
             "MANIFEST_BLOB_UNKNOWN"),
            ("PUT", M + digest(b"other"), body, {"Content-Type": OCI_MANIFEST}, 400, "DIGEST_INVALID"),
            ("PUT", M + "v2", b"{" + b" " * (4 * 1024 * 1024) + b"}", {"Content-Type": OCI_MANIFEST},
             413, "SIZE_INVALID"),
            ("PUT", M + "v2", json.dumps(dict(good, subject={"digest": "sha256:1"})).encode(),
             {"Content-Type": OCI_MANIFEST}, 400, "MANIFEST_INVALID"),
            ("DELETE", M + "nope", None, {}, 404, "MANIFEST_UNKNOWN"),
            ("PUT", M + "V1", body, {"Content-Type": OCI_MANIFEST}, 400, "TAG_INVALID"),
            ("PUT", M + digest(body) + "?tag=ok&tag=-no", body, {"Content-Type": OCI_MANIFEST}, 400,
             "TAG_INVALID"),
            ("PUT", M + "v2", json.dumps(dict(good, layers=[dict(
                good["layers"][0], digest=digest(b"absent"),
                mediaType="application/vnd.oci.image.layer.nondistributable.v1.tar")])).encode(),
             {"Content-Type": OCI_MANIFEST}, 400, "MANIFEST_INVALID"),
            ("PUT", M + "v2", json.dumps({"schemaVersion": 2, "mediaType": OCI_MANIFEST,
                                          "manifests": []}).encode(),
             {"Content-Type": OCI_INDEX}, 400, "MANIFEST_INVALID"),
            # listings
            ("GET", "/v2/_catalog?n=-1", None, {}, 400, "PAGINATION_NUMBER_INVALID"),
            ("GET", "/v2/safe/repo/tags/list?n=1e3", None, {}, 400, "PAGINATION_NUMBER_INVALID"),
            ("GET", "/v2/safe/repo/tags/other", None, {}, 404, "UNSUPPORTED"),
        ]
        before = self.tree()
        for method, path, req_body, headers, status, code in cases:
            with self.subTest(method=method, path=path[:80]):
                r = self.request(method, path, body=req_body, headers=headers, raw_path=True)
                self.assertEqual(r.status, status, r.body[:200])
                if code:
                    self.assertEqual(r.code(), code, r.body[:200])
        self.assertEqual(self.tree(), before)
        self.assertEqual(self.request("GET", loc).header("Range"), "0-3")

    def test_a_content_length_that_lies(self):
        """A body shorter than announced: the server waits, then gives up; the
        chunk is refused as a whole or kept as far as it arrived, never
        stored as a blob."""
        import socket
        loc = self.start_upload("lying")
        s = socket.create_connection(("127.0.0.1", self.server.port), timeout=30)
        s.sendall(f"PATCH {loc} HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n"
                  "Content-Range: 0-99\r\n\r\n".encode() + b"only ten b")
        s.shutdown(socket.SHUT_WR)
        s.settimeout(30)
        try:
            while s.recv(65536):
                pass
        except OSError:
            pass
        s.close()
        deadline = time.time() + 10
        while time.time() < deadline:
            rng = self.request("GET", loc).header("Range")
            if rng in ("0-0", "0-9"):
                break
            time.sleep(0.1)
        self.assertIn(rng, ("0-0", "0-9"))
        self.assertEqual(self.request("GET", f"/v2/lying/blobs/{digest(b'only ten b')}").status, 404)


if __name__ == "__main__":
    if not PROGRAMS or not os.path.isdir(PROGRAMS):
        raise SystemExit("set ENDPOINTS_DIR to the folder of built programs")
    unittest.main(verbosity=2)
