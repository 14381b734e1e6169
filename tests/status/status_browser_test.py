#!/usr/bin/env python3
"""The status page in a real browser: headless Chromium loads /status from
lighttpd over a store holding one image; the rendered document must show
the store's numbers and the repository, and load nothing from elsewhere.
The screenshot stays in STATUS_ARTIFACTS (the build tree). Exit status 77
(skipped) without chromium or lighttpd."""
import hashlib
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from served_registry import LIGHTTPD, ServedRegistry  # noqa: E402

SKIP = 77


def browser():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def request(host, method, path, body=None, headers=None):
    c = http.client.HTTPConnection(host, timeout=30)
    c.request(method, path, body=body, headers=headers or {})
    r = c.getresponse()
    data = r.read()
    c.close()
    return r.status, data


def push_image(host, name, tag):
    config = b'{"architecture":"amd64","os":"linux","rootfs":{"type":"layers"}}'
    layer = bytes(range(256)) * 16
    descs = []
    for data, media in ((config, "application/vnd.oci.image.config.v1+json"),
                        (layer, "application/vnd.oci.image.layer.v1.tar")):
        d = "sha256:" + hashlib.sha256(data).hexdigest()
        status, _ = request(host, "POST", f"/v2/{name}/blobs/uploads/?digest={d}", data,
                            {"Content-Type": "application/octet-stream"})
        assert status == 201, status
        descs.append({"mediaType": media, "digest": d, "size": len(data)})
    manifest = json.dumps({"schemaVersion": 2,
                           "mediaType": "application/vnd.oci.image.manifest.v1+json",
                           "config": descs[0], "layers": descs[1:]}).encode()
    status, _ = request(host, "PUT", f"/v2/{name}/manifests/{tag}", manifest,
                        {"Content-Type": "application/vnd.oci.image.manifest.v1+json"})
    assert status == 201, status


def main():
    chrome = browser()
    if not chrome:
        print("skipped: no chromium on this machine (scripts/setup.sh installs it)")
        return SKIP
    if not os.path.exists(LIGHTTPD):
        print("skipped: no lighttpd")
        return SKIP
    programs = os.environ["ENDPOINTS_DIR"]
    artifacts = os.environ.get("STATUS_ARTIFACTS") or tempfile.gettempdir()
    tmp = tempfile.mkdtemp(prefix="status-browser-")
    server = ServedRegistry(os.path.join(tmp, "serve"), programs)
    try:
        push_image(server.host, "lib/app", "v1")
        url = f"http://{server.host}/status"
        status, _ = request(server.host, "GET", "/status", headers={"Accept": "text/html"})
        assert status == 200, status
        common = [chrome, "--headless", "--no-sandbox", "--disable-gpu",
                  "--no-first-run", "--disable-extensions", "--user-data-dir=" + os.path.join(tmp, "profile"),
                  "--window-size=1000,1200"]
        dom = subprocess.run(common + ["--dump-dom", url], capture_output=True, text=True,
                             timeout=120).stdout
        shot = os.path.join(artifacts, "status_page.png")
        subprocess.run(common + ["--screenshot=" + shot, url], capture_output=True, timeout=120)
        failures = []
        if "Registry status" not in dom:
            failures.append("no title rendered")
        if "lib/app" not in dom or "<td>v1</td>" not in dom:
            failures.append("the pushed repository and tag are missing")
        if not re.search(r"<th>Repositories</th><td>1</td>", dom):
            failures.append("the store's repository count is missing")
        if len(re.findall(r"<rect\b", dom)) != 24 or 'id="chart"' not in dom:
            failures.append("the traffic chart is not drawn")
        if not re.search(r"<th>Requests</th><td>[1-9]", dom):
            failures.append("the traffic counts are missing")
        if re.search(r'<(script|link|img|iframe)\b', dom):
            failures.append("the page loads a resource")
        if not os.path.isfile(shot) or os.path.getsize(shot) == 0:
            failures.append("no screenshot")
        for f in failures:
            print("FAIL:", f)
        print("screenshot:", shot)
        return 1 if failures else 0
    finally:
        server.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
