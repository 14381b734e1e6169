#!/usr/bin/env python3
"""Makes the Windows bundle: every program .exe and registry-admin.exe of a
Windows build, a sample config.json, sample configurations for IIS and
Apache httpd and README-windows.txt, in NAME-VERSION-windows.zip; then reads
the zip back and checks that all of it is there.

    windows-bundle.py BUILD_DIR OUT_DIR      prints the zip's path"""
import os
import re
import sys
import zipfile
from xml.etree import ElementTree

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
PROGRAMS = ["healthz", "status", "token", "v2_base", "v2_catalog", "v2_tags", "v2_manifests", "v2_blobs",
            "v2_uploads", "v2_referrers"]
NAME = "registry-cgi"


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        m = re.search(r"project\(\S+\s+VERSION\s+([0-9.]+)", f.read())
    return m.group(1) if m else "0"


def contents(build):
    """(path in the zip, file on disk) for everything the bundle holds."""
    win = os.path.join(ROOT, "deploy", "windows")
    items = [(f"{p}.exe", os.path.join(build, "endpoints", f"{p}.exe")) for p in PROGRAMS]
    items.append(("registry-admin.exe", os.path.join(build, "admin", "registry-admin.exe")))
    items += [("config.json", os.path.join(win, "config.json")),
              ("README-windows.txt", os.path.join(win, "README-windows.txt")),
              ("iis/web.config", os.path.join(win, "web.config")),
              ("apache/httpd-registry.conf", os.path.join(win, "httpd-registry.conf"))]
    return items


def check(zip_path, items):
    """Every expected entry present, intact, and nothing else; each .exe a
    Windows program (MZ header)."""
    with zipfile.ZipFile(zip_path) as z:
        if z.testzip() is not None:
            raise SystemExit(f"windows-bundle: {zip_path} is damaged")
        names = sorted(n.split("/", 1)[1] for n in z.namelist())
        want = sorted(name for name, _ in items)
        if names != want:
            raise SystemExit(f"windows-bundle: {zip_path} holds {names}, not {want}")
        for n in z.namelist():
            if n.endswith(".exe") and z.read(n)[:2] != b"MZ":
                raise SystemExit(f"windows-bundle: {n} is not a Windows program")
        web = [n for n in z.namelist() if n.endswith("/web.config")][0]
        try:
            ElementTree.fromstring(z.read(web))
        except ElementTree.ParseError as e:
            raise SystemExit(f"windows-bundle: {web} is not well-formed XML: {e}")
        cfg = [n for n in z.namelist() if n.endswith("/config.json")][0]
        if b'"registry_storage_root":"' not in z.read(cfg):
            raise SystemExit("windows-bundle: the sample config.json names no storage root")


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    build, out = sys.argv[1], sys.argv[2]
    items = contents(build)
    missing = [disk for _, disk in items if not os.path.isfile(disk)]
    if missing:
        raise SystemExit("windows-bundle: missing (build first): " + ", ".join(missing))
    os.makedirs(out, exist_ok=True)
    top = f"{NAME}-{version()}-windows"
    zip_path = os.path.join(out, top + ".zip")
    tmp = zip_path + ".tmp"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for name, disk in items:
            z.write(disk, f"{top}/{name}")
    os.replace(tmp, zip_path)
    check(zip_path, items)
    print(zip_path)


if __name__ == "__main__":
    main()
