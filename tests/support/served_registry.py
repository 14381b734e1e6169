"""lighttpd over the registry's programs, for the tests that speak HTTP: the
project's scripts lay out a serve directory, the server runs in the
foreground on a free 127.0.0.1 port until stopped."""
import ctypes
import http.client
import os
import shutil
import signal
import subprocess
import sys
import time

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
PR_SET_PDEATHSIG = 1


def die_with_parent():
    """In a child before it runs its program: the kernel ends the child when
    the thread that started it ends, even killed outright (Linux only)."""
    if sys.platform.startswith("linux"):
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class ServedRegistry:
    """serve_dir: where the programs, config.json and the storage root go;
    programs: the folder of built programs (healthz, v2_base, ...);
    tied: the server ends when the thread that starts it does (only from a
    thread that lives as long as the test)."""

    def __init__(self, serve_dir, programs, tied=False):
        self.serve = serve_dir
        self.port = int(subprocess.check_output(
            [sys.executable, os.path.join(SCRIPTS, "free-port.py")], text=True,
            timeout=30).strip())
        self.host = f"127.0.0.1:{self.port}"
        conf = subprocess.check_output(
            ["bash", os.path.join(SCRIPTS, "lighttpd-conf.sh"), self.serve, str(self.port),
             programs], text=True, timeout=60).strip()
        self.cgi = os.path.join(self.serve, "cgi")
        self.root = os.path.join(self.cgi, "registry_storage")
        self.log = os.path.join(self.root, "registry_access.log")
        self.access_log = os.path.join(self.serve, "access.log")
        self.error_log = os.path.join(self.serve, "error.log")
        self.proc = subprocess.Popen([LIGHTTPD, "-D", "-f", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     preexec_fn=die_with_parent if tied else None)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=2)
                c.request("OPTIONS", "/healthz")
                c.getresponse().read()
                c.close()
                break
            except OSError:
                if self.proc.poll() is not None:
                    raise RuntimeError("lighttpd exited: " + self.proc.stderr.read().decode())
                time.sleep(0.05)
        else:
            self.stop()
            raise RuntimeError("lighttpd did not start listening")
        # The probe's log line lands when its program exits, which may be
        # after its answer, and only into a root that exists by then: a
        # first test that makes the root could see it as its own. Wait for
        # the program to end.
        deadline = time.time() + 20
        while self.children():
            if time.time() > deadline:
                self.stop()
                raise RuntimeError("the probe's program did not end")
            time.sleep(0.02)

    def children(self, name=None):
        """Pids of the running programs this server started (only those
        named name, when given); one that has ended but is not yet reaped
        has written all it writes and is not among them."""
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except OSError:
                continue
            comm = stat[stat.index("(") + 1:stat.rindex(")")]
            state, ppid = stat[stat.rindex(")") + 2:].split()[:2]
            if int(ppid) == self.proc.pid and state != "Z" and name in (None, comm):
                pids.append(int(entry))
        return pids

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def log_size(self):
        try:
            return os.path.getsize(self.log)
        except OSError:
            return 0

    def write_config(self, text):
        """Replaces config.json whole (the programs read it per request);
        None removes it."""
        path = os.path.join(self.cgi, "config.json")
        if text is None:
            try:
                os.remove(path)
            except FileNotFoundError:
                pass
            return
        with open(path + ".tmp", "w") as f:
            f.write(text)
        os.replace(path + ".tmp", path)
