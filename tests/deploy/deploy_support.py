"""What the deployment tests share: a private home for the clients, an
offline image to push, skopeo with a bounded time, and waiting for a
server to answer."""
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import http.client

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.abspath(os.path.join(HERE, "..", ".."))
SCRIPTS = os.path.join(PROJECT, "scripts")
OCI_IMAGE = os.path.join(PROJECT, "tests", "clients", "oci_image.py")
COMMAND_TIMEOUT = 120


def free_port():
    return int(subprocess.check_output([sys.executable, os.path.join(SCRIPTS, "free-port.py")],
                                       text=True, timeout=30).strip())


class Clients:
    """A home, runtime and policy of their own for skopeo, so nothing
    reaches the real home, its credentials or /etc/containers/certs.d."""

    def __init__(self, tmp):
        self.tmp = tmp
        self.home = os.path.join(tmp, "home")
        for d in ("home", "run", "tmp"):
            os.makedirs(os.path.join(tmp, d), mode=0o700, exist_ok=True)
        self.policy = os.path.join(tmp, "policy.json")
        with open(self.policy, "w") as f:
            json.dump({"default": [{"type": "insecureAcceptAnything"}]}, f)
        self.registries_conf = os.path.join(tmp, "registries.conf")
        with open(self.registries_conf, "w") as f:
            f.write("unqualified-search-registries = []\nshort-name-mode = \"disabled\"\n")
        self.auth_file = os.path.join(tmp, "auth.json")
        with open(self.auth_file, "w") as f:
            json.dump({"auths": {}}, f)

    def env(self):
        return {
            "PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"),
            "HOME": self.home,
            "XDG_RUNTIME_DIR": os.path.join(self.tmp, "run"),
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "TMPDIR": os.path.join(self.tmp, "tmp"),
            "REGISTRY_AUTH_FILE": self.auth_file,
            "CONTAINERS_REGISTRIES_CONF": self.registries_conf,
            "LANG": "C.UTF-8",
        }

    def skopeo(self, *args):
        """(exit status, stdout + stderr) of one skopeo command."""
        try:
            p = subprocess.run(["skopeo", "--policy", self.policy, *args], env=self.env(),
                               stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=COMMAND_TIMEOUT)
        except subprocess.TimeoutExpired:
            return 124, f"timed out: skopeo {' '.join(args)}"
        return p.returncode, p.stdout + p.stderr

    def make_image(self, name, tag, seed):
        """An OCI layout with one image; returns (layout dir, its digests)."""
        layout = os.path.join(self.tmp, name)
        out = subprocess.check_output([sys.executable, OCI_IMAGE, layout, tag, "--layers", "2",
                                       "--seed", str(seed)], text=True, timeout=60)
        return layout, json.loads(out)


def layout_blobs(layout):
    """Every blob file name of an OCI layout: equal sets mean equal images."""
    d = os.path.join(layout, "blobs", "sha256")
    return sorted(os.listdir(d))


def wait_listening(port, tls_context=None, proc=None, seconds=15):
    """Waits until OPTIONS /healthz answers (over TLS when a context is
    given); raises when the server exited or never answered."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            if tls_context is not None:
                c = http.client.HTTPSConnection("127.0.0.1", port, timeout=2, context=tls_context)
            else:
                c = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            c.request("OPTIONS", "/healthz")
            status = c.getresponse().status
            c.close()
            return status
        except (OSError, http.client.HTTPException):
            if proc is not None and proc.poll() is not None:
                raise RuntimeError("the server exited: " + (proc.stderr.read().decode()
                                                            if proc.stderr else ""))
            time.sleep(0.05)
    raise RuntimeError(f"nothing answered on port {port}")


def unverified_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def make_temp_dir(prefix):
    return tempfile.mkdtemp(prefix=prefix)


def stop(proc):
    if proc is None:
        return
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc.stderr:
        proc.stderr.close()


def require(tool):
    return shutil.which(tool)
