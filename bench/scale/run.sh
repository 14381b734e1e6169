#!/usr/bin/env bash
# How the registry's costs grow with the store, against floors measured in
# the same run. For each size (repositories; ten blobs per repository, a
# fifth of them unreferenced, one tagged manifest per repository in
# teamNN/appNNNNN) it generates a store and prints, as ratios:
#   catalog page of 100 and the whole catalog  vs. find over repositories/
#   manifest GET, blob HEAD, a small push with the quota on
#                                              vs. the same on a fresh store
#   registry-admin stats                       vs. du -s
#   registry-admin gc (one real run)           vs. du -s + reading every
#                                                  manifest body + unlinking
#                                                  the unreferenced blobs
# usage: bench/scale/run.sh [BUILD_DIR] [SIZES]
#        (default: build-release, "1000 10000 100000"; WORK=DIR keeps the
#        stores there instead of a temporary directory, RUNS=N for requests)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build-release}" && pwd)
sizes=${2:-"1000 10000 100000"}
runs=${RUNS:-30}
ep=$build/endpoints
admin=$build/admin/registry-admin
for b in "$ep/v2_catalog" "$ep/v2_manifests" "$ep/v2_blobs" "$ep/v2_uploads" "$admin"; do
    [ -x "$b" ] || { echo "missing $b: build first" >&2; exit 1; }
done
command -v hyperfine >/dev/null || { echo "hyperfine is missing (scripts/setup.sh installs it)" >&2; exit 1; }

if [ -n "${WORK:-}" ]; then
    work=$WORK
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
export REGISTRY_ACCESS_LOG_DIR=$work/logs
mkdir -p "$REGISTRY_ACCESS_LOG_DIR"

make_store() { # DIR REPOS
    [ -d "$1/store" ] && return 0
    python3 "$root/bench/gc/make_store.py" "$1/store" "$1/bodies.txt" \
        --repos "$2" --manifests 1 --blobs "$(($2 * 10))" >/dev/null
    python3 "$here/unreferenced.py" "$1/store" "$1/bodies.txt" >"$1/unreferenced.txt"
}

mean() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(" ".join("%.6f" % r["mean"] for r in d["results"]))' "$1"; }

# The request a client makes, as a whole process: program, then env.
request() { # STORE PROGRAM METHOD PATH [QUERY]
    echo "env REGISTRY_STORAGE_ROOT=$1 REQUEST_METHOD=$3 PATH_INFO=$4 QUERY_STRING=${5:-} $2"
}

# A small blob pushed in one POST, with the quota on.
printf 'a small layer of 1,000 bytes %0971d' 0 >"$work/small.bin"
small=sha256:$(sha256sum "$work/small.bin" | cut -d' ' -f1)
echo '{"registry_quota_bytes": 1099511627776}' >"$work/quota.json"
push() { # STORE
    echo "env REGISTRY_STORAGE_ROOT=$1 REGISTRY_CONFIG=$work/quota.json REQUEST_METHOD=POST" \
        "PATH_INFO=/v2/team00/app0000/blobs/uploads/ QUERY_STRING=digest=$small" \
        "CONTENT_LENGTH=1000 POST_BODY_FILE=$work/small.bin $ep/v2_uploads"
}

make_store "$work/fresh" 1
fresh=$work/fresh/store
first_blob() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["config"]["digest"])' "$1/store/$(head -n1 "$1/bodies.txt")"; }

results=$work/results.txt
: >"$results"
for n in $sizes; do
    d=$work/s$n
    mkdir -p "$d"
    echo "== $n repositories, $((n * 10)) blobs: generating" >&2
    t0=$(date +%s)
    make_store "$d" "$n"
    echo "   generated in $(($(date +%s) - t0)) s" >&2
    s=$d/store
    blob=$(first_blob "$d")
    fresh_blob=$(first_blob "$work/fresh")
    walk_runs=$(( n >= 100000 ? 3 : 10 ))

    # catalog_all.sh reads its root from the environment
    REGISTRY_STORAGE_ROOT=$s hyperfine -N --warmup 1 --runs "$walk_runs" --export-json "$d/catalog.json" \
        "$(request "$s" "$ep/v2_catalog" GET /v2/_catalog n=100)" \
        "bash $here/catalog_all.sh $ep/v2_catalog" \
        "find $s/repositories -name _manifests -prune" >/dev/null
    read -r page whole find_t < <(mean "$d/catalog.json")

    hyperfine -N --warmup 3 --runs "$runs" --export-json "$d/single.json" \
        "$(request "$s" "$ep/v2_manifests" GET /v2/team00/app0000/manifests/v0)" \
        "$(request "$fresh" "$ep/v2_manifests" GET /v2/team00/app0000/manifests/v0)" \
        "$(request "$s" "$ep/v2_blobs" HEAD "/v2/team00/app0000/blobs/$blob")" \
        "$(request "$fresh" "$ep/v2_blobs" HEAD "/v2/team00/app0000/blobs/$fresh_blob")" \
        "$(push "$s")" "$(push "$fresh")" >/dev/null
    read -r man_l man_f head_l head_f push_l push_f < <(mean "$d/single.json")

    hyperfine -N --warmup 1 --runs "$walk_runs" --export-json "$d/stats.json" \
        "$admin stats --root $s" "du -s $s" >/dev/null
    read -r stats du_t < <(mean "$d/stats.json")

    # One real collection and its floor, each on its own linked copy.
    rm -rf "$d/gc" "$d/floor"
    cp -al "$s" "$d/gc"
    cp -al "$s" "$d/floor"
    gc_t=$(python3 -c 'import subprocess,sys,time; t=time.perf_counter(); subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL); print(time.perf_counter()-t)' \
        "$admin" gc --root "$d/gc")
    floor_t=$(python3 "$here/gc_floor.py" "$d/floor" "$d/bodies.txt" "$d/unreferenced.txt")
    rm -rf "$d/gc" "$d/floor"

    echo "$n $page $whole $find_t $man_l $man_f $head_l $head_f $push_l $push_f $stats $du_t $gc_t $floor_t" >>"$results"
done

python3 - "$results" <<'PY'
import sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
print("| repositories | catalog page (n=100) / find | whole catalog / find | manifest GET / fresh | blob HEAD / fresh | push, quota on / fresh | stats / du -s | gc / floor |")
print("|---:|---|---|---|---|---|---|---|")
ms = lambda s: "%.1f ms" % (s * 1e3) if s < 10 else "%.1f s" % s
for r in rows:
    n, page, whole, find, ml, mf, hl, hf, pl, pf, st, du, gc, fl = r
    cell = lambda a, b: "%.2fx (%s vs %s)" % (a / b, ms(a), ms(b))
    print("| %d | %s | %s | %s | %s | %s | %s | %s |" % (
        n, cell(page, find), cell(whole, find), cell(ml, mf), cell(hl, hf), cell(pl, pf),
        cell(st, du), cell(gc, fl)))
PY
