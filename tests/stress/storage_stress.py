#!/usr/bin/env python3
"""Many processes over one shared store at once: uploads of overlapping
content finishing together, and pushes with tag deletions while garbage
collections run. STRESS_DRIVER names the driver program (stress_driver.cpp)."""
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

DRIVER = os.environ.get("STRESS_DRIVER", "")
HEX64 = re.compile(r"^[0-9a-f]{64}$")


def run_together(roots, commands, go_dir, timeout=90):
    """Starts every driver, command k on roots[k % len(roots)] (one store
    seen through several mounts), then lets them go at once; returns their
    (exit status, stdout, stderr)."""
    go = os.path.join(go_dir, "go")
    procs = [subprocess.Popen([DRIVER, args[0], roots[k % len(roots)], *args[1:], go],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for k, args in enumerate(commands)]
    time.sleep(0.3)  # let every process initialise and reach its wait
    with open(go, "w"):
        pass
    results = []
    deadline = time.time() + timeout
    for p in procs:
        try:
            out, err = p.communicate(timeout=max(1, deadline - time.time()))
        except subprocess.TimeoutExpired:
            for q in procs:
                q.kill()
            raise
        results.append((p.returncode, out, err))
    os.remove(go)
    return results


def counters(out):
    """The numbers of the driver's final "ok a=1 b=2" line."""
    last = out.strip().splitlines()[-1]
    assert last.startswith("ok "), last
    return {k: int(v) for k, v in (kv.split("=") for kv in last.split()[1:])}


def blob_files(root):
    top = os.path.join(root, "blobs", "sha256")
    for fan in sorted(os.listdir(top)) if os.path.isdir(top) else []:
        for name in sorted(os.listdir(os.path.join(top, fan))):
            yield fan, name, os.path.join(top, fan, name)


def manifest_bodies(root):
    for dirpath, _dirs, files in os.walk(os.path.join(root, "repositories")):
        if os.path.basename(dirpath) != "_manifests":
            continue
        for name in files:
            if HEX64.match(name):
                yield os.path.join(dirpath, name)


class StorageStress(unittest.TestCase):
    # Where the store is seen from: one local directory, or (set by the
    # cluster tests) the mounts of one shared file system, across which the
    # processes are split.
    mounts = None
    scale = 1.0

    def setUp(self):
        if not DRIVER:
            self.skipTest("STRESS_DRIVER is not set")
        self.tmp = tempfile.mkdtemp(prefix="storage-stress-")
        if self.mounts:
            name = "store-" + os.path.basename(self.tmp)
            self.roots = [os.path.join(m, name) for m in self.mounts]
        else:
            self.roots = [os.path.join(self.tmp, "store")]
        self.root = self.roots[0]

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)
        if self.mounts:
            shutil.rmtree(self.root, ignore_errors=True)

    def run_drivers(self, commands):
        return run_together(self.roots, commands, self.tmp,
                            timeout=90 if self.scale >= 1 else 180)

    def assert_drivers_ok(self, results):
        for rc, out, err in results:
            self.assertEqual(rc, 0, "driver failed:\n" + out + err)

    def assert_blobs_verified(self):
        n = 0
        for fan, name, path in blob_files(self.root):
            self.assertRegex(name, HEX64, "stray file in the blob store: " + path)
            self.assertEqual(fan, name[:2])
            with open(path, "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), name, path)
            n += 1
        return n

    def test_concurrent_uploads_of_overlapping_content(self):
        procs, rounds = 8, max(1, int(25 * self.scale))
        results = self.run_drivers([("blobs", str(seed), str(rounds)) for seed in range(procs)])
        self.assert_drivers_ok(results)
        finished = sum(counters(out)["finished"] for _, out, _ in results)
        races = sum(counters(out)["races"] for _, out, _ in results)
        self.assertEqual(finished, procs * rounds * 4)
        # Six shared contents per round: that many blobs, each intact.
        self.assertEqual(self.assert_blobs_verified(), 6 * rounds)
        self.assertEqual([n for n in os.listdir(os.path.join(self.root, "uploads"))
                          if n.endswith(".part")], [])
        retries = sum(counters(out)["dir_retries"] for _, out, _ in results)
        print(f"uploads: {procs} processes, {finished} finishes, {races} lost races retried, "
              f"{retries} directories made again")

    def test_pushes_and_tag_deletions_during_collections(self):
        pushers, seconds = 4, 12
        results = self.run_drivers([("gc", str(seconds))] +
                                   [("push", str(seed), str(seconds)) for seed in range(pushers)])
        self.assert_drivers_ok(results)
        gc = counters(results[0][1])
        push = [counters(out) for _, out, _ in results[1:]]
        pushed = sum(p["pushed"] for p in push)
        self.assertGreater(pushed, 0)
        self.assertGreater(gc["runs"], 0, "no collection ran")
        # Every blob a stored manifest names is still there.
        bodies = missing = 0
        for path in manifest_bodies(self.root):
            bodies += 1
            with open(path, "rb") as f:
                doc = json.load(f)
            refs = [doc.get("config", {}).get("digest")]
            refs += [x.get("digest") for x in doc.get("layers", []) + doc.get("manifests", [])]
            for ref in refs:
                hexd = ref.split(":", 1)[1]
                if not os.path.isfile(os.path.join(self.root, "blobs", "sha256", hexd[:2], hexd)):
                    missing += 1
                    print("missing", ref, "named by", path)
        self.assertGreater(bodies, 0)
        self.assertEqual(missing, 0)
        self.assert_blobs_verified()
        print(f"gc: {gc['runs']} runs, "
              f"{gc['deleted']} blobs deleted; pushes: {pushed} stored, "
              f"{sum(p['refused'] for p in push)} refused for a collected blob, "
              f"{sum(p['deleted'] for p in push)} tags deleted; {bodies} bodies checked; "
              f"{sum(p['dir_retries'] for p in push)} directories made again")


if __name__ == "__main__":
    unittest.main(verbosity=2)
