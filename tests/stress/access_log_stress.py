#!/usr/bin/env python3
"""Concurrent health requests through a real lighttpd on 127.0.0.1, from
several client processes, and the access-log lines they leave: one whole
line per request, also while the log rotates under load.
HEALTHZ_BIN names the program; the project's scripts lay out the server."""
import http.client
import json
import multiprocessing
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BIN = os.environ.get("HEALTHZ_BIN", "")
SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
TS = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"
# The whole line of a health GET: the plain fields, then the same as JSON.
LINE = re.compile(rf'^GET / 0 200 anonymous ({TS}) (\{{"ts":"{TS}","method":"GET","path":"/",'
                  r'"status":200,"bytes":0,"actor":"anonymous"\})$')
PROCESSES, THREADS, PER_THREAD = 4, 8, 40  # 1,280 requests, 32 at a time


def client(port, count, threads):
    """One client process: threads that each send count requests, one
    connection per request. Returns (answers, failures as text)."""
    ok, bad = [0], []
    lock = threading.Lock()

    def worker():
        for _ in range(count):
            try:
                c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                c.request("GET", "/healthz", headers={"Connection": "close"})
                r = c.getresponse()
                body = r.read()
                c.close()
                doc = json.loads(body)
                good = r.status == 200 and doc.get("status") == "ok"
                with lock:
                    if good:
                        ok[0] += 1
                    else:
                        bad.append(f"{r.status} {body[:200]!r}")
            except (OSError, ValueError, http.client.HTTPException) as e:
                with lock:
                    bad.append(repr(e))

    ts = [threading.Thread(target=worker) for _ in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    return ok[0], bad


class AccessLogStress(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(LIGHTTPD):
            self.skipTest("lighttpd is not installed")
        if not BIN:
            self.skipTest("HEALTHZ_BIN is not set")
        self.tmp = tempfile.mkdtemp(prefix="healthz-stress-")
        self.serve = os.path.join(self.tmp, "serve")
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.terminate()
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
            self.server.stderr.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start_server(self, config=None):
        port = int(subprocess.check_output(
            [sys.executable, os.path.join(SCRIPTS, "free-port.py")], text=True).strip())
        conf = subprocess.check_output(
            ["bash", os.path.join(SCRIPTS, "lighttpd-conf.sh"), self.serve, str(port),
             os.path.dirname(os.path.abspath(BIN))],
            text=True).strip()
        if config is not None:
            # The program reads config.json from its working directory.
            with open(os.path.join(self.serve, "cgi", "config.json"), "w") as f:
                json.dump(config, f)
        self.server = subprocess.Popen([LIGHTTPD, "-D", "-f", conf],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket_ok = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
                socket_ok.connect()
                socket_ok.close()
                break
            except OSError:
                if self.server.poll() is not None:
                    self.fail("lighttpd exited: " + self.server.stderr.read().decode())
                time.sleep(0.05)
        else:
            self.fail("lighttpd did not start listening")
        self.log = os.path.join(self.serve, "cgi", "registry_storage", "registry_access.log")
        return port

    def load(self, port):
        started = time.time()
        with multiprocessing.get_context("spawn").Pool(PROCESSES) as pool:
            results = pool.starmap(client, [(port, PER_THREAD, THREADS)] * PROCESSES)
        elapsed = time.time() - started
        answered = sum(ok for ok, _ in results)
        failures = [f for _, bad in results for f in bad]
        self.assertEqual(failures, [], f"{len(failures)} bad answers")
        total = PROCESSES * THREADS * PER_THREAD
        self.assertEqual(answered, total)
        return total, elapsed

    def lines(self, path):
        """Every line of the file; each must be whole and well formed."""
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return []
        self.assertTrue(data == b"" or data.endswith(b"\n"), path + " ends inside a line")
        out = data.decode().split("\n")[:-1]
        for line in out:
            m = LINE.match(line)
            self.assertIsNotNone(m, f"torn or interleaved line in {path}: {line!r}")
            self.assertEqual(json.loads(m.group(2))["status"], 200)
        return out

    def settle(self):
        """The log line is written when the program exits, a moment after
        the answer: wait until the files stop changing."""
        last, stable = None, 0
        deadline = time.time() + 10
        while time.time() < deadline and stable < 5:
            sizes = tuple(os.path.getsize(p) if os.path.exists(p) else -1
                          for p in (self.log, self.log + ".1"))
            stable = stable + 1 if sizes == last else 0
            last = sizes
            time.sleep(0.05)

    def test_1_one_whole_line_per_request(self):
        port = self.start_server()
        total, elapsed = self.load(port)
        self.settle()
        lines = self.lines(self.log)
        self.assertEqual(len(lines), total)
        self.assertFalse(os.path.exists(self.log + ".1"))
        print(f"\n{total} requests from {PROCESSES} processes x {THREADS} threads in "
              f"{elapsed:.1f} s: {total} answers 200, {len(lines)} whole log lines")

    def test_2_rotation_under_load_keeps_whole_lines(self):
        cap = 8000
        port = self.start_server({"registry_access_log_max_bytes": cap})
        total, elapsed = self.load(port)
        self.settle()
        current = self.lines(self.log)
        older = self.lines(self.log + ".1")
        # Rotation is not coordinated between processes: a line appended
        # to the log just before another process moves it over the older
        # .1 is lost with that generation. What is present is whole.
        kept = len(current) + len(older)
        line_len = len(current[0]) + 1 if current else len(older[0]) + 1
        rotations_at_least = (total * line_len) // cap - 1
        self.assertGreater(rotations_at_least, 10)
        self.assertGreater(kept, 0)
        self.assertLessEqual(kept, total)
        # Each file stays near its cap (a racing append may pass it by a
        # few lines, never by much).
        for path in (self.log, self.log + ".1"):
            self.assertLess(os.path.getsize(path), cap + 64 * line_len)
        print(f"\n{total} requests in {elapsed:.1f} s with a {cap}-byte cap: "
              f"{len(current)} + {len(older)} whole lines kept in the two generations, "
              f"{total - kept} gone with older generations (at least {rotations_at_least} "
              f"rotations; only one older generation is kept, and a racing rotation can "
              f"drop a fresh one too); no torn line")


if __name__ == "__main__":
    unittest.main(verbosity=2)
