#!/usr/bin/env bash
# Times a small monolithic push (one POST of 1,000 bytes with its digest)
# through lighttpd on a store of 1,033 repositories and 20,008 blobs, with
# and without "registry_quota_bytes", pushes of the two kinds interleaved so
# that the machine's load falls on both alike. Prints both medians and the
# ratio (the quota check reads a snapshot; it used to walk the store).
# usage: bench/quota/run.sh [BUILD_DIR]   (default: build; a Release build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
port=${PORT:-18479} pairs=${PAIRS:-150}
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

python3 "$root/bench/healthz/make_store.py" "$work/store" --repos 1033 --tags 4 --blobs 20008 >/dev/null
conf=$(bash "$root/scripts/lighttpd-conf.sh" "$work/serve" "$port" "$build/endpoints")
lighttpd -D -f "$conf" &
pid=$!
for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$port/v2/" && break
    sleep 0.1
done
python3 "$here/push_pairs.py" "$port" "$work/store" "$work/serve/cgi/config.json" "$pairs"
