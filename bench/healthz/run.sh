#!/usr/bin/env bash
# Times one health request as a whole process against its floors, in one run:
#  (a) a fresh store   vs. a program that only exits (process creation)
#  (b) a large store   vs. `du -s` over the same store (the file system)
# and reads the program's peak memory. Prints ratios.
# usage: bench/healthz/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
healthz=$build/endpoints/healthz
floor=$build/bench/healthz/exit_only
for b in "$healthz" "$floor"; do [ -x "$b" ] || { echo "missing $b: build first" >&2; exit 1; }; done
command -v hyperfine >/dev/null || { echo "hyperfine is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
runs=${RUNS:-300}

mean() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(" ".join("%.6f" % r["mean"] for r in d["results"]))' "$1"; }

export REQUEST_METHOD=GET
echo "== (a) fresh store vs. process-creation floor ($runs runs each)"
REGISTRY_STORAGE_ROOT=$work/fresh hyperfine -N --warmup 20 --runs "$runs" \
    --export-json "$work/a.json" "$healthz" "$floor" >/dev/null
read -r a_h a_f < <(mean "$work/a.json")

echo "== (b) large store vs. du -s"
python3 "$here/make_store.py" "$work/large" --repos 1024 --tags 4 --blobs 20000
REGISTRY_STORAGE_ROOT=$work/large hyperfine -N --warmup 5 --runs "$((runs / 3))" \
    --export-json "$work/b.json" "$healthz" "du -s $work/large" >/dev/null
read -r b_h b_f < <(mean "$work/b.json")

rss_fresh=$(REGISTRY_STORAGE_ROOT=$work/fresh /usr/bin/time -f %M "$healthz" 2>&1 >/dev/null | tail -n1)
rss_large=$(REGISTRY_STORAGE_ROOT=$work/large /usr/bin/time -f %M "$healthz" 2>&1 >/dev/null | tail -n1)

python3 - "$a_h" "$a_f" "$b_h" "$b_f" "$rss_fresh" "$rss_large" <<'PY'
import sys
a_h, a_f, b_h, b_f = map(float, sys.argv[1:5])
rf, rl = map(int, sys.argv[5:7])
print("(a) fresh store: healthz %.3f ms, exit-only %.3f ms, ratio %.2fx (goal <= 2.0x)"
      % (a_h * 1e3, a_f * 1e3, a_h / a_f))
print("(b) large store: healthz %.3f ms, du -s %.3f ms, ratio %.2fx (goal <= 1.0x)"
      % (b_h * 1e3, b_f * 1e3, b_h / b_f))
print("peak memory: fresh %.2f MiB, large %.2f MiB (goal <= 8 MiB)" % (rf / 1024, rl / 1024))
PY
