#!/usr/bin/env python3
"""Requests cut off through a real lighttpd: clients that go away in the
middle of a PATCH, a finishing PUT and a blob GET; the upload program
killed (SIGKILL) in the middle of a PATCH and a PUT; a storage root that
fills up during a push; a read-only storage root.

After each, what a client needs holds: the upload tells its offset (GET on
the upload URL) and continues from there, or is cancelled (DELETE); a blob
is absent or complete and matching its digest; nothing half-written shows
in a listing or in the store's directories.
ENDPOINTS_DIR names the folder of built programs."""
import hashlib
import http.client
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from served_registry import LIGHTTPD, ServedRegistry  # noqa: E402
from protocol_answer import Answer, sha  # noqa: E402

PROGRAMS = os.environ.get("ENDPOINTS_DIR", "")
OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
NO_MOUNT = "cannot mount a tmpfs here (needs root and a kernel that allows it)"



def data_of(name, size):
    return random.Random(name).randbytes(size)


class Served(ServedRegistry):
    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="registry-faults-")
        try:
            super().__init__(os.path.join(self.tmp, "serve"), PROGRAMS)
        except Exception:
            shutil.rmtree(self.tmp, ignore_errors=True)
            raise

    def close(self):
        self.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def wait_no_children(self, name, within=20):
        """Until the program's processes have all ended: a program that hung
        after its client left fails the test here."""
        deadline = time.time() + within
        while self.children(name):
            if time.time() > deadline:
                raise AssertionError(f"{name} still running after its client went away")
            time.sleep(0.02)


class FaultCase(unittest.TestCase):
    def setUp(self):
        if not PROGRAMS:
            self.skipTest("set ENDPOINTS_DIR to the folder of the built endpoint programs")
        if not os.path.exists(LIGHTTPD):
            self.skipTest("lighttpd is not installed")
        self.srv = Served()
        self.addCleanup(self.srv.close)
        self.root = self.srv.root

    # -- plain requests ---------------------------------------------------------
    def request(self, method, path, body=None, headers=None):
        c = http.client.HTTPConnection("127.0.0.1", self.srv.port, timeout=60)
        try:
            c.request(method, path, body=body, headers=dict(headers or {}))
            r = c.getresponse()
            return Answer(r.status, {k.lower(): v for k, v in r.getheaders()}, r.read())
        finally:
            c.close()

    def start_upload(self, repo="faults/app"):
        a = self.request("POST", f"/v2/{repo}/blobs/uploads/")
        self.assertEqual(a.status, 202, a.body)
        return a.headers["location"]

    def offset(self, location):
        """The bytes the upload holds, as a client learns them."""
        a = self.request("GET", location)
        self.assertEqual(a.status, 204, a.body)
        m = re.fullmatch(r"0-(\d+)", a.headers.get("range", ""))
        self.assertIsNotNone(m, a.headers)
        held = int(m.group(1)) + 1
        # "0-0" is both nothing and one byte; the store says which.
        return held if held > 1 or self.part_size(location) else 0

    def part_size(self, location):
        upload = location.rsplit("/", 1)[1]
        try:
            return os.path.getsize(os.path.join(self.root, "uploads", upload + ".part"))
        except OSError:
            return 0

    def patch(self, location, data, start):
        return self.request("PATCH", location, body=data, headers={
            "Content-Type": "application/octet-stream",
            "Content-Range": f"{start}-{start + len(data) - 1}"})

    def resume_and_finish(self, location, data):
        """Continues the upload from where it stands and finishes it; the
        blob must then read back whole."""
        held = self.offset(location)
        self.assertLessEqual(held, len(data))
        if held < len(data):
            a = self.patch(location, data[held:], held)
            self.assertEqual(a.status, 202, a.body)
        a = self.request("PUT", f"{location}?digest={sha(data)}")
        self.assertEqual(a.status, 201, a.body)
        self.assert_blob_whole(data)
        return held

    def assert_blob_whole(self, data, repo="faults/app"):
        a = self.request("GET", f"/v2/{repo}/blobs/{sha(data)}")
        self.assertEqual(a.status, 200)
        self.assertEqual(sha(a.body), sha(data))

    def assert_nothing_half_visible(self):
        """Every stored blob matches its name; no temporary or partial file
        outside uploads/; the listings answer whole."""
        blobs = os.path.join(self.root, "blobs", "sha256")
        for dirpath, _, files in os.walk(self.root):
            for f in files:
                path = os.path.join(dirpath, f)
                self.assertNotIn(".tmp-", f, path)
                if dirpath.startswith(blobs):
                    self.assertRegex(f, r"^[0-9a-f]{64}$", path)
                    with open(path, "rb") as fh:
                        self.assertEqual(hashlib.sha256(fh.read()).hexdigest(), f, path)
        for path in ("/v2/_catalog", "/v2/faults/app/tags/list"):
            a = self.request("GET", path)
            self.assertIn(a.status, (200, 404), path)
            json.loads(a.body)

    # -- requests cut off -------------------------------------------------------
    def raw(self, method, target, length, sent, headers=""):
        """A request announcing length body bytes that sends only `sent`;
        the open socket."""
        s = socket.create_connection(("127.0.0.1", self.srv.port), timeout=30)
        s.sendall(f"{method} {target} HTTP/1.1\r\nHost: {self.srv.host}\r\n"
                  f"Content-Type: application/octet-stream\r\nContent-Length: {length}\r\n"
                  f"{headers}\r\n".encode() + sent)
        return s

    def wait_for_part(self, location, at_least):
        deadline = time.time() + 20
        while self.part_size(location) < at_least:
            self.assertLess(time.time(), deadline, "the body never reached the upload")
            time.sleep(0.01)


class ClientGoesAway(FaultCase):
    """The client closes its connection half-way through the body."""

    def test_mid_patch_and_mid_finishing_put(self):
        data = data_of("cut", 2 * 1024 * 1024)
        half = len(data) // 2
        cases = [  # (request, what the cut request was)
            ("PATCH", lambda loc: loc),
            ("PUT", lambda loc: f"{loc}?digest={sha(data)}"),
        ]
        for method, target in cases:
            with self.subTest(method):
                loc = self.start_upload()
                s = self.raw(method, target(loc), len(data), data[:half])
                self.wait_for_part(loc, 1)
                s.close()
                self.srv.wait_no_children("v2_uploads")
                # Not stored from half a body, however the program ended.
                self.assertEqual(self.request("HEAD", f"/v2/faults/app/blobs/{sha(data)}").status,
                                 404)
                held = self.resume_and_finish(loc, data)
                self.assertLessEqual(held, half)
                self.request("DELETE", f"/v2/faults/app/blobs/{sha(data)}")
        self.assert_nothing_half_visible()

    def test_mid_patch_then_cancel(self):
        data = data_of("cancel", 1024 * 1024)
        loc = self.start_upload()
        s = self.raw("PATCH", loc, len(data), data[:len(data) // 2])
        self.wait_for_part(loc, 1)
        s.close()
        self.srv.wait_no_children("v2_uploads")
        self.assertEqual(self.request("DELETE", loc).status, 204)
        a = self.request("GET", loc)
        self.assertEqual((a.status, a.code()), (404, "BLOB_UPLOAD_UNKNOWN"))
        self.assertEqual([f for f in os.listdir(os.path.join(self.root, "uploads"))
                          if f.endswith(".part")], [])
        self.assert_nothing_half_visible()

    def test_mid_blob_get(self):
        data = data_of("download", 8 * 1024 * 1024)
        a = self.request("POST", f"/v2/faults/app/blobs/uploads/?digest={sha(data)}", body=data)
        self.assertEqual(a.status, 201, a.body)
        for ranged in ("", "Range: bytes=1000-\r\n"):
            with self.subTest(ranged=bool(ranged)):
                s = socket.create_connection(("127.0.0.1", self.srv.port), timeout=30)
                s.sendall(f"GET /v2/faults/app/blobs/{sha(data)} HTTP/1.1\r\n"
                          f"Host: {self.srv.host}\r\n{ranged}\r\n".encode())
                got = s.recv(64 * 1024)
                self.assertRegex(got, rb"^HTTP/1\.1 20[06]")
                s.close()
                self.srv.wait_no_children("v2_blobs")
                self.assert_blob_whole(data)
        self.assert_log_lines_whole()

    def assert_log_lines_whole(self):
        with open(self.srv.log, "rb") as f:
            text = f.read()
        self.assertTrue(text.endswith(b"\n"))
        for line in text.decode().splitlines():
            json.loads(line[line.index(" {") + 1:])


class ProgramKilled(FaultCase):
    """SIGKILL to the upload program while it streams a request body: the
    server answers for it (or closes), and the upload is as the kill left it."""

    def kill_mid_request(self, method, target, data, loc):
        # The programs of the requests before (the POST that made the
        # upload, the last subtest's) may still be ending after their
        # answers: the one to kill must be the only one.
        self.srv.wait_no_children("v2_uploads")
        s = self.raw(method, target, len(data), data[:len(data) // 2])
        self.wait_for_part(loc, 1)
        pids = self.srv.children("v2_uploads")
        self.assertEqual(len(pids), 1)
        os.kill(pids[0], signal.SIGKILL)
        s.settimeout(30)
        try:
            answer = s.recv(4096)
        except (ConnectionResetError, socket.timeout):
            answer = b""
        s.close()
        self.srv.wait_no_children("v2_uploads")
        return answer

    def test_killed_mid_patch_and_mid_put_then_resumed_or_cancelled(self):
        data = data_of("killed", 2 * 1024 * 1024)
        cases = [  # (method, target, then)
            ("PATCH", lambda loc: loc, "resume"),
            ("PUT", lambda loc: f"{loc}?digest={sha(data)}", "resume"),
            ("PATCH", lambda loc: loc, "cancel"),
        ]
        for method, target, then in cases:
            with self.subTest(method=method, then=then):
                loc = self.start_upload()
                answer = self.kill_mid_request(method, target(loc), data, loc)
                # The server answers for the program that died without a
                # word (500, its own page), or closes: never a success.
                if answer:
                    self.assertRegex(answer, rb"^HTTP/1\.1 500 ")
                self.assertEqual(self.request("HEAD", f"/v2/faults/app/blobs/{sha(data)}").status,
                                 404)
                if then == "resume":
                    self.resume_and_finish(loc, data)
                    self.request("DELETE", f"/v2/faults/app/blobs/{sha(data)}")
                else:
                    self.assertEqual(self.request("DELETE", loc).status, 204)
                    self.assertEqual(self.request("GET", loc).status, 404)
        self.assertEqual([f for f in os.listdir(os.path.join(self.root, "uploads"))
                          if f.endswith(".part")], [])
        self.assert_nothing_half_visible()


class MountedRoot(FaultCase):
    """A storage root on a tmpfs of its own (mounting needs root)."""

    size = "4m"

    def setUp(self):
        super().setUp()
        if sys.platform != "linux" or os.geteuid() != 0:
            self.skipTest(NO_MOUNT)
        self.mnt = os.path.join(self.srv.tmp, "mnt")
        os.mkdir(self.mnt)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={self.size}", "tmpfs", self.mnt],
                          capture_output=True).returncode != 0:
            self.skipTest(NO_MOUNT)
        self.addCleanup(lambda: subprocess.run(["umount", "-l", self.mnt], capture_output=True))
        self.root = os.path.join(self.mnt, "root")
        self.srv.write_config(f'{{"registry_storage_root":"{self.root}"}}\n')

    def push_image(self, tag, layer):
        config = b'{"architecture":"amd64","os":"linux"}'
        for blob in (config, layer):
            a = self.request("POST", f"/v2/faults/app/blobs/uploads/?digest={sha(blob)}", body=blob)
            self.assertEqual(a.status, 201, a.body)
        body = json.dumps({"schemaVersion": 2, "mediaType": OCI_MANIFEST,
                           "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                                      "digest": sha(config), "size": len(config)},
                           "layers": [{"mediaType": "application/vnd.oci.image.layer.v1.tar",
                                       "digest": sha(layer), "size": len(layer)}]}).encode()
        a = self.request("PUT", f"/v2/faults/app/manifests/{tag}", body=body,
                         headers={"Content-Type": OCI_MANIFEST})
        self.assertEqual(a.status, 201, a.body)
        return body


class DiskFills(MountedRoot):
    """The file system fills during a push; room is made again later."""

    def fill(self, leave):
        """A file that takes all but about `leave` bytes; it is removed to
        make room again."""
        path = os.path.join(self.mnt, "filler")
        st = os.statvfs(self.mnt)
        with open(path, "wb") as f:
            f.write(b"\0" * max(0, st.f_bavail * st.f_frsize - leave))
        return path

    def assert_full_answer(self, a):
        """What a client gets when the store has no room: 507 with the
        protocol's error body saying so."""
        self.assertEqual(a.status, 507, a.body)
        self.assertEqual(a.code(), "UNKNOWN")
        self.assertIn("no space left", a.message())

    def test_an_upload_that_fills_the_disk_resumes_or_cancels_once_there_is_room(self):
        manifest = self.push_image("before", data_of("layer", 4096))
        for then in ("resume", "cancel"):
            with self.subTest(then=then):
                data = data_of("big " + then, 1024 * 1024)
                loc = self.start_upload()
                filler = self.fill(256 * 1024)
                a = self.patch(loc, data, 0)
                self.assert_full_answer(a)
                held = self.offset(loc)
                self.assertLess(held, len(data))
                self.assertEqual(self.request("HEAD", f"/v2/faults/app/blobs/{sha(data)}").status,
                                 404)
                if then == "resume":
                    os.remove(filler)
                    self.resume_and_finish(loc, data)
                else:
                    self.assertEqual(self.request("DELETE", loc).status, 204)
                    os.remove(filler)
                    self.assertEqual(self.request("GET", loc).status, 404)
        # What was stored before is untouched, and pulls.
        a = self.request("GET", "/v2/faults/app/manifests/before",
                         headers={"Accept": OCI_MANIFEST})
        self.assertEqual((a.status, a.body), (200, manifest))
        self.assert_nothing_half_visible()

    def test_monolithic_upload_and_manifest_put_on_a_full_disk(self):
        self.push_image("before", data_of("layer", 4096))
        filler = self.fill(64 * 1024)
        data = data_of("whole", 512 * 1024)
        a = self.request("POST", f"/v2/faults/app/blobs/uploads/?digest={sha(data)}", body=data)
        self.assert_full_answer(a)
        self.assertEqual(self.request("HEAD", f"/v2/faults/app/blobs/{sha(data)}").status, 404)
        self.assertEqual([f for f in os.listdir(os.path.join(self.root, "uploads"))
                          if f.endswith(".part")], [], "a refused monolithic upload is removed")
        # A manifest put with no room left at all.
        with open(filler, "ab") as f:
            try:
                f.write(b"\0" * (1 << 20))
            except OSError:
                pass
        a = self.request("GET", "/v2/faults/app/manifests/before", headers={"Accept": OCI_MANIFEST})
        body = a.body.replace(b'"schemaVersion"', b'"annotations":{"a":"b"},"schemaVersion"')
        a = self.request("PUT", "/v2/faults/app/manifests/after", body=body,
                         headers={"Content-Type": OCI_MANIFEST})
        self.assert_full_answer(a)
        os.remove(filler)
        a = self.request("PUT", "/v2/faults/app/manifests/after", body=body,
                         headers={"Content-Type": OCI_MANIFEST})
        self.assertEqual(a.status, 201, a.body)
        self.assert_nothing_half_visible()


class ReadOnlyRoot(MountedRoot):
    """The storage root's file system remounted read-only."""

    def test_reads_answer_and_writes_are_refused_with_a_clear_error(self):
        layer = data_of("layer", 64 * 1024)
        manifest = self.push_image("v1", layer)
        loc = self.start_upload()
        self.assertEqual(self.patch(loc, b"x" * 100, 0).status, 202)
        self.assertEqual(subprocess.run(["mount", "-o", "remount,ro", self.mnt],
                                        capture_output=True).returncode, 0)
        reads = [
            ("GET", "/v2/", 200),
            ("GET", "/v2/_catalog", 200),
            ("GET", "/v2/faults/app/tags/list", 200),
            ("GET", "/v2/faults/app/manifests/v1", 200),
            ("HEAD", "/v2/faults/app/manifests/v1", 200),
            ("GET", f"/v2/faults/app/blobs/{sha(layer)}", 200),
            ("GET", loc, 204),
        ]
        for method, path, status in reads:
            with self.subTest(method=method, path=path):
                a = self.request(method, path, headers={"Accept": OCI_MANIFEST})
                self.assertEqual(a.status, status, a.body)
        self.assertEqual(self.request("GET", "/v2/faults/app/manifests/v1",
                                      headers={"Accept": OCI_MANIFEST}).body, manifest)
        self.assert_blob_whole(layer)
        writes = [
            ("POST", "/v2/faults/app/blobs/uploads/", b""),
            ("POST", f"/v2/faults/app/blobs/uploads/?digest={sha(b'new')}", b"new"),
            ("PATCH", loc, b"more"),
            ("PUT", f"{loc}?digest={sha(b'x' * 100)}", b""),
            ("DELETE", loc, b""),
            ("PUT", "/v2/faults/app/manifests/v2", manifest),
            ("DELETE", "/v2/faults/app/manifests/v1", b""),
            ("DELETE", f"/v2/faults/app/blobs/{sha(layer)}", b""),
        ]
        for method, path, body in writes:
            with self.subTest(method=method, path=path):
                a = self.request(method, path, body=body,
                                 headers={"Content-Type": OCI_MANIFEST if "manifests" in path
                                          else "application/octet-stream"})
                self.assertEqual((a.status, a.code()), (503, "UNKNOWN"), a.body)
                self.assertIn("read-only", a.message())
        # Nothing changed: the tag, the manifest and the upload are as before.
        self.assertEqual(self.request("GET", "/v2/faults/app/manifests/v1",
                                      headers={"Accept": OCI_MANIFEST}).body, manifest)
        self.assertEqual(self.offset(loc), 100)


if __name__ == "__main__":
    unittest.main(verbosity=2)
