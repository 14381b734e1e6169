#!/usr/bin/env bash
# What access control costs one request, as a whole process, in one run: a
# blob HEAD by v2_blobs
#  (a) without access control          (the baseline)
#  (b) with a bearer token             (one HMAC and the token's JSON)
#  (c) with Basic credentials, the older single user (one SHA-256)
#  (d) with Basic credentials from a users file, bcrypt at cost 10
# and the token program itself (one bcrypt and a signature). Prints each
# against (a), in time and, where valgrind is installed, in instructions
# (callgrind: the same count however busy the machine is).
# usage: bench/auth/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
blobs=$build/endpoints/v2_blobs
uploads=$build/endpoints/v2_uploads
token=$build/endpoints/token
admin=$build/admin/registry-admin
for b in "$blobs" "$uploads" "$token" "$admin"; do
    [ -x "$b" ] || { echo "missing $b: build first" >&2; exit 1; }
done
command -v hyperfine >/dev/null || { echo "hyperfine is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
runs=${RUNS:-200}
cd "$work"
export REGISTRY_STORAGE_ROOT=$work/store GATEWAY_INTERFACE=CGI/1.1

# A stored blob to ask for.
printf 'layer' > layer
digest=sha256:$(sha256sum layer | cut -d' ' -f1)
REQUEST_METHOD=POST PATH_INFO=/v2/team/app/blobs/uploads/ QUERY_STRING="digest=$digest" \
    CONTENT_LENGTH=5 "$uploads" < layer | head -n1
printf 'secret\n' | "$admin" user add --file users --cost 10 --password-stdin bob >/dev/null
pw_sha=$(printf secret | sha256sum | cut -d' ' -f1)
basic=$(printf 'bob:secret' | base64)

settings() { printf '%s\n' "$1" > config.json; }
rules='"registry_access":[{"repositories":["team/**"],"users":["bob"],"actions":["pull"]}]'
settings "{\"registry_htpasswd\":\"users\",$rules}"
bearer=$(REQUEST_METHOD=GET PATH_INFO=/token QUERY_STRING='service=registry&scope=repository:team/app:pull' \
    HTTP_AUTHORIZATION="Basic $basic" "$token" | sed -n 's/.*"token":"\([^"]*\)".*/\1/p')
[ -n "$bearer" ] || { echo "no token" >&2; exit 1; }

mean() { python3 -c 'import json,sys; print(" ".join("%.6f" % r["mean"] for r in json.load(open(sys.argv[1]))["results"]))' "$1"; }
head_cmd="env REQUEST_METHOD=HEAD PATH_INFO=/v2/team/app/blobs/$digest $blobs"

echo "== (a) no access control, (b) bearer token ($runs runs each)"
settings '{}'
hyperfine -N --warmup 20 --runs "$runs" --export-json a.json "$head_cmd" >/dev/null
settings "{\"registry_htpasswd\":\"users\",$rules}"
hyperfine -N --warmup 20 --runs "$runs" --export-json b.json \
    "env HTTP_AUTHORIZATION=Bearer\\ $bearer $head_cmd" >/dev/null
echo "== (c) Basic, single user (SHA-256)"
settings "{\"registry_auth_user\":\"bob\",\"registry_auth_sha256\":\"$pw_sha\"}"
hyperfine -N --warmup 20 --runs "$runs" --export-json c.json \
    "env HTTP_AUTHORIZATION=Basic\\ $basic $head_cmd" >/dev/null
echo "== (d) Basic, users file (bcrypt cost 10), and the token program"
settings "{\"registry_htpasswd\":\"users\",$rules}"
hyperfine -N --warmup 3 --runs "$((runs / 10 + 5))" --export-json d.json \
    "env HTTP_AUTHORIZATION=Basic\\ $basic $head_cmd" \
    "env HTTP_AUTHORIZATION=Basic\\ $basic REQUEST_METHOD=GET PATH_INFO=/token QUERY_STRING=service=registry&scope=repository:team/app:pull $token" >/dev/null

python3 - a.json b.json c.json d.json <<'PY'
import json, sys
def means(p): return [r["mean"] for r in json.load(open(p))["results"]]
a, = means(sys.argv[1]); b, = means(sys.argv[2]); c, = means(sys.argv[3]); d, t = means(sys.argv[4])
for name, v in (("no access control", a), ("bearer token", b), ("Basic, single user", c),
                ("Basic, users file (bcrypt 10)", d), ("token program (bcrypt 10)", t)):
    print("%-32s %8.3f ms  %6.2fx" % (name, v * 1e3, v / a))
PY

command -v valgrind >/dev/null || exit 0
echo "== instructions of one request (callgrind)"
count() {
    env "$@" valgrind --tool=callgrind --callgrind-out-file=/dev/null "$blobs" 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
export REQUEST_METHOD=HEAD PATH_INFO=/v2/team/app/blobs/$digest
settings '{}'
ia=$(count HTTP_AUTHORIZATION=)
settings "{\"registry_htpasswd\":\"users\",$rules}"
ib=$(count HTTP_AUTHORIZATION="Bearer $bearer")
settings "{\"registry_auth_user\":\"bob\",\"registry_auth_sha256\":\"$pw_sha\"}"
ic=$(count HTTP_AUTHORIZATION="Basic $basic")
python3 - "$ia" "$ib" "$ic" <<'PY'
import sys
a, b, c = map(int, sys.argv[1:4])
for name, v in (("no access control", a), ("bearer token", b), ("Basic, single user", c)):
    print("%-32s %10d instructions  %5.2fx" % (name, v, v / a))
PY
