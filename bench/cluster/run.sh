#!/usr/bin/env bash
# The registry on a store shared through MooseFS against local disk (see
# bench.py for the cases). Prints ratios and system-call counts. Not in CI.
# usage: bench/cluster/run.sh [BUILD_DIR] [CASE ...]   (default: build, every case)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
for t in skopeo strace lighttpd mfsmount; do
    command -v "$t" >/dev/null || [ -x "/usr/sbin/$t" ] ||
        { echo "$t is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
[ -x "$build/endpoints/v2_blobs" ] || { echo "missing $build/endpoints/v2_blobs: build first" >&2; exit 1; }
exec python3 "$here/bench.py" "$build" "$@"
