#!/usr/bin/env python3
"""The healthz program behind a real lighttpd on 127.0.0.1: requests over
HTTP, answers and the access-log line each request leaves.
HEALTHZ_BIN names the program; the project's scripts lay out the server."""
import http.client
import json
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

BIN = os.environ.get("HEALTHZ_BIN", "")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from served_registry import LIGHTTPD, ServedRegistry  # noqa: E402
TS = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"


class Lighttpd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(LIGHTTPD):
            raise unittest.SkipTest("lighttpd is not installed")
        cls.tmp = tempfile.mkdtemp(prefix="healthz-web-")
        try:
            cls.server = ServedRegistry(os.path.join(cls.tmp, "serve"),
                                        os.path.dirname(os.path.abspath(BIN)))
        except Exception:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise
        cls.port = cls.server.port
        cls.root = cls.server.root
        cls.log = cls.server.log

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def request(self, method, path="/healthz", headers=None, body=None):
        before = self.log_size()
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r, data, before

    def log_size(self):
        return self.server.log_size()

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
