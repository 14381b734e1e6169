#!/usr/bin/env python3
"""docker against the registry behind a real lighttpd: the test starts a
Docker engine of its own (private data root, socket and state under the
test's folder; no network set-up, no container ever runs), loads images
built offline, pushes them, removes them and pulls them back (by tag and by
digest, also under other names and through a manifest list the client makes),
and they must come back as the same images. The engine stops with the test,
also when it fails. Where the engine cannot start, the test says why and is
skipped.
ENDPOINTS_DIR names the folder of built programs."""
import hashlib
import json
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import oci_image  # noqa: E402

DOCKER_MANIFEST = "application/vnd.docker.distribution.manifest.v2+json"
ACCEPT = ", ".join([DOCKER_MANIFEST, oci_image.OCI_MANIFEST, oci_image.OCI_INDEX,
                    "application/vnd.docker.distribution.manifest.list.v2+json"])
REFUSED = ("unauthorized", "authentication required", "401")
# Without a login docker stops at the challenge, naming what it lacks.
# Without a login docker fetches an anonymous token, which grants nothing here.
NO_LOGIN = ("no basic auth credentials", "unauthorized")
# The client packaged with the engine, wherever another one comes first on
# PATH: the pair is what the distribution tests together.
PACKAGED_CLIENT = "/usr/bin/docker"
# How long the engine may take to answer after it starts.
DAEMON_START = 60


def sha256(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


class Docker(harness.ClientCase):
    daemon = None

    @classmethod
    def setUpClass(cls):
        cls.client = (PACKAGED_CLIENT if os.access(PACKAGED_CLIENT, os.X_OK)
                      else harness.require_tool("docker", "docker.io"))
        cls.dockerd = harness.require_tool("dockerd", "docker.io")
        super().setUpClass()

    @classmethod
    def prepare(cls):
        cls.start_daemon()
        cls.images = oci_image.Layout(os.path.join(cls.tmp, "images"))
        # New content each run, as the other client tests do.
        run = os.path.basename(cls.tmp)
        cls.image = {
            "small": oci_image.build_image(cls.images, "small", layers=2, seed=f"{run}/small"),
            # Past a few pipe and socket buffers, so the body really streams.
            "big": oci_image.build_image(cls.images, "big", layers=2, seed=f"{run}/big",
                                         layer_size=[3 * 1024 * 1024 + 123, 1000]),
        }
        cls.multi = oci_image.build_index(cls.images, "multi", seed=f"{run}/multi")
        cls.archive = {}
        for name, image in cls.image.items():
            cls.archive[name] = oci_image.docker_archive(
                image, os.path.join(cls.tmp, f"{name}.tar"), [f"local/{name}:1"])

    @classmethod
    def start_daemon(cls):
        d = os.path.join(cls.tmp, "dockerd")
        cls.sock = os.path.join(d, "docker.sock")
        for sub in ("data", "exec"):
            os.makedirs(os.path.join(d, sub), mode=0o700)
        # Its own empty settings, not the machine's /etc/docker/daemon.json.
        settings = os.path.join(d, "daemon.json")
        with open(settings, "w") as f:
            f.write("{}\n")
        args = [cls.dockerd, "--config-file", settings,
                "--data-root", os.path.join(d, "data"), "--exec-root", os.path.join(d, "exec"),
                "--pidfile", os.path.join(d, "dockerd.pid"), "-H", "unix://" + cls.sock,
                # Pushing and pulling only: no bridge, no firewall rules, and
                # vfs needs no kernel overlay support.
                "--iptables=false", "--ip6tables=false", "--bridge=none",
                "--storage-driver=vfs", "--insecure-registry", cls.registry.host]
        env = {"PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"),
               "HOME": cls.home, "TMPDIR": os.path.join(cls.tmp, "tmp")}
        cls.daemon = harness.Daemon("the Docker engine", args, env,
                                    os.path.join(d, "dockerd.log"))
        if os.geteuid() != 0:
            cls.daemon.skip("it needs root and the test does not run as root")

        def ready():
            p = subprocess.run([cls.client, "version", "--format", "{{.Server.Version}}"],
                               env=cls.client_env(), capture_output=True, text=True,
                               stdin=subprocess.DEVNULL, timeout=30)
            return p.returncode == 0

        cls.daemon.start(ready, DAEMON_START)

    @classmethod
    def stop_daemon(cls):
        if cls.daemon is None:
            return
        # The engine stops the containerd it started, which runs in a group
        # of its own; one left behind goes by the pid file it wrote.
        cls.daemon.stop([os.path.join(cls.tmp, "dockerd", "exec", "containerd",
                                      "containerd.pid")])
        cls.daemon = None

    @classmethod
    def tearDownClass(cls):
        try:
            cls.stop_daemon()
        finally:
            super().tearDownClass()

    def client_command(self, client, logins):
        start, env = super().client_command(client, logins)
        return ([self.client, *start[1:]] if client == "docker" else start), env

    @classmethod
    def client_env(cls, auth_file=None):
        env = super().client_env(auth_file)
        env["DOCKER_HOST"] = "unix://" + cls.sock
        return env

    def setUp(self):
        # Each case starts from an empty local store.
        self.remove_all()

    # --- helpers

    def docker(self, *args, ok=True, env=None, input=None):
        return self.run_client([self.client, *args], ok=ok, env=env, input=input)

    def remove_all(self):
        ids = self.docker("images", "-aq").stdout.split()
        if ids:
            self.docker("rmi", "-f", *sorted(set(ids)))
        self.assertEqual(self.docker("images", "-aq").stdout.strip(), "")

    def load(self, name):
        """Brings an image from its archive into the engine; its local name."""
        self.docker("load", "-i", self.archive[name])
        return f"local/{name}:1"

    def push(self, ref, ok=True, env=None):
        """Pushes ref; the manifest digest docker reports."""
        p = self.docker("push", ref, ok=ok, env=env)
        if not ok:
            return p
        m = re.search(r"digest: (sha256:[0-9a-f]{64}) size: \d+", p.stdout)
        self.assertIsNotNone(m, p.stdout)
        return m.group(1)

    def pull(self, ref, *extra, ok=True, env=None):
        return self.docker("pull", *extra, ref, ok=ok, env=env)

    def inspect(self, ref):
        return json.loads(self.docker("image", "inspect", ref).stdout)[0]

    def manifest(self, repo, ref, auth=None):
        status, _, body = self.registry.request("GET", f"/v2/{repo}/manifests/{ref}",
                                                headers={"Accept": ACCEPT}, auth=auth)
        self.assertEqual(status, 200, body[:500])
        return body

    def assert_pulled(self, ref, image, digest, repo):
        """ref is in the engine as image (its config, hence its ID, and its
        layers' content: the engine checks each against the config), pulled
        as digest."""
        info = self.inspect(ref)
        self.assertEqual(info["Id"], image["config_digest"])
        self.assertEqual(info["RootFS"]["Layers"], image["diff_ids"])
        self.assertIn(f"{self.registry.ref(repo)}@{digest}", info["RepoDigests"])

    # --- tests

    def test_push_remove_pull(self):
        for name, repo in (("small", "dock/small"), ("big", "dock/big"),
                           ("small", "dock/team/app/web")):
            with self.subTest(image=name, repo=repo):
                image = self.image[name]
                ref = self.registry.ref(repo, "v1")
                self.docker("tag", self.load(name), ref)
                digest = self.push(ref)
                body = self.manifest(repo, "v1")
                self.assertEqual(sha256(body), digest)
                pushed = json.loads(body)
                self.assertEqual(pushed["mediaType"], DOCKER_MANIFEST)
                # The config goes up as it is; the layers compressed anew.
                self.assertEqual(pushed["config"]["digest"], image["config_digest"])
                self.assertEqual(len(pushed["layers"]), len(image["layers"]))
                self.remove_all()
                self.pull(ref)
                self.assert_pulled(ref, image, digest, repo)
                # By digest too.
                self.remove_all()
                self.pull(self.registry.ref(repo, digest))
                self.assert_pulled(self.registry.ref(repo, digest), image, digest, repo)
                self.remove_all()

    def test_pull_what_skopeo_pushed(self):
        # An OCI manifest and an OCI index, stored as they are.
        self.run_client(self.push_as_is_command(self.images.path, "small", "dock/oci", "v1"))
        small = self.image["small"]
        self.assertEqual(self.manifest("dock/oci", "v1"), small["manifest"])
        ref = self.registry.ref("dock/oci", "v1")
        self.pull(ref)
        self.assert_pulled(ref, small, small["digest"], "dock/oci")
        self.run_client(self.push_as_is_command(self.images.path, "multi", "dock/multi", "v1"))
        ref = self.registry.ref("dock/multi", "v1")
        for child in self.multi["children"]:
            platform = child["platform"]
            arch = "/".join(filter(None, (platform["os"], platform["architecture"],
                                          platform.get("variant"))))
            with self.subTest(platform=arch):
                self.remove_all()
                self.pull(ref, "--platform", arch)
                info = self.inspect(ref)
                self.assertEqual((info["Id"], info["Architecture"]),
                                 (child["config_digest"], platform["architecture"]))
                # The engine records the digest of the index it chose from.
                self.assertIn(f"{self.registry.ref('dock/multi')}@{self.multi['digest']}",
                              info["RepoDigests"])

    def test_pull_tag_push_to_another_repository(self):
        # What was pulled goes up again under other names: the layers are
        # in the registry already, and the manifest is the one pulled.
        image = self.image["small"]
        src = self.registry.ref("dock/src", "v1")
        self.docker("tag", self.load("small"), src)
        digest = self.push(src)
        self.remove_all()
        self.pull(src)
        for repo in ("dock/again", "dock/team/manifests"):
            with self.subTest(repo=repo):
                dst = self.registry.ref(repo, "v2")
                self.docker("tag", src, dst)
                self.assertEqual(self.push(dst), digest)
                self.assertEqual(self.manifest(repo, "v2"), self.manifest("dock/src", "v1"))
        self.remove_all()
        for repo in ("dock/again", "dock/team/manifests"):
            with self.subTest(pull=repo):
                ref = self.registry.ref(repo, digest)
                self.pull(ref)
                self.assert_pulled(ref, image, digest, repo)
                self.remove_all()

    def test_manifest_list_push(self):
        # A list put together by the client from two images already pushed,
        # then pushed with the images into a repository of its own.
        env = self.client_env()
        env["DOCKER_CLI_EXPERIMENTAL"] = "enabled"
        p = self.docker("manifest", "--help", ok=None, env=env)
        if p.returncode != 0 or "create" not in p.stdout:
            self.skipTest(f"this docker client has no manifest command: {p.stderr.strip()}")
        # The engine pushes each platform's image (this client lists Docker
        # manifests only).
        pushed = {}
        for child in self.multi["children"]:
            arch = child["platform"]["architecture"]
            local = f"local/multi-{arch}:1"
            oci_image.docker_archive(child, os.path.join(self.tmp, f"multi-{arch}.tar"), [local])
            self.docker("load", "-i", os.path.join(self.tmp, f"multi-{arch}.tar"))
            part = self.registry.ref(f"dock/parts/{arch}", "v1")
            self.docker("tag", local, part)
            pushed[arch] = (child, self.push(part))
        self.remove_all()
        ref = self.registry.ref("dock/list", "v1")
        self.docker("manifest", "create", "--insecure", ref,
                    *(self.registry.ref(f"dock/parts/{arch}", digest)
                      for arch, (_, digest) in pushed.items()), env=env)
        self.docker("manifest", "push", "--insecure", ref, env=env)
        listed = json.loads(self.manifest("dock/list", "v1"))
        self.assertEqual(listed["mediaType"],
                         "application/vnd.docker.distribution.manifest.list.v2+json")
        self.assertEqual({m["platform"]["architecture"]: m["digest"] for m in listed["manifests"]},
                         {arch: digest for arch, (_, digest) in pushed.items()})
        for arch, (child, digest) in pushed.items():
            with self.subTest(arch=arch):
                self.assertEqual(self.manifest("dock/list", digest),
                                 self.manifest(f"dock/parts/{arch}", digest))
                platform = "/".join(filter(None, ("linux", arch, child["platform"].get("variant"))))
                self.pull(ref, "--platform", platform)
                info = self.inspect(ref)
                self.assertEqual((info["Id"], info["Architecture"]),
                                 (child["config_digest"], arch))
                self.remove_all()

    def test_login(self):
        image = self.image["small"]
        ref = self.registry.ref("dock/private", "v1")
        self.docker("tag", self.load("small"), ref)
        self.registry.set_auth()
        try:
            logins = self.new_logins()
            env = logins.env(self.client_env())
            self.assert_failed_with(self.push(ref, ok=False, env=env), *NO_LOGIN)
            for user, password in ((harness.USER, "wrong"), ("bob", harness.PASSWORD)):
                with self.subTest(user=user, password=password):
                    self.assert_failed_with(
                        self.login("docker", logins, user, password, ok=False), *REFUSED)
                    self.assertEqual(logins.hosts(), set())
            self.login("docker", logins)
            self.assertEqual(logins.hosts(), {self.registry.host})
            digest = self.push(ref, env=env)
            self.assertEqual(sha256(self.manifest("dock/private", "v1",
                                                  auth=(harness.USER, harness.PASSWORD))),
                             digest)
            self.remove_all()
            self.pull(ref, env=env)
            self.assert_pulled(ref, image, digest, "dock/private")
            self.remove_all()
            self.logout("docker", logins)
            self.assertEqual(logins.hosts(), set())
            self.assert_failed_with(self.pull(ref, ok=False, env=env), *NO_LOGIN)
        finally:
            self.registry.clear_auth()


if __name__ == "__main__":
    harness.require_programs()
    unittest.main(verbosity=2)
