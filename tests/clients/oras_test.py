#!/usr/bin/env python3
"""oras against the registry behind a real lighttpd: files pushed as
artifacts come back byte for byte, artifact types and referrers survive the
round trip, tags are listed and manifests fetched and deleted, and a login
guards it all when authentication is on.
ENDPOINTS_DIR names the folder of built programs."""
import hashlib
import json
import os
import random
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import oci_image  # noqa: E402

OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
REFUSED = ("unauthorized", "authentication required", "401")
# Without a login oras stops at the challenge, naming what it lacks.
# Without a login oras fetches an anonymous token, which grants nothing here.
NO_LOGIN = ("basic credential not found", "401: unauthorized", "unauthorized: authentication required")


def sha256(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


class Oras(harness.ClientCase):
    @classmethod
    def setUpClass(cls):
        harness.require_tool("oras")
        super().setUpClass()

    @classmethod
    def prepare(cls):
        cls.count = 0

    def new_dir(self, kind):
        type(self).count += 1
        path = os.path.join(self.tmp, f"{kind}-{self.count}")
        os.makedirs(path)
        return path

    def write_files(self, files):
        """files (name to bytes) in a new folder; the folder."""
        folder = self.new_dir("files")
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        return folder

    # --- helpers

    def oras(self, *args, ok=True, env=None, cwd=None, logins=None):
        config = (logins.registry_config if logins
                  else os.path.join(self.docker_config, "config.json"))
        sub = list(args[:2]) if args[0] in ("manifest", "repo", "blob") else list(args[:1])
        rest = list(args[len(sub):])
        # Plain HTTP and the test's own logins, on both ends of a copy.
        if sub == ["copy"]:
            opts = ["--from-plain-http", "--to-plain-http", "--from-registry-config", config,
                    "--to-registry-config", config]
        else:
            opts = ["--plain-http", "--registry-config", config]
        return self.run_client(["oras", *sub, *opts, *rest], ok=ok, env=env, cwd=cwd)

    def push(self, repo, tags, folder, names, *extra, ok=True, logins=None):
        """Pushes the files names (each "file" or "file:media/type") from
        folder; the descriptor oras reports."""
        p = self.oras("push", "--format", "json", *extra, self.registry.ref(repo, tags),
                      *names, ok=ok, cwd=folder, logins=logins)
        return json.loads(p.stdout) if ok else p

    def pull(self, ref, ok=True, logins=None):
        """Pulls ref into a new folder; the folder."""
        out = self.new_dir("pulled")
        p = self.oras("pull", "-o", out, ref, ok=ok, logins=logins)
        return out if ok else p

    def fetch(self, ref):
        return self.oras("manifest", "fetch", ref).stdout.encode()

    def assert_same_files(self, folder, files):
        self.assertEqual(sorted(os.listdir(folder)), sorted(files))
        for name, data in files.items():
            with open(os.path.join(folder, name), "rb") as f:
                self.assertEqual(f.read(), data, name)

    # --- tests

    def test_push_pull_files(self):
        rng = random.Random(os.path.basename(self.tmp))
        cases = [  # repository, files, media type given on the command line
            ("art/one", {"hello.txt": b"hello, artifact\n"}, None),
            # Past a few pipe and socket buffers, so the body really streams.
            ("art/big", {"data.bin": rng.randbytes(3 * 1024 * 1024 + 123)}, None),
            ("art/team/many", {"a.json": b'{"a":1}\n', "b.bin": rng.randbytes(70000),
                               "empty": b""}, "application/vnd.example.part"),
        ]
        for repo, files, media_type in cases:
            with self.subTest(repo=repo):
                folder = self.write_files(files)
                names = [f"{n}:{media_type}" if media_type else n for n in sorted(files)]
                desc = self.push(repo, "v1", folder, names)
                manifest = self.fetch(self.registry.ref(repo, "v1"))
                self.assertEqual(sha256(manifest), desc["digest"])
                doc = json.loads(manifest)
                self.assertEqual(doc["mediaType"], OCI_MANIFEST)
                self.assertEqual(sorted(layer["digest"] for layer in doc["layers"]),
                                 sorted(sha256(d) for d in files.values()))
                if media_type:
                    self.assertEqual({layer["mediaType"] for layer in doc["layers"]},
                                     {media_type})
                # By tag and by digest, each into an empty folder.
                for ref in (self.registry.ref(repo, "v1"),
                            self.registry.ref(repo, desc["digest"])):
                    self.assert_same_files(self.pull(ref), files)
        # A copy to another repository carries the same manifest.
        self.oras("copy", self.registry.ref("art/one", "v1"),
                  self.registry.ref("art/copied", "c1"))
        self.assertEqual(self.fetch(self.registry.ref("art/copied", "c1")),
                         self.fetch(self.registry.ref("art/one", "v1")))

    def test_artifact_type(self):
        folder = self.write_files({"sbom.json": b'{"packages":[]}\n'})
        kind = "application/vnd.example.sbom.v1+json"
        desc = self.push("art/typed", "v1", folder, ["sbom.json"], "--artifact-type", kind,
                         "--annotation", "org.example.note=kept")
        self.assertEqual(desc["artifactType"], kind)
        ref = self.registry.ref("art/typed", "v1")
        doc = json.loads(self.fetch(ref))
        self.assertEqual(doc["artifactType"], kind)
        self.assertEqual(doc["annotations"]["org.example.note"], "kept")
        # The registry's own answer names the same manifest.
        p = self.oras("manifest", "fetch", "--descriptor", ref)
        got = json.loads(p.stdout)
        self.assertEqual((got["digest"], got["size"], got["mediaType"]),
                         (desc["digest"], desc["size"], OCI_MANIFEST))
        self.assert_same_files(self.pull(ref), {"sbom.json": b'{"packages":[]}\n'})

    def discover(self, ref, kind=None):
        """The referrers oras lists for ref (of kind only, when given):
        artifact type to digest."""
        extra = ["--artifact-type", kind] if kind else []
        p = self.oras("discover", "--format", "json", *extra, ref)
        manifests = json.loads(p.stdout).get("manifests") or []
        found = {m["artifactType"]: m["digest"] for m in manifests}
        self.assertEqual(len(found), len(manifests), p.stdout)
        return found

    def test_attach_and_discover(self):
        subject_files = {"app.bin": b"the subject\n"}
        subject = self.push("art/signed", "v1", self.write_files(subject_files), ["app.bin"],
                            "--artifact-type", "application/vnd.example.app")
        ref = self.registry.ref("art/signed", "v1")
        attached = {}
        for kind, name in (("application/vnd.example.signature", "sig.txt"),
                           ("application/vnd.example.sbom", "sbom.txt")):
            folder = self.write_files({name: f"{kind} of the subject\n".encode()})
            p = self.oras("attach", "--format", "json", "--artifact-type", kind, ref, name,
                          cwd=folder)
            attached[kind] = json.loads(p.stdout)
        every = {k: d["digest"] for k, d in attached.items()}
        self.assertEqual(self.discover(ref), every)
        # A filter by type, answered by the registry or by oras.
        sig, sbom = "application/vnd.example.signature", "application/vnd.example.sbom"
        self.assertEqual(self.discover(ref, sig), {sig: every[sig]})
        self.assertEqual(self.discover(ref, "application/vnd.example.none"), {})
        # Each referrer names the subject and pulls back as attached.
        for kind, desc in attached.items():
            with self.subTest(kind=kind):
                r = self.registry.ref("art/signed", desc["digest"])
                self.assertEqual(json.loads(self.fetch(r))["subject"]["digest"],
                                 subject["digest"])
                name = "sig.txt" if kind == sig else "sbom.txt"
                self.assert_same_files(self.pull(r),
                                       {name: f"{kind} of the subject\n".encode()})
        # The subject itself is untouched.
        self.assert_same_files(self.pull(ref), subject_files)
        # A copy with its referrers: the same manifests, found the same way
        # in the other repository.
        copy = self.registry.ref("art/signed/copy", "c1")
        self.oras("copy", "-r", ref, copy)
        self.assertEqual(self.fetch(copy), self.fetch(ref))
        self.assertEqual(self.discover(copy), every)
        for kind, digest in every.items():
            with self.subTest(copied=kind):
                self.assertEqual(self.fetch(self.registry.ref("art/signed/copy", digest)),
                                 self.fetch(self.registry.ref("art/signed", digest)))
        # A deleted referrer is no longer listed; the other one and the copy
        # keep theirs.
        self.oras("manifest", "delete", "--force", self.registry.ref("art/signed", every[sig]))
        self.assertEqual(self.discover(ref), {sbom: every[sbom]})
        self.assertEqual(self.discover(ref, sig), {})
        self.assertEqual(self.discover(copy), every)
        self.assert_same_files(self.pull(ref), subject_files)

    def test_digest_algorithms(self):
        # An image whose blobs and manifest are all named by one algorithm,
        # copied by digest from an OCI layout (oras keeps the digests it
        # finds), fetched, given a referrer and copied back out.
        for algorithm in ("sha256", "sha512"):
            with self.subTest(algorithm=algorithm):
                if algorithm != "sha256":
                    missing = self.registry.sha512_missing()
                    if missing:
                        self.skipTest(missing)
                layout = oci_image.Layout(self.new_dir("layout"))
                image = oci_image.build_image(
                    layout, "img", layers=2, algorithm=algorithm,
                    seed=f"{os.path.basename(self.tmp)}/{algorithm}")
                repo = f"art/digests/{algorithm}"
                ref = self.registry.ref(repo, image["digest"])
                self.oras("copy", "--from-oci-layout", f"{layout.path}@{image['digest']}",
                          self.registry.ref(repo))
                self.assertEqual(self.fetch(ref), image["manifest"])
                status, headers, body = self.registry.request(
                    "GET", f"/v2/{repo}/manifests/{image['digest']}",
                    headers={"Accept": OCI_MANIFEST})
                self.assertEqual((status, headers.get("docker-content-digest"), body),
                                 (200, image["digest"], image["manifest"]))
                blobs = {image["config_digest"]: image["config"], **image["layer_blobs"]}
                for digest, data in blobs.items():
                    out = os.path.join(self.new_dir("blob"), "blob")
                    self.oras("blob", "fetch", "--output", out, self.registry.ref(repo, digest))
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), data, digest)
                # The referrers of a subject named by this algorithm.
                kind = "application/vnd.example.signature"
                folder = self.write_files({"sig.txt": b"signed\n"})
                p = self.oras("attach", "--format", "json", "--artifact-type", kind, ref,
                              "sig.txt", cwd=folder)
                self.assertEqual(self.discover(ref), {kind: json.loads(p.stdout)["digest"]})
                back = self.new_dir("layout")
                self.oras("copy", "--to-oci-layout", ref, f"{back}:back")
                copied = oci_image.Layout(back)
                self.assertEqual(copied.resolve("back")["digest"], image["digest"])
                for digest, data in {image["digest"]: image["manifest"], **blobs}.items():
                    self.assertEqual(copied.read_blob(digest), data, digest)

    def test_tags_fetch_delete(self):
        folder = self.write_files({"f.txt": b"tagged\n"})
        desc = self.push("art/tags", "v1,v2,latest", folder, ["f.txt"])
        self.oras("tag", self.registry.ref("art/tags", "v1"), "extra")
        other = self.push("art/tags", "other", self.write_files({"g.txt": b"other\n"}),
                          ["g.txt"])

        def tags():
            return self.oras("repo", "tags", self.registry.ref("art/tags")).stdout.split()

        self.assertEqual(sorted(tags()), ["extra", "latest", "other", "v1", "v2"])
        self.assertIn("art/tags", self.oras("repo", "ls", self.registry.host).stdout.split())
        for tag in ("v1", "extra"):
            self.assertEqual(sha256(self.fetch(self.registry.ref("art/tags", tag))),
                             desc["digest"])
        # Deleting by digest takes the manifest and every tag naming it.
        self.oras("manifest", "delete", "--force", self.registry.ref("art/tags", desc["digest"]))
        self.assertEqual(tags(), ["other"])
        for ref in (self.registry.ref("art/tags", "v2"),
                    self.registry.ref("art/tags", desc["digest"])):
            with self.subTest(gone=ref):
                self.assert_failed_with(self.oras("manifest", "fetch", ref, ok=False),
                                        "not found")
        # Deleting by tag (oras resolves it to the digest first).
        self.oras("manifest", "delete", "--force", self.registry.ref("art/tags", "other"))
        self.assertEqual(tags(), [])
        self.assert_failed_with(
            self.oras("manifest", "fetch", self.registry.ref("art/tags", other["digest"]),
                      ok=False), "not found")

    def test_login(self):
        files = {"private.txt": b"only for alice\n"}
        folder = self.write_files(files)
        ref = self.registry.ref("art/private", "v1")
        self.registry.set_auth()
        try:
            logins = self.new_logins()
            self.assert_failed_with(self.push("art/private", "v1", folder, ["private.txt"],
                                              ok=False, logins=logins), *NO_LOGIN)
            for user, password in ((harness.USER, "wrong"), ("bob", harness.PASSWORD)):
                with self.subTest(user=user, password=password):
                    self.assert_failed_with(self.login("oras", logins, user, password, ok=False),
                                            *REFUSED)
                    self.assertEqual(logins.hosts(), set())
            self.login("oras", logins)
            self.assertEqual(logins.hosts(), {self.registry.host})
            desc = self.push("art/private", "v1", folder, ["private.txt"], logins=logins)
            self.assert_same_files(self.pull(ref, logins=logins), files)
            status, _, body = self.registry.request(
                "GET", "/v2/art/private/manifests/v1", headers={"Accept": OCI_MANIFEST},
                auth=(harness.USER, harness.PASSWORD))
            self.assertEqual((status, sha256(body)), (200, desc["digest"]))
            self.logout("oras", logins)
            self.assertEqual(logins.hosts(), set())
            self.assert_failed_with(self.pull(ref, ok=False, logins=logins), *NO_LOGIN)
        finally:
            self.registry.clear_auth()


if __name__ == "__main__":
    harness.require_programs()
    unittest.main(verbosity=2)
