#!/usr/bin/env python3
"""skopeo, podman, docker and oras against the registry's access control,
behind a real lighttpd: a team of three users with rules per repository,
bearer tokens fetched by each client, refusals each client shows readably,
an anonymous pull of a public repository, the catalog filtered per user,
and tokens that run out in the middle of a slow pull.
ENDPOINTS_DIR names the folder of built programs."""
import contextlib
import json
import os
import shutil
import stat
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import oci_image  # noqa: E402
import docker_test  # noqa: E402
import podman_test  # noqa: E402

CLIENTS = ("skopeo", "podman", "docker", "oras")
PASSWORDS = {"alice": "alice-secret", "bob": "bob-secret", "carol": "carol-secret"}
RULES = [
    {"repositories": ["public/**"], "users": ["alice"], "actions": ["*"]},
    {"repositories": ["public/**"], "users": ["anonymous", "*"], "actions": ["pull"]},
    {"repositories": ["team/**"], "users": ["alice", "bob"], "actions": ["push", "delete"]},
    {"repositories": ["team/**"], "users": ["carol"], "actions": ["pull"]},
    # Somewhere carol may not look, for the catalog.
    {"repositories": ["bob/**"], "users": ["bob"], "actions": ["*"]},
]
SETTINGS = {"registry_access": RULES, "registry_admins": ["alice"]}
WRONG_PASSWORD = ("unauthorized", "401", "authentication required",
                  "invalid username/password")
DENIED = ("denied", "403")
# Without credentials a client gets a token for nothing and then the 401.
NO_RIGHT = ("unauthorized", "401", "authentication required", "denied",
            "basic credential not found", "no basic auth credentials")

# The slow path for the expiry case: every blob GET answers only after a
# pause, one at a time, as over a slow shared link. The pause comes after
# the program has checked the token, so a token valid when sent is never
# refused for the pause.
# The shortest lifetime the registry allows: skopeo, podman (one library)
# and docker take any token as good for 60 s whatever expires_in says, as
# the token protocol tells servers never to issue one for less. skopeo
# fetches a new token when that time is up; one client of that kind keeps
# the pull that outlasts its token affordable.
LIFETIME = 60
MID_PULL_CLIENTS = ("skopeo",)
SLOW_LAYERS = 20
SLOW_PAUSE = 3.3
SLOW_BLOBS = """#!/bin/sh
if [ "$REQUEST_METHOD" != GET ]; then exec "$0.real"; fi
out=$(mktemp) || exit 1
"$0.real" > "$out"
rc=$?
flock "$0.lock" sleep {pause}
cat "$out"
rm -f "$out"
exit $rc
"""


def log_entries(lines):
    """The JSON part of the programs' access-log lines."""
    entries = []
    for line in lines:
        start = line.find("{")
        if start >= 0:
            try:
                entries.append(json.loads(line[start:]))
            except ValueError:
                pass
    return entries


class Access(harness.ClientCase):
    docker_skip = None
    daemon = None

    @classmethod
    def setUpClass(cls):
        for tool in ("skopeo", "podman", "oras", "flock"):
            harness.require_tool(tool)
        cls.client = (docker_test.PACKAGED_CLIENT
                      if os.access(docker_test.PACKAGED_CLIENT, os.X_OK)
                      else shutil.which("docker"))
        cls.dockerd = shutil.which("dockerd")
        super().setUpClass()

    # podman's private storage and the engine of the docker test, shared.
    podman_cmd = podman_test.Podman.__dict__["podman_cmd"]
    podman_env = podman_test.Podman.__dict__["podman_env"]
    stop_daemon = docker_test.Docker.__dict__["stop_daemon"]

    @classmethod
    def prepare(cls):
        podman_test.Podman.prepare.__func__(cls)
        if cls.client and cls.dockerd:
            try:
                docker_test.Docker.start_daemon.__func__(cls)
            except unittest.SkipTest as e:
                cls.docker_skip = str(e)
        else:
            cls.docker_skip = "docker or dockerd is not installed"
        cls.layout = oci_image.Layout(os.path.join(cls.tmp, "access-images"))
        cls.run_id = os.path.basename(cls.tmp)
        cls.count = 0
        # No root made beforehand: the first login lays out the store.
        cls.registry.set_users(PASSWORDS, **SETTINGS)
        cls.sessions = {}

    @classmethod
    def tearDownClass(cls):
        try:
            cls.stop_daemon()
        finally:
            super().tearDownClass()

    @classmethod
    def client_env(cls, auth_file=None):
        env = super().client_env(auth_file)
        if getattr(cls, "sock", None):
            env["DOCKER_HOST"] = "unix://" + cls.sock
        return env

    def client_command(self, client, logins):
        if client == "podman":
            return self.podman_cmd(), logins.env(self.podman_env(logins.auth_file))
        start, env = super().client_command(client, logins)
        return ([self.client] if client == "docker" else start), env

    def skip_unusable(self, client):
        if client == "docker" and self.docker_skip:
            self.skipTest(self.docker_skip)

    # --- logins and content

    def session(self, client, user):
        """client's logins as user, made once (None: anonymous, never
        logged in)."""
        key = (client, user)
        if key not in self.sessions:
            logins = self.new_logins()
            if user:
                self.login(client, logins, user, PASSWORDS[user])
            type(self).sessions[key] = logins
        return self.sessions[key]

    def new_dir(self, kind):
        type(self).count += 1
        return os.path.join(self.tmp, f"{kind}-{self.count}")

    def content(self, client, name, layers=2, layer_size=2048):
        """Something new for client to push: an image in the layout (and, for
        docker, its archive) or, for oras, a folder of files."""
        seed = f"{self.run_id}/{client}/{name}"
        if client == "oras":
            folder = self.new_dir("files")
            os.makedirs(folder)
            files = {f"part{n:02}.bin": f"{seed} part {n}\n".encode() * (layer_size // 64 + 1)
                     for n in range(layers)}
            for fname, data in files.items():
                with open(os.path.join(folder, fname), "wb") as f:
                    f.write(data)
            return {"folder": folder, "files": files}
        tag = f"{client}-{name}"
        image = oci_image.build_image(self.layout, tag, layers=layers, seed=seed,
                                      layer_size=layer_size)
        image["tag"] = tag
        if client == "docker":
            image["archive"] = oci_image.docker_archive(
                image, self.new_dir("archive") + ".tar", [f"local/{tag}:1"])
            image["local"] = f"local/{tag}:1"
        return image

    # --- each client's push and pull

    def run_as(self, client, user, args, ok=True, cwd=None):
        start, env = self.client_command(client, self.session(client, user))
        return self.run_client([*start, *args], ok=ok, env=env, cwd=cwd)

    def skopeo_args(self):
        return ["--policy", self.policy, "--registries.d",
                os.path.join(self.conf, "registries.d"), "--tmpdir",
                os.path.join(self.tmp, "tmp"), "--command-timeout", "150s"]

    def local(self, client, user, args, ok=True):
        """A command on the client's own store, which needs no login."""
        return self.run_as(client, user, args, ok=ok)

    def push(self, client, user, content, repo, tag, ok=True):
        ref = self.registry.ref(repo, tag)
        if client == "skopeo":
            return self.run_as(client, user, [
                *self.skopeo_args(), "copy", "--dest-tls-verify=false",
                f"oci:{self.layout.path}:{content['tag']}", "docker://" + ref], ok=ok)
        if client == "podman":
            p = self.local(client, user, ["pull", "-q", "--signature-policy", self.policy,
                                          f"oci:{self.layout.path}:{content['tag']}"])
            local_id = p.stdout.strip().splitlines()[-1]
            return self.run_as(client, user, ["push", "--tls-verify=false", local_id, ref],
                               ok=ok)
        if client == "docker":
            self.local(client, user, ["load", "-i", content["archive"]])
            self.local(client, user, ["tag", content["local"], ref])
            return self.run_as(client, user, ["push", ref], ok=ok)
        names = sorted(content["files"])
        # oras 1.2.0 may panic (sync/atomic: compare and swap of
        # inconsistently typed value) when parallel uploads are refused
        # together, instead of showing the refusal: one at a time there.
        one = [] if ok else ["--concurrency", "1"]
        return self.run_as(client, user, ["push", "--plain-http", "--registry-config",
                                          self.session(client, user).registry_config,
                                          *one, ref, *names], ok=ok, cwd=content["folder"])

    def forget(self, client):
        """Empties podman's or docker's own store, so a pull fetches all."""
        if client == "podman":
            self.local(client, None, ["rmi", "--all", "--force"])
        elif client == "docker":
            ids = self.local(client, None, ["images", "-aq"]).stdout.split()
            if ids:
                self.local(client, None, ["rmi", "-f", *sorted(set(ids))])

    def pull(self, client, user, repo, tag, ok=True):
        """Pulls repo:tag as user (None: anonymous); the process and where
        the content went."""
        ref = self.registry.ref(repo, tag)
        self.forget(client)
        if client == "skopeo":
            out = self.new_dir("pulled")
            return self.run_as(client, user, [
                *self.skopeo_args(), "copy", "--src-tls-verify=false", "docker://" + ref,
                f"oci:{out}:pulled"], ok=ok), out
        if client == "podman":
            return self.run_as(client, user, ["pull", "-q", "--tls-verify=false",
                                              "--signature-policy", self.policy, ref],
                               ok=ok), ref
        if client == "docker":
            return self.run_as(client, user, ["pull", ref], ok=ok), ref
        out = self.new_dir("pulled")
        return self.run_as(client, user, ["pull", "--plain-http", "--registry-config",
                                          self.session(client, user).registry_config,
                                          "-o", out, ref], ok=ok), out

    def assert_same(self, client, content, where):
        """What was pulled (where) is content, byte for byte where the
        client keeps bytes, by config and layer digests where it unpacks."""
        if client == "skopeo":
            pulled = oci_image.Layout(where)
            desc = pulled.resolve("pulled")
            self.assertEqual(desc["digest"], content["digest"])
            for digest, data in content["layer_blobs"].items():
                self.assertEqual(pulled.read_blob(digest), data)
        elif client == "podman":
            info = json.loads(self.local(client, None, ["image", "inspect", where]).stdout)[0]
            self.assertEqual("sha256:" + info["Id"], content["config_digest"])
            self.assertEqual(info["RootFS"]["Layers"], content["diff_ids"])
        elif client == "docker":
            info = json.loads(self.local(client, None, ["image", "inspect", where]).stdout)[0]
            self.assertEqual(info["Id"], content["config_digest"])
            self.assertEqual(info["RootFS"]["Layers"], content["diff_ids"])
        else:
            self.assertEqual(sorted(os.listdir(where)), sorted(content["files"]))
            for name, data in content["files"].items():
                with open(os.path.join(where, name), "rb") as f:
                    self.assertEqual(f.read(), data, name)

    # --- tests

    def test_team_push_pull_and_refusals(self):
        for client in CLIENTS:
            with self.subTest(client=client):
                self.skip_unusable(client)
                repo = f"team/{client}/app"
                # A wrong password is refused, and no login is kept.
                logins = self.new_logins()
                self.assert_failed_with(self.login(client, logins, "alice", "wrong", ok=False),
                                        *WRONG_PASSWORD)
                self.assertEqual(logins.hosts(), set())
                mark = self.registry.log_mark()
                image = self.content(client, "team")
                self.push(client, "bob", image, repo, "v1")
                p, where = self.pull(client, "bob", repo, "v1")
                self.assert_same(client, image, where)
                # carol reads the team's work and may not change it.
                p, where = self.pull(client, "carol", repo, "v1")
                self.assert_same(client, image, where)
                own = self.content(client, "carol")
                self.assert_failed_with(self.push(client, "carol", own, repo, "carol", ok=False),
                                        *DENIED)
                # Nor may a client without credentials read it.
                p, _ = self.pull(client, None, repo, "v1", ok=False)
                self.assert_failed_with(p, *NO_RIGHT)
                entries = log_entries(self.registry.requests_since(mark))
                actors = {e.get("actor") for e in entries}
                self.assertTrue({"bob", "carol", "anonymous"} <= actors, actors)
                refused = [e for e in entries if e.get("status") == 403]
                self.assertTrue(refused, "no 403 in the access log")
                self.assertEqual({e.get("actor") for e in refused}, {"carol"})
                self.assertTrue(all(repo in e.get("path", "") for e in refused), refused)
                # None of carol's writes went through.
                self.assertFalse([e for e in entries if e.get("actor") == "carol" and
                                  e.get("method") in ("PUT", "PATCH", "POST", "DELETE") and
                                  e.get("status", 500) < 300])

    def test_public_pull_without_login(self):
        for client in CLIENTS:
            with self.subTest(client=client):
                self.skip_unusable(client)
                repo = f"public/{client}/tool"
                tool = self.content(client, "public")
                self.push(client, "alice", tool, repo, "1.0")
                p, where = self.pull(client, None, repo, "1.0")
                self.assert_same(client, tool, where)
                # Signed in, carol reads it as well.
                p, where = self.pull(client, "carol", repo, "1.0")
                self.assert_same(client, tool, where)

    def test_catalog_per_user(self):
        # Something of each kind, whichever test ran first.
        status, _, _ = self.registry.request("GET", "/v2/", auth=("bob", PASSWORDS["bob"]))
        self.assertEqual(status, 200)
        for repo, user in (("bob/private", "bob"), ("team/catalog/app", "bob"),
                           ("public/catalog/tool", "alice")):
            self.push("skopeo", user, self.content("skopeo", repo.replace("/", "-")), repo, "v1")

        def catalog(auth):
            status, _, body = self.registry.request("GET", "/v2/_catalog?n=1000", auth=auth)
            self.assertEqual(status, 200, body[:300])
            return set(json.loads(body)["repositories"])

        everything = catalog(("alice", PASSWORDS["alice"]))  # an admin
        self.assertIn("bob/private", everything)
        mine = {r for r in everything if r.startswith(("team/", "public/"))}
        self.assertEqual(catalog(("carol", PASSWORDS["carol"])), mine)
        # oras lists through a token, as carol.
        p = self.run_as("oras", "carol", ["repo", "ls", "--plain-http", "--registry-config",
                                          self.session("oras", "carol").registry_config,
                                          self.registry.host])
        self.assertEqual(set(p.stdout.split()), mine)

    def test_tokens_expire(self):
        # With tokens of LIFETIME seconds: a command after a token ran out
        # fetches a new one; a pull outlasting its token works in the
        # clients of MID_PULL_CLIENTS.
        clients = [c for c in CLIENTS if not (c == "docker" and self.docker_skip)]
        images = {c: self.content(c, "slow", layers=SLOW_LAYERS, layer_size=512)
                  for c in clients}
        for client, image in images.items():
            self.push(client, "bob", image, f"team/{client}/slow", "v1")
        self.registry.set_users(PASSWORDS, registry_token_lifetime_seconds=LIFETIME, **SETTINGS)
        try:
            first = {}
            for client in clients:
                mark = self.registry.log_mark()
                self.pull(client, "carol", f"team/{client}/slow", "v1")
                first[client] = self.tokens_since(mark)
            time.sleep(LIFETIME + 1)
            for client in clients:
                with self.subTest(client=client, pull="after the token ran out"):
                    mark = self.registry.log_mark()
                    p, where = self.pull(client, "carol", f"team/{client}/slow", "v1")
                    self.assert_same(client, images[client], where)
                    self.assertTrue(first[client])
                    self.assertTrue(self.tokens_since(mark))
            with self.slow_blobs():
                for client in MID_PULL_CLIENTS:
                    with self.subTest(client=client, pull="outlasting its token"):
                        self.skip_unusable(client)
                        mark = self.registry.log_mark()
                        began = time.monotonic()
                        p, where = self.pull(client, "carol", f"team/{client}/slow", "v1")
                        took = time.monotonic() - began
                        self.assert_same(client, images[client], where)
                        self.assertGreater(took, LIFETIME + 1)
                        tokens = self.tokens_since(mark)
                        self.assertGreaterEqual(len(tokens), 2, f"pull took {took:.1f} s")
                        # Every token was carol's.
                        self.assertEqual({e.get("actor") for e in tokens}, {"carol"})
        finally:
            self.registry.set_users(PASSWORDS, **SETTINGS)

    def tokens_since(self, mark):
        """The token requests answered 200 after mark."""
        return [e for e in log_entries(self.registry.requests_since(mark))
                if e.get("path", "").startswith("/token") and e.get("status") == 200]

    @contextlib.contextmanager
    def slow_blobs(self):
        """v2_blobs behind SLOW_BLOBS while the block runs."""
        blobs = os.path.join(self.registry.cgi, "v2_blobs")
        os.replace(blobs, blobs + ".real")
        try:
            with open(blobs + ".new", "w") as f:
                f.write(SLOW_BLOBS.format(pause=SLOW_PAUSE))
            os.chmod(blobs + ".new", stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP |
                     stat.S_IROTH | stat.S_IXOTH)
            os.replace(blobs + ".new", blobs)
            yield
        finally:
            os.replace(blobs + ".real", blobs)

if __name__ == "__main__":
    harness.require_programs()
    unittest.main(verbosity=2)
