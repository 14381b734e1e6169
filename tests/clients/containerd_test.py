#!/usr/bin/env python3
"""containerd's ctr against the registry behind a real lighttpd: the test
starts a containerd of its own (root, state and socket under the test's
folder, the native snapshotter, which needs no kernel overlay support; no
container ever runs), pulls what skopeo pushed, tags and pushes it to other
repositories, removes it and pulls it back by digest; every manifest the
registry keeps must be the bytes ctr holds. Where containerd cannot start,
the test says why and is skipped.
ENDPOINTS_DIR names the folder of built programs."""
import json
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import oci_image  # noqa: E402

ACCEPT = ", ".join([oci_image.OCI_MANIFEST, oci_image.OCI_INDEX])
NAMESPACE = "registry-test"
SNAPSHOTTER = "native"
# Plugins a pull and a push do not need and that want more of the machine
# (kernel file systems, the container runtime interface).
NOT_NEEDED = ["io.containerd.grpc.v1.cri", "io.containerd.snapshotter.v1.aufs",
              "io.containerd.snapshotter.v1.btrfs", "io.containerd.snapshotter.v1.zfs",
              "io.containerd.snapshotter.v1.devmapper", "io.containerd.snapshotter.v1.overlayfs",
              "io.containerd.internal.v1.tracing", "io.containerd.tracing.processor.v1.otlp"]
DAEMON_START = 60
REFUSED = ("unauthorized", "authorization failed")


def toml_string(text):
    return json.dumps(text)


class Containerd(harness.ClientCase):
    daemon = None

    @classmethod
    def setUpClass(cls):
        cls.ctr_path = harness.require_tool("ctr", "containerd")
        cls.containerd = harness.require_tool("containerd", "containerd")
        harness.require_tool("skopeo")
        super().setUpClass()

    @classmethod
    def prepare(cls):
        cls.start_daemon()
        images = oci_image.Layout(os.path.join(cls.tmp, "images"))
        # New content each run, as the other client tests do.
        run = os.path.basename(cls.tmp)
        cls.small = oci_image.build_image(images, "small", layers=2, seed=f"{run}/small")
        cls.big = oci_image.build_image(images, "big", layers=2, seed=f"{run}/big",
                                        layer_size=[3 * 1024 * 1024 + 123, 1000])
        cls.multi = oci_image.build_index(images, "multi", seed=f"{run}/multi")
        # skopeo puts them up as they are, so the digests are known.
        for tag, repo in (("small", "ctr/small"), ("big", "ctr/big"), ("multi", "ctr/multi")):
            p = subprocess.run(cls.push_as_is_command(images.path, tag, repo, "v1"),
                               env=cls.client_env(), capture_output=True, text=True,
                               stdin=subprocess.DEVNULL, timeout=harness.COMMAND_TIMEOUT)
            if p.returncode != 0:
                raise RuntimeError(f"skopeo could not push {tag}: {p.stderr[-3000:]}")

    @classmethod
    def start_daemon(cls):
        d = os.path.join(cls.tmp, "containerd")
        os.makedirs(d, mode=0o700)
        cls.sock = os.path.join(d, "containerd.sock")
        config = os.path.join(d, "config.toml")
        # Its own settings, not the machine's /etc/containerd/config.toml.
        with open(config, "w") as f:
            f.write(f"version = 2\nroot = {toml_string(os.path.join(d, 'root'))}\n"
                    f"state = {toml_string(os.path.join(d, 'state'))}\n"
                    f"disabled_plugins = {json.dumps(NOT_NEEDED)}\n"
                    f"[grpc]\n  address = {toml_string(cls.sock)}\n"
                    f"[ttrpc]\n  address = {toml_string(cls.sock + '.ttrpc')}\n"
                    f"[debug]\n  address = \"\"\n[metrics]\n  address = \"\"\n")
        env = {"PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"),
               "HOME": cls.home, "TMPDIR": os.path.join(cls.tmp, "tmp")}
        cls.daemon = harness.Daemon("containerd", [cls.containerd, "--config", config], env,
                                    os.path.join(d, "containerd.log"))
        if os.geteuid() != 0:
            cls.daemon.skip("it needs root and the test does not run as root")

        def ready():
            p = subprocess.run(cls.ctr_cmd("plugins", "ls"), env=cls.client_env(),
                               capture_output=True, text=True, stdin=subprocess.DEVNULL,
                               timeout=30)
            if p.returncode != 0:
                return False
            snapshotter = re.search(rf"^io\.containerd\.snapshotter\.v1\s+{SNAPSHOTTER}\s.*\s(\S+)\s*$",
                                    p.stdout, re.M)
            if not snapshotter or snapshotter.group(1) != "ok":
                cls.daemon.skip(f"the {SNAPSHOTTER} snapshotter did not load:\n{p.stdout}")
            return True

        cls.daemon.start(ready, DAEMON_START)

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.daemon is not None:
                cls.daemon.stop()
                cls.daemon = None
        finally:
            super().tearDownClass()

    @classmethod
    def ctr_cmd(cls, *args):
        return [cls.ctr_path, "--address", cls.sock, "--namespace", NAMESPACE, *args]

    def setUp(self):
        # Each case starts from an empty local store.
        self.remove_all()

    # --- helpers

    def ctr(self, *args, ok=True):
        return self.run_client(self.ctr_cmd(*args), ok=ok)

    def images(self):
        """Each local image's name and the digest it stands for."""
        out = self.ctr("images", "ls").stdout.splitlines()[1:]
        return {line.split()[0]: line.split()[2] for line in out if line.strip()}

    def content(self):
        """The digests in the local content store."""
        out = self.ctr("content", "ls").stdout.splitlines()[1:]
        return {line.split()[0] for line in out if line.strip()}

    def remove_all(self):
        names = list(self.images())
        if names:
            self.ctr("images", "rm", "--sync", *names)
        self.assertEqual(self.images(), {})
        # Nothing left that a pull could take instead of fetching it.
        self.assertEqual(self.content(), set())

    def pull(self, ref, *extra, ok=True, user=None):
        auth = ["--user", f"{user[0]}:{user[1]}"] if user else []
        return self.ctr("images", "pull", "--plain-http", "--snapshotter", SNAPSHOTTER, *auth,
                        *extra, ref, ok=ok)

    def push(self, ref, ok=True, user=None):
        auth = ["--user", f"{user[0]}:{user[1]}"] if user else []
        return self.ctr("images", "push", "--plain-http", *auth, ref, ok=ok)

    def stored(self, repo, ref, auth=None):
        """The manifest the registry keeps under repo:ref, as bytes."""
        status, headers, body = self.registry.request(
            "GET", f"/v2/{repo}/manifests/{ref}", headers={"Accept": ACCEPT}, auth=auth)
        self.assertEqual(status, 200, body[:500])
        self.assertEqual(headers.get("docker-content-digest"), oci_image.sha256(body))
        return body

    def assert_blobs_stored(self, repo, image):
        for digest in (image["config_digest"], *image["layers"]):
            status, _, _ = self.registry.request("HEAD", f"/v2/{repo}/blobs/{digest}")
            self.assertEqual(status, 200, f"{repo}: {digest}")

    def assert_local(self, ref, digest, image):
        """ref is a local image standing for digest, with every blob of
        image in the content store (containerd checks each against its
        digest as it writes it) and unpacked into a snapshot."""
        self.assertEqual(self.images().get(ref), digest)
        self.assertLessEqual({image["digest"], image["config_digest"], *image["layers"]},
                             self.content())
        check = self.ctr("images", "check", "--snapshotter", SNAPSHOTTER, f"name=={ref}").stdout.splitlines()
        self.assertEqual(len(check), 2, check)
        self.assertRegex(check[1], r"\scomplete\s")
        self.assertIn(" true", check[1])

    # --- tests

    def test_pull_tag_push_pull_by_digest(self):
        cases = [  # image, where skopeo put it, where ctr pushes it
            ("small", "ctr/small", "ctr/pushed/small"),
            ("big", "ctr/big", "ctr/pushed/big"),
            ("small", "ctr/small", "ctr/team/blobs"),
        ]
        for name, source, target in cases:
            with self.subTest(image=name, target=target):
                image = getattr(self, name)
                src = self.registry.ref(source, "v1")
                self.pull(src)
                self.assert_local(src, image["digest"], image)
                dst = self.registry.ref(target, "v2")
                self.ctr("images", "tag", src, dst)
                self.push(dst)
                # The bytes ctr holds, so the digest skopeo computed.
                self.assertEqual(self.stored(target, "v2"), image["manifest"])
                self.assert_blobs_stored(target, image)
                self.remove_all()
                by_digest = self.registry.ref(target, image["digest"])
                self.pull(by_digest)
                self.assert_local(by_digest, image["digest"], image)
                self.remove_all()

    def test_index_of_two_platforms(self):
        multi = self.multi
        src = self.registry.ref("ctr/multi", "v1")
        self.pull(src, "--all-platforms")
        self.assertEqual(self.images().get(src), multi["digest"])
        dst = self.registry.ref("ctr/multi/copy", "v1")
        self.ctr("images", "tag", src, dst)
        self.push(dst)
        self.assertEqual(self.stored("ctr/multi/copy", "v1"), multi["index"])
        for child in multi["children"]:
            self.assertEqual(self.stored("ctr/multi/copy", child["digest"]), child["manifest"])
            self.assert_blobs_stored("ctr/multi/copy", child)
        self.remove_all()
        # One platform of the index, by the index's digest.
        for child in multi["children"]:
            platform = "/".join(filter(None, (child["platform"]["os"],
                                              child["platform"]["architecture"],
                                              child["platform"].get("variant"))))
            with self.subTest(platform=platform):
                ref = self.registry.ref("ctr/multi/copy", multi["digest"])
                self.pull(ref, "--platform", platform)
                self.assertEqual(self.images().get(ref), multi["digest"])
                self.assertLessEqual({child["digest"], child["config_digest"], *child["layers"]},
                                     self.content())
                others = [c for c in multi["children"] if c is not child]
                for other in others:
                    self.assertNotIn(other["config_digest"], self.content())
                self.remove_all()

    def test_login(self):
        image = self.small
        ref = self.registry.ref("ctr/private", "v1")
        self.registry.set_auth()
        try:
            self.pull(self.registry.ref("ctr/small", "v1"), user=(harness.USER, harness.PASSWORD))
            self.ctr("images", "tag", self.registry.ref("ctr/small", "v1"), ref)
            for user in (None, (harness.USER, "wrong"), ("bob", harness.PASSWORD)):
                with self.subTest(user=user):
                    self.assert_failed_with(self.push(ref, ok=False, user=user), *REFUSED)
            self.push(ref, user=(harness.USER, harness.PASSWORD))
            self.assertEqual(self.stored("ctr/private", "v1",
                                         auth=(harness.USER, harness.PASSWORD)),
                             image["manifest"])
            self.remove_all()
            self.assert_failed_with(self.pull(ref, ok=False), *REFUSED)
            self.pull(ref, user=(harness.USER, harness.PASSWORD))
            self.assert_local(ref, image["digest"], image)
        finally:
            self.registry.clear_auth()


if __name__ == "__main__":
    harness.require_programs()
    unittest.main(verbosity=2)
