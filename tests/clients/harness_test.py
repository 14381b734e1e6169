#!/usr/bin/env python3
"""The client tests' harness itself: settings reach the programs as
written, a users file holds what htpasswd makes and checks, challenges read
into their parts, /token reaches the token program, and a client's login
lands in the test's own credentials and leaves with logout; an image
pushed over plain HTTP lands as it is.
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


class Harness(harness.ClientCase):
    def config(self):
        with open(os.path.join(self.registry.cgi, "config.json")) as f:
            return f.read()

    def upload(self, repo, data):
        """A blob pushed in one request; the status."""
        digest = "sha256:" + hashlib.sha256(data).hexdigest()
        status, _, _ = self.registry.request(
            "POST", f"/v2/{repo}/blobs/uploads/?digest={digest}", body=data,
            headers={"Content-Type": "application/octet-stream"})
        return status

    def test_settings_reach_the_programs(self):
        settings = {"registry_quota_bytes": 1, "registry_access_log": True,
                    "registry_token_service": "harness service"}
        self.registry.write_settings(settings)
        try:
            self.assertEqual(json.loads(self.config()), settings)
            # A quota of one byte refuses any new blob: the programs read it.
            self.assertEqual(self.upload("harness/quota", b"over the quota"), 403)
        finally:
            self.registry.write_settings(None)
        self.assertFalse(os.path.exists(os.path.join(self.registry.cgi, "config.json")))
        self.assertEqual(self.upload("harness/quota", b"over the quota"), 201)

    def test_users_file(self):
        htpasswd = harness.require_tool("htpasswd", "apache2-utils")
        users = {"alice": "secret", "bob": "two words", "carol": "p:ss"}
        path = self.registry.set_users(users, registry_quota_bytes=5)
        try:
            self.assertEqual(json.loads(self.config()),
                             {"registry_htpasswd": path, "registry_quota_bytes": 5})
            self.assertFalse(path.startswith(self.registry.serve + os.sep))
            with open(path) as f:
                lines = f.read().splitlines()
            self.assertEqual([x.split(":", 1)[0] for x in lines], list(users))
            self.assertTrue(all(x.split(":", 1)[1].startswith("$2y$04$") for x in lines), lines)
            for user, password, ok in (("alice", "secret", True), ("bob", "two words", True),
                                       ("carol", "p:ss", True), ("alice", "two words", False),
                                       ("dave", "secret", False)):
                with self.subTest(user=user, password=password):
                    p = subprocess.run([htpasswd, "-vb", path, user, password],
                                       capture_output=True, timeout=30)
                    self.assertEqual(p.returncode == 0, ok, p.stderr)
            # Written anew, not added to; other hashes on request.
            self.registry.write_users({"erin": "x"}, path, hashing=("-m",))
            with open(path) as f:
                lines = f.read().splitlines()
            self.assertEqual(len(lines), 1)
            self.assertTrue(lines[0].startswith("erin:$apr1$"), lines)
            # No users: an empty file.
            self.registry.write_users({}, path)
            self.assertEqual(os.path.getsize(path), 0)
        finally:
            self.registry.write_settings(None)

    def test_parse_challenge(self):
        cases = [
            ('Bearer realm="http://127.0.0.1:5000/token",service="127.0.0.1:5000",'
             'scope="repository:team/app:pull,push"',
             ("bearer", {"realm": "http://127.0.0.1:5000/token", "service": "127.0.0.1:5000",
                         "scope": "repository:team/app:pull,push"})),
            ('bearer realm="a\\"b", Error="insufficient_scope" , scope="x:y:pull"',
             ("bearer", {"realm": 'a"b', "error": "insufficient_scope", "scope": "x:y:pull"})),
            ("Basic realm=plain", ("basic", {"realm": "plain"})),
            ("Basic", ("basic", {})),
        ]
        for header, want in cases:
            with self.subTest(header=header):
                self.assertEqual(harness.parse_challenge(header), want)
        # The registry's own challenge reads as one.
        self.registry.set_auth()
        try:
            status, headers, _ = self.registry.request("GET", "/v2/")
        finally:
            self.registry.clear_auth()
        self.assertEqual(status, 401)
        scheme, params = harness.parse_challenge(headers["www-authenticate"])
        self.assertEqual(scheme, "bearer")
        self.assertTrue(params["realm"].endswith("/token"), params)
        self.assertEqual(params["service"], "registry")

    def test_token_route(self):
        # A stand-in for the token program shows what lighttpd hands it.
        path = os.path.join(self.registry.cgi, "token")
        built = path + ".built"
        if os.path.exists(path):
            os.replace(path, built)
        try:
            with open(path, "w") as f:
                f.write('#!/bin/sh\nprintf "Status: 200 OK\\r\\nContent-Type: text/plain\\r\\n'
                        '\\r\\n%s|%s|%s" "$PATH_INFO" "$QUERY_STRING" "$HTTP_AUTHORIZATION"\n')
            os.chmod(path, 0o755)
            query = "service=reg&scope=repository:team/app:pull,push&scope=repository:b:pull"
            for url, want in ((f"/token?{query}", f"/token|{query}|"), ("/token/", "/token||")):
                with self.subTest(url=url):
                    status, _, body = self.registry.request("GET", url, auth=("alice", "pw"))
                    self.assertEqual(status, 200, body)
                    self.assertEqual(body.decode(), want + "Basic YWxpY2U6cHc=")
            # Only through its URL.
            for url in ("/_registry/token/token", "/_registry/token", "/tokens"):
                with self.subTest(url=url):
                    self.assertEqual(self.registry.request("GET", url)[0], 404)
        finally:
            os.remove(path)
            if os.path.exists(built):
                os.replace(built, path)

    def test_push_image_over_http(self):
        # What the sha512 cases rely on, shown with sha256: blobs and the
        # manifest land under each reference, and the answers name it.
        image = oci_image.build_image(os.path.join(self.tmp, "http-images"), "http", layers=2,
                                      seed=f"{os.path.basename(self.tmp)}/http")
        answered = self.registry.push_image("harness/http", [image["digest"], "v1"], image)
        self.assertEqual(answered, [image["digest"], image["digest"]])
        for ref in ("v1", image["digest"]):
            status, _, body = self.registry.request(
                "GET", f"/v2/harness/http/manifests/{ref}",
                headers={"Accept": oci_image.OCI_MANIFEST})
            self.assertEqual((status, body), (200, image["manifest"]))
        for digest, data in image["layer_blobs"].items():
            self.assertEqual(self.registry.request("GET", f"/v2/harness/http/blobs/{digest}")[2],
                             data)
        with self.assertRaisesRegex(AssertionError, "400"):
            self.registry.push_blob("harness/http", b"other bytes", image["layers"][0])
        self.assertEqual(self.registry.ref("harness/http", image["digest"]),
                         f"{self.registry.host}/harness/http@{image['digest']}")
        self.assertEqual(self.registry.ref("harness/http", "sha512:" + "a" * 128),
                         f"{self.registry.host}/harness/http@sha512:{'a' * 128}")
        # The probe says yes or names what the registry answered.
        missing = self.registry.sha512_missing()
        self.assertTrue(missing is None or "answered 4" in missing, missing)

    def test_login_logout(self):
        harness.require_tool("skopeo")
        self.registry.set_auth()
        try:
            logins = self.new_logins()
            self.assert_failed_with(
                self.login("skopeo", logins, harness.USER, "wrong", ok=False),
                "invalid username/password")
            self.assertEqual(logins.hosts(), set())
            self.login("skopeo", logins)
            self.assertEqual(logins.hosts(), {self.registry.host})
            # The login serves later commands, and lands nowhere else.
            start, env = self.client_command("skopeo", logins)
            image = oci_image.build_image(os.path.join(self.tmp, "images"), "one", layers=1,
                                          seed=os.path.basename(self.tmp))
            ref = "docker://" + self.registry.ref("harness/login", "v1")
            self.run_client([*start, "copy", "--dest-tls-verify=false",
                             f"oci:{image['layout']}:one", ref], env=env)
            list_tags = ["list-tags", "--tls-verify=false", ref.rsplit(":", 1)[0]]
            p = self.run_client([*start, *list_tags], env=env)
            self.assertEqual(json.loads(p.stdout)["Tags"], ["v1"])
            with open(self.auth_file) as f:
                self.assertEqual(json.load(f), {"auths": {}})
            self.assertEqual(os.listdir(self.docker_config), [])
            self.assert_failed_with(self.run_client(["skopeo", *list_tags], ok=False), "401",
                                    "unauthorized", "authentication required")
            self.logout("skopeo", logins)
            self.assertEqual(logins.hosts(), set())
        finally:
            self.registry.clear_auth()


if __name__ == "__main__":
    harness.require_programs()
    unittest.main(verbosity=2)
