#!/usr/bin/env python3
"""The healthz program as a process: CGI environment in, exact standard
output, exit status and files out. HEALTHZ_BIN names the program;
HEALTHZ_RUNNER, when set, runs it (e.g. "wine64" for the Windows build)."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

BIN = os.path.abspath(os.environ.get("HEALTHZ_BIN", ""))
RUNNER = os.environ.get("HEALTHZ_RUNNER", "").split()
WINDOWS = os.name == "nt" or BIN.lower().endswith(".exe")
SEP = "\\" if WINDOWS else "/"
TS = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"

MARKER = ('{\n  "schemaVersion": 2,\n  "title": "tarnvale-registry-storage",\n'
          '  "version": "1.9.0",\n  "maxUploadSize": -1\n}\n')
BODY_405 = ('{"error":"method_not_allowed","message":"the health endpoint is read-only",'
            '"allow":"GET, HEAD"}\n')
HEADERS_200_JSON = ("Status: 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
                    "Cache-Control: no-store\r\n\r\n")
HEADERS_200_HTML = ("Status: 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                    "Cache-Control: no-store\r\n\r\n")


def healthy_json(uptime):
    return ('{\n    "status": "ok",\n    "version": "1.9.0",\n'
            f'    "uptime_seconds": {uptime},\n'
            '    "components": {\n        "storage": {\n            "ok": true,\n'
            '            "writable": true,\n            "init_rc": 0\n        },\n'
            '        "catalog": {\n            "ok": true\n        }\n    }\n}\n')


def page(ok, storage, catalog, component=None):
    text = ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<title>Registry health</title></head>\n'
            '<body style="background:#000;color:#eee;font-family:system-ui,sans-serif;'
            'padding:40px">\n<h1>' + ("Healthy" if ok else "Unhealthy") +
            '</h1>\n<p>Storage engine <code>' + ("1.9.0" if storage != "initialisation failed" else "unknown") +
            '</code></p>\n<ul>\n<li>storage: ' + storage + '</li>\n<li>catalog: ' + catalog +
            '</li>\n</ul>\n')
    if not ok:
        text += '<p>Failing component: <code>' + component + '</code></p>\n'
    return text + ('<p><a href="/status" style="color:#7ab7ff">Telemetry page</a></p>\n'
                   '</body></html>\n')


class HealthzCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="healthz-proc-")
        self.cwd = os.path.join(self.tmp, "work")
        os.mkdir(self.cwd)

    def tearDown(self):
        for dirpath, dirnames, _ in os.walk(self.tmp):
            for d in dirnames:
                try:
                    os.chmod(os.path.join(dirpath, d), 0o755)
                except OSError:
                    pass
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_cgi(self, method="GET", query=None, accept=None, root=None, extra=None, user=None):
        env = {"PATH": os.environ.get("PATH", "")}
        for k in os.environ:
            if k in ("SYSTEMROOT", "TEMP", "TMP", "HOME") or k.startswith("WINE"):
                env[k] = os.environ[k]
        if method is not None:
            env["REQUEST_METHOD"] = method
        if query is not None:
            env["QUERY_STRING"] = query
        if accept is not None:
            env["HTTP_ACCEPT"] = accept
        if root is not None:
            env["REGISTRY_STORAGE_ROOT"] = root
        env.update(extra or {})
        p = subprocess.run(RUNNER + [BIN], env=env, cwd=self.cwd, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30,
                           **({"user": user, "group": user} if user is not None else {}))
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stderr, b"")
        return p.stdout.decode("utf-8")

    def path(self, *parts):
        return os.path.join(self.cwd, *parts)

    def log_lines(self, root):
        with open(os.path.join(root, "registry_access.log"), "rb") as f:
            return f.read().decode().splitlines(keepends=True)

    def assert_log_line(self, line, method, path, status):
        m = re.fullmatch(
            rf'{re.escape(method)} {re.escape(path)} 0 {status} anonymous ({TS}) '
            rf'\{{"ts":"({TS})","method":"{re.escape(method)}","path":"{re.escape(path)}",'
            rf'"status":{status},"bytes":0,"actor":"anonymous"\}}\n', line)
        self.assertIsNotNone(m, line)
        self.assertEqual(m.group(1), m.group(2))


class Methods(HealthzCase):
    def test_options_answers_at_once_without_touching_storage(self):
        root = self.path("store")
        os.mkdir(root)
        out = self.run_cgi("OPTIONS", root=root)
        self.assertEqual(out, "Status: 204 No Content\r\nAllow: GET, HEAD, OPTIONS\r\n\r\n")
        self.assertEqual(os.listdir(root), ["registry_access.log"])
        [line] = self.log_lines(root)
        self.assert_log_line(line, "OPTIONS", "/", 204)

    def test_other_methods_get_405_and_storage_is_untouched(self):
        root = self.path("store")
        os.mkdir(root)
        for method in ("POST", "PUT", "DELETE", "get", "options", "PATCH"):
            with self.subTest(method=method):
                out = self.run_cgi(method, root=root)
                self.assertEqual(out, "Status: 405 Method Not Allowed\r\nAllow: GET, HEAD\r\n"
                                      "Content-Type: application/json; charset=utf-8\r\n\r\n" + BODY_405)
                self.assertEqual(len(BODY_405), 96)
        self.assertEqual(os.listdir(root), ["registry_access.log"])
        self.assertEqual([l.split(" ")[3] for l in self.log_lines(root)], ["405"] * 6)

    def test_missing_or_empty_method_counts_as_get(self):
        for method in (None, ""):
            with self.subTest(method=method):
                out = self.run_cgi(method, root=self.path("store"))
                self.assertTrue(out.startswith(HEADERS_200_JSON), out)


class FreshStore(HealthzCase):
    def test_default_root_is_created_and_answers_healthy(self):
        out = self.run_cgi()
        self.assertEqual(out, HEADERS_200_JSON + healthy_json(0))
        root = self.path("registry_storage")
        for d in (("blobs", "sha256"), ("repositories",), ("uploads",), ("_health",)):
            self.assertTrue(os.path.isdir(os.path.join(root, *d)), d)
        with open(os.path.join(root, "config.json"), "rb") as f:
            self.assertEqual(f.read().decode(), MARKER)
        with open(os.path.join(root, "_health", "first_seen"), "rb") as f:
            seen = f.read().decode()
        self.assertRegex(seen, r"^\d+\n$")
        self.assertLessEqual(abs(int(seen) - time.time()), 5)
        self.assertEqual(sorted(os.listdir(root)),
                         ["_health", "blobs", "config.json", "registry_access.log",
                          "repositories", "uploads"])  # no probe file left behind
        [line] = self.log_lines(root)
        self.assert_log_line(line, "GET", "/", 200)

    def test_second_request_reports_uptime_and_keeps_the_marker(self):
        root = self.path("store")
        self.run_cgi(root=root)
        with open(os.path.join(root, "config.json"), "w") as f:
            f.write("edited by an operator")
        with open(os.path.join(root, "_health", "first_seen"), "w") as f:
            f.write("%d\n" % (int(time.time()) - 100))
        out = self.run_cgi(root=root)
        body = json.loads(out.split("\r\n\r\n", 1)[1])
        self.assertIn(body["uptime_seconds"], (100, 101, 102))
        with open(os.path.join(root, "config.json")) as f:
            self.assertEqual(f.read(), "edited by an operator")
        self.assertEqual(len(self.log_lines(root)), 2)

    def test_head_has_the_headers_of_get_and_no_body(self):
        for accept, headers in ((None, HEADERS_200_JSON), ("text/html", HEADERS_200_HTML)):
            with self.subTest(accept=accept):
                self.assertEqual(self.run_cgi("HEAD", accept=accept, root=self.path("s")), headers)


class FormatChoice(HealthzCase):
    CASES = [
        # (query, accept, html?)
        (None, None, False),
        (None, "*/*", False),
        (None, "text/html,application/xhtml+xml", True),
        (None, "text/html, application/json", False),
        (None, "TEXT/HTML", False),
        ("format=JSON", "text/html", False),
        ("format=json", "text/html", False),
        ("format=jsonp", "text/html", True),
        ("format=html", None, False),
        ("format=%6Aso%6E", "text/html", False),
        ("format=%zz", "text/html", True),
        ("format=%4", None, False),
        ("format=", "text/html", True),
    ]

    def test_table(self):
        root = self.path("store")
        self.run_cgi(root=root)
        for query, accept, html in self.CASES:
            with self.subTest(query=query, accept=accept):
                out = self.run_cgi(query=query, accept=accept, root=root)
                headers, body = out.split("\r\n\r\n", 1)
                if html:
                    self.assertEqual(headers + "\r\n\r\n", HEADERS_200_HTML)
                    self.assertEqual(body, page(True, "ok", "ok"))
                else:
                    self.assertEqual(headers + "\r\n\r\n", HEADERS_200_JSON)
                    self.assertEqual(json.loads(body)["status"], "ok")


class Unhealthy(HealthzCase):
    def test_root_that_is_a_file_fails_initialisation(self):
        root = self.path("afile")
        with open(root, "w") as f:
            f.write("x")
        out = self.run_cgi(root=root)
        self.assertEqual(out, (
            "Status: 503 Service Unavailable\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Cache-Control: no-store\r\n\r\n"
            '{\n    "status": "unhealthy",\n    "component": "storage",\n'
            '    "reason": "init_failed",\n    "version": "unknown",\n    "uptime_seconds": 0,\n'
            '    "components": {\n        "storage": {\n            "ok": false,\n'
            '            "writable": false,\n            "init_rc": -1\n        },\n'
            '        "catalog": {\n            "ok": false\n        }\n    }\n}\n'))
        html = self.run_cgi(accept="text/html", root=root)
        self.assertEqual(html.split("\r\n\r\n", 1)[1],
                         page(False, "initialisation failed", "unreadable", "storage"))

    def test_a_file_where_a_layout_directory_belongs_fails_initialisation(self):
        root = self.path("store")
        os.makedirs(os.path.join(root, "blobs"))
        with open(os.path.join(root, "blobs", "sha256"), "w") as f:
            f.write("not a directory")
        body = json.loads(self.run_cgi(root=root).split("\r\n\r\n", 1)[1])
        self.assertEqual((body["status"], body["reason"], body["components"]["storage"]["init_rc"]),
                         ("unhealthy", "init_failed", -1))

    def unprivileged(self):
        """A user that permissions bind: this one, or 'nobody' when running as root."""
        if WINDOWS:
            self.skipTest("Windows has no POSIX permission bits, and Wine runs the program "
                          "as the user who owns its prefix")
        if os.geteuid() != 0:
            return None
        os.chmod(self.tmp, 0o755)
        os.chmod(self.cwd, 0o777)
        return 65534

    def test_repositories_that_cannot_be_listed_make_the_catalog_unreadable(self):
        user = self.unprivileged()
        root = self.path("store")
        self.run_cgi(root=root)
        os.chmod(root, 0o777)
        os.chmod(os.path.join(root, "repositories"), 0o000)
        try:
            doc = json.loads(self.run_cgi(root=root, user=user).split("\r\n\r\n", 1)[1])
        finally:
            os.chmod(os.path.join(root, "repositories"), 0o755)
        self.assertEqual((doc["status"], doc["component"], doc["reason"],
                          doc["components"]["catalog"]["ok"]),
                         ("unhealthy", "catalog", "catalog_unreadable", False))

    def test_read_only_root_is_not_writable(self):
        user = self.unprivileged()
        root = self.path("store")
        self.run_cgi(root=root)
        os.chmod(root, 0o555)
        out = self.run_cgi(root=root, user=user)
        headers, body = out.split("\r\n\r\n", 1)
        self.assertTrue(headers.startswith("Status: 503 Service Unavailable"))
        doc = json.loads(body)
        self.assertEqual((doc["component"], doc["reason"], doc["version"], doc["components"]),
                         ("storage", "not_writable", "1.9.0",
                          {"storage": {"ok": False, "writable": False, "init_rc": 0},
                           "catalog": {"ok": False}}))
        html = self.run_cgi(accept="text/html", root=root, user=user).split("\r\n\r\n", 1)[1]
        self.assertEqual(html, page(False, "not writable", "unreadable", "storage"))
        self.assertEqual(sorted(os.listdir(root)), ["_health", "blobs", "config.json",
                                                    "registry_access.log", "repositories", "uploads"])

    def test_unreadable_root_fails_initialisation(self):
        user = self.unprivileged()
        root = self.path("store")
        self.run_cgi(root=root)
        shutil.rmtree(os.path.join(root, "uploads"))
        os.chmod(root, 0o000)
        body = json.loads(self.run_cgi(root=root, user=user).split("\r\n\r\n", 1)[1])
        self.assertEqual((body["status"], body["reason"], body["components"]["storage"]["init_rc"]),
                         ("unhealthy", "init_failed", -1))


class Configuration(HealthzCase):
    def write_config(self, data):
        with open(self.path("config.json"), "wb") as f:
            f.write(data)

    def test_root_lookup_table(self):
        cases = [
            # (config.json bytes, directory the probe must use; None: refused)
            (b'{"registry_storage_root":"a"}', "a"),
            (b'{"storage_root":"b"}', "b"),
            (b'{"registry_storage_root" : "a", "storage_root":"a"}', "a"),
            (b'{"_pad":"' + b" " * 9000 + b'", "storage_root":"b"}', "b"),
            (b'{}', "registry_storage"),
            # Two roots that disagree would split the data from its log.
            (b'{"registry_storage_root":"a","storage_root":"b"}', None),
            (b'{"registry_storage_root":"","storage_root":"b"}', None),
            (b'{"registry_storage_root":"unterminated', None),
            (b'{"registry_storage_root":"' + b"x" * 1024 + b'"}', None),
            (b"", None),
            (b"\x00\xff\xfe binary \x01", None),
        ]
        for data, expect in cases:
            with self.subTest(config=data[:60]):
                for name in os.listdir(self.cwd):
                    p = self.path(name)
                    shutil.rmtree(p) if os.path.isdir(p) else os.remove(p)
                self.write_config(data)
                out = self.run_cgi()
                if expect is None:
                    self.assertTrue(out.startswith("Status: 503"), out)
                    body = json.loads(out.split("\r\n\r\n", 1)[1])
                    self.assertEqual((body["component"], body["reason"]),
                                     ("settings", "settings_invalid"))
                    self.assertEqual(os.listdir(self.cwd), ["config.json"], "nothing made")
                    continue
                self.assertTrue(out.startswith(HEADERS_200_JSON), out)
                self.assertTrue(os.path.isfile(self.path(expect, "config.json")), os.listdir(self.cwd))
                self.assertEqual(len(self.log_lines(self.path(expect))), 1, "log and data together")

    def test_log_switched_off_and_environment_wins(self):
        self.write_config(b'{"registry_access_log": 0, "storage_root": "cfg"}')
        root = self.path("env-root")
        self.run_cgi(root=root)
        self.assertTrue(os.path.isfile(os.path.join(root, "config.json")))
        self.assertFalse(os.path.exists(self.path("cfg")))
        self.assertFalse(os.path.exists(os.path.join(root, "registry_access.log")))

    def test_huge_config_file_is_refused_unread(self):
        self.write_config(b'{"storage_root":"big",' + b'"_pad":"' + b"y" * (8 << 20) + b'"}')
        out = self.run_cgi()
        self.assertTrue(out.startswith("Status: 503"), out[:200])
        self.assertFalse(os.path.exists(self.path("big")))

    def test_config_that_is_a_directory_is_unreadable(self):
        os.mkdir(self.path("config.json"))
        self.assertTrue(self.run_cgi().startswith("Status: 503"))
        self.assertFalse(os.path.exists(self.path("registry_storage")))


class FirstSeen(HealthzCase):
    def test_table(self):
        root = self.path("store")
        self.run_cgi(root=root)
        fs = os.path.join(root, "_health", "first_seen")
        now = int(time.time())
        cases = [
            # (file content, uptime range, rewritten?)
            ("abc", (0, 0), True),
            ("0\n", (0, 0), True),
            ("-5\n", (0, 0), True),
            ("", (0, 0), True),
            ("%d\n" % (now - 100), (100, 103), False),
            ("  %d" % (now - 50), (50, 53), False),
            ("%d\n" % (now + 1000), (0, 0), False),
            ("99999999999999999999999\n", (0, 0), False),
        ]
        for content, (lo, hi), rewritten in cases:
            with self.subTest(content=content):
                with open(fs, "w") as f:
                    f.write(content)
                body = json.loads(self.run_cgi(root=root).split("\r\n\r\n", 1)[1])
                self.assertGreaterEqual(body["uptime_seconds"], lo)
                # Each run starts later than `now` (much later under Wine).
                late = int(time.time()) - now
                self.assertLessEqual(body["uptime_seconds"], hi + late if hi else 0)
                with open(fs) as f:
                    after = f.read()
                if rewritten:
                    self.assertRegex(after, r"^\d+\n$")
                    self.assertLessEqual(abs(int(after) - time.time()), 5)
                else:
                    self.assertEqual(after, content)
        self.assertEqual(sorted(os.listdir(os.path.join(root, "_health"))), ["first_seen"])

    def test_unwritable_first_seen_does_not_fail_the_probe(self):
        root = self.path("store")
        os.makedirs(os.path.join(root, "_health", "first_seen"))  # a directory in its place
        body = json.loads(self.run_cgi(root=root).split("\r\n\r\n", 1)[1])
        self.assertEqual((body["status"], body["uptime_seconds"]), ("ok", 0))


class Catalog(HealthzCase):
    def test_store_with_repositories_is_healthy(self):
        root = self.path("store")
        for name in ("b", "a/x", "a"):
            os.makedirs(os.path.join(root, "repositories", *name.split("/"), "_manifests"))
        self.assertEqual(self.run_cgi(root=root), HEADERS_200_JSON + healthy_json(0))


if __name__ == "__main__":
    if not BIN or not os.path.isfile(BIN):
        raise SystemExit("set HEALTHZ_BIN to the built healthz program")
    unittest.main(verbosity=2)
