"""Shared set-up for the real-client tests: the endpoint programs behind a
real lighttpd on 127.0.0.1, its settings (Basic authentication for one user,
a users file, any other), running a client with a bounded time and an
environment of its own, and logging each client in and out with credentials
kept in the test's own folder.
ENDPOINTS_DIR names the folder of built programs."""
import base64
import hashlib
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from served_registry import LIGHTTPD, ServedRegistry, die_with_parent  # noqa: E402
import oci_image  # noqa: E402
ENDPOINTS_DIR = os.environ.get("ENDPOINTS_DIR", "")
USER, PASSWORD = "alice", "secret"
# htpasswd's options for a bcrypt hash of the lowest cost.
BCRYPT = ("-B", "-C", "4")
# Every client command gets this long at most; a hung push fails the test
# instead of the whole run.
COMMAND_TIMEOUT = 180


def require_programs():
    if not ENDPOINTS_DIR or not os.path.isfile(os.path.join(ENDPOINTS_DIR, "v2_base")):
        raise SystemExit("set ENDPOINTS_DIR to the folder of the built endpoint programs")


def require_tool(name, package=None):
    # setup.sh installs the clients: missing, they are a failure, not a skip.
    path = shutil.which(name)
    if not path:
        raise RuntimeError(f"{name} is not installed (scripts/setup.sh installs "
                           f"{package or name})")
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


def parse_challenge(header):
    """A WWW-Authenticate value as (scheme, {parameter: value}), scheme in
    lower case: 'Bearer realm="http://h/token",service="h",scope="a:b:pull"'
    gives ("bearer", {"realm": ..., "service": ..., "scope": ...}). Quoted
    values may hold commas and escaped quotes."""
    scheme, _, rest = header.strip().partition(" ")
    params = {}
    for m in re.finditer(r'\s*([A-Za-z0-9_-]+)=("((?:[^"\\]|\\.)*)"|[^,\s]*)\s*(?:,|$)', rest):
        value = m.group(3) if m.group(3) is not None else m.group(2)
        params[m.group(1).lower()] = re.sub(r"\\(.)", r"\1", value)
    return scheme.lower(), params


class Logins:
    """Where one set of client logins is kept, inside the test's folder: the
    file skopeo and podman use (REGISTRY_AUTH_FILE, --authfile) and the
    folder docker uses (DOCKER_CONFIG), whose config.json oras takes as
    --registry-config. A new set starts with nobody logged in."""

    def __init__(self, path):
        self.path = path
        self.auth_file = os.path.join(path, "auth.json")
        self.docker_config = os.path.join(path, "docker")
        self.registry_config = os.path.join(self.docker_config, "config.json")
        os.makedirs(self.docker_config, mode=0o700)
        for f in (self.auth_file, self.registry_config):
            with open(f, "w") as out:
                json.dump({"auths": {}}, out)

    def env(self, base):
        env = dict(base)
        env["REGISTRY_AUTH_FILE"] = self.auth_file
        env["DOCKER_CONFIG"] = self.docker_config
        return env

    def hosts(self):
        """The registries some client of this set is logged in to."""
        found = set()
        for f in (self.auth_file, self.registry_config):
            try:
                with open(f) as inp:
                    found |= set(json.load(inp).get("auths", {}))
            except (OSError, ValueError):
                pass
        return found


# How each client logs in to a plain-HTTP registry and names the place its
# logins are kept (docker finds it through DOCKER_CONFIG).
LOGIN_OPTIONS = {
    "skopeo": lambda logins: ["--tls-verify=false", "--authfile", logins.auth_file],
    "podman": lambda logins: ["--tls-verify=false", "--authfile", logins.auth_file],
    "docker": lambda logins: [],
    "oras": lambda logins: ["--plain-http", "--registry-config", logins.registry_config],
}
LOGOUT_OPTIONS = {
    "skopeo": lambda logins: ["--authfile", logins.auth_file],
    "podman": lambda logins: ["--authfile", logins.auth_file],
    "docker": lambda logins: [],
    "oras": lambda logins: ["--registry-config", logins.registry_config],
}


class Registry(ServedRegistry):
    """lighttpd serving the programs from a fresh directory."""

    def __init__(self, tmp):
        # Started from setUpClass, on the main thread: no server outlives a
        # test that is killed.
        super().__init__(os.path.join(tmp, "serve"), ENDPOINTS_DIR, tied=True)
        self.registry_log = self.log

    def stop(self):
        self.clear_auth()
        super().stop()

    def ref(self, repo, tag_or_digest=None):
        """docker://HOST/REPO[:TAG|@DIGEST] without the transport."""
        if tag_or_digest is None:
            return f"{self.host}/{repo}"
        # A tag holds no ":"; a digest always does.
        sep = "@" if ":" in tag_or_digest else ":"
        return f"{self.host}/{repo}{sep}{tag_or_digest}"

    def set_auth(self, user=USER, password=PASSWORD):
        digest = hashlib.sha256(password.encode()).hexdigest()
        self.write_settings({"registry_auth_user": user, "registry_auth_sha256": digest})

    def clear_auth(self):
        self.write_config(None)

    def write_settings(self, settings):
        """config.json holds exactly settings (a dict); None removes it."""
        if settings is None:
            self.write_config(None)
            return
        self.write_config(json.dumps(settings, separators=(",", ":")) + "\n")

    def write_users(self, users, path=None, hashing=BCRYPT):
        """A users file made by htpasswd from users, a dict of name to
        password, each hashed with the htpasswd options hashing (bcrypt of
        cost 4 unless told otherwise: quick, and what a real file holds);
        its path. Outside the served folders unless path says otherwise;
        replaced whole, so a request sees the old file or the new one."""
        path = path or os.path.join(os.path.dirname(self.serve), "users.htpasswd")
        htpasswd = require_tool("htpasswd", "apache2-utils")
        new = path + ".new"
        open(new, "w").close()
        for user, password in users.items():
            subprocess.run([htpasswd, *hashing, "-b", new, user, password],
                           check=True, capture_output=True, timeout=30)
        os.replace(new, path)
        return path

    def set_users(self, users, **settings):
        """Writes the users file and a config.json naming it, with any
        further settings; the file's path."""
        path = self.write_users(users)
        self.write_settings({"registry_htpasswd": path, **settings})
        return path

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

    def sha512_missing(self):
        """None when the registry keeps sha512 digests; else what it
        answered instead. An unknown sha512 blob is 404 where the algorithm
        is taken and 400 where the digest is refused."""
        path = "/v2/probe/sha512/blobs/sha512:" + "0" * 128
        status, _, body = self.request("GET", path)
        if status == 404:
            return None
        return (f"the registry takes no sha512 digest yet: GET {path} answered {status} "
                f"{body[:200].decode(errors='replace').strip()} (404 where sha512 is kept)")

    def push_blob(self, repo, data, digest):
        """Uploads data as digest the way most clients do: POST opens the
        upload, one PUT brings the body and the digest."""
        status, headers, body = self.request("POST", f"/v2/{repo}/blobs/uploads/")
        if status != 202:
            raise AssertionError(f"POST upload to {repo}: {status} {body[:300]!r}")
        url = urllib.parse.urlsplit(headers["location"])
        query = "&".join(filter(None, (url.query, "digest=" + urllib.parse.quote(digest))))
        status, _, body = self.request("PUT", f"{url.path}?{query}", body=data,
                                       headers={"Content-Type": "application/octet-stream"})
        if status != 201:
            raise AssertionError(f"PUT {digest} to {repo}: {status} {body[:300]!r}")

    def push_image(self, repo, references, image):
        """Pushes image (an oci_image.build_image result) over plain HTTP:
        its config and layers, then its manifest under each of references
        (tags or digests); the Docker-Content-Digest of each answer."""
        self.push_blob(repo, image["config"], image["config_digest"])
        for digest, data in image["layer_blobs"].items():
            self.push_blob(repo, data, digest)
        answered = []
        for ref in references:
            status, headers, body = self.request(
                "PUT", f"/v2/{repo}/manifests/{ref}", body=image["manifest"],
                headers={"Content-Type": oci_image.OCI_MANIFEST})
            if status != 201:
                raise AssertionError(f"PUT manifest {repo}:{ref}: {status} {body[:300]!r}")
            answered.append(headers.get("docker-content-digest"))
        return answered

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


class Daemon:
    """A client's daemon of the test's own (the Docker engine, containerd):
    a session of its own that ends with the test, its output in log. Where
    it cannot start, the whole test is skipped with the reason and the end
    of its log."""

    def __init__(self, name, args, env, log):
        self.name, self.args, self.env, self.log = name, args, env, log
        self.proc = None

    def start(self, ready, timeout):
        """Starts the daemon and waits until ready() is true."""
        with open(self.log, "wb") as out:
            self.proc = subprocess.Popen(self.args, env=self.env, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT,
                                         start_new_session=True, preexec_fn=die_with_parent)
        deadline = time.time() + timeout
        while not ready():
            if self.proc.poll() is not None:
                self.skip(f"{os.path.basename(self.args[0])} exited with "
                          f"{self.proc.returncode} at start")
            if time.time() > deadline:
                self.skip(f"{os.path.basename(self.args[0])} did not answer within {timeout} s")
            time.sleep(0.2)

    def skip(self, why):
        reason = f"{self.name} cannot run here: {why}"
        try:
            with open(self.log, "rb") as f:
                reason += f"\n--- {self.name} log\n" + f.read().decode(errors="replace")[-3000:]
        except OSError:
            pass
        print(reason, file=sys.stderr)
        raise unittest.SkipTest(reason)

    def stop(self, pid_files=()):
        """Ends the daemon's session, then any process named in pid_files
        (helpers it started in sessions of their own)."""
        if self.proc is None:
            return
        for sig, wait in ((signal.SIGTERM, 30), (signal.SIGKILL, 10)):
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                break
            try:
                self.proc.wait(timeout=wait)
                break
            except subprocess.TimeoutExpired:
                continue
        pids = [self.proc.pid]
        for path in pid_files:
            try:
                with open(path) as f:
                    pids.append(int(f.read().strip()))
            except (OSError, ValueError):
                pass
        deadline = time.time() + 10
        for pid in pids:
            while group_alive(pid) and time.time() < deadline:
                time.sleep(0.1)
            if group_alive(pid):
                os.killpg(pid, signal.SIGKILL)
        self.proc = None


def group_alive(group):
    try:
        os.killpg(group, 0)
        return True
    except ProcessLookupError:
        return False


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
        # docker and oras read logins from here unless told otherwise.
        cls.docker_config = os.path.join(cls.tmp, "docker-config")
        os.makedirs(cls.docker_config, mode=0o700)
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
    def push_as_is_command(cls, layout, tag, repo, ref):
        """skopeo's command that puts image tag of the OCI layout folder
        layout up as repo:ref byte for byte (an index with every platform),
        so its digests are those the layout holds."""
        return ["skopeo", "--policy", cls.policy, "--command-timeout", "150s",
                "--tmpdir", os.path.join(cls.tmp, "tmp"), "copy", "--all", "--preserve-digests",
                "--dest-tls-verify=false", f"oci:{layout}:{tag}",
                "docker://" + cls.registry.ref(repo, ref)]

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
            "DOCKER_CONFIG": cls.docker_config,
            "CONTAINERS_REGISTRIES_CONF": cls.registries_conf,
            "LANG": "C.UTF-8",
        }

    @classmethod
    def new_logins(cls):
        """A set of logins that no other case has used."""
        cls.auth_count += 1
        return Logins(os.path.join(cls.tmp, f"logins-{cls.auth_count}"))

    def client_command(self, client, logins):
        """The command line's start and the environment that run client with
        the credentials of logins. A case whose client needs options of its
        own (podman's storage, docker's daemon) extends it."""
        return [client], logins.env(self.client_env(logins.auth_file))

    def login(self, client, logins, user=USER, password=PASSWORD, ok=True):
        """client logs in to the registry as user, keeping the login in
        logins; the password goes through standard input, never argv."""
        start, env = self.client_command(client, logins)
        return self.run_client(
            [*start, "login", *LOGIN_OPTIONS[client](logins), "-u", user, "--password-stdin",
             self.registry.host], ok=ok, env=env, input=password + "\n")

    def logout(self, client, logins, ok=True):
        start, env = self.client_command(client, logins)
        return self.run_client(
            [*start, "logout", *LOGOUT_OPTIONS[client](logins), self.registry.host],
            ok=ok, env=env)

    def assert_failed_with(self, p, *reasons):
        """p (a finished client) failed, and its output names at least one
        of reasons (any case): the status or word a person reads there."""
        out = f"--- stdout\n{p.stdout[-4000:]}\n--- stderr\n{p.stderr[-4000:]}"
        self.assertNotEqual(p.returncode, 0, f"expected a failure\n{out}")
        text = (p.stdout + p.stderr).lower()
        self.assertTrue(any(r.lower() in text for r in reasons),
                        f"none of {reasons} in the output\n{out}")

    def run_client(self, args, ok=True, env=None, input=None, timeout=COMMAND_TIMEOUT,
                   cwd=None):
        """Runs args (in cwd when given); with ok=True a non-zero exit fails
        the test, with ok=False a zero exit does. The failure message carries
        the client's output and the requests the server saw meanwhile."""
        mark = self.registry.log_mark()
        try:
            p = subprocess.run(args, env=env or self.client_env(), input=input, cwd=cwd,
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
