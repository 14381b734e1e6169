#!/usr/bin/env bash
# Garbage collection on a generated store (1,024 repositories x 10 manifests,
# 50,000 blobs, a fifth of them unreferenced), a dry run and a real run, each
# against the file-system floor (du -s plus reading every manifest body once)
# on the same copy of the store. Prints ratios.
# usage: bench/gc/run.sh [BUILD_DIR] [ROUNDS]   (default: build, 3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bench=$build/bench/gc/gc_bench
[ -x "$bench" ] || { echo "missing $bench: build first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$here/make_store.py" "$work/template" "$work/bodies.txt"
"$bench" "$work/template" "$work/bodies.txt" "$work/store" "${2:-3}"
