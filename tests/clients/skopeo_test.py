#!/usr/bin/env python3
"""skopeo against the registry behind a real lighttpd: images built offline
as OCI layouts are pushed, inspected, listed, deleted and pulled back, and
what comes back must be byte for byte what went in.
ENDPOINTS_DIR names the folder of built programs."""
import concurrent.futures
import hashlib
import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import oci_image  # noqa: E402

DOCKER_MANIFEST = "application/vnd.docker.distribution.manifest.v2+json"
DOCKER_CONFIG = "application/vnd.docker.container.image.v1+json"
REFUSED = ("unauthorized", "authentication required", "invalid username/password", "401")


def sha256(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


KINDS = {  # the images the cases build, each from a seed of its own
    "small": {"layers": 2},
    # Past a few pipe and socket buffers, so the body really streams.
    "big": {"layers": 2, "layer_size": [3 * 1024 * 1024 + 123, 1000]},
    "single": {"layers": 1},
    "wide": {"layers": 6, "layer_size": 256 * 1024},
}


class Skopeo(harness.ClientCase):
    @classmethod
    def setUpClass(cls):
        harness.require_tool("skopeo")
        super().setUpClass()

    @classmethod
    def prepare(cls):
        cls.images = oci_image.Layout(os.path.join(cls.tmp, "images"))
        # New content each run, as in fresh().
        cls.multi = oci_image.build_index(cls.images, "multi",
                                          seed=f"{os.path.basename(cls.tmp)}/multi")
        cls.pulls = 0

    def fresh(self, kind, seed):
        """A new image of kind whose blobs the registry has never seen, so a
        push uploads every one of them; named seed in the layout."""
        # A layout's image names allow single separators only.
        name = re.sub(r"[^A-Za-z0-9]+", "-", seed).strip("-")
        # The clients remember, machine-wide, where they have seen a blob:
        # the run's own folder name keeps every run's content new.
        return oci_image.build_image(
            self.images, name, seed=f"{os.path.basename(self.tmp)}/{self.id()}/{seed}",
            **KINDS[kind])

    # --- helpers

    def skopeo(self, *args, ok=True, env=None, input=None):
        return self.run_client(
            ["skopeo", "--policy", self.policy,
             "--registries.d", os.path.join(self.conf, "registries.d"),
             "--tmpdir", os.path.join(self.tmp, "tmp"), "--command-timeout", "150s", *args],
            ok=ok, env=env, input=input)

    def docker(self, repo, ref=None):
        return "docker://" + self.registry.ref(repo, ref)

    def push(self, image, repo, tag, *extra, ok=True, env=None):
        return self.skopeo("copy", "--dest-tls-verify=false", *extra,
                           f"oci:{self.images.path}:{image['tag']}", self.docker(repo, tag),
                           ok=ok, env=env)

    def new_dir(self, kind):
        type(self).pulls += 1
        return os.path.join(self.tmp, f"{kind}-{self.pulls}")

    def pull_layout(self, repo, ref, *extra):
        """Copies the image into a new OCI layout, named "pulled" there."""
        path = self.new_dir("pulled")
        self.skopeo("copy", "--src-tls-verify=false", *extra, self.docker(repo, ref),
                    f"oci:{path}:pulled")
        return oci_image.Layout(path)

    def raw_manifest(self, repo, ref, *extra, ok=True):
        p = self.skopeo("inspect", "--tls-verify=false", "--raw", *extra,
                        self.docker(repo, ref), ok=ok)
        return p.stdout.encode()

    def inspect(self, repo, ref, *extra):
        return json.loads(self.skopeo("inspect", "--tls-verify=false", *extra,
                                      self.docker(repo, ref)).stdout)

    def list_tags(self, repo, *extra, ok=True):
        """The parsed listing; the process itself unless ok is True."""
        p = self.skopeo("list-tags", "--tls-verify=false", *extra, self.docker(repo), ok=ok)
        return json.loads(p.stdout) if ok is True else p

    def assert_same_image(self, layout, tag, image):
        desc = layout.resolve(tag)
        self.assertEqual(desc["digest"], image["digest"])
        self.assertEqual(layout.read_blob(image["digest"]), image["manifest"])
        self.assertEqual(layout.read_blob(image["config_digest"]), image["config"])
        for digest, data in image["layer_blobs"].items():
            self.assertEqual(layout.read_blob(digest), data, digest)

    def assert_refused(self, p):
        text = (p.stderr + p.stdout).lower()
        self.assertTrue(any(w in text for w in REFUSED), p.stderr)

    # --- tests

    def test_round_trip_keeps_digest_and_bytes(self):
        cases = [  # image kind, repository, tag
            ("small", "plain/small", "v1"),
            ("big", "plain/big", "v1"),
            ("single", "team/app/web", "1.0"),
            ("small", "a/b/c/d/e/f/deep", "latest"),
            ("single", "sep.ar-at_ed/na__me", "Release_1.2-rc.3"),
        ]
        for kind, repo, tag in cases:
            with self.subTest(kind=kind, repo=repo, tag=tag):
                image = self.fresh(kind, f"{repo}/{tag}")
                self.push(image, repo, tag)
                self.assertEqual(self.raw_manifest(repo, tag), image["manifest"])
                self.assert_same_image(self.pull_layout(repo, tag), "pulled", image)
                # By digest as well as by tag.
                self.assert_same_image(self.pull_layout(repo, image["digest"]), "pulled", image)

    def test_names_with_endpoint_words(self):
        # A level of the name may be a word the URLs use after the name.
        names = ["team/blobs", "x/manifests/y", "u/blobs/uploads", "r/referrers/s",
                 "a/tags/list", "manifests/manifests"]
        for n, repo in enumerate(names):
            with self.subTest(repo=repo):
                image = self.fresh("single" if n % 2 else "small", repo)
                self.push(image, repo, "v1")
                self.skopeo("copy", "--src-tls-verify=false", "--dest-tls-verify=false",
                            self.docker(repo, "v1"), self.docker(repo, "v2"))
                self.assertEqual(sorted(self.list_tags(repo)["Tags"]), ["v1", "v2"])
                self.assertEqual(self.raw_manifest(repo, image["digest"]), image["manifest"])
                self.assert_same_image(self.pull_layout(repo, "v2"), "pulled", image)
                self.skopeo("delete", "--tls-verify=false", self.docker(repo, image["digest"]))
                self.assertEqual(self.list_tags(repo)["Tags"], [])
        status, _, body = self.registry.request("GET", "/v2/_catalog")
        self.assertLessEqual(set(names), set(json.loads(body)["repositories"]))

    def test_sha512_image(self):
        missing = self.registry.sha512_missing()
        if missing:
            self.skipTest(missing)
        # skopeo 1.9 cannot make one (it names whatever it writes by
        # sha256) nor copy one (it checks a config by its sha256 alone): the
        # image goes up over plain HTTP, and skopeo reads the manifest and
        # the tags, which it takes without a check.
        image = oci_image.build_image(self.images, "sha512", layers=2, algorithm="sha512",
                                      seed=f"{os.path.basename(self.tmp)}/sha512")
        repo = "algo/sha512"
        by_digest = self.registry.push_image(repo, [image["digest"], "v1"], image)[0]
        self.assertEqual(by_digest, image["digest"])
        self.assertEqual(self.raw_manifest(repo, "v1"), image["manifest"])
        self.assertEqual(self.list_tags(repo)["Tags"], ["v1"])
        for digest, data in {image["config_digest"]: image["config"],
                             **image["layer_blobs"]}.items():
            status, headers, body = self.registry.request("GET", f"/v2/{repo}/blobs/{digest}")
            self.assertEqual((status, headers.get("docker-content-digest"), body),
                             (200, digest, data))

    def test_docker_schema2_round_trip(self):
        # Converting on push: the registry gets Docker media types, and the
        # manifest it hands back must be the bytes it took.
        image = self.fresh("small", "converted")
        self.push(image, "converted/small", "v1", "--format", "v2s2")
        raw = self.raw_manifest("converted/small", "v1")
        doc = json.loads(raw)
        self.assertEqual(doc["mediaType"], DOCKER_MANIFEST)
        self.assertEqual(doc["config"]["mediaType"], DOCKER_CONFIG)
        self.assertEqual([layer["digest"] for layer in doc["layers"]], image["layers"])
        info = self.inspect("converted/small", "v1")
        self.assertEqual(info["Digest"], sha256(raw))
        self.assertEqual(info["Layers"], image["layers"])
        path = self.new_dir("dir")
        self.skopeo("copy", "--src-tls-verify=false", self.docker("converted/small", "v1"),
                    f"dir:{path}")
        with open(os.path.join(path, "manifest.json"), "rb") as f:
            self.assertEqual(f.read(), raw)
        for digest, data in image["layer_blobs"].items():
            with open(os.path.join(path, digest.split(":")[1]), "rb") as f:
                self.assertEqual(f.read(), data)
        config = self.skopeo("inspect", "--tls-verify=false", "--config", "--raw",
                             self.docker("converted/small", "v1")).stdout.encode()
        self.assertEqual(sha256(config), doc["config"]["digest"])

    def test_multi_platform_index(self):
        multi = self.multi
        self.skopeo("copy", "--all", "--dest-tls-verify=false", f"oci:{self.images.path}:multi",
                    self.docker("multi/app", "v1"))
        self.assertEqual(self.raw_manifest("multi/app", "v1"), multi["index"])
        for child in multi["children"]:
            arch = child["platform"]["architecture"]
            with self.subTest(arch=arch):
                self.assertEqual(self.raw_manifest("multi/app", child["digest"]),
                                 child["manifest"])
                extra = ["--override-arch", arch, "--override-os", "linux"]
                if "variant" in child["platform"]:
                    extra += ["--override-variant", child["platform"]["variant"]]
                info = json.loads(self.skopeo(*extra, "inspect", "--tls-verify=false",
                                              self.docker("multi/app", "v1")).stdout)
                self.assertEqual((info["Architecture"], info["Layers"]), (arch, child["layers"]))
                # Without --all the client picks one platform's image.
                one = self.new_dir("pulled")
                self.skopeo(*extra, "copy", "--src-tls-verify=false",
                            self.docker("multi/app", "v1"), f"oci:{one}:pulled")
                self.assert_same_image(oci_image.Layout(one), "pulled", child)
        back = self.pull_layout("multi/app", "v1", "--all")
        desc = back.resolve("pulled")
        self.assertEqual((desc["digest"], desc["mediaType"]), (multi["digest"], oci_image.OCI_INDEX))
        self.assertEqual(back.read_blob(multi["digest"]), multi["index"])
        for child in multi["children"]:
            self.assertEqual(back.read_blob(child["digest"]), child["manifest"])
            self.assertEqual(back.read_blob(child["config_digest"]), child["config"])
            for digest, data in child["layer_blobs"].items():
                self.assertEqual(back.read_blob(digest), data)

    def test_inspect_and_list_tags(self):
        repo = "tags/demo"
        image = self.fresh("small", "tags")
        elsewhere = self.fresh("single", "elsewhere")
        self.push(image, repo, "v1")
        self.push(elsewhere, "tags/other", "v1")
        # Registry to registry: the blobs are there, only new tags are added.
        for tag in ("v2", "latest"):
            self.skopeo("copy", "--src-tls-verify=false", "--dest-tls-verify=false",
                        self.docker(repo, "v1"), self.docker(repo, tag))
        listed = self.list_tags(repo)
        self.assertEqual(listed["Repository"], self.registry.ref(repo))
        self.assertEqual(sorted(listed["Tags"]), ["latest", "v1", "v2"])
        for ref in ("v1", "latest", image["digest"]):
            with self.subTest(ref=ref):
                info = self.inspect(repo, ref)
                self.assertEqual(info["Digest"], image["digest"])
                self.assertEqual((info["Architecture"], info["Os"]), ("amd64", "linux"))
                self.assertEqual(info["Layers"], image["layers"])
                self.assertEqual(info["Labels"], json.loads(image["config"])["config"]["Labels"])
        config = self.skopeo("inspect", "--tls-verify=false", "--config", "--raw",
                             self.docker(repo, "v1")).stdout.encode()
        self.assertEqual(config, image["config"])
        missing = [  # what is asked for, why it must fail, the error it names
            (self.docker(repo, "nosuchtag"), "unknown tag", "manifest unknown"),
            (self.docker("tags/nosuchrepo", "v1"), "unknown repository",
             "manifest unknown|name unknown"),
            (self.docker(repo, "sha256:" + "0" * 64), "unknown digest", "manifest unknown"),
            (self.docker(repo, elsewhere["digest"]), "a digest stored in another repository",
             "manifest unknown"),
        ]
        for ref, why, error in missing:
            with self.subTest(why=why):
                p = self.skopeo("inspect", "--tls-verify=false", ref, ok=False)
                self.assertRegex(p.stderr.lower(), error)

    def test_delete(self):
        repo = "del/me"
        keep, gone, bydigest = (self.fresh(k, f"del-{k}") for k in ("small", "big", "single"))
        self.push(keep, repo, "keep")
        self.push(gone, repo, "gone")
        self.push(bydigest, repo, "bydigest")
        self.skopeo("delete", "--tls-verify=false", self.docker(repo, "gone"))
        self.skopeo("delete", "--tls-verify=false", self.docker(repo, bydigest["digest"]))
        self.assertEqual(self.list_tags(repo)["Tags"], ["keep"])
        for ref in ("gone", gone["digest"], "bydigest", bydigest["digest"]):
            with self.subTest(ref=ref):
                p = self.skopeo("inspect", "--tls-verify=false", "--raw", self.docker(repo, ref),
                                ok=False)
                self.assertIn("manifest unknown", p.stderr.lower())
        self.assert_same_image(self.pull_layout(repo, "keep"), "pulled", keep)
        # A deleted manifest is gone for good: deleting it again fails.
        self.skopeo("delete", "--tls-verify=false", self.docker(repo, gone["digest"]), ok=False)
        # Pushing it again brings it back.
        self.push(gone, repo, "gone")
        self.assert_same_image(self.pull_layout(repo, "gone"), "pulled", gone)

    def test_blobs_shared_between_repositories(self):
        # The second push finds the blobs already on the registry (the client
        # may try a cross-repository mount); deleting the first repository's
        # manifest must leave the second one whole.
        image = self.fresh("small", "shared")
        self.push(image, "share/one", "v1")
        self.push(image, "share/two", "v1")
        self.skopeo("delete", "--tls-verify=false", self.docker("share/one", "v1"))
        self.assert_same_image(self.pull_layout("share/two", "v1"), "pulled", image)
        # The repository may stay, with no tag, or be gone.
        p = self.list_tags("share/one", ok=None)
        if p.returncode == 0:
            self.assertFalse(json.loads(p.stdout)["Tags"])
        else:
            self.assertIn("name unknown", p.stderr.lower())

    def test_parallel_pushes_to_one_repository(self):
        # Several clients upload the same new blobs at once, each under its
        # own tag; a few rounds, as the overlap differs from one to the next.
        tags = [f"p{i}" for i in range(6)]
        for n, kind in enumerate(("big", "wide", "wide", "wide", "big")):
            with self.subTest(round=n, kind=kind):
                repo = f"parallel/app{n}"
                image = self.fresh(kind, f"parallel-{n}")
                with concurrent.futures.ThreadPoolExecutor(len(tags)) as pool:
                    results = list(pool.map(lambda t: self.push(image, repo, t, ok=None), tags))
                for tag, p in zip(tags, results):
                    self.assertEqual(p.returncode, 0, f"{tag}: {p.stderr[-3000:]}")
                self.assertEqual(sorted(self.list_tags(repo)["Tags"]), tags)
                for tag in tags:
                    self.assertEqual(self.raw_manifest(repo, tag), image["manifest"])
                self.assert_same_image(self.pull_layout(repo, tags[-1]), "pulled", image)

    def test_authentication(self):
        repo = "private/app"
        before = self.fresh("small", "before")
        self.push(before, repo, "before")  # stored while the registry was open
        image, refused_image = self.fresh("small", "private"), self.fresh("big", "refused")
        self.registry.set_auth()
        try:
            good = f"{harness.USER}:{harness.PASSWORD}"
            self.push(image, repo, "v1", "--dest-creds", good)
            self.assertEqual(self.raw_manifest(repo, "v1", "--creds", good), image["manifest"])
            self.assertEqual(sorted(self.list_tags(repo, "--creds", good)["Tags"]),
                             ["before", "v1"])
            self.assert_same_image(self.pull_layout(repo, "before", "--src-creds", good),
                                   "pulled", before)
            doomed = self.fresh("single", "doomed")
            self.push(doomed, repo, "doomed", "--dest-creds", good)
            self.skopeo("delete", "--tls-verify=false", "--creds", good,
                        self.docker(repo, "doomed"))
            self.raw_manifest(repo, doomed["digest"], "--creds", good, ok=False)
            refused = [  # credentials; None sends none
                None,
                f"{harness.USER}:wrong",
                f"{harness.USER}:",
                f"bob:{harness.PASSWORD}",
                f"{harness.USER.upper()}:{harness.PASSWORD}",
                f"{harness.USER}:{harness.PASSWORD}x",
            ]
            for creds in refused:
                with self.subTest(creds=creds):
                    cred = ["--creds", creds] if creds else ["--no-creds"]
                    dcred = ["--dest-creds", creds] if creds else ["--dest-no-creds"]
                    self.assert_refused(self.push(refused_image, repo, "refused", *dcred,
                                                  ok=False))
                    self.assert_refused(self.skopeo("inspect", "--tls-verify=false", "--raw",
                                                    *cred, self.docker(repo, "v1"), ok=False))
                    self.assert_refused(self.list_tags(repo, *cred, ok=False))
                    self.assert_refused(self.skopeo("delete", "--tls-verify=false", *cred,
                                                    self.docker(repo, "v1"), ok=False))
            # Nothing refused left a trace: no new tag, the manifest still there.
            self.assertEqual(sorted(self.list_tags(repo, "--creds", good)["Tags"]),
                             ["before", "v1"])
            self.raw_manifest(repo, "refused", "--creds", good, ok=False)
            self.raw_manifest(repo, refused_image["digest"], "--creds", good, ok=False)
            self.check_login(repo, image)
        finally:
            self.registry.clear_auth()
        # Open again: the images pushed with credentials are there for anyone.
        self.assertEqual(self.raw_manifest(repo, "v1"), image["manifest"])

    def check_login(self, repo, image):
        auth = self.new_auth_file()
        env = self.client_env(auth)
        host = self.registry.host
        p = self.skopeo("login", "--tls-verify=false", "-u", harness.USER, "--password-stdin",
                        host, env=env, input="wrong\n", ok=False)
        self.assert_refused(p)
        with open(auth) as f:
            self.assertNotIn(host, f.read())
        self.skopeo("login", "--tls-verify=false", "-u", harness.USER, "--password-stdin",
                    host, env=env, input=harness.PASSWORD + "\n")
        with open(auth) as f:
            self.assertIn(host, json.load(f)["auths"])
        # The stored login serves every later command.
        p = self.skopeo("inspect", "--tls-verify=false", "--raw", self.docker(repo, "v1"), env=env)
        self.assertEqual(p.stdout.encode(), image["manifest"])
        pushed = self.fresh("single", "login")
        self.push(pushed, repo, "login", env=env)
        self.skopeo("logout", host, env=env)
        self.assert_refused(self.skopeo("inspect", "--tls-verify=false", "--raw",
                                        self.docker(repo, "v1"), env=env, ok=False))
        self.assertEqual(self.raw_manifest(repo, "login", "--creds",
                                           f"{harness.USER}:{harness.PASSWORD}"),
                         pushed["manifest"])


if __name__ == "__main__":
    harness.require_programs()
    unittest.main(verbosity=2)
