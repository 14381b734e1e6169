#!/usr/bin/env python3
"""The storage engine's concurrency tests (tests/stress/storage_stress.py)
on one store seen through the two mounts of a MooseFS file system, the
processes split across them: overlapping uploads finishing together, and
pushes with tag deletions while collections run and prune. STRESS_DRIVER
names the driver; CLUSTER_STRESS_SCALE (default 0.4) scales the rounds."""
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "stress"))
from cluster_support import ClusterTest  # noqa: E402
import storage_stress  # noqa: E402


class ClusterStorageStress(ClusterTest, storage_stress.StorageStress):
    scale = float(os.environ.get("CLUSTER_STRESS_SCALE", "0.4"))

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.mounts = cls.cluster.mounts


if __name__ == "__main__":
    unittest.main(verbosity=2)
