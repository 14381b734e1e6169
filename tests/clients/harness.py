"""Shared set-up for the real-client tests: the endpoint programs behind a
real lighttpd on 127.0.0.1, switching Basic authentication on and off, and
running a client with a bounded time and an environment of its own.
ENDPOINTS_DIR names the folder of built programs."""
import base64
import hashlib
import http.client
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from served_registry import LIGHTTPD, ServedRegistry  # noqa: E402
ENDPOINTS_DIR = os.environ.get("ENDPOINTS_DIR", "")
USER, PASSWORD = "alice", "secret"
# Every client command gets this long at most; a hung push fails the test
# instead of the whole run.
COMMAND_TIMEOUT = 180


def require_programs():
    if not ENDPOINTS_DIR or not os.path.isfile(os.path.join(ENDPOINTS_DIR, "v2_base")):
        raise SystemExit("set ENDPOINTS_DIR to the folder of the built endpoint programs")


def require_tool(name):
    # setup.sh installs the clients: missing, they are a failure, not a skip.
    path = shutil.which(name)
    if not path:
        raise RuntimeError(f"{name} is not installed (scripts/setup.sh installs it)")
    return path


def make_temp_dir(prefix):
    """A new private folder whose path podman accepts inside an image name
    (lower case, digits and single separators: no "_" as mkdtemp may give)."""
    for _ in range(100):
        path = os.path.join(tempfile.gettempdir(), prefix + os.urandom(5).hex())
        try:
            os.mkdir(path, 0o700)
            return path
        except FileExistsError:
            continue
    raise RuntimeError("no free temporary folder name")


class Registry(ServedRegistry):
    """lighttpd serving the programs from a fresh directory."""

    def __init__(self, tmp):
        super().__init__(os.path.join(tmp, "serve"), ENDPOINTS_DIR)
        self.registry_log = self.log

    def stop(self):
        self.clear_auth()
        super().stop()

    def ref(self, repo, tag_or_digest=None):
        """docker://HOST/REPO[:TAG|@DIGEST] without the transport."""
        if tag_or_digest is None:
            return f"{self.host}/{repo}"
        sep = "@" if tag_or_digest.startswith("sha256:") else ":"
        return f"{self.host}/{repo}{sep}{tag_or_digest}"

    def set_auth(self, user=USER, password=PASSWORD):
        digest = hashlib.sha256(password.encode()).hexdigest()
        # The programs scan for the quoted key with its colon right after it.
        self.write_config(f'{{"registry_auth_user":"{user}","registry_auth_sha256":"{digest}"}}\n')

    def clear_auth(self):
        self.write_config(None)

    def request(self, method, path, headers=None, body=None, auth=None):
        """One plain HTTP request: (status, headers, body)."""
        headers = dict(headers or {})
        if auth:
            headers["Authorization"] = "Basic " + base64.b64encode(
                f"{auth[0]}:{auth[1]}".encode()).decode()
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            c.request(method, path, body=body, headers=headers)
            r = c.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
        finally:
            c.close()

    def logs(self):
        return (self.registry_log, self.access_log)

    def log_mark(self):
        marks = []
        for path in self.logs():
            try:
                marks.append(os.path.getsize(path))
            except OSError:
                marks.append(0)
        return marks

    def requests_since(self, mark):
        """The access-log lines written after mark: the programs' own log
        (one line as each request ends), then lighttpd's (with query
        strings, but written late as it buffers)."""
        lines = []
        for path, start in zip(self.logs(), mark):
            try:
                with open(path, "rb") as f:
                    f.seek(start)
                    lines += f.read().decode(errors="replace").splitlines()
            except OSError:
                pass
        return lines

    def error_tail(self, n=20):
        try:
            with open(self.error_log, "rb") as f:
                lines = f.read().decode(errors="replace").splitlines()
        except OSError:
            return ""
        # The clients try TLS first on a plain-HTTP registry: noise.
        return "\n".join([x for x in lines if "TLS ClientHello" not in x][-n:])


class ClientCase(unittest.TestCase):
    """A registry for the whole class and a home, runtime and config folder
    of its own for the clients, so nothing reaches the real home or any
    registry but this one."""

    @classmethod
    def setUpClass(cls):
        if not os.path.exists(LIGHTTPD):
            raise unittest.SkipTest("lighttpd is not installed")
        cls.tmp = make_temp_dir("registry-clients-")
        try:
            cls.registry = Registry(cls.tmp)
        except BaseException:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise
        cls.home = os.path.join(cls.tmp, "home")
        cls.runtime = os.path.join(cls.tmp, "xdg-runtime")
        cls.conf = os.path.join(cls.tmp, "containers")
        for d in (cls.home, cls.runtime, cls.conf, os.path.join(cls.tmp, "tmp"),
                  os.path.join(cls.conf, "registries.d")):
            os.makedirs(d, mode=0o700, exist_ok=True)
        # Accept any image. Commands without a policy option take the one in
        # the (temporary) home before the machine's.
        cls.policy = os.path.join(cls.conf, "policy.json")
        user_conf = os.path.join(cls.home, ".config", "containers")
        os.makedirs(user_conf)
        for path in (cls.policy, os.path.join(user_conf, "policy.json")):
            with open(path, "w") as f:
                json.dump({"default": [{"type": "insecureAcceptAnything"}]}, f)
        # No search registries and no mirrors: only fully named references.
        cls.registries_conf = os.path.join(cls.conf, "registries.conf")
        with open(cls.registries_conf, "w") as f:
            f.write("unqualified-search-registries = []\nshort-name-mode = \"disabled\"\n")
        cls.auth_count = 0
        cls.auth_file = cls.new_auth_file()
        try:
            cls.prepare()
        except BaseException:
            # unittest skips tearDownClass when setUpClass fails or skips.
            cls.tearDownClass()
            raise

    @classmethod
    def prepare(cls):
        """The subclass's own set-up, with the registry running."""

    @classmethod
    def tearDownClass(cls):
        cls.registry.stop()
        if os.environ.get("CLIENT_TESTS_KEEP"):
            # For a look at the server's logs and store afterwards.
            print(f"kept {cls.tmp}", file=sys.stderr)
        else:
            shutil.rmtree(cls.tmp, ignore_errors=True)

    @classmethod
    def new_auth_file(cls):
        """A credentials file, empty, that no other case has used (podman
        wants the file to exist)."""
        cls.auth_count += 1
        path = os.path.join(cls.tmp, f"auth-{cls.auth_count}.json")
        with open(path, "w") as f:
            json.dump({"auths": {}}, f)
        return path

    @classmethod
    def client_env(cls, auth_file=None):
        return {
            "PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"),
            "HOME": cls.home,
            "XDG_RUNTIME_DIR": cls.runtime,
            "XDG_CONFIG_HOME": os.path.join(cls.home, ".config"),
            "XDG_DATA_HOME": os.path.join(cls.home, ".local", "share"),
            "TMPDIR": os.path.join(cls.tmp, "tmp"),
            "REGISTRY_AUTH_FILE": auth_file or cls.auth_file,
            "CONTAINERS_REGISTRIES_CONF": cls.registries_conf,
            "LANG": "C.UTF-8",
        }

    def run_client(self, args, ok=True, env=None, input=None, timeout=COMMAND_TIMEOUT):
        """Runs args; with ok=True a non-zero exit fails the test, with
        ok=False a zero exit does. The failure message carries the client's
        output and the requests the server saw meanwhile."""
        mark = self.registry.log_mark()
        try:
            p = subprocess.run(args, env=env or self.client_env(), input=input,
                               stdin=None if input is not None else subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            self.fail(f"timed out after {timeout} s: {' '.join(args)}\n"
                      f"{self.evidence(mark, e.stdout, e.stderr)}")
        if ok is not None and (p.returncode == 0) != ok:
            want = "succeed" if ok else "fail"
            self.fail(f"expected to {want} (exit {p.returncode}): {' '.join(args)}\n"
                      f"{self.evidence(mark, p.stdout, p.stderr)}")
        return p

    def evidence(self, mark, out, err):
        def text(x):
            if isinstance(x, bytes):
                x = x.decode(errors="replace")
            return (x or "")[-6000:]
        reqs = "\n".join(self.registry.requests_since(mark)[-60:])
        return (f"--- stdout\n{text(out)}\n--- stderr\n{text(err)}\n"
                f"--- requests seen by the server\n{reqs}\n"
                f"--- server error log\n{self.registry.error_tail()}")
