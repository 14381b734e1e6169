#!/usr/bin/env python3
"""The Debian package on this machine, as an operator uses it: build it,
install it with apt from the file, enable its lighttpd snippet (on a free
port, lighttpd in the foreground), push and pull with skopeo, upgrade to a
new revision and find every image intact, remove and purge it and find the
storage root intact. The machine is left as it was: the package purged,
/etc/lighttpd restored from a copy, the storage root the test made removed.
Needs root, dpkg and apt; skipped otherwise. PACKAGE_BUILD_DIR is the build
directory scripts/package.sh uses."""
import grp
import http.client
import json
import os
import pwd
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import deploy_support as ds  # noqa: E402

PACKAGE = os.environ.get("REGISTRY_PACKAGE_NAME", "registry-cgi")
BUILD_DIR = os.environ.get("PACKAGE_BUILD_DIR", "")
LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
ETC_LIGHTTPD = "/etc/lighttpd"
PROGRAM_DIR = f"/usr/libexec/{PACKAGE}"
CONFIG_FILE = f"/etc/{PACKAGE}/config.json"
STATE_DIR = f"/var/lib/{PACKAGE}"
LOG_DIR = f"/var/log/{PACKAGE}"
SNIPPET = f"50-{PACKAGE}.conf"
ENABLED = os.path.join(ETC_LIGHTTPD, "conf-enabled", SNIPPET)
APT = ["apt-get", "-y", "-q", "--no-install-recommends", "-o", "DPkg::Lock::Timeout=120"]


def run(args, env=None, timeout=300):
    p = subprocess.run(args, env={**os.environ, "DEBIAN_FRONTEND": "noninteractive", **(env or {})},
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
    if p.returncode != 0:
        raise AssertionError(f"{' '.join(args)} exited {p.returncode}\n{p.stdout}\n{p.stderr}")
    return p.stdout


def installed():
    p = subprocess.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], capture_output=True, text=True)
    return p.returncode == 0 and "installed" in p.stdout and "not-installed" not in p.stdout


def snapshot(root):
    """Every file under root with its size and content hash: what "intact"
    compares."""
    out = {}
    for d, _, files in os.walk(root):
        for f in files:
            path = os.path.join(d, f)
            rel = os.path.relpath(path, root)
            if rel.startswith("registry_access.log") or rel.startswith("_"):
                continue  # the access log and the store's own state move on
            with open(path, "rb") as fh:
                out[rel] = hash(fh.read())
    return out


def restore_tree(backup, target):
    """Makes target equal to backup again: what was added goes, what was
    removed or changed comes back (symbolic links as links)."""
    for d, dirs, files in os.walk(target, topdown=False):
        for name in files + dirs:
            path = os.path.join(d, name)
            if not os.path.lexists(os.path.join(backup, os.path.relpath(path, target))):
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
    subprocess.run(["cp", "-a", "--remove-destination", backup + "/.", target], check=True)


class PackageTest(unittest.TestCase):
    def setUp(self):
        reasons = []
        if os.geteuid() != 0:
            reasons.append("not root")
        for tool in ("dpkg", "dpkg-deb", "apt-get", "skopeo", "lighty-enable-mod"):
            if not shutil.which(tool):
                reasons.append(f"{tool} is missing")
        if not os.path.exists(LIGHTTPD) or not os.path.isdir(ETC_LIGHTTPD):
            reasons.append("lighttpd is not installed")
        if installed():
            reasons.append(f"{PACKAGE} is installed here already: not touching it")
        if os.path.exists(STATE_DIR):
            reasons.append(f"{STATE_DIR} exists: it may hold someone's images")
        try:
            pwd.getpwnam("www-data")
        except KeyError:
            reasons.append("no www-data user")
        if not BUILD_DIR:
            reasons.append("PACKAGE_BUILD_DIR is not set")
        if reasons:
            self.skipTest("; ".join(reasons))
        self.tmp = ds.make_temp_dir("registry-package-")
        os.chmod(self.tmp, 0o755)  # lighttpd drops to www-data
        self.backup = os.path.join(self.tmp, "etc-lighttpd")
        subprocess.run(["cp", "-a", ETC_LIGHTTPD, self.backup], check=True)
        self.log_dir_existed = os.path.exists(LOG_DIR)
        self.server = None
        self.addCleanup(self.leave_machine_as_it_was)
        self.clients = ds.Clients(os.path.join(self.tmp, "clients"))

    def leave_machine_as_it_was(self):
        ds.stop(self.server)
        errors = []
        if installed() or subprocess.run(["dpkg", "-s", PACKAGE], capture_output=True).returncode == 0:
            try:
                run([*APT, "purge", PACKAGE])
            except AssertionError as e:
                errors.append(str(e))
        try:
            restore_tree(self.backup, ETC_LIGHTTPD)
        except (OSError, subprocess.CalledProcessError) as e:
            errors.append(f"restoring {ETC_LIGHTTPD}: {e}")
        shutil.rmtree(STATE_DIR, ignore_errors=True)
        if not self.log_dir_existed:
            shutil.rmtree(LOG_DIR, ignore_errors=True)
        shutil.rmtree(self.tmp, ignore_errors=True)
        if errors:
            raise AssertionError("\n".join(errors))

    # -- steps -------------------------------------------------------------

    def build(self, release):
        out = run(["bash", os.path.join(ds.SCRIPTS, "package.sh")],
                  env={"BUILD_DIR": BUILD_DIR, "DIST_DIR": os.path.join(self.tmp, f"dist{release}"),
                       "REGISTRY_PACKAGE_RELEASE": str(release), "REGISTRY_SKIP_SETUP": "1"},
                  timeout=900)
        deb = out.strip().splitlines()[-1]
        self.assertTrue(deb.endswith(".deb") and os.path.isfile(deb), out)
        return deb

    def serve(self):
        """lighttpd in the foreground on a free port with the enabled
        snippet, as www-data like the system's server."""
        port = ds.free_port()
        www, uploads = os.path.join(self.tmp, "www"), os.path.join(self.tmp, "uploads")
        logs = os.path.join(self.tmp, "logs")
        os.makedirs(www, exist_ok=True)
        for d in (uploads, logs):  # lighttpd opens them as www-data
            os.makedirs(d, exist_ok=True)
            shutil.chown(d, "www-data", "www-data")
        conf = os.path.join(self.tmp, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write(f'server.modules = ( "mod_access" )\n'
                    f'server.bind = "127.0.0.1"\nserver.port = {port}\n'
                    f'server.document-root = "{www}"\nserver.upload-dirs = ( "{uploads}" )\n'
                    f'server.errorlog = "{logs}/error.log"\n'
                    f'server.username = "www-data"\nserver.groupname = "www-data"\n'
                    f'include "{ENABLED}"\n')
        run([LIGHTTPD, "-tt", "-f", conf])
        self.server = subprocess.Popen([LIGHTTPD, "-D", "-f", conf], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE)
        self.assertEqual(ds.wait_listening(port, None, self.server), 204)
        return f"127.0.0.1:{port}"

    def push(self, host, name, seed):
        layout, _ = self.clients.make_image(f"img-{seed}", "v1", seed)
        rc, out = self.clients.skopeo("copy", "--dest-tls-verify=false", f"oci:{layout}:v1",
                                      f"docker://{host}/{name}:v1")
        self.assertEqual(rc, 0, out)
        return layout

    def assert_pulls(self, host, images, label):
        for name, layout in images.items():
            back = os.path.join(self.tmp, f"back-{label}-{name.replace('/', '-')}")
            rc, out = self.clients.skopeo("copy", "--src-tls-verify=false",
                                          f"docker://{host}/{name}:v1", f"oci:{back}:v1")
            self.assertEqual(rc, 0, f"{label}: {out}")
            self.assertEqual(ds.layout_blobs(back), ds.layout_blobs(layout), label)

    def get(self, host, path):
        c = http.client.HTTPConnection(host, timeout=30)
        try:
            c.request("GET", path, headers={"Accept": "application/json"})
            r = c.getresponse()
            return r.status, r.read()
        finally:
            c.close()

    def assert_blob_sender(self, host, layout, by_server):
        """The config and every layer of layout's image come back whole, with
        no file name for the client; by_server: sent by lighttpd itself
        (X-Sendfile), which dates the file (the programs send no
        Last-Modified)."""
        def blob(digest):
            with open(os.path.join(layout, "blobs", *digest.split(":")), "rb") as f:
                return f.read()
        with open(os.path.join(layout, "index.json")) as f:
            manifest = json.loads(blob(json.load(f)["manifests"][0]["digest"]))
        for d in [manifest["config"]["digest"]] + [x["digest"] for x in manifest["layers"]]:
            data = blob(d)
            c = http.client.HTTPConnection(host, timeout=30)
            try:
                c.request("GET", f"/v2/team/app/blobs/{d}")
                r = c.getresponse()
                body = r.read()
            finally:
                c.close()
            self.assertEqual((r.status, body == data, r.getheader("X-Sendfile")), (200, True, None))
            self.assertEqual(r.getheader("Last-Modified") is not None, by_server, d)

    def admin(self, *args):
        return run(["runuser", "-u", "www-data", "--", "env", f"REGISTRY_CONFIG={CONFIG_FILE}",
                    "/usr/bin/registry-admin", *args])

    # -- the test ----------------------------------------------------------

    def test_install_serve_upgrade_remove_purge(self):
        deb1, deb2 = self.build(1), self.build(2)
        contents = run(["dpkg-deb", "-c", deb1])
        for path in (f"{PROGRAM_DIR}/v2_manifests", "/usr/bin/registry-admin", CONFIG_FILE,
                     f"/etc/lighttpd/conf-available/{SNIPPET}", f"/etc/cron.d/{PACKAGE}",
                     f"/usr/lib/systemd/system/{PACKAGE}-housekeeping.timer"):
            self.assertIn("." + path, contents)
        self.assertNotIn("./var/", contents, "the package must not own the storage root")
        self.assertIn("lighttpd", run(["dpkg-deb", "-f", deb1, "Depends"]))

        run([*APT, "install", os.path.abspath(deb1)])
        st = os.stat(STATE_DIR)
        self.assertEqual((pwd.getpwuid(st.st_uid).pw_name, oct(st.st_mode & 0o777)),
                         ("www-data", "0o750"))
        st = os.stat(CONFIG_FILE)
        self.assertEqual((grp.getgrgid(st.st_gid).gr_name, oct(st.st_mode & 0o777)),
                         ("www-data", "0o640"))
        # Nothing is switched on by installing.
        self.assertFalse(os.path.lexists(ENABLED), "the lighttpd snippet was enabled")
        self.assertFalse(os.path.lexists(
            f"/etc/systemd/system/timers.target.wants/{PACKAGE}-housekeeping.timer"))
        with open(f"/etc/cron.d/{PACKAGE}") as f:
            self.assertFalse([x for x in f if x.strip() and not x.startswith("#") and "=" not in x],
                             "the cron schedule is active")

        # The housekeeping units as systemd reads them (it need not run).
        if shutil.which("systemd-analyze"):
            units = [f"/usr/lib/systemd/system/{PACKAGE}-housekeeping.{k}" for k in ("service", "timer")]
            run(["systemd-analyze", "verify", *units])

        run(["lighty-enable-mod", PACKAGE])
        self.assertTrue(os.path.exists(ENABLED))
        host = self.serve()
        images = {"team/app": self.push(host, "team/app", 11),
                  "lib/base": self.push(host, "lib/base", 12)}
        self.assert_pulls(host, images, "installed")
        self.assert_blob_sender(host, images["team/app"], by_server=True)
        # The health probe, too, found the storage root (its default, beside
        # the programs, is not writable for www-data); direct requests for
        # the programs find nothing.
        self.assertEqual(self.get(host, "/healthz")[0], 200)
        self.assertEqual(self.get(host, "/_registry/v2_base/v2/")[0], 404)
        # The programs found the storage root through the snippet's setting.
        self.assertTrue(os.path.isdir(os.path.join(STATE_DIR, "repositories", "team", "app")))
        self.assertEqual(pwd.getpwuid(os.stat(os.path.join(STATE_DIR, "blobs")).st_uid).pw_name,
                         "www-data")
        # The housekeeping's commands, as its service runs them.
        self.admin("retention")
        self.admin("gc")
        stats = json.loads(self.admin("stats", "--json"))
        self.assertEqual((stats["repositories"], stats["root"]), (2, STATE_DIR))
        ds.stop(self.server)
        # The snippet's one switch sends blobs through the programs instead.
        available = os.path.realpath(ENABLED)
        with open(available) as f:
            shipped = f.read()
        self.assertEqual(shipped.count('var.registry_x_sendfile = "1"'), 1)
        with open(available, "w") as f:
            f.write(shipped.replace('var.registry_x_sendfile = "1"', 'var.registry_x_sendfile = "0"'))
        try:
            host = self.serve()
            self.assert_blob_sender(host, images["team/app"], by_server=False)
            ds.stop(self.server)
        finally:
            with open(available, "w") as f:  # as shipped, so the upgrade asks nothing
                f.write(shipped)
        before = snapshot(STATE_DIR)

        run([*APT, "install", os.path.abspath(deb2)])
        self.assertIn("-2", run(["dpkg-query", "-W", "-f=${Version}", PACKAGE]))
        self.assertTrue(os.path.exists(ENABLED), "an upgrade disabled the snippet")
        self.assertEqual(snapshot(STATE_DIR), before)
        host = self.serve()
        self.assert_pulls(host, images, "upgraded")
        ds.stop(self.server)
        before = snapshot(STATE_DIR)

        run([*APT, "remove", PACKAGE])
        self.assertFalse(os.path.lexists(ENABLED), "removal left routes to programs that are gone")
        self.assertFalse(os.path.exists(PROGRAM_DIR))
        self.assertEqual(snapshot(STATE_DIR), before)
        run([*APT, "purge", PACKAGE])
        self.assertFalse(os.path.exists(CONFIG_FILE))
        self.assertEqual(snapshot(STATE_DIR), before, "purging touched the storage root")


if __name__ == "__main__":
    unittest.main()
