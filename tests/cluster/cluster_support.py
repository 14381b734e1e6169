"""A MooseFS file system with two mounts and two front-ends for one test
(scripts/cluster.sh), taken down again whatever happens. Where the machine
cannot run it (no FUSE device, packages missing) the tests are skipped and
say why; anything else that keeps it from coming up is a failure."""
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CLUSTER_SH = os.path.join(HERE, "..", "..", "scripts", "cluster.sh")
ENDPOINTS_DIR = os.environ.get("ENDPOINTS_DIR", "")


def unusable_reason():
    """Why this machine cannot run the cluster, or None."""
    for prog in ("mfsmaster", "mfschunkserver", "mfsmount"):
        if not shutil.which(prog) and not os.path.exists("/usr/sbin/" + prog):
            return f"{prog} is not installed (scripts/setup.sh installs MooseFS)"
    try:
        with open("/dev/fuse", "rb"):
            pass
    except OSError as e:
        return f"FUSE cannot be used here: /dev/fuse: {e.strerror}"
    if os.getuid() != 0 and not shutil.which("fusermount3"):
        return "FUSE cannot be used here: fusermount3 is missing"
    return None


class Cluster:
    """Brings the cluster up in a fresh temporary directory; env holds what
    cluster.sh printed (CLUSTER_URL1, CLUSTER_ROOT1, ...)."""

    def __init__(self, programs=None):
        self.dir = tempfile.mkdtemp(prefix="cluster-")
        args = ["bash", CLUSTER_SH, "up", self.dir]
        if programs or ENDPOINTS_DIR:
            args.append(programs or ENDPOINTS_DIR)
        # Taken down even when this process is killed before its clean-up.
        env = dict(os.environ, CLUSTER_OWNER_PID=str(os.getpid()))
        r = subprocess.run(args, capture_output=True, text=True, timeout=120, env=env)
        if r.returncode != 0:
            self.down()
            raise RuntimeError("cluster.sh up failed:\n" + r.stdout + r.stderr)
        self.env = {}
        with open(os.path.join(self.dir, "cluster.env")) as f:
            for line in f:
                k, _, v = line.strip().partition("=")
                if k:
                    self.env[k] = v
        self.mounts = [self.env["CLUSTER_MOUNT1"], self.env["CLUSTER_MOUNT2"]]
        self.roots = [self.env["CLUSTER_ROOT1"], self.env["CLUSTER_ROOT2"]]
        self.urls = [self.env["CLUSTER_URL1"], self.env["CLUSTER_URL2"]]

    def down(self):
        r = subprocess.run(["bash", CLUSTER_SH, "down", self.dir], capture_output=True, text=True,
                           timeout=120)
        # Nothing is left mounted; only then may the files go.
        with open("/proc/mounts") as f:
            left = [ln for ln in f if self.dir in ln]
        if not left:
            shutil.rmtree(self.dir, ignore_errors=True)
        if r.returncode != 0 or left:
            raise RuntimeError("cluster.sh down failed:\n" + r.stdout + r.stderr + "".join(left))


class ClusterTest(unittest.TestCase):
    """One cluster for the whole class."""

    @classmethod
    def setUpClass(cls):
        reason = unusable_reason()
        if reason:
            raise unittest.SkipTest(reason)
        cls.cluster = Cluster()

    @classmethod
    def tearDownClass(cls):
        cls.cluster.down()
