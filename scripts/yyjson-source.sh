#!/usr/bin/env bash
# Fetches and unpacks the distribution's yyjson source package into DIR
# (once) and prints the unpacked source directory. The package comes from the
# suite the host's yyjson comes from: the extra suite setup.sh adds when the
# release has none, else the machine's own release.
# usage: yyjson-source.sh DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dest=$1
src_list=/etc/apt/sources.list.d/registry-yyjson-src.sources
yyjson_src() { ls -d "$dest"/yyjson-*/ 2>/dev/null | head -n 1; }
need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "yyjson-source: run as root (or through sudo) to add a source index" >&2
        exit 1
    fi
}

if [ -z "$(yyjson_src)" ]; then
    have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
    if ! have_pkg dpkg-dev; then
        need_root
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends dpkg-dev >&2
    fi
    if ! apt-cache showsrc yyjson 2>/dev/null | grep -q '^Package: yyjson'; then
        need_root
        extra=/etc/apt/sources.list.d/registry-yyjson.sources
        if [ -f "$extra" ]; then
            mirror=$(awk '/^URIs:/ {print $2; exit}' "$extra")
            suite=$(awk '/^Suites:/ {print $2; exit}' "$extra")
        else
            mirror=$(bash "$root/scripts/debian-mirror.sh")
            suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
        fi
        cat > "$src_list" <<SRC
Types: deb-src
URIs: $mirror
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        apt-get update -qq
    fi
    mkdir -p "$dest"
    cd "$dest"
    if ! apt-get source -qq yyjson >/dev/null 2>apt-source.log; then
        # Some mirrors serve the upstream tarball but not the packaging
        # files; the tarball alone builds. Its checksum comes from the signed
        # source index.
        orig=$(ls yyjson_*.orig.tar.* 2>/dev/null | head -n 1)
        sum=$(apt-cache showsrc yyjson | awk -v f="$orig" '$3 == f && length($1) == 64 {print $1; exit}')
        if [ -z "$orig" ] || [ -z "$sum" ] || ! echo "$sum  $orig" | sha256sum -c --quiet; then
            cat apt-source.log >&2
            echo "yyjson-source: could not fetch the yyjson source package" >&2
            exit 1
        fi
        mkdir -p yyjson-orig
        tar -xf "$orig" -C yyjson-orig --strip-components=1
    fi
fi
src=$(yyjson_src)
[ -n "$src" ] || { echo "yyjson-source: the source package did not unpack" >&2; exit 1; }
echo "${src%/}"
