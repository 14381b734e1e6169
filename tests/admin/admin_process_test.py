#!/usr/bin/env python3
"""registry-admin as a process on stores generated as plain files: its
output, exit statuses and what it leaves on disk; the progress line on a
pseudo-terminal and Ctrl-C in the middle of a collection. ADMIN_DIR names
the folder of the built command; ADMIN_RUNNER, when set, runs it (e.g.
"wine64" for the Windows build, which sees the host's / as Z:)."""
import hashlib
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

DIR = os.path.abspath(os.environ.get("ADMIN_DIR", "") or ".")
RUNNER = os.environ.get("ADMIN_RUNNER", "").split()
EXE = ".exe" if os.path.isfile(os.path.join(DIR, "registry-admin.exe")) else ""
WINDOWS = os.name == "nt" or bool(EXE)
PROGRAM = os.path.join(DIR, "registry-admin" + EXE)
HOUR = 3600
DAY = 86400
OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"


def native(path):
    """A host path as the program sees it: Wine maps the host's / to Z:."""
    if WINDOWS and os.name != "nt":
        return "Z:" + path.replace("/", "\\")
    return path


def digest_of(data, algorithm="sha256"):
    return algorithm + ":" + hashlib.new(algorithm, data).hexdigest()


def write(path, data, age=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if age is not None:
        t = time.time() - age
        os.utime(path, (t, t))


class Store:
    """A storage root written file by file, as the engine lays it out."""

    def __init__(self, root):
        self.root = root
        for d in ("blobs/sha256", "repositories", "uploads"):
            os.makedirs(os.path.join(root, d), exist_ok=True)

    def blob_path(self, digest):
        algorithm, hex_ = digest.split(":", 1)
        return os.path.join(self.root, "blobs", algorithm, hex_[:2], hex_)

    def blob(self, data, age=3 * HOUR, algorithm="sha256"):
        """Older than the collection's default spare window unless told."""
        d = digest_of(data, algorithm)
        write(self.blob_path(d), data, age)
        return d

    def manifest(self, repo, layers, tags=(), age=HOUR, config=b"{}"):
        """An image manifest naming config and layers (bytes, stored as
        blobs); tags point at it, their links aged by age."""
        cfg = self.blob(config)
        doc = {"schemaVersion": 2, "mediaType": OCI_MANIFEST,
               "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                          "digest": cfg, "size": len(config)},
               "layers": [{"mediaType": "application/vnd.oci.image.layer.v1.tar",
                           "digest": self.blob(l), "size": len(l)} for l in layers]}
        body = json.dumps(doc, separators=(",", ":")).encode()
        d = digest_of(body)
        m = os.path.join(self.root, "repositories", *repo.split("/"), "_manifests")
        write(os.path.join(m, d[7:]), body)
        write(os.path.join(m, d[7:] + ".ct"), OCI_MANIFEST.encode())
        write(os.path.join(m, "revisions", "sha256", d[7:], "link"), d.encode())
        for tag in tags:
            write(os.path.join(m, "tags", tag, "current", "link"), d.encode(), age)
        return d

    def files(self):
        """Every file under the root with its content's hash, but the
        engine's own records (the store marker, the collection's state)."""
        out = {}
        for dirpath, _, names in os.walk(self.root):
            for n in names:
                p = os.path.join(dirpath, n)
                rel = os.path.relpath(p, self.root)
                if rel == "config.json" or rel.startswith("_gc" + os.sep):
                    continue
                if os.path.islink(p) or not os.path.isfile(p):
                    continue
                with open(p, "rb") as f:
                    out[os.path.relpath(p, self.root)] = hashlib.sha256(f.read()).hexdigest()
        return out


class AdminCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="admin-proc-")
        self.cwd = os.path.join(self.tmp, "work")
        self.root = os.path.join(self.tmp, "store")
        os.mkdir(self.cwd)
        self.store = Store(self.root)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def env(self, extra=None):
        full = {"PATH": os.environ.get("PATH", "")}
        for k in os.environ:
            if k in ("SYSTEMROOT", "TEMP", "TMP", "HOME") or k.startswith("WINE"):
                full[k] = os.environ[k]
        full.update(extra or {})
        return full

    def admin(self, *args, root=True, env=None):
        """(exit status, stdout, stderr) of one run, the store given with
        --root unless root is False."""
        argv = RUNNER + [PROGRAM] + list(args)
        if root:
            argv += ["--root", native(self.root)]
        # Files, not pipes: a service Wine starts would hold a pipe open.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run(argv, cwd=self.cwd, env=self.env(env), stdin=subprocess.DEVNULL,
                               stdout=out, stderr=err, timeout=120)
            out.seek(0)
            err.seek(0)
            return p.returncode, out.read().decode(), err.read().decode()

    def two_images(self):
        """library/app (tags 1.0, 2.0, latest) and tools/cli (tag main),
        sharing one layer; two unreferenced blobs old enough to collect."""
        shared = b"S" * 3000
        s = self.store
        self.m_old = s.manifest("library/app", [shared, b"A" * 1000], tags=["1.0"], age=3 * DAY,
                                config=b'{"v":1}')
        self.m_new = s.manifest("library/app", [shared, b"B" * 2000], tags=["2.0", "latest"],
                                age=HOUR, config=b'{"v":2}')
        self.m_cli = s.manifest("tools/cli", [shared, b"C" * 500], tags=["main"],
                                config=b'{"v":3}')
        self.garbage = [s.blob(b"G" * 700), s.blob(b"H" * 300)]


class Usage(AdminCase):
    def test_command_lines_and_their_statuses(self):
        cases = [
            # args, status, a piece of stdout or stderr
            ((), 2, "no command given"),
            (("frobnicate",), 2, 'unknown command "frobnicate"'),
            (("gc", "--keep", "3"), 2, "gc does not take --keep"),
            (("gc", "--dry-run=yes"), 2, "--dry-run takes no value"),
            (("retention", "--keep", "x"), 2, '--keep needs a whole number, not "x"'),
            (("retention", "--days", "-1"), 2, '--days needs a whole number, not "-1"'),
            (("retention", "--days"), 2, "--days needs a value"),
            (("tags",), 2, "tags needs a repository NAME"),
            (("repos", "extra"), 2, 'unexpected argument "extra"'),
            (("verify", "--json"), 2, "verify does not take --json"),
            (("--help",), 0, "usage: registry-admin COMMAND"),
            (("help",), 0, "retention  remove old tags"),
            (("help", "gc"), 0, "usage: registry-admin gc [--dry-run] [--json]"),
            (("verify", "--help"), 0, "ROOT/_quarantine/HEX"),
            (("tags", "-h"), 0, "usage: registry-admin tags NAME"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                rc, out, err = self.admin(*args, root=False)
                self.assertEqual(rc, status, (out, err))
                self.assertIn(text, out + err)
                if status == 2:
                    self.assertEqual(out, "")
                    self.assertIn("try: registry-admin", err)

    def test_a_missing_root_is_named_and_never_created(self):
        missing = os.path.join(self.tmp, "no-such-store")
        for cmd in (["stats"], ["gc"], ["tags", "x"]):
            with self.subTest(cmd=cmd):
                rc, out, err = self.admin(*cmd, "--root", native(missing), root=False)
                self.assertEqual(rc, 1)
                self.assertIn(f"registry-admin {cmd[0]}: {native(missing)}: storage root is not "
                              "a directory", err)
                self.assertFalse(os.path.exists(missing))

    def test_root_found_as_the_registry_finds_it(self):
        self.two_images()
        with open(os.path.join(self.cwd, "config.json"), "w") as f:
            f.write(json.dumps({"registry_storage_root": native(self.root)}))
        rc, out, _ = self.admin("repos", root=False)
        self.assertEqual((rc, out), (0, "library/app\ntools/cli\n"))
        os.remove(os.path.join(self.cwd, "config.json"))
        rc, out, _ = self.admin("repos", root=False,
                                env={"REGISTRY_STORAGE_ROOT": native(self.root)})
        self.assertEqual((rc, out), (0, "library/app\ntools/cli\n"))
        # Neither: ./registry_storage, which does not exist here.
        rc, _, err = self.admin("repos", root=False)
        self.assertEqual(rc, 1)
        self.assertIn("registry_storage: storage root is not a directory", err)


class Describe(AdminCase):
    def test_stats_in_words_and_json_with_the_quota(self):
        self.two_images()
        with open(os.path.join(self.cwd, "config.json"), "w") as f:
            f.write('{"registry_quota_bytes": 1048576}')
        rc, out, err = self.admin("stats")
        self.assertEqual((rc, err), (0, ""))
        blob_bytes = sum(os.path.getsize(os.path.join(d, n))
                         for d, _, ns in os.walk(os.path.join(self.root, "blobs")) for n in ns)
        self.assertIn("repositories  2\n", out)
        self.assertIn("tags          4\n", out)
        self.assertIn("blobs         9 (", out)
        self.assertRegex(out, r"quota         [\d.]+ KB of 1\.0 MB used \(\d+%\)\n")
        rc, out, _ = self.admin("stats", "--json")
        doc = json.loads(out)
        self.assertEqual((doc["repositories"], doc["tags"], doc["blobs"], doc["blob_bytes"],
                          doc["quota_bytes"], doc["quota_used_bytes"], doc["root"]),
                         (2, 4, 9, blob_bytes, 1048576, blob_bytes, native(self.root)))

    def test_du_splits_unique_and_shared_bytes_largest_first(self):
        self.two_images()
        rc, out, err = self.admin("du", "--json")
        self.assertEqual((rc, err), (0, ""))
        rows = json.loads(out)
        # app: its two configs, A, B unique (7+7+1000+2000); S shared.
        self.assertEqual(rows, [
            {"repository": "library/app", "unique_bytes": 3014, "shared_bytes": 3000, "blobs": 5},
            {"repository": "tools/cli", "unique_bytes": 507, "shared_bytes": 3000, "blobs": 3},
        ])
        rc, out, _ = self.admin("du")
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["UNIQUE", "SHARED", "REPOSITORY"])
        self.assertEqual(lines[1].split(), ["2.9", "KB", "2.9", "KB", "library/app"])
        self.assertEqual(lines[2].split(), ["507", "B", "2.9", "KB", "tools/cli"])
        self.assertEqual(lines[3], "total: 2 repositories, 6.4 KB named by manifests "
                                   "(2.9 KB of it shared)")

    def test_du_names_what_it_could_not_count(self):
        self.two_images()
        os.remove(self.store.blob_path(digest_of(b"C" * 500)))
        write(os.path.join(self.root, "repositories", "tools", "cli", "_manifests", "f" * 64),
              b"not json")
        rc, out, err = self.admin("du")
        self.assertEqual(rc, 0)
        self.assertIn("registry-admin du: tools/cli: 1 manifest body could not be read", err)
        self.assertIn(f"registry-admin du: {native(self.root)}: 1 blob named by manifests is "
                      "not stored", err)

    def test_listings_page_through_everything(self):
        tags = [f"v{i:04d}" for i in range(1203)]
        self.store.manifest("big/repo", [b"x"], tags=tags)
        for name in ("b", "a/c", "z9"):
            self.store.manifest(name, [b"y"], tags=["t"])
        rc, out, err = self.admin("tags", "big/repo")
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out.splitlines(), tags)
        rc, out, _ = self.admin("repos")
        self.assertEqual(out, "a/c\nb\nbig/repo\nz9\n")
        for bad, reason in (("no/such", "repository not found"),
                            ("Bad..Name", "invalid repository name")):
            with self.subTest(name=bad):
                rc, out, err = self.admin("tags", bad)
                self.assertEqual((rc, out), (1, ""))
                self.assertIn(f"registry-admin tags: {bad}: {reason}", err)


    def test_repos_and_stats_count_a_store_of_thousands(self):
        # 2,050 repositories by direct mkdirs: 700 under one parent, 300
        # seven levels deep, one tagged image beside them.
        self.store.manifest("library/app", [b"x"], tags=["1.0", "latest"])
        made = [f"wide/r{i:04d}" for i in range(700)] + [f"top{i:04d}" for i in range(1049)] + \
               [f"deep/a{i:03d}/b/c/d/e/r" for i in range(300)]
        for name in made:
            os.makedirs(os.path.join(self.root, "repositories", *name.split("/"), "_manifests"))
        names = sorted(made + ["library/app"])
        rc, out, err = self.admin("repos")
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out.splitlines(), names)
        rc, out, err = self.admin("stats", "--json")
        self.assertEqual((rc, err), (0, ""))
        doc = json.loads(out)
        self.assertEqual((doc["repositories"], doc["tags"]), (len(names), 2))
        rc, out, err = self.admin("du", "--json")
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(sorted(row["repository"] for row in json.loads(out)), names)

class Collect(AdminCase):
    def test_dry_run_then_real_run_off_a_terminal(self):
        self.two_images()
        before = self.store.files()
        rc, out, err = self.admin("gc", "--dry-run")
        self.assertEqual((rc, err), (0, ""))
        # One line, no progress drawing: the output of a cron job.
        self.assertRegex(out, r"\Agc \(dry run\): would delete 2 of 9 blobs \(1000 B\), kept 7; "
                              r"would remove 0 stale uploads \(0 B\); \d+:\d\d\n\Z")
        self.assertEqual(self.store.files(), before)
        rc, out, err = self.admin("gc", "--json")
        self.assertEqual((rc, err), (0, ""))
        report = json.loads(out)
        self.assertEqual((report["blobs_deleted"], report["bytes_freed"], report["blobs_kept"],
                          report["cancelled"]), (2, 1000, 7, False))
        for d in self.garbage:
            self.assertFalse(os.path.exists(self.store.blob_path(d)))
        after = self.store.files()
        gone = {os.path.relpath(self.store.blob_path(d), self.root) for d in self.garbage}
        self.assertEqual({k for k in before if k not in after}, gone)

    def test_young_blobs_are_kept_and_stale_uploads_removed(self):
        self.two_images()
        young = self.store.blob(b"fresh layer of a push under way", age=60)
        write(os.path.join(self.root, "uploads", "0" * 8 + "-0000-0000-0000-" + "0" * 12 + ".part"),
              b"12345", age=2 * HOUR)
        rc, out, _ = self.admin("gc")
        self.assertEqual(rc, 0)
        self.assertIn("deleted 2 of 10 blobs (1000 B), kept 8; removed 1 stale upload (5 B)", out)
        self.assertTrue(os.path.exists(self.store.blob_path(young)))

    def test_an_unreadable_manifest_stops_the_real_run_and_fails_the_dry_run(self):
        self.two_images()
        write(os.path.join(self.root, "repositories", "tools", "cli", "_manifests", "e" * 64),
              b"{broken")
        rc, out, err = self.admin("gc", "--dry-run")
        self.assertEqual(rc, 3)
        self.assertIn("would delete 2 of 9", out)
        self.assertIn(f"registry-admin gc: {native(self.root)}: a real run would delete nothing: "
                      "mark incomplete, nothing deleted: manifest tools/cli@sha256:eeee", err)
        rc, out, err = self.admin("gc")
        self.assertEqual((rc, out), (1, ""))
        self.assertIn("mark incomplete, nothing deleted", err)
        for d in self.garbage:
            self.assertTrue(os.path.exists(self.store.blob_path(d)))

    def test_runs_with_uploads_in_progress_and_spares_by_the_configured_window(self):
        self.two_images()
        upload = os.path.join(self.root, "uploads", "1" * 8 + "-0000-0000-0000-" + "0" * 12 + ".part")
        write(upload, b"1")
        slow = self.store.blob(b"first layer of a slow push", age=HOUR)
        config = os.path.join(self.cwd, "config.json")
        # window, exit status, blobs deleted, the slow push's layer kept
        cases = [(None, 0, 2, True), (7200, 0, 0, True), (3599, 0, 1, False)]
        for window, status, deleted, kept in cases:
            with self.subTest(window=window):
                if window:
                    write(config, json.dumps({"registry_gc_spare_seconds": window}).encode())
                rc, out, err = self.admin("gc", "--json")
                self.assertEqual((rc, err), (status, ""))
                self.assertEqual(json.loads(out)["blobs_deleted"], deleted)
                self.assertEqual(os.path.exists(self.store.blob_path(slow)), kept)
                self.assertTrue(os.path.exists(upload), "an upload in progress stays")
        for bad, why in ((0, "must be between 1 and 604800"), (-1, "must not be negative"),
                         (604801, "must be between 1 and 604800")):
            with self.subTest(bad=bad):
                write(config, json.dumps({"registry_gc_spare_seconds": bad}).encode())
                rc, out, err = self.admin("gc")
                self.assertEqual((rc, out), (1, ""))
                self.assertIn(f'"registry_gc_spare_seconds" {why}', err)


class Retention(AdminCase):
    def tags_of(self, repo):
        return self.admin("tags", repo)[1].split()

    def test_configured_policy_and_options_over_it(self):
        self.two_images()
        with open(os.path.join(self.cwd, "config.json"), "w") as f:
            f.write('{"registry_retention_keep_n": 1}')
        rc, out, err = self.admin("retention", "--dry-run")
        self.assertEqual((rc, err), (0, ""))
        lines = out.splitlines()
        # Newest first per repository, a tie by name: 2.0 is first, latest
        # (protected) keeps its rank, 1.0 goes.
        self.assertEqual(lines[:-1], [
            f"would remove library/app:1.0 ({self.m_old}, 3 days old)"])
        self.assertEqual(lines[-1], "retention (dry run): would remove 1 of 4 tags in 2 "
                                    "repositories (keep 1, days 0, latest protected, 1 spared)")
        self.assertEqual(self.tags_of("library/app"), ["1.0", "2.0", "latest"])
        cases = [
            # options, tags of library/app left
            (["--keep", "0", "--days", "2"], ["2.0", "latest"]),
            (["--keep", "1", "--no-protect-latest"], None),  # one left, whichever is newest
            (["--keep", "0", "--days", "0"], ["1.0", "2.0", "latest"]),
        ]
        for opts, left in cases:
            with self.subTest(opts=opts):
                rc, out, _ = self.admin("retention", "--dry-run", "--json", *opts)
                self.assertEqual(rc, 0)
                report = json.loads(out)
                removed = {e["tag"] for e in report["deleted"]
                           if e["repository"] == "library/app"}
                kept = sorted({"1.0", "2.0", "latest"} - removed)
                if left is None:
                    self.assertEqual(len(kept), 1)
                else:
                    self.assertEqual(kept, left)
        rc, out, _ = self.admin("retention", "--keep", "0", "--days", "0")
        self.assertIn("no policy set, nothing to remove", out)

    def test_a_real_run_removes_and_gc_then_frees(self):
        self.two_images()
        rc, out, _ = self.admin("retention", "--days", "2")
        self.assertEqual(rc, 0)
        self.assertIn(f"removed library/app:1.0 ({self.m_old}, 3 days old)", out)
        self.assertIn("removed 1 of 4 tags", out)
        self.assertIn("gc frees their blobs", out)
        self.assertEqual(self.tags_of("library/app"), ["2.0", "latest"])
        rc, out, _ = self.admin("gc")
        # The old image's config and its own layer, and the two garbage blobs.
        self.assertIn("deleted 4 of 9 blobs", out)


class Verify(AdminCase):
    def damage(self):
        """One blob with a byte changed, one cut short: both keep their
        names, so only their contents tell."""
        self.two_images()
        self.corrupt = digest_of(b"A" * 1000)
        self.truncated = digest_of(b"B" * 2000)
        with open(self.store.blob_path(self.corrupt), "r+b") as f:
            f.seek(500)
            f.write(b"a")
        with open(self.store.blob_path(self.truncated), "r+b") as f:
            f.truncate(1500)

    def test_clean_store_passes(self):
        self.two_images()
        rc, out, err = self.admin("verify")
        self.assertEqual((rc, err), (0, ""))
        self.assertRegex(out, r"\Averify: checked 9 of 9 blobs \([\d.]+ KB\), 0 damaged; "
                              r"\d+:\d\d\n\Z")

    def test_foreign_layers_not_stored_are_listed_as_such_not_as_damage(self):
        self.two_images()
        s = self.store
        foreign = digest_of(b"pulled from elsewhere")
        m = s.manifest("win/app", [b"W" * 100], tags=["ltsc"])
        # The same image with a foreign layer in front, as a push stores it.
        path = os.path.join(self.root, "repositories", "win", "app", "_manifests")
        with open(os.path.join(path, m[7:]), "rb") as f:
            doc = json.loads(f.read())
        doc["layers"].insert(0, {"mediaType": "application/vnd.docker.image.rootfs.foreign.diff.tar.gzip",
                                 "digest": foreign, "size": 21, "urls": ["https://example.com/l"]})
        body = json.dumps(doc).encode()
        d = digest_of(body)
        write(os.path.join(path, d[7:]), body)
        write(os.path.join(path, "revisions", "sha256", d[7:], "link"), d.encode())
        rc, out, err = self.admin("verify")
        self.assertEqual((rc, err), (0, ""))
        self.assertIn(f"foreign {foreign} in win/app@{d}: not stored, pulled from its urls\n", out)
        self.assertRegex(out, r"verify: checked 11 of 11 blobs \([\d.]+ KB\), 0 damaged, "
                              r"1 foreign layer not stored; ")

    def test_damage_found_then_quarantined_touching_nothing_else(self):
        self.damage()
        before = self.store.files()
        rc, out, err = self.admin("verify")
        self.assertEqual((rc, err), (3, ""))
        self.assertIn(f"mismatch {self.corrupt} (1000 B) hashes to sha256:", out)
        self.assertIn(f"mismatch {self.truncated} (1.5 KB) hashes to "
                      f"{digest_of(b'B' * 1500)}: ", out)
        self.assertIn("checked 9 of 9 blobs", out)
        self.assertIn("2 damaged;", out)
        self.assertEqual(self.store.files(), before)

        rc, out, err = self.admin("verify", "--quarantine")
        self.assertEqual((rc, err), (3, ""))
        self.assertIn("2 damaged, 2 moved to quarantine", out)
        after = self.store.files()
        moved = {}
        for d in (self.corrupt, self.truncated):
            rel = os.path.relpath(self.store.blob_path(d), self.root)
            q = os.path.join("_quarantine", d[7:])
            self.assertIn(f"  moved to {native(os.path.join(self.root, q))}\n", out)
            moved[rel] = q
            self.assertEqual(after[q], before[rel])
        # Everything else is byte for byte where it was.
        self.assertEqual({moved.get(k, k): v for k, v in before.items()}, after)

        rc, out, _ = self.admin("verify")
        self.assertEqual(rc, 0)
        self.assertIn("checked 7 of 7 blobs", out)
        rc, out, _ = self.admin("stats", "--json")
        self.assertEqual(json.loads(out)["blobs"], 7)
        rc, out, _ = self.admin("gc")
        self.assertIn("of 7 blobs", out)
        for d in (self.corrupt, self.truncated):
            self.assertTrue(os.path.isfile(os.path.join(self.root, "_quarantine", d[7:])))

    def test_a_second_quarantine_of_the_same_name_keeps_the_first(self):
        self.damage()
        self.admin("verify", "--quarantine")
        with open(self.store.blob_path(self.corrupt), "wb") as f:
            f.write(b"damaged again")
        rc, out, _ = self.admin("verify", "--quarantine")
        self.assertEqual(rc, 3)
        self.assertIn(f"_quarantine{os.sep if not WINDOWS else chr(92)}{self.corrupt[7:]}.1\n",
                      out)
        self.assertTrue(os.path.isfile(os.path.join(self.root, "_quarantine", self.corrupt[7:])))

    def test_sha512_blobs_are_hashed_with_their_own_algorithm(self):
        self.two_images()
        intact = self.store.blob(b"C" * 700, algorithm="sha512")
        damaged = self.store.blob(b"D" * 900, algorithm="sha512")
        with open(self.store.blob_path(damaged), "r+b") as f:
            f.truncate(800)
        rc, out, err = self.admin("verify")
        self.assertEqual((rc, err), (3, ""))
        self.assertIn("checked 11 of 11 blobs", out)
        self.assertIn("1 damaged;", out)
        self.assertIn(f"mismatch {damaged} (800 B) hashes to {digest_of(b'D' * 800, 'sha512')}: ",
                      out)
        self.assertNotIn(intact, out)
        rc, out, _ = self.admin("verify", "--quarantine")
        self.assertIn(f"  moved to {native(os.path.join(self.root, '_quarantine', damaged[7:]))}\n",
                      out)
        rc, out, _ = self.admin("stats", "--json")
        self.assertEqual(json.loads(out)["blobs"], 10)


@unittest.skipIf(WINDOWS or not hasattr(os, "openpty"), "pseudo-terminals are POSIX")
class Terminal(AdminCase):
    """The command on a pseudo-terminal, as a user at a shell sees it."""

    def start(self, *args):
        master, slave = os.openpty()
        p = subprocess.Popen([PROGRAM, *args, "--root", self.root], cwd=self.cwd,
                             env=self.env(), stdin=slave, stdout=slave, stderr=slave)
        os.close(slave)
        self.addCleanup(os.close, master)
        self.addCleanup(lambda: p.poll() is None and p.kill())
        return p, master

    def read_until(self, master, pattern, budget=60.0):
        """Terminal output up to and including pattern (or the end). The
        budget only guards against a hang; nothing is timed."""
        text = ""
        deadline = time.monotonic() + budget
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.5)
            if not ready:
                continue
            try:
                chunk = os.read(master, 4096).decode(errors="replace")
            except OSError:  # the other end closed
                return text
            if not chunk:
                return text
            text += chunk
            if pattern and re.search(pattern, text):
                return text
        self.fail(f"no {pattern!r} on the terminal: {text!r}")

    @staticmethod
    def last_line(text):
        """What stands on the terminal's last line: after the last carriage
        return of the progress drawing (the terminal sends "\r\n" for a
        line feed)."""
        return text.replace("\r\n", "\n").rstrip("\n").rsplit("\r", 1)[-1]

    def test_gc_draws_progress_then_one_summary(self):
        self.two_images()
        for i in range(600):
            self.store.blob(b"garbage %d" % i)
        p, master = self.start("gc")
        text = self.read_until(master, None)
        self.assertEqual(p.wait(timeout=60), 0)
        self.assertRegex(text, r"\rwalking +\[\.{24}\] 0/609 +0%")
        self.assertRegex(text, r"\rdeleting +\[#*\.*\] \d+/609 +\d+%  \d+:\d\d  ~")
        summary = self.last_line(text)
        self.assertRegex(summary, r"\Agc: deleted 602 of 609 blobs \([\d.]+ KB\), kept 7")

    def test_verify_draws_byte_progress(self):
        self.two_images()
        p, master = self.start("verify")
        text = self.read_until(master, None)
        self.assertEqual(p.wait(timeout=60), 0)
        self.assertRegex(text, r"\rverifying \[#*\.*\] [\d.]+ K?B/[\d.]+ KB")
        self.assertIn("verify: checked 9 of 9 blobs", self.last_line(text))

    def test_ctrl_c_in_the_middle_cancels_through_the_marker(self):
        """A manifest body that is a FIFO holds the mark until the test
        writes to it: the interrupt lands mid-run, every time."""
        self.two_images()
        fifo = os.path.join(self.root, "repositories", "tools", "cli", "_manifests", "d" * 64)
        os.mkfifo(fifo)
        p, master = self.start("gc")
        self.read_until(master, r"walking +\[\.+\] 0/9")
        p.send_signal(signal.SIGINT)
        marker = os.path.join(self.root, "_gc", "cancel")
        deadline = time.monotonic() + 60
        while not os.path.exists(marker) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(os.path.exists(marker), "the interrupt wrote no cancel marker")
        with open(fifo, "wb"):
            pass  # lets the mark read an empty body and go on
        text = self.read_until(master, None)
        self.assertEqual(p.wait(timeout=60), 1)
        self.assertRegex(self.last_line(text),
                         r"\Agc: cancelled: deleted 0 of 9 blobs \(0 B\), kept 9; .*; "
                         r"run again to finish")
        for d in self.garbage:
            self.assertTrue(os.path.exists(self.store.blob_path(d)))
        self.assertFalse(os.path.exists(marker), "the run left its cancel marker behind")
        with open(os.path.join(self.root, "_gc", "progress.json")) as f:
            progress = json.load(f)
        self.assertEqual((progress["phase"], progress["cancelled"], progress["running"]),
                         ("done", True, False))

    def test_ctrl_c_stops_verify_with_what_was_checked(self):
        """Every blob is a FIFO: each holds the check until the test writes
        its content, so the interrupt lands while the first is read, and
        the rest are served only while the command still asks for them."""
        contents = [b"blob behind pipe %d" % i for i in range(40)]
        fifos = []
        for c in contents:
            path = self.store.blob_path(digest_of(c))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.mkfifo(path)
            fifos.append((path, c))
        p, master = self.start("verify")
        interrupted = False
        served = 0
        text = ""
        deadline = time.monotonic() + 60
        while p.poll() is None and time.monotonic() < deadline:
            # Drain the terminal, or the command could block writing to it.
            while select.select([master], [], [], 0)[0]:
                try:
                    text += os.read(master, 4096).decode(errors="replace")
                except OSError:
                    break
            for path, content in fifos:
                try:  # succeeds only while the command has the pipe open
                    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
                except OSError:
                    continue
                if not interrupted:
                    p.send_signal(signal.SIGINT)
                    interrupted = True
                os.write(fd, content)
                os.close(fd)
                served += 1
            time.sleep(0.01)
        text += self.read_until(master, None)
        self.assertEqual(p.wait(timeout=60), 1)
        self.assertTrue(interrupted)
        m = re.search(r"verify interrupted: checked (\d+) of 40 blobs \(.*\), 0 damaged;",
                      self.last_line(text))
        self.assertIsNotNone(m, text)
        self.assertLess(int(m.group(1)), 40)
        self.assertNotIn("mismatch", text)

if __name__ == "__main__":
    unittest.main(verbosity=2)
