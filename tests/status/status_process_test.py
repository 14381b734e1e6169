#!/usr/bin/env python3
"""The status program as a process: its JSON snapshot, the HTML page and
its escaping, paging of the repository list, no caching, authentication.
Reuses the endpoint programs' process fixture (ENDPOINTS_DIR)."""
import hashlib
import json
import os
import sys
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
