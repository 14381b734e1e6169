#!/usr/bin/env python3
"""The no-replace rename on a file system that refuses RENAME_NOREPLACE (a
MooseFS 3 mount answers EINVAL): plat_rename_noreplace falls back to link and
unlink, and two processes on two mounts racing for one name every round
have exactly one winner, the loser's file stays whole, and both mounts see
the winner's file. RENAME_RACE names the driver (rename_race.cpp)."""
import ctypes
import errno
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cluster_support import ClusterTest  # noqa: E402

DRIVER = os.environ.get("RENAME_RACE", "")
ROUNDS = int(os.environ.get("CLUSTER_RACE_ROUNDS", "400"))
AT_FDCWD = -100
RENAME_NOREPLACE = 1


def renameat2_errno(src, dst):
    libc = ctypes.CDLL(None, use_errno=True)
    rc = libc.renameat2(AT_FDCWD, src.encode(), AT_FDCWD, dst.encode(), RENAME_NOREPLACE)
    return 0 if rc == 0 else ctypes.get_errno()


class NoReplaceRename(ClusterTest):
    def setUp(self):
        if not DRIVER:
            self.skipTest("RENAME_RACE is not set")

    def test_the_mount_refuses_the_flag_or_keeps_its_promise(self):
        """MooseFS 3 (bookworm) refuses the flag, so the race below runs the
        fallback; MooseFS 4 (trixie) takes it, and must then refuse to
        replace a name that exists."""
        d = os.path.join(self.cluster.mounts[0], "flag")
        os.makedirs(d, exist_ok=True)
        src, dst, other = (os.path.join(d, n) for n in ("a", "b", "c"))
        for path in (src, other):
            with open(path, "w") as f:
                f.write(os.path.basename(path))
        first = renameat2_errno(src, dst)
        self.assertIn(first, (0, errno.EINVAL))
        if first == 0:
            self.assertEqual(renameat2_errno(other, dst), errno.EEXIST)
            with open(dst) as f:
                self.assertEqual(f.read(), "a")

    def test_two_mounts_race_for_each_name_and_one_wins(self):
        name = "race"
        dirs = [os.path.join(m, name) for m in self.cluster.mounts]
        os.makedirs(dirs[0])
        with tempfile.TemporaryDirectory(prefix="rename-sync-") as sync:
            procs = [subprocess.Popen([DRIVER, dirs[i], f"p{i}", str(ROUNDS), sync],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                     for i in range(2)]
            outs = [p.communicate(timeout=240) for p in procs]
        for p, (out, err) in zip(procs, outs):
            self.assertEqual(p.returncode, 0, out[-2000:] + err)
        results = [dict(line.split() for line in out.splitlines() if line != "ok")
                   for out, _ in outs]
        for r in range(ROUNDS):
            won = [i for i in range(2) if results[i][str(r)] == "won"]
            self.assertEqual(len(won), 1, f"round {r}: winners {won}")
            winner, loser = f"p{won[0]}", f"p{1 - won[0]}"
            for d in dirs:  # the same from both mounts
                with open(os.path.join(d, f"name-{r}")) as f:
                    self.assertEqual(f.read(), winner, f"round {r}")
                self.assertFalse(os.path.exists(os.path.join(d, f"src-{winner}-{r}")))
                with open(os.path.join(d, f"src-{loser}-{r}")) as f:
                    self.assertEqual(f.read(), loser)
        print(f"{ROUNDS} rounds, one winner each; p0 won {sum(v == 'won' for v in results[0].values())}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
