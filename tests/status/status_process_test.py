#!/usr/bin/env python3
"""The status program as a process: its JSON snapshot, the HTML page and
its escaping, paging of the repository list, no caching, authentication.
Reuses the endpoint programs' process fixture (ENDPOINTS_DIR)."""
import hashlib
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "process"))
import endpoints_process_test as ep  # noqa: E402


class Status(ep.EndpointCase):
    def status(self, query="", env=None):
        r = self.run_raw("status", "GET", "/status", query, env=env)
        self.assertEqual(r.header("Cache-Control"), "no-store", r)
        return r

    def test_json_counts_and_tags_of_a_pushed_image(self):
        _, _, manifest = self.push_image("lib/app", "v1")
        self.push_manifest(manifest, "latest", "lib/app")
        for how in ({"query": "format=json"}, {"env": {"HTTP_ACCEPT": "application/json"}}):
            with self.subTest(how=how):
                r = self.status(**how)
                self.assertEqual(r.status, 200, r)
                self.assertTrue(r.header("Content-Type").startswith("application/json"))
                doc = r.json()
                self.assertEqual(doc["status"], "ok")
                self.assertEqual((doc["store"]["repositories"], doc["store"]["tags"],
                                  doc["store"]["blobs"]), (1, 2, 2))
                self.assertEqual(doc["gc"]["running"], False)
                [repo] = doc["repositories"]
                self.assertEqual(repo["name"], "lib/app")
                self.assertEqual(sorted(t["tag"] for t in repo["tags"]), ["latest", "v1"])
                for t in repo["tags"]:
                    self.assertEqual((t["digest"], t["size"]), (ep.digest_of(manifest), len(manifest)))
                self.assertNotIn("next_last", doc)

    def test_html_page_is_self_contained(self):
        self.push_image("lib/app", "v1")
        r = self.status(env={"HTTP_ACCEPT": "text/html"})
        self.assertEqual(r.status, 200)
        self.assertTrue(r.header("Content-Type").startswith("text/html"))
        page = r.body.decode()
        self.assertIn('name="viewport"', page)
        self.assertIn("prefers-color-scheme", page)
        self.assertNotIn("<script", page)
        self.assertNotRegex(page, r'(src|href)="(https?:)?//')
        self.assertIn("lib/app", page)
        self.assertIn("<td>v1</td>", page)

    def test_paging_follows_the_catalog(self):
        names = [f"r{i}/app" for i in range(5)]
        for n in names:
            self.push_image(n, "t")
        seen, last = [], ""
        for _ in range(5):
            doc = self.status("format=json&n=2" + (f"&last={last}" if last else "")).json()
            seen += [r["name"] for r in doc["repositories"]]
            self.assertLessEqual(len(doc["repositories"]), 2)
            last = doc.get("next_last")
            if not last:
                break
        self.assertEqual(seen, sorted(names))
        page = self.status("n=2", env={"HTTP_ACCEPT": "text/html"}).body.decode()
        self.assertIn('href="/status?n=2&amp;last=r1%2Fapp"', page)

    def test_text_from_the_store_is_escaped(self):
        # Tags allow only [A-Za-z0-9_.-]; a stored tag file is what the page
        # reads, so one planted by hand stands for a hostile store.
        self.push_image("lib/app", "v1")
        tags = self.store_path("repositories", "lib", "app", "_manifests", "tags")
        if os.path.isdir(tags):
            os.rename(os.path.join(tags, "v1"), os.path.join(tags, "<i>x&y"))
        page = self.status(env={"HTTP_ACCEPT": "text/html"}).body.decode()
        self.assertNotIn("<i>", page)
        if "x&amp;y" not in page:
            self.assertNotIn("x&y", page)

    def test_uploads_in_progress_with_their_idle_time(self):
        self.start_upload()
        location = self.start_upload()
        uid = location.rsplit("/", 1)[1]
        part = self.store_path("uploads", uid + ".part")
        with open(part, "wb") as f:
            f.write(b"x" * 100)
        os.utime(part, (time.time() - 7200, time.time() - 7200))
        doc = self.status("format=json").json()
        self.assertEqual(doc["uploads"]["total"], 2)
        by_id = {u["id"]: u for u in doc["uploads"]["uploads"]}
        self.assertEqual(by_id[uid]["bytes"], 100)
        self.assertGreaterEqual(by_id[uid]["idle_seconds"], 7200)
        page = self.status(env={"HTTP_ACCEPT": "text/html"}).body.decode()
        self.assertIn(uid, page)
        self.assertIn("2 h 0 min", page)

    def test_the_last_collection_report(self):
        self.assertNotIn("gc_last", self.status("format=json").json())
        os.makedirs(self.store_path("_gc"), exist_ok=True)
        with open(self.store_path("_gc", "last.json"), "w") as f:
            json.dump({"dry_run": False, "blobs_deleted": 3, "bytes_freed": 4096}, f)
        self.assertEqual(self.status("format=json").json()["gc_last"]["blobs_deleted"], 3)
        page = self.status(env={"HTTP_ACCEPT": "text/html"}).body.decode()
        self.assertIn("blobs_deleted 3;", page)

    def log_line(self, age, status=200, nbytes=10, path="/v2/lib/app/manifests/v1"):
        ts = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() - age))
        rec = {"ts": ts, "method": "GET", "path": path, "status": status, "bytes": nbytes,
               "actor": "anonymous"}
        return f"GET {path} {nbytes} {status} anonymous {ts} {json.dumps(rec)}\n"

    def traffic(self):
        doc = self.status("format=json").json()
        return doc["traffic_24h"]

    def test_traffic_of_the_last_day_from_the_log_and_its_older_generation(self):
        log = self.store_path(ep.LOG_NAME)
        hour = 3600
        # The older generation holds lines on both sides of the day's start:
        # the current file began within the day, so it is read too.
        with open(log + ".1", "w") as f:
            f.write(self.log_line(30 * hour, 200, 1000))
            f.write(self.log_line(23 * hour + 1800, 404, 7, "/v2/other/blobs/sha256:ab"))
        with open(log, "w") as f:
            f.write(self.log_line(5 * hour, 500, 3, "/v2/a b/tags/list"))
            f.write("garbage line without fields\n")
            f.write(self.log_line(100, 201, 20, "/v2/lib/app/blobs/uploads/x"))
            f.write(self.log_line(50, 200, 30, "/healthz"))
        t = self.traffic()
        # The status request itself lands in the log only after its answer.
        self.assertEqual(t["requests"], 4)
        self.assertEqual(t["bytes"], 7 + 3 + 20 + 30)
        self.assertEqual((t["by_status"]["2xx"], t["by_status"]["4xx"], t["by_status"]["5xx"]),
                         (2, 1, 1))
        self.assertEqual(len(t["per_hour"]), 24)
        self.assertEqual((t["per_hour"][23], t["per_hour"][18], t["per_hour"][0]), (2, 1, 1))
        self.assertEqual(sum(t["per_hour"]), 4)
        self.assertEqual(t["busiest"][0], {"repository": "a b", "requests": 1})
        self.assertEqual({b["repository"] for b in t["busiest"]}, {"a b", "lib/app", "other"})

    def test_traffic_of_a_long_log_counts_only_its_tail(self):
        log = self.store_path(ep.LOG_NAME)
        old = self.log_line(3 * 86400, 200, 1, "/v2/old/manifests/x")
        with open(log, "w") as f:
            f.write(old * 40000)  # several MiB older than a day
            for i in range(300):
                f.write(self.log_line(80000 - i * 200, 200, 1, f"/v2/r{i % 7}/manifests/t"))
        with open(log + ".1", "w") as f:
            f.write(self.log_line(100, 200, 1))  # must not be read: the file began earlier
        t = self.traffic()
        self.assertEqual(t["requests"], 300)
        self.assertNotIn("old", [b["repository"] for b in t["busiest"]])
        self.assertEqual([b["requests"] for b in t["busiest"]], [43, 43, 43, 43, 43])

    def test_busiest_counts_every_repository_of_the_day(self):
        # 600 repositories once each early in the day, then the busiest one.
        with open(self.store_path(ep.LOG_NAME), "w") as f:
            for i in range(600):
                f.write(self.log_line(80000 - i, 200, 1, f"/v2/team/r{i:03d}/manifests/t"))
            for _ in range(3):
                f.write(self.log_line(60, 200, 1, "/v2/late/busy/blobs/sha256:00"))
        t = self.traffic()
        self.assertEqual(t["requests"], 603)
        self.assertEqual(t["busiest"][:2], [{"repository": "late/busy", "requests": 3},
                                            {"repository": "team/r000", "requests": 1}])

    def test_html_escapes_log_text_and_draws_the_chart(self):
        with open(self.store_path(ep.LOG_NAME), "w") as f:
            f.write(self.log_line(60, 200, 1, "/v2/<script>x&/manifests/t"))
        page = self.status(env={"HTTP_ACCEPT": "text/html"}).body.decode()
        self.assertNotIn("<script>", page)
        self.assertIn("&lt;script&gt;x&amp;", page)
        self.assertEqual(page.count("<rect "), 24)

    def test_authentication(self):
        with open(os.path.join(self.cwd, "config.json"), "w") as f:
            json.dump({"registry_auth_user": ep.USER,
                       "registry_auth_sha256": hashlib.sha256(ep.PASSWORD.encode()).hexdigest()}, f)
        r = self.run_raw("status", "GET", "/status", "format=json")
        self.assertEqual(r.status, 401, r)
        self.assertRegex(r.header("WWW-Authenticate") or "", r'^Basic realm="[^"]+"$')
        r = self.status("format=json", env={"HTTP_AUTHORIZATION": ep.basic(ep.USER, ep.PASSWORD)})
        self.assertEqual((r.status, r.json()["status"]), (200, "ok"))

    def test_head_and_other_methods(self):
        r = self.run_raw("status", "HEAD", "/status")
        self.assertEqual((r.status, r.body), (200, b""))
        r = self.run_raw("status", "POST", "/status")
        self.assertEqual(r.status, 405)
        self.assertIn("GET", r.header("Allow"))


if __name__ == "__main__":
    unittest.main()
