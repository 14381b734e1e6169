#!/usr/bin/env python3
"""podman against the registry behind a real lighttpd: images built offline
as OCI layouts are loaded into a podman storage of the test's own, pushed,
removed and pulled back, and must come back as the same image.
ENDPOINTS_DIR names the folder of built programs."""
import hashlib
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import oci_image  # noqa: E402

REFUSED = ("unauthorized", "authentication required", "invalid username/password", "401")


def sha256(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


class Podman(harness.ClientCase):
    @classmethod
    def setUpClass(cls):
        harness.require_tool("podman")
        super().setUpClass()

    @classmethod
    def prepare(cls):
        pm = os.path.join(cls.tmp, "podman")
        cls.pm = {k: os.path.join(pm, k) for k in ("root", "run", "libpod", "net", "volumes")}
        for d in cls.pm.values():
            os.makedirs(d, exist_ok=True)
        # Everything podman keeps goes under the test's folder: vfs needs no
        # kernel overlay support nor fuse, cgroupfs and a file for events
        # need no systemd. No container is ever run.
        cls.containers_conf = os.path.join(cls.conf, "containers.conf")
        with open(cls.containers_conf, "w") as f:
            f.write('[engine]\ncgroup_manager = "cgroupfs"\nevents_logger = "file"\n'
                    f'events_logfile_path = "{pm}/events.log"\n'
                    f'tmp_dir = "{cls.pm["libpod"]}"\n'
                    f'volume_path = "{cls.pm["volumes"]}"\n'
                    f'[network]\nnetwork_config_dir = "{cls.pm["net"]}"\n')
        cls.storage_conf = os.path.join(cls.conf, "storage.conf")
        with open(cls.storage_conf, "w") as f:
            f.write(f'[storage]\ndriver = "vfs"\ngraphroot = "{cls.pm["root"]}"\n'
                    f'runroot = "{cls.pm["run"]}"\n')
        cls.images = os.path.join(cls.tmp, "images")
        lay = oci_image.Layout(cls.images)
        # New content each run: podman remembers, machine-wide, where it has
        # seen a layer, and would skip uploads that this run must make.
        run = os.path.basename(cls.tmp)
        cls.small = oci_image.build_image(lay, "small", layers=2, seed=f"{run}/small")
        cls.big = oci_image.build_image(lay, "big", layers=2, seed=f"{run}/big",
                                        layer_size=[3 * 1024 * 1024 + 123, 1000])
        cls.multi = oci_image.build_index(lay, "multi", seed=f"{run}/multi")
        cls.image = {"small": cls.small, "big": cls.big}
        probe = cls.podman_cmd("info", "--format", "json")
        try:
            p = subprocess.run(probe, env=cls.podman_env(), capture_output=True, text=True,
                               timeout=harness.COMMAND_TIMEOUT, stdin=subprocess.DEVNULL)
            failed = p.returncode != 0 and f"exit {p.returncode}: {p.stderr.strip()[-2000:]}"
        except subprocess.TimeoutExpired:
            failed = "timed out"
        if failed:
            reason = f"podman cannot work here: `podman info` failed ({failed})"
            print(reason, file=sys.stderr)
            raise unittest.SkipTest(reason)

    @classmethod
    def podman_cmd(cls, *args):
        return ["podman", "--root", cls.pm["root"], "--runroot", cls.pm["run"],
                "--storage-driver", "vfs", "--cgroup-manager", "cgroupfs",
                "--events-backend", "file", "--tmpdir", cls.pm["libpod"],
                "--network-config-dir", cls.pm["net"], "--volumepath", cls.pm["volumes"],
                *args]

    @classmethod
    def podman_env(cls, auth_file=None):
        env = cls.client_env(auth_file)
        env["CONTAINERS_CONF"] = cls.containers_conf
        env["CONTAINERS_STORAGE_CONF"] = cls.storage_conf
        return env

    def client_command(self, client, logins):
        if client != "podman":
            return super().client_command(client, logins)
        return self.podman_cmd(), logins.env(self.podman_env(logins.auth_file))

    def podman(self, *args, ok=True, env=None, input=None):
        return self.run_client(self.podman_cmd(*args), ok=ok, env=env or self.podman_env(),
                               input=input)

    def setUp(self):
        # Each case starts from an empty local store.
        self.podman("rmi", "--all", "--force")

    # --- helpers

    def load(self, name, *extra):
        """Brings an image from the OCI layout into the local store; its ID."""
        p = self.podman("pull", "-q", "--signature-policy", self.policy, *extra,
                        f"oci:{self.images}:{name}")
        return p.stdout.strip().splitlines()[-1]

    def push(self, local, repo, tag, *extra, ok=True, env=None):
        digestfile = os.path.join(self.tmp, "digest")
        if os.path.exists(digestfile):
            os.remove(digestfile)
        p = self.podman("push", "--tls-verify=false", "--digestfile", digestfile, *extra,
                        local, self.registry.ref(repo, tag), ok=ok, env=env)
        if not ok:
            return p
        with open(digestfile) as f:
            return f.read().strip()

    def pull(self, ref, *extra, ok=True, env=None):
        p = self.podman("pull", "-q", "--tls-verify=false",
                        "--signature-policy", self.policy, *extra, ref, ok=ok, env=env)
        return p.stdout.strip().splitlines()[-1] if ok else p

    def manifest(self, repo, ref, auth=None):
        accept = ", ".join([oci_image.OCI_MANIFEST, oci_image.OCI_INDEX,
                            "application/vnd.docker.distribution.manifest.v2+json",
                            "application/vnd.docker.distribution.manifest.list.v2+json"])
        status, _, body = self.registry.request("GET", f"/v2/{repo}/manifests/{ref}",
                                                headers={"Accept": accept}, auth=auth)
        self.assertEqual(status, 200, body[:500])
        return body

    def inspect(self, ref):
        return json.loads(self.podman("image", "inspect", ref).stdout)[0]

    def assert_files(self, ref, image):
        """The image's root file system holds every layer's files as built."""
        root = self.podman("image", "mount", ref).stdout.strip()
        try:
            for name, data in image["files"].items():
                with open(os.path.join(root, name), "rb") as f:
                    self.assertEqual(f.read(), data, name)
        finally:
            self.podman("image", "unmount", ref)

    def assert_refused(self, p):
        text = (p.stderr + p.stdout).lower()
        self.assertTrue(any(w in text for w in REFUSED), p.stderr)

    # --- tests

    def test_push_remove_pull(self):
        cases = [  # image, repository, push format (None: podman's choice)
            ("small", "pod/small", None),
            ("big", "pod/big", None),
            ("small", "pod/team/app/web", "oci"),
            ("small", "pod/docker", "v2s2"),
            # A level of the name may be a word the URLs use after the name.
            ("small", "pod/team/blobs", None),
            ("small", "x/manifests/y", "v2s2"),
            ("small", "u/blobs/uploads", None),
        ]
        for name, repo, fmt in cases:
            with self.subTest(image=name, repo=repo, format=fmt):
                image = self.image[name]
                local_id = self.load(name)
                self.assertEqual("sha256:" + local_id, image["config_digest"])
                ref = self.registry.ref(repo, "v1")
                self.podman("tag", local_id, ref)
                extra = ["--format", fmt] if fmt else []
                digest = self.push(ref, repo, "v1", *extra)
                body = self.manifest(repo, "v1")
                self.assertEqual(sha256(body), digest)
                pushed = json.loads(body)
                self.assertEqual(len(pushed["layers"]), len(image["layers"]))
                self.podman("rmi", "--all", "--force")
                self.assertEqual(self.podman("images", "-q").stdout.strip(), "")
                pulled_id = self.pull(ref)
                # podman names an image by its config's digest.
                self.assertEqual("sha256:" + pulled_id, pushed["config"]["digest"])
                if fmt != "v2s2":
                    self.assertEqual(pulled_id, local_id)
                info = self.inspect(ref)
                self.assertEqual(info["Digest"], digest)
                self.assertIn(f"{self.registry.ref(repo)}@{digest}", info["RepoDigests"])
                self.assertEqual(info["RootFS"]["Layers"], image["diff_ids"])
                self.assert_files(ref, image)
                # By digest too.
                self.podman("rmi", "--all", "--force")
                self.assertEqual(self.pull(self.registry.ref(repo, digest)), pulled_id)

    def test_pull_each_platform_of_an_index(self):
        # skopeo pushes the index as it is (not even swapping in layers that
        # podman compressed anew); podman chooses a platform from it.
        self.run_client(self.push_as_is_command(self.images, "multi", "pod/multi", "v1"))
        self.assertEqual(self.manifest("pod/multi", "v1"), self.multi["index"])
        for child in self.multi["children"]:
            arch = child["platform"]["architecture"]
            with self.subTest(arch=arch):
                extra = ["--arch", arch, "--os", "linux"]
                if "variant" in child["platform"]:
                    extra += ["--variant", child["platform"]["variant"]]
                pulled_id = self.pull(self.registry.ref("pod/multi", "v1"), *extra)
                self.assertEqual("sha256:" + pulled_id, child["config_digest"])
                info = self.inspect(pulled_id)
                # podman records the digest of the list it chose from.
                self.assertEqual((info["Architecture"], info["Digest"]),
                                 (arch, self.multi["digest"]))
                self.podman("rmi", "--all", "--force")

    def test_manifest_list_push(self):
        # A list put together locally and pushed with every image in it.
        ids = {}
        for child in self.multi["children"]:
            arch = child["platform"]["architecture"]
            ids[arch] = self.load("multi", "--arch", arch, "--os", "linux",
                                  *(["--variant", child["platform"]["variant"]]
                                    if "variant" in child["platform"] else []))
        self.podman("manifest", "create", "localhost/multi-list")
        for arch, image_id in ids.items():
            self.podman("manifest", "add", "localhost/multi-list", f"containers-storage:{image_id}")
        ref = self.registry.ref("pod/list", "v1")
        self.podman("manifest", "push", "--all", "--tls-verify=false", "localhost/multi-list",
                    "docker://" + ref)
        index = json.loads(self.manifest("pod/list", "v1"))
        self.assertEqual(sorted(m["platform"]["architecture"] for m in index["manifests"]),
                         sorted(ids))
        for m in index["manifests"]:
            with self.subTest(arch=m["platform"]["architecture"]):
                child = json.loads(self.manifest("pod/list", m["digest"]))
                self.assertEqual(sha256(self.manifest("pod/list", m["digest"])), m["digest"])
                self.assertEqual(child["config"]["digest"],
                                 "sha256:" + ids[m["platform"]["architecture"]])
        self.podman("rmi", "--all", "--force")
        self.podman("manifest", "rm", "localhost/multi-list", ok=None)
        for arch, image_id in ids.items():
            with self.subTest(pull=arch):
                self.assertEqual(self.pull(ref, "--arch", arch, "--os", "linux"), image_id)

    def test_search_and_all_tags(self):
        local_id = self.load("small")
        for repo, tag in (("find/alpha", "v1"), ("find/alpha", "v2"), ("find/beta/gamma", "1")):
            ref = self.registry.ref(repo, tag)
            self.podman("tag", local_id, ref)
            self.push(ref, repo, tag)
        # Search reads the catalog and keeps the names that match.
        p = self.podman("search", "--tls-verify=false", "--format", "json",
                        f"{self.registry.host}/find")
        self.assertEqual(sorted(r["Name"] for r in json.loads(p.stdout)),
                         [self.registry.ref("find/alpha"), self.registry.ref("find/beta/gamma")])
        p = self.podman("search", "--tls-verify=false", "--list-tags", "--format", "json",
                        self.registry.ref("find/alpha"))
        self.assertEqual([(r["Name"], sorted(r["Tags"])) for r in json.loads(p.stdout)],
                         [(self.registry.ref("find/alpha"), ["v1", "v2"])])
        self.podman("rmi", "--all", "--force")
        # podman 4.3 pulls each tag without --tls-verify=false: the registry
        # is named plain HTTP in the configuration instead.
        insecure = os.path.join(self.conf, "registries-insecure.conf")
        with open(insecure, "w") as f:
            f.write(f'unqualified-search-registries = []\n[[registry]]\n'
                    f'location = "{self.registry.host}"\ninsecure = true\n')
        env = self.podman_env()
        env["CONTAINERS_REGISTRIES_CONF"] = insecure
        self.podman("pull", "-q", "--tls-verify=false", "--all-tags",
                    self.registry.ref("find/alpha"), env=env)
        tags = set(json.loads(self.podman("images", "--format", "json").stdout)[0]["Names"])
        self.assertEqual(tags, {self.registry.ref("find/alpha", "v1"),
                                self.registry.ref("find/alpha", "v2")})

    def test_authentication(self):
        local_id = self.load("small")
        ref = self.registry.ref("pod/private", "v1")
        self.podman("tag", local_id, ref)
        good = f"{harness.USER}:{harness.PASSWORD}"
        self.registry.set_auth()
        try:
            digest = self.push(ref, "pod/private", "v1", "--creds", good)
            self.assertEqual(sha256(self.manifest("pod/private", "v1",
                                                  auth=(harness.USER, harness.PASSWORD))),
                             digest)
            for creds in (None, f"{harness.USER}:wrong", f"bob:{harness.PASSWORD}"):
                with self.subTest(creds=creds):
                    extra = ["--creds", creds] if creds else []
                    self.assert_refused(self.push(ref, "pod/private", "v2", *extra, ok=False))
                    self.assert_refused(self.pull(ref, *extra, ok=False))
            # A stored login serves later commands until logout.
            env = self.podman_env(self.new_auth_file())
            self.assert_refused(self.podman(
                "login", "--tls-verify=false", "-u", harness.USER, "--password-stdin",
                self.registry.host, env=env, input="wrong\n", ok=False))
            self.podman("login", "--tls-verify=false", "-u", harness.USER, "--password-stdin",
                        self.registry.host, env=env, input=harness.PASSWORD + "\n")
            self.podman("rmi", "--all", "--force")
            self.assertEqual(self.pull(ref, env=env), local_id)
            self.podman("tag", local_id, self.registry.ref("pod/private", "login"))
            self.push(self.registry.ref("pod/private", "login"), "pod/private", "login", env=env)
            self.podman("logout", self.registry.host, env=env)
            self.assert_refused(self.pull(ref, env=env, ok=False))
        finally:
            self.registry.clear_auth()
        status, _, _ = self.registry.request("GET", "/v2/pod/private/manifests/v2")
        self.assertEqual(status, 404)


if __name__ == "__main__":
    harness.require_programs()
    unittest.main(verbosity=2)
