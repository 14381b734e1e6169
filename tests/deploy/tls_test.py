#!/usr/bin/env python3
"""The registry over HTTPS through the generated lighttpd configuration:
skopeo pushes and pulls with the certificate trusted the certs.d way (the
CA as ca.crt in a directory) and is refused when it is not trusted; both a
self-signed certificate made on the first start and a given certificate
signed by a CA of the operator's. ENDPOINTS_DIR names the built programs."""
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import deploy_support as ds  # noqa: E402

ENDPOINTS_DIR = os.environ.get("ENDPOINTS_DIR", "")
LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"


def has_mod_openssl():
    return any(os.path.exists(os.path.join(d, "mod_openssl.so"))
               for d in ("/usr/lib/lighttpd", "/usr/lib64/lighttpd", "/usr/local/lib/lighttpd"))


def serve(serve_dir, port, env):
    """lighttpd in the foreground over a freshly laid-out serve_dir."""
    conf = subprocess.check_output(
        ["bash", os.path.join(ds.SCRIPTS, "lighttpd-conf.sh"), serve_dir, str(port), ENDPOINTS_DIR],
        env={**os.environ, **env}, text=True, timeout=60).strip()
    proc = subprocess.Popen([LIGHTTPD, "-D", "-f", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    ds.wait_listening(port, ds.unverified_context(), proc)
    return proc


def cert_dir(parent, name, ca_file):
    """A certs.d-style directory holding ca_file as ca.crt."""
    d = os.path.join(parent, name)
    os.makedirs(d, exist_ok=True)
    shutil.copyfile(ca_file, os.path.join(d, "ca.crt"))
    return d


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)


class TlsCase(unittest.TestCase):
    env = {}

    @classmethod
    def setUpClass(cls):
        for tool in ("skopeo", "openssl"):
            if not shutil.which(tool):
                raise unittest.SkipTest(f"{tool} is not installed (scripts/setup.sh installs it)")
        if not os.path.exists(LIGHTTPD) or not has_mod_openssl():
            raise unittest.SkipTest("lighttpd or its TLS module (lighttpd-mod-openssl) is missing")
        cls.tmp = ds.make_temp_dir("registry-tls-")
        cls.proc = None
        try:
            cls.clients = ds.Clients(cls.tmp)
            cls.port = ds.free_port()
            cls.serve_dir = os.path.join(cls.tmp, "serve")
            cls.prepare()
            cls.proc = serve(cls.serve_dir, cls.port, cls.env)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def prepare(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        ds.stop(cls.proc)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def ref(self, repo, tag):
        return f"docker://127.0.0.1:{self.port}/{repo}:{tag}"

    def round_trip(self, trusted_dir, repo, seed):
        """Pushes an image trusting trusted_dir's CA, pulls it back the same
        way and compares every blob."""
        layout, _ = self.clients.make_image(f"img-{seed}", "v1", seed)
        rc, out = self.clients.skopeo("copy", "--dest-cert-dir", trusted_dir,
                                      f"oci:{layout}:v1", self.ref(repo, "v1"))
        self.assertEqual(rc, 0, out)
        back = os.path.join(self.tmp, f"back-{seed}")
        rc, out = self.clients.skopeo("copy", "--src-cert-dir", trusted_dir,
                                      self.ref(repo, "v1"), f"oci:{back}:v1")
        self.assertEqual(rc, 0, out)
        self.assertEqual(ds.layout_blobs(back), ds.layout_blobs(layout))

    def assert_refused(self, args, what):
        rc, out = self.clients.skopeo(*args)
        self.assertNotEqual(rc, 0, f"{what}: accepted\n{out}")
        self.assertIn("certificate", out, what)


class SelfSigned(TlsCase):
    env = {"REGISTRY_TLS_SELF_SIGNED": "1"}

    def test_made_once_and_kept(self):
        cert = os.path.join(self.serve_dir, "tls", "cert.pem")
        key = os.path.join(self.serve_dir, "tls", "key.pem")
        with open(cert, "rb") as f:
            before = f.read()
        self.assertEqual(os.stat(key).st_mode & 0o077, 0, "the key is readable by others")
        # Laying out the directory again (a restart) keeps the certificate
        # clients already trust.
        subprocess.check_output(["bash", os.path.join(ds.SCRIPTS, "lighttpd-conf.sh"),
                                 self.serve_dir, str(self.port), ENDPOINTS_DIR],
                                env={**os.environ, **self.env}, timeout=60)
        with open(cert, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_push_and_pull_trusted_refused_otherwise(self):
        cert = os.path.join(self.serve_dir, "tls", "cert.pem")
        self.round_trip(cert_dir(self.tmp, "trusted", cert), "trial/app", 1)
        # A client that trusts nothing extra, or another CA, refuses the
        # server; nothing is pushed.
        layout, _ = self.clients.make_image("img-refused", "v1", 2)
        other = os.path.join(self.tmp, "other")
        subprocess.run(["bash", os.path.join(ds.SCRIPTS, "tls-self-signed.sh"), other],
                       check=True, capture_output=True, timeout=60)
        for what, extra in (("no CA trusted", []),
                            ("another CA trusted",
                             ["--dest-cert-dir",
                              cert_dir(self.tmp, "wrong", os.path.join(other, "cert.pem"))])):
            self.assert_refused(["copy", *extra, f"oci:{layout}:v1", self.ref("trial/refused", "v1")],
                                what)
        rc, out = self.clients.skopeo("list-tags", "--cert-dir", cert_dir(self.tmp, "trusted", cert),
                                      f"docker://127.0.0.1:{self.port}/trial/refused")
        self.assertNotEqual(rc, 0, f"a refused push stored something: {out}")


class GivenCertificate(TlsCase):
    """A CA of the operator's signs the server's certificate; clients trust
    the CA, never the server certificate itself. Listens where
    REGISTRY_LISTEN says."""

    @classmethod
    def prepare(cls):
        d = os.path.join(cls.tmp, "pki")
        os.makedirs(d)
        p = lambda n: os.path.join(d, n)  # noqa: E731
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-days", "2", "-subj", "/CN=Test CA", "-keyout", p("ca.key"),
                "-out", p("ca.pem"))
        openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-subj", "/CN=registry.test", "-keyout", p("server.key"),
                "-out", p("server.csr"))
        with open(p("ext.cnf"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1,DNS:registry.test\n"
                    "extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n")
        openssl("x509", "-req", "-in", p("server.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
                "-CAcreateserial", "-days", "2", "-extfile", p("ext.cnf"), "-out", p("server.pem"))
        cls.ca = p("ca.pem")
        cls.env = {"REGISTRY_TLS_CERT": p("server.pem"), "REGISTRY_TLS_KEY": p("server.key"),
                   "REGISTRY_LISTEN": "127.0.0.1"}

    def test_push_and_pull_trusting_the_ca(self):
        self.round_trip(cert_dir(self.tmp, "ca", self.ca), "team/app", 3)
        self.assertFalse(os.path.exists(os.path.join(self.serve_dir, "tls")),
                         "a self-signed certificate was made although one was given")
        layout, _ = self.clients.make_image("img-untrusted", "v1", 4)
        self.assert_refused(["copy", f"oci:{layout}:v1", self.ref("team/untrusted", "v1")],
                            "CA not trusted")

    def test_missing_key_is_refused_before_serving(self):
        p = subprocess.run(["bash", os.path.join(ds.SCRIPTS, "lighttpd-conf.sh"),
                            os.path.join(self.tmp, "serve-nokey"), str(self.port), ENDPOINTS_DIR],
                           env={**os.environ, "REGISTRY_TLS_CERT": self.env["REGISTRY_TLS_CERT"]},
                           capture_output=True, text=True, timeout=60)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("REGISTRY_TLS_KEY", p.stderr)


if __name__ == "__main__":
    if not ENDPOINTS_DIR or not os.path.isfile(os.path.join(ENDPOINTS_DIR, "v2_base")):
        raise SystemExit("set ENDPOINTS_DIR to the folder of the built endpoint programs")
    unittest.main()
