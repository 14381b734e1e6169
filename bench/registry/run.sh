#!/usr/bin/env bash
# The registry's speed through lighttpd, each case against its floor in the
# same run (see bench.py for the cases). Prints ratios.
# usage: bench/registry/run.sh [BUILD_DIR] [CASE ...]   (default: build, every case)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
for t in wrk curl skopeo lighttpd; do
    command -v "$t" >/dev/null || [ -x "/usr/sbin/$t" ] ||
        { echo "$t is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
for b in endpoints/v2_blobs bench/registry/floor_fixed bench/registry/head_load; do
    [ -x "$build/$b" ] || { echo "missing $build/$b: build first" >&2; exit 1; }
done
exec python3 "$here/bench.py" "$build" "$@"
