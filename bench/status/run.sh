#!/usr/bin/env bash
# Times one status request (JSON and HTML, first page of 20 repositories)
# against one health request on the same large store with a long access
# log, as whole processes in one run. Prints the ratios and peak memory.
# usage: bench/status/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
healthz=$build/endpoints/healthz
status=$build/endpoints/status
for b in "$healthz" "$status"; do [ -x "$b" ] || { echo "missing $b: build first" >&2; exit 1; }; done
command -v hyperfine >/dev/null || { echo "hyperfine is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
runs=${RUNS:-60}

python3 "$root/bench/healthz/make_store.py" "$work/large" --repos 1024 --tags 4 --blobs 20000
# A log of about 2 days at one request a second (~170,000 lines): the page
# must read only the last day's tail of it.
python3 - "$work/large/registry_access.log" <<'PY'
import json, sys, time
now = int(time.time())
with open(sys.argv[1], "w") as f:
    for i in range(172800, 0, -1):
        ts = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now - i))
        path = f"/v2/team{i % 64}/app/manifests/v1"
        rec = {"ts": ts, "method": "GET", "path": path, "status": 200, "bytes": 512,
               "actor": "anonymous"}
        f.write(f"GET {path} 512 200 anonymous {ts} {json.dumps(rec)}\n")
PY
mean() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(" ".join("%.6f" % r["mean"] for r in d["results"]))' "$1"; }
export REQUEST_METHOD=GET REGISTRY_STORAGE_ROOT=$work/large
hyperfine -N --warmup 3 --runs "$runs" --export-json "$work/r.json" \
    "$healthz" \
    "env QUERY_STRING=format=json $status" \
    "env HTTP_ACCEPT=text/html $status" >/dev/null
read -r h j p < <(mean "$work/r.json")
rss=$(QUERY_STRING=format=json /usr/bin/time -f %M "$status" 2>&1 >/dev/null | tail -n1)
python3 - "$h" "$j" "$p" "$rss" <<'PY'
import sys
h, j, p = map(float, sys.argv[1:4])
print("healthz %.2f ms; status JSON %.2f ms (%.2fx); status HTML %.2f ms (%.2fx); "
      "status peak memory %.2f MiB" % (h * 1e3, j * 1e3, j / h, p * 1e3, p / h, int(sys.argv[4]) / 1024))
PY
