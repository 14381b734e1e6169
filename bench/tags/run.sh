#!/usr/bin/env bash
# Tag listing and retention on a large store, each against a baseline that
# only lists and stats the same directories (find -printf), in one run:
#  (a) 1,024 repositories x 20 tags: every tag list, and a dry retention run
#  (b) one repository with 5,000 tags, and one with 1,250: the tag list
# Prints ratios to the baselines, and the cost per tag at 5,000 against
# 1,250 tags (1.0 means linear).
# usage: bench/tags/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
tool=$build/bench/tags/tags_tool
[ -x "$tool" ] || { echo "missing $tool: build first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "hyperfine is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
runs=${RUNS:-20}

# A store laid out as pushes leave it: per tag a current/link holding a
# digest, with link times spread over 60 days.
python3 - "$work" <<'PY'
import os, sys, hashlib
work = sys.argv[1]
def store(root, repos):
    for name, tags in repos:
        m = os.path.join(root, "repositories", name, "_manifests")
        for t in range(tags):
            d = os.path.join(m, "tags", "t%05d" % t, "current")
            os.makedirs(d)
            link = os.path.join(d, "link")
            with open(link, "w") as f:
                f.write("sha256:" + hashlib.sha256(f"{name}:{t}".encode()).hexdigest())
            when = 1700000000 + (t * 7919 % 60) * 86400
            os.utime(link, (when, when))
store(os.path.join(work, "wide"), [("team%02d/app%04d" % (r % 32, r), 20) for r in range(1024)])
store(os.path.join(work, "deep"), [("big", 5000), ("quarter", 1250)])
PY

mean() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(" ".join("%.6f" % r["mean"] for r in d["results"]))' "$1"; }
bench() { # out.json, commands...
    local out=$1; shift
    hyperfine -N --warmup 3 --runs "$runs" --export-json "$out" "$@" >/dev/null
    mean "$out"
}

W=$work/wide; D=$work/deep
echo "== (a) 1,024 repositories x 20 tags"
read -r a_list a_ret a_base < <(bench "$work/a.json" \
    "$tool $W list-all" "$tool $W retention" "find $W/repositories -printf %T@%p\\n")
echo "== (b) one repository with 5,000 tags, one with 1,250"
T=$D/repositories
read -r b_big b_quarter b_big_base b_quarter_base < <(bench "$work/b.json" \
    "$tool $D list big" "$tool $D list quarter" \
    "find $T/big/_manifests/tags -printf %T@%p\\n" "find $T/quarter/_manifests/tags -printf %T@%p\\n")

python3 - "$a_list" "$a_ret" "$a_base" "$b_big" "$b_quarter" "$b_big_base" "$b_quarter_base" <<'PY'
import sys
a_list, a_ret, a_base, big, quarter, big_base, quarter_base = map(float, sys.argv[1:])
ms = lambda s: s * 1e3
print("(a) every tag list: %.1f ms, find %.1f ms, ratio %.2fx (goal <= 1.5x)" % (ms(a_list), ms(a_base), a_list / a_base))
print("(a) retention dry run: %.1f ms, find %.1f ms, ratio %.2fx (goal <= 1.5x)" % (ms(a_ret), ms(a_base), a_ret / a_base))
print("(b) 5,000 tags: %.1f ms, find %.1f ms, ratio %.2fx (goal <= 1.5x)" % (ms(big), ms(big_base), big / big_base))
print("(b) 1,250 tags: %.1f ms, find %.1f ms, ratio %.2fx" % (ms(quarter), ms(quarter_base), quarter / quarter_base))
print("(b) cost per tag, 5,000 vs 1,250 tags: ratio %.2fx (1.0 = linear; find: %.2fx)"
      % ((big / 5000) / (quarter / 1250), (big_base / 5000) / (quarter_base / 1250)))
PY
