#!/usr/bin/env bash
# Fetches and unpacks the distribution's yyjson source package into DIR
# (once) and prints the unpacked source directory. The package comes from the
# suite and mirror the installed libyyjson-dev came from (apt-cache policy
# says which): the release's own, the next release's that setup.sh adds to
# bookworm, or whatever suite the machine's owner took it from.
# usage: yyjson-source.sh DIR
set -euo pipefail
dest=$1
src_list=/etc/apt/sources.list.d/registry-yyjson-src.sources
yyjson_src() { ls -d "$dest"/yyjson-*/ 2>/dev/null | head -n 1 || true; }
fail() {
    echo "yyjson-source: $*" >&2
    exit 1
}
need_root() { [ "$(id -u)" -eq 0 ] || fail "run as root (or through sudo) to $1"; }

# "MIRROR SUITE" of the installed version, else of the candidate.
origin() {
    apt-cache policy libyyjson-dev 2>/dev/null | awk '
        $1 == "***" { inst = 1; next }
        NF == 2 && $2 !~ /^\// { inst = 0; next }
        $2 ~ /:\/\// && $3 ~ /\// {
            split($3, s, "/")
            if (inst) { print $2, s[1]; found = 1; exit }
            if (first == "") first = $2 " " s[1]
        }
        END { if (!found && first != "") print first }'
}

if [ -z "$(yyjson_src)" ]; then
    have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
    if ! have_pkg dpkg-dev; then
        need_root "install dpkg-dev"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends dpkg-dev >&2
    fi
    read -r mirror suite <<<"$(origin)" || true
    [ -n "${suite:-}" ] ||
        fail "apt knows no suite with libyyjson-dev (scripts/setup.sh installs it)"
    if ! apt-get source --print-uris -qq "yyjson/$suite" >/dev/null 2>&1; then
        need_root "add a source index for $suite"
        cat > "$src_list" <<SRC
Types: deb-src
URIs: $mirror
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        apt-get update -qq || fail "apt-get update failed after adding $src_list"
    fi
    mkdir -p "$dest"
    cd "$dest"
    if ! apt-get source -qq "yyjson/$suite" >/dev/null 2>apt-source.log; then
        # Some mirrors serve the upstream tarball but not the packaging
        # files; the tarball alone builds. Its checksum comes from the signed
        # source index.
        orig=$(ls yyjson_*.orig.tar.* 2>/dev/null | head -n 1 || true)
        sum=$(apt-cache showsrc yyjson | awk -v f="$orig" '$3 == f && length($1) == 64 {print $1; exit}')
        if [ -z "$orig" ] || [ -z "$sum" ] || ! echo "$sum  $orig" | sha256sum -c --quiet; then
            cat apt-source.log >&2
            fail "could not fetch the yyjson source package from $mirror $suite"
        fi
        mkdir -p yyjson-orig
        tar -xf "$orig" -C yyjson-orig --strip-components=1
    fi
fi
src=$(yyjson_src)
[ -n "$src" ] || fail "the source package did not unpack in $dest"
echo "${src%/}"
