#!/usr/bin/env python3
"""Hostile requests through a real lighttpd: no request reaches a file
outside the storage root (decoy repositories and canary files lie next to
it and above it, and must never be read, written or listed); with
authentication on, every URL and method answers 401 with the challenge;
bearer tokens forged or stretched, scopes reaching for more and settings
with errors are refused and change nothing; huge header values and query strings are refused or read only
up to a bound. The time of a wrong password and of a wrong user is
measured and printed, never asserted. ENDPOINTS_DIR names the folder of
built programs."""
import base64
import hashlib
import os
import shutil
import socket
import statistics
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from registry_web_test import OCI_MANIFEST, RegistryCase, digest  # noqa: E402

CANARY = b"CANARY-5f0c1d: this file lies outside the storage root"
DECOY_BODY_MARK = "decoy-outside-the-root"


def basic(user, password):
    return {"Authorization": "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()}


class OutsideTheRoot(RegistryCase):
    """A repository pushed, then moved out of the store to two places a
    traversal would reach (next to the root, and above the serve
    directory's program folder), plus canary files beside them."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        self = cls("run_nothing")
        doc = self.image("decoy/app", "decoy", {"annotations": {"mark": DECOY_BODY_MARK}})
        cls.decoy_body, _ = self.push_manifest("decoy/app", "v1", doc)
        repos = os.path.join(cls.server.root, "repositories")
        cgi = os.path.dirname(cls.server.root)
        serve = os.path.dirname(cgi)
        # root/repositories/NAME: "../../outside" is cgi/outside,
        # "../../../outside" serve/outside.
        cls.outside = [os.path.join(cgi, "outside"), os.path.join(serve, "outside")]
        for place in cls.outside:
            shutil.copytree(os.path.join(repos, "decoy", "app"), place)
        shutil.rmtree(os.path.join(repos, "decoy"))
        cls.canaries = [os.path.join(cgi, "canary.txt"), os.path.join(serve, "canary.txt"),
                        cls.server.root + "_canary.txt"]
        for path in cls.canaries:
            with open(path, "wb") as f:
                f.write(CANARY)

    def run_nothing(self):
        pass

    def outside_state(self):
        """Every file and directory outside the root that a request could
        touch, with contents and modification times."""
        out = {}
        for place in self.outside:
            for dirpath, dirnames, filenames in os.walk(place):
                for name in dirnames + filenames:
                    p = os.path.join(dirpath, name)
                    st = os.stat(p)
                    content = None
                    if os.path.isfile(p):
                        with open(p, "rb") as f:
                            content = f.read()
                    out[p] = (st.st_mtime_ns, content)
        for path in self.canaries:
            st = os.stat(path)
            with open(path, "rb") as f:
                out[path] = (st.st_mtime_ns, f.read())
        cgi = os.path.dirname(self.server.root)
        out["cgi entries"] = sorted(n for n in os.listdir(cgi) if n != "config.json")
        out["serve entries"] = sorted(os.listdir(os.path.dirname(cgi)))
        return out

    def assert_nothing_leaked(self, r, what):
        self.assertLess(r.status, 500, f"{what}: {r.status} {r.body[:200]}")
        self.assertNotIn(CANARY, r.body, what)
        self.assertNotIn(DECOY_BODY_MARK.encode(), r.body, what)

    def traversal_names(self):
        """Repository-name spellings that would lead out of the store if
        anything decoded or resolved them."""
        seps = ("/", "%2f", "%2F", "%252f", "\\", "%5c", "%5C", "%255c")
        dots = ("..", "%2e%2e", "%2E%2E", ".%2e", "%252e%252e", "%c0%ae%c0%ae", "..;", "....")
        names = []
        for ups in (2, 3):  # cgi/outside and serve/outside
            names += [sep.join([".."] * ups) + sep + "outside" for sep in seps]
            for sep in ("/", "%2f"):
                names += [sep.join([d] * ups) + sep + "outside" for d in dots[1:]]
        names += ["outside/../../outside", "a/..%00/outside", "%2e%2e%2f%2e%2e%2foutside",
                  "..%255c..%255coutside", "OUTSIDE/../../../outside"]
        return names

    def test_no_request_reads_a_file_outside_the_root(self):
        before = self.outside_state()
        stored = self.tree()
        body_digest = digest(self.decoy_body)
        for name in self.traversal_names():
            for path in (f"/v2/{name}/manifests/v1", f"/v2/{name}/manifests/{body_digest}",
                         f"/v2/{name}/tags/list", f"/v2/{name}/referrers/{body_digest}",
                         f"/v2/decoy/app/manifests/{name.replace('outside', 'v1')}",
                         f"/v2/decoy/app/blobs/{name}", f"/v2/_catalog?last={name}"):
                with self.subTest(path=path):
                    for method in ("GET", "HEAD"):
                        r = self.request(method, path, raw_path=True)
                        if "_catalog" not in path:
                            self.assertNotEqual(r.status, 200, path)
                        self.assert_nothing_leaked(r, f"{method} {path}")
        r = self.request("GET", "/v2/_catalog")
        self.assertEqual(r.status, 200)
        self.assertFalse([n for n in r.json()["repositories"] if "decoy" in n or "outside" in n])
        self.assertEqual(self.outside_state(), before)
        self.assertEqual(self.tree(), stored)

    def test_no_request_writes_or_removes_outside_the_root(self):
        before = self.outside_state()
        stored = self.tree()
        body, _ = self.push_manifest("inside/app", "v1", self.image("inside/app", "inside"))
        stored = self.tree()
        d = digest(body)
        for name in self.traversal_names()[::3]:
            for method, path, req in (
                    ("PUT", f"/v2/{name}/manifests/v1", body),
                    ("DELETE", f"/v2/{name}/manifests/v1", None),
                    ("DELETE", f"/v2/{name}/manifests/{digest(self.decoy_body)}", None),
                    ("POST", f"/v2/{name}/blobs/uploads/", b""),
                    ("POST", f"/v2/{name}/blobs/uploads/?digest={digest(b'x')}", b"x"),
                    ("PATCH", f"/v2/inside/app/blobs/uploads/{name}", b"x"),
                    ("PUT", f"/v2/inside/app/blobs/uploads/{name}?digest={d}", b""),
                    ("DELETE", f"/v2/inside/app/blobs/uploads/{name}", None),
                    ("PUT", f"/v2/inside/app/manifests/{name.replace('outside', 'v9')}", body)):
                with self.subTest(method=method, path=path):
                    r = self.request(method, path, body=req, raw_path=True,
                                     headers={"Content-Type": OCI_MANIFEST} if "manifests" in path else {})
                    self.assertIn(r.status, (400, 404, 405, 414), r.body[:200])
                    self.assert_nothing_leaked(r, f"{method} {path}")
        self.assertEqual(self.outside_state(), before)
        self.assertEqual(self.tree(), stored)

    def test_device_names_long_paths_and_mixed_case(self):
        """Names Windows would open as devices or alias (refused on every
        system, so a store moves between them unchanged), paths past every
        buffer, and case variants of the API's own words."""
        body, _ = self.push_manifest("dev/app", "v1", self.image("dev/app", "dev"))
        stored = self.tree()
        before = self.outside_state()
        M = "/manifests/v1"
        long_ok = "/".join(["a"] * 128)  # 255 bytes: the longest name there is
        cases = [
            ("PUT", "/v2/con" + M, 400, "NAME_INVALID"),
            ("PUT", "/v2/dev/NUL" + M, 400, "NAME_INVALID"),
            ("PUT", "/v2/Aux/app" + M, 400, "NAME_INVALID"),
            ("PUT", "/v2/dev/com1" + M, 400, "NAME_INVALID"),
            ("PUT", "/v2/dev/LPT9.txt" + M, 400, "NAME_INVALID"),
            ("PUT", "/v2/dev/prn" + M, 400, "NAME_INVALID"),
            ("PUT", "/v2/dev./app" + M, 400, "NAME_INVALID"),
            ("PUT", "/v2/dev/app./x" + M, 400, "NAME_INVALID"),
            ("PUT", "/v2/dev%20/app" + M, 400, "NAME_INVALID"),
            ("PUT", "/v2/dev/app/manifests/nul", 400, "TAG_INVALID"),
            ("PUT", "/v2/dev/app/manifests/CON", 400, "TAG_INVALID"),
            ("PUT", "/v2/dev/app/manifests/v1.", 400, "TAG_INVALID"),
            ("PUT", "/v2/dev/app/manifests/v1%20", 400, "TAG_INVALID"),
            ("PUT", "/v2/" + long_ok + "/b" + M, 400, "NAME_INVALID"),
            ("GET", "/v2/" + "a" * 4000 + M, 400, "NAME_INVALID"),
            ("GET", "/v2/dev/app/manifests/" + "t" * 4000, 400, "TAG_INVALID"),
            ("GET", "/v2/dev/app/blobs/sha256:" + "a" * 4000, 400, "DIGEST_INVALID"),
            ("GET", "/V2/dev/app" + M, 404, None),
            ("GET", "/v2/dev/app/Manifests/v1", 404, "UNSUPPORTED"),
            ("GET", "/v2/DEV/APP" + M, 404, ("NAME_UNKNOWN", "MANIFEST_UNKNOWN")),
        ]
        for method, path, status, code in cases:
            with self.subTest(method=method, path=path[:80]):
                r = self.request(method, path, body=body if method == "PUT" else None,
                                 headers={"Content-Type": OCI_MANIFEST}, raw_path=True)
                self.assertEqual(r.status, status, r.body[:200])
                if isinstance(code, tuple):
                    self.assertIn(r.code(), code)
                elif code:
                    self.assertEqual(r.code(), code)
                self.assert_nothing_leaked(r, path[:80])
        # A path far past lighttpd's limit is refused by the server itself.
        r = self.request("GET", "/v2/" + "a/" * 40000 + "b" + M, raw_path=True)
        self.assertIn(r.status, (400, 414, 431))
        self.assertEqual(self.tree(), stored)
        self.assertEqual(self.outside_state(), before)
        # The longest name is still a name.
        self.push_manifest(long_ok, "v1", self.image(long_ok, "long"))
        self.assertEqual(self.request("GET", f"/v2/{long_ok}{M}").status, 200)


class AuthenticationEverywhere(RegistryCase):
    PASSWORD = "correct horse"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        self = cls("run_nothing")
        body, _ = self.push_manifest("guarded/app", "v1", self.image("guarded/app", "g"))
        cls.manifest_digest = digest(body)
        cls.blob = digest(b"layer of g")
        cls.upload = self.start_upload("guarded/app")
        cls.server.set_config('{"registry_auth_user":"alice","registry_auth_sha256":"%s"}'
                              % hashlib.sha256(cls.PASSWORD.encode()).hexdigest())

    def run_nothing(self):
        pass

    def urls(self):
        d, b, up = self.manifest_digest, self.blob, self.upload
        return ["/v2/", "/v2", "/v2/_catalog", "/v2/guarded/app/tags/list",
                "/v2/guarded/app/manifests/v1", f"/v2/guarded/app/manifests/{d}",
                f"/v2/guarded/app/blobs/{b}", "/v2/guarded/app/blobs/uploads/", up,
                f"{up}?digest={b}", f"/v2/guarded/app/referrers/{d}",
                f"/v2/guarded/app/referrers/{d}?artifactType=x%2Fy", "/v2/no/such/url",
                "/v2/_catalog?n=1&last=a", "/status", "/status?format=json"]

    def test_every_url_and_method_answers_401_with_the_challenge(self):
        stored = self.tree()
        wrong = [{}, basic("alice", "wrong"), basic("mallory", self.PASSWORD),
                 basic("ALICE", self.PASSWORD), {"Authorization": "Basic"},
                 {"Authorization": "Bearer abc"}, {"Authorization": "Basic !!!"}]
        methods = ["GET", "HEAD", "OPTIONS", "POST", "PUT", "PATCH", "DELETE"]
        for url in self.urls():
            for method in methods:
                for creds in (wrong if method in ("GET", "PUT") else wrong[:2]):
                    with self.subTest(method=method, url=url, creds=creds):
                        body = b"x" if method in ("POST", "PUT", "PATCH") else None
                        r = self.request(method, url, body=body, headers=creds, raw_path=True)
                        self.assertEqual(r.status, 401, r.body[:200])
                        # Browsers answer Basic (the status page); clients
                        # fetch a token. Nothing of the request in either.
                        if url.startswith("/status"):
                            self.assertEqual(r.header("WWW-Authenticate"),
                                             'Basic realm="Vornhalt Registry"')
                        else:
                            self.assertRegex(r.header("WWW-Authenticate"),
                                             r'^Bearer realm="http://127\.0\.0\.1:\d+/token",'
                                             r'service="registry"(,scope="repository:guarded/app:'
                                             r'[a-z,]+")?(,error="invalid_token")?$')
        self.assertEqual(self.tree(), stored)
        # The right credentials open the same URLs.
        r = self.request("GET", "/v2/guarded/app/manifests/v1",
                         headers=basic("alice", self.PASSWORD))
        self.assertEqual(r.status, 200)
        self.assertEqual(self.request("GET", "/status", headers=basic("alice", self.PASSWORD)).status, 200)

    def test_wrong_password_and_wrong_user_take_the_same_time(self):
        """Measured and printed only: timing on a shared machine is noise."""
        # One request of each in turn, so drift in the machine's load hits
        # both alike.
        wrong = {"wrong password": basic("alice", "wrong password"),
                 "wrong user": basic("mallory", "wrong password")}
        times = {k: [] for k in wrong}
        for _ in range(120):
            for what, creds in wrong.items():
                t = time.perf_counter()
                r = self.request("GET", "/v2/", headers=creds)
                times[what].append((time.perf_counter() - t) * 1000)
                self.assertEqual(r.status, 401)
        print("\ntiming: medians of 120 requests each, interleaved: " +
              ", ".join(f"{k} {statistics.median(v):.2f} ms" for k, v in times.items()),
              file=sys.stderr)


class HugeHeadersAndQueries(RegistryCase):
    def raw(self, head, body=b""):
        """Sends head (a request without its final blank line) and returns
        the status line, reading only the answer."""
        s = socket.create_connection(("127.0.0.1", self.server.port), timeout=30)
        try:
            s.sendall(head + b"\r\n" + body)
        except OSError:
            pass  # the server may close before reading everything: fine
        data = b""
        try:
            while b"\r\n" not in data:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
        except OSError:
            pass
        s.close()
        return int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/") else None

    def test_the_server_refuses_headers_past_its_limit(self):
        stored = self.tree()
        big = b"x" * (1024 * 1024)
        for head in (b"GET /v2/ HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " + big + b"\r\n",
                     b"GET /v2/_catalog?last=" + big + b" HTTP/1.1\r\nHost: x\r\n",
                     b"GET /v2/ HTTP/1.1\r\nHost: x\r\n" + b"X-Pad: y\r\n" * 20000,
                     b"GET /v2/a/blobs/" + digest(b"x").encode() + b" HTTP/1.1\r\nHost: x\r\nRange: bytes=" + big + b"\r\n"):
            with self.subTest(head=head[:40]):
                self.assertIn(self.raw(head), (400, 413, 414, 431))
        self.assertEqual(self.tree(), stored)

    def test_the_programs_bound_what_passes_the_server(self):
        """Values just under the server's limit reach the programs, which
        read each only up to a fixed buffer: answers are refusals or normal
        pages, never a failure."""
        body, _ = self.push_manifest("big/app", "v1", self.image("big/app", "big"))
        blob = digest(b"layer of big")
        stored = self.tree()
        v = "7" * 6000
        cases = [
            ("GET", f"/v2/_catalog?n={v}", {}, 200),
            ("GET", f"/v2/_catalog?last={'z' * 6000}", {}, 200),
            ("GET", f"/v2/big/app/tags/list?n=1&last={'a' * 6000}", {}, 200),
            ("GET", f"/v2/big/app/referrers/{digest(body)}?artifactType={'t' * 6000}", {}, 400),
            ("POST", f"/v2/big/app/blobs/uploads/?mount={'a' * 3000}&from={'b' * 3000}", {}, 202),
            ("POST", f"/v2/big/app/blobs/uploads/?digest=sha256:{'a' * 6000}", {}, 400),
            ("GET", f"/v2/big/app/blobs/{blob}", {"Range": "bytes=" + v + "-"}, 200),
            ("GET", f"/v2/big/app/blobs/{blob}", {"Range": "bytes=0-" + v}, 200),
            ("PUT", "/v2/big/app/manifests/v2", {"Content-Type": "a/" + "b" * 6000}, 400),
        ]
        for method, path, headers, status in cases:
            with self.subTest(method=method, path=path[:60], headers=str(headers)[:40]):
                req = {"PUT": body, "POST": b""}.get(method)
                r = self.request(method, path, body=req, headers=headers, raw_path=True)
                self.assertEqual(r.status, status, r.body[:200])
        # With authentication on, a long Authorization value is one more refusal.
        self.server.set_config('{"registry_auth_user":"alice","registry_auth_sha256":"%s"}'
                               % hashlib.sha256(b"pw").hexdigest())
        try:
            long_user = basic("a" * 3000, "pw")
            for creds in (long_user, {"Authorization": "Basic " + "QUFB" * 1500}):
                r = self.request("GET", "/v2/", headers=creds)
                self.assertEqual(r.status, 401)
        finally:
            self.server.set_config(None)
        uploads = [k for k in self.tree() if k.endswith(".part") and k not in stored]
        self.assertEqual(len(uploads), 1, uploads)  # the mount that fell back to an upload


# bcrypt entries as htpasswd -B -C 4 writes them; the password is NAME-pw.
USERS = """alice:$2y$04$kZFHIqCv7AZg0no4HXW/4ukFfERbjwHN9qa7G.obfsdQwGAMwxyWy
this line is broken
bob:$apr1$xyz$notbcrypt
carol:$2y$04$RpYMPSIn0Hf9l7vbwQ7LwuD2Flk/NTbbhXaM6pSYw/HqparsF5QYy
"""


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class TokensAndSettings(RegistryCase):
    """Bearer tokens, rules and settings through the server: forged and
    stretched tokens, scopes that reach for more, header injection, broken
    users-file lines, and settings with each kind of error. Each is refused
    cleanly and nothing in the store changes."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        self = cls("run_nothing")
        self.push_manifest("team/app", "v1", self.image("team/app", "t"))
        cls.users = os.path.join(cls.server.serve, "users")
        with open(cls.users, "w") as f:
            f.write(USERS)
        cls.settings = json_text({
            "registry_htpasswd": cls.users,
            "registry_access": [
                {"repositories": ["team/**"], "users": ["alice"], "actions": ["*"]},
                {"repositories": ["team/**"], "users": ["carol"], "actions": ["pull"]}]})
        cls.server.set_config(cls.settings)

    @classmethod
    def tearDownClass(cls):
        cls.server.set_config(None)
        super().tearDownClass()

    def run_nothing(self):
        pass

    def token(self, scope, creds):
        r = self.request("GET", "/token?service=registry&scope=" + scope, headers=creds,
                         raw_path=True)
        return r

    def test_hostile_tokens_and_scopes(self):
        carol = basic("carol", "carol-pw")
        r = self.token("repository:team/app:pull,push,delete", carol)
        self.assertEqual(r.status, 200, r.body)
        stored = self.tree()  # with the signing key the first token made
        token = json_load(r.body)["token"]
        head, claims, sig = token.split(".")
        self.assertEqual(json_load(base64.urlsafe_b64decode(claims + "==="))["access"],
                         [{"type": "repository", "name": "team/app", "actions": ["pull"]}])
        bearer = {"Authorization": "Bearer " + token}
        up = "/v2/team/app/blobs/uploads/"
        self.assertEqual(self.request("GET", "/v2/team/app/manifests/v1", headers=bearer).status, 200)
        r = self.request("POST", up, body=b"", headers=bearer)
        self.assertEqual(r.status, 403, r.body)
        self.assertIn(b"access denied: carol may not push to team/app", r.body)
        # Tokens made by hand: claims widened under the old signature, alg
        # none, an empty signature, cut, stretched, and another user's
        # password at the token program.
        wide = b64url(b'{"iss":"registry-token","sub":"carol","aud":"registry","iat":1,"nbf":1,'
                      b'"exp":9999999999,"access":[{"type":"repository","name":"team/app",'
                      b'"actions":["pull","push","delete"]}]}')
        none = b64url(b'{"alg":"none","typ":"JWT"}')
        for forged in (f"{head}.{wide}.{sig}", f"{none}.{wide}.", f"{head}.{claims}.",
                       token[:-5], token + token, token + "." + sig, "a" * 6000):
            with self.subTest(forged=forged[:40]):
                r = self.request("POST", up, body=b"", headers={"Authorization": "Bearer " + forged})
                self.assertIn(r.status, (401, 431), r.body)
                if r.status == 401:
                    self.assertIn('error="invalid_token"', r.header("WWW-Authenticate"))
        # Credentials for another user, the broken lines' users, injection.
        for creds in (basic("carol", "alice-pw"), basic("bob", "x"), basic("this line is broken", "")):
            with self.subTest(creds=creds):
                self.assertEqual(self.token("repository:team/app:pull", creds).status, 401)
        for scope in ("repository:team/app%22%0d%0aSet-Cookie:%20x:pull",
                      "repository:team/app:pull%0d%0aX:%20y", "repository::pull"):
            with self.subTest(scope=scope):
                r = self.token(scope, carol)
                self.assertEqual(r.status, 400, r.body)
                self.assertIsNone(r.header("Set-Cookie"))
        # alice is in the file beside the broken lines and works.
        r = self.token("repository:team/app:push", basic("alice", "alice-pw"))
        self.assertEqual(r.status, 200)
        self.assertEqual(self.tree(), stored)

    def test_settings_with_each_kind_of_error_open_nothing(self):
        stored = self.tree()
        broken = [
            self.settings[:-1] + ', "registry_qouta_bytes": 5}',  # a typo after the first 4 KiB
            self.settings.replace('"registry_access"', '"_pad": "' + "x" * 5000 + '", "registry_access"')
            [:-1] + ', "registry_quota_bytes": "5"}',
            '{"registry_storage_root": "/a", "storage_root": "/b"}',
            self.settings[:-2],
            "",
        ]
        try:
            for text in broken:
                self.server.set_config(text)
                for method, path, creds in (("GET", "/v2/", {}), ("GET", "/v2/_catalog", {}),
                                            ("POST", "/v2/team/app/blobs/uploads/", {}),
                                            ("DELETE", "/v2/team/app/manifests/v1",
                                             basic("alice", "alice-pw")),
                                            ("GET", "/token?scope=repository:team/app:pull", {})):
                    with self.subTest(text=text[:30], method=method, path=path):
                        r = self.request(method, path, body=b"" if method == "POST" else None,
                                         headers=creds, raw_path=True)
                        self.assertEqual(r.status, 500, r.body)
                        self.assertIn(b"settings file", r.body)
        finally:
            self.server.set_config(self.settings)
        self.assertEqual(self.tree(), stored)
        # The first of them once opened the registry: with the file mended
        # the same requests are asked for credentials again.
        self.assertEqual(self.request("GET", "/v2/").status, 401)


def json_text(value):
    import json
    return json.dumps(value)


def json_load(data):
    import json
    return json.loads(data)


if __name__ == "__main__":
    unittest.main(verbosity=2)
