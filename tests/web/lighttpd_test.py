#!/usr/bin/env python3
"""The healthz program behind a real lighttpd on 127.0.0.1: requests over
HTTP, answers and the access-log line each request leaves.
HEALTHZ_BIN names the program; the project's scripts lay out the server."""
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BIN = os.environ.get("HEALTHZ_BIN", "")
SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
TS = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"


class Lighttpd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(LIGHTTPD):
            raise unittest.SkipTest("lighttpd is not installed")
        cls.tmp = tempfile.mkdtemp(prefix="healthz-web-")
        cls.serve = os.path.join(cls.tmp, "serve")
        cls.port = int(subprocess.check_output(
            [sys.executable, os.path.join(SCRIPTS, "free-port.py")], text=True).strip())
        conf = subprocess.check_output(
            ["bash", os.path.join(SCRIPTS, "lighttpd-conf.sh"), cls.serve, str(cls.port),
             os.path.dirname(os.path.abspath(BIN))],
            text=True).strip()
        cls.server = subprocess.Popen([LIGHTTPD, "-D", "-f", conf],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                c = http.client.HTTPConnection("127.0.0.1", cls.port, timeout=2)
                c.request("OPTIONS", "/healthz")
                c.getresponse().read()
                c.close()
                break
            except OSError:
                if cls.server.poll() is not None:
                    raise RuntimeError("lighttpd exited: " + cls.server.stderr.read().decode())
                time.sleep(0.05)
        else:
            cls.tearDownClass()
            raise RuntimeError("lighttpd did not start listening")
        cls.root = os.path.join(cls.serve, "cgi", "registry_storage")
        cls.log = os.path.join(cls.root, "registry_access.log")
        # The start-up probe's own log line lands when its program exits, which
        # may be after its answer: wait for it, so no test counts it as its own.
        deadline = time.time() + 5
        while time.time() < deadline and cls.log_size_of(cls.log) == 0:
            time.sleep(0.02)

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        try:
            cls.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            cls.server.kill()
            cls.server.wait()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def request(self, method, path="/healthz", headers=None, body=None):
        before = self.log_size()
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r, data, before

    @staticmethod
    def log_size_of(path):
        try:
            return os.path.getsize(path)
        except OSError:
            return 0

    def log_size(self):
        try:
            return os.path.getsize(self.log)
        except OSError:
            return 0

    def new_log_line(self, before):
        # The line is appended when the program exits, which may be a moment
        # after the server has relayed the answer.
        deadline = time.time() + 5
        while time.time() < deadline:
            with open(self.log, "rb") as f:
                f.seek(before)
                tail = f.read().decode()
            if tail.endswith("\n"):
                return tail
            time.sleep(0.02)
        self.fail("no access-log line appeared")

    def assert_logged(self, before, method, status):
        line = self.new_log_line(before)
        self.assertRegex(line, rf'^{method} / 0 {status} anonymous {TS} \{{"ts":"{TS}",'
                               rf'"method":"{method}","path":"/","status":{status},"bytes":0,'
                               r'"actor":"anonymous"\}\n$')

    def test_1_get_json_creates_the_default_store(self):
        r, data, before = self.request("GET")
        self.assertEqual(r.status, 200)
        self.assertEqual(r.getheader("Content-Type"), "application/json; charset=utf-8")
        self.assertEqual(r.getheader("Cache-Control"), "no-store")
        doc = json.loads(data)
        self.assertEqual((doc["status"], doc["version"], doc["components"]["catalog"]["ok"]),
                         ("ok", "1.9.0", True))
        self.assertTrue(os.path.isfile(os.path.join(self.root, "config.json")))
        self.assertTrue(os.path.isfile(os.path.join(self.root, "_health", "first_seen")))
        self.assert_logged(before, "GET", 200)

    def test_2_get_html_for_a_browser(self):
        r, data, before = self.request("GET", headers={"Accept": "text/html,application/xhtml+xml"})
        self.assertEqual(r.status, 200)
        self.assertEqual(r.getheader("Content-Type"), "text/html; charset=utf-8")
        text = data.decode()
        self.assertTrue(text.startswith("<!DOCTYPE html>\n"))
        self.assertIn("<h1>Healthy</h1>", text)
        self.assertIn("<li>storage: ok</li>\n<li>catalog: ok</li>", text)
        self.assert_logged(before, "GET", 200)

    def test_3_format_parameter_wins_over_accept(self):
        r, data, before = self.request("GET", "/healthz?format=JSON",
                                       headers={"Accept": "text/html"})
        self.assertEqual(r.getheader("Content-Type"), "application/json; charset=utf-8")
        self.assertEqual(json.loads(data)["status"], "ok")
        self.new_log_line(before)

    def test_4_head(self):
        r, data, before = self.request("HEAD")
        self.assertEqual(r.status, 200)
        self.assertEqual(r.getheader("Content-Type"), "application/json; charset=utf-8")
        self.assertEqual(data, b"")
        self.assert_logged(before, "HEAD", 200)

    def test_5_options(self):
        r, data, before = self.request("OPTIONS")
        self.assertEqual(r.status, 204)
        self.assertEqual(r.getheader("Allow"), "GET, HEAD, OPTIONS")
        self.assertIsNone(r.getheader("Content-Type"))
        self.assertEqual(data, b"")
        self.assert_logged(before, "OPTIONS", 204)

    def test_6_post(self):
        r, data, before = self.request("POST", body=b"ignored",
                                       headers={"Content-Type": "text/plain"})
        self.assertEqual(r.status, 405)
        self.assertEqual(r.getheader("Allow"), "GET, HEAD")
        self.assertEqual(json.loads(data), {"error": "method_not_allowed",
                                            "message": "the health endpoint is read-only",
                                            "allow": "GET, HEAD"})
        self.assert_logged(before, "POST", 405)

    def test_7_storage_is_not_served_as_files(self):
        for path in ("/registry_storage/registry_access.log", "/cgi/healthz", "/config.json"):
            with self.subTest(path=path):
                r, _, _ = self.request("GET", path)
                self.assertEqual(r.status, 404)


if __name__ == "__main__":
    if not BIN or not os.path.isfile(BIN):
        raise SystemExit("set HEALTHZ_BIN to the built healthz program")
    unittest.main(verbosity=2)
