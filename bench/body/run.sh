#!/usr/bin/env bash
# Streams a 1 GiB body from standard input to a file through cgi_stream_post
# (body_sink) and times it against `cat` doing the same copy, in one run.
#  (a) standard input a pipe, as the web server hands a body to a CGI
#      program: both read from the same producer.
#  (b) standard input the file itself: cat may then copy inside the kernel
#      (copy_file_range), which a read-and-callback interface cannot; shown
#      for reference.
# Prints ratios; goal for (a) <= 1.2x.
# usage: bench/body/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
sink=$build/bench/body/body_sink
[ -x "$sink" ] || { echo "missing $sink: build first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "hyperfine is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=$((1 << 30))
runs=${RUNS:-10}
in=$work/body.bin
out=$work/out.bin

# Random bytes, so nothing along the way can take a shortcut on zeros.
head -c "$size" /dev/urandom >"$in"
export CONTENT_LENGTH=$size

check() { # the copy must be whole and exact
    cmp -s "$in" "$out" || { echo "$1: copy differs" >&2; exit 1; }
}
cat "$in" | "$sink" "$out" && check "body_sink, pipe"
"$sink" "$out" <"$in" && check "body_sink, file"

hyperfine --warmup 2 --runs "$runs" --export-json "$work/pipe.json" --prepare "rm -f $out" \
    "cat $in | $sink $out" "cat $in | cat > $out" >/dev/null
hyperfine --warmup 2 --runs "$runs" --export-json "$work/file.json" --prepare "rm -f $out" \
    "$sink $out < $in" "cat < $in > $out" >/dev/null

python3 - "$work/pipe.json" "$work/file.json" <<'PY'
import json, sys
def means(p):
    r = json.load(open(p))["results"]
    return r[0]["mean"], r[1]["mean"]
s, c = means(sys.argv[1])
print("(a) 1 GiB body, stdin a pipe, to a file: cgi_stream_post %.1f ms, cat %.1f ms, "
      "ratio %.2fx (goal <= 1.2x)" % (s * 1e3, c * 1e3, s / c))
s, c = means(sys.argv[2])
print("(b) 1 GiB body, stdin the file itself:   cgi_stream_post %.1f ms, cat %.1f ms, "
      "ratio %.2fx (cat copies in the kernel here)" % (s * 1e3, c * 1e3, s / c))
PY
