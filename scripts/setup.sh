#!/usr/bin/env bash
# Installs what building, serving and testing need on a Debian machine.
# Safe to run again: it installs only what is missing.
set -euo pipefail

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: run as root (or through sudo) to install packages" >&2
        exit 1
    fi
}

missing=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# clang-14 and its runtime libraries (libFuzzer, the sanitizers) build the
# fuzz targets (scripts/fuzz.sh). lighttpd-mod-openssl and openssl serve
# HTTPS; dpkg-dev builds the Debian package (scripts/package.sh).
for p in build-essential cmake ninja-build pkg-config libgtest-dev libbenchmark-dev \
         lighttpd lighttpd-mod-openssl openssl dpkg-dev curl hyperfine time python3 libssl-dev \
         clang-14 libclang-rt-14-dev skopeo podman wrk chromium \
         moosefs-master moosefs-chunkserver moosefs-client fuse3; do
    have_pkg "$p" || missing+=("$p")
done

yyjson_ok() {
    pkg-config --exists 'yyjson >= 0.10' 2>/dev/null && return 0
    ls /usr/lib/*/cmake/yyjson/yyjson-config.cmake >/dev/null 2>&1 && return 0
    return 1
}

updated=0
apt_update() {
    if [ "$updated" -eq 0 ]; then
        apt-get update -qq
        updated=1
    fi
}

if [ "${#missing[@]}" -gt 0 ]; then
    need_root
    apt_update
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# MooseFS is here for the cluster tests (scripts/cluster.sh runs its own
# daemons; fuse3's fusermount3 lets an ordinary user mount): the packages
# register their services to start at boot, and a system with systemd may
# start them at once. Neither is wanted.
for svc in moosefs-master moosefs-chunkserver; do
    [ -e "/etc/init.d/$svc" ] || [ -e "/lib/systemd/system/$svc.service" ] || continue
    if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
        systemctl disable --now "$svc" >/dev/null 2>&1 || true
    elif [ -x "/etc/init.d/$svc" ]; then
        "/etc/init.d/$svc" stop >/dev/null 2>&1 || true
    fi
    if command -v update-rc.d >/dev/null 2>&1 && ls /etc/rc?.d/S*"$svc" >/dev/null 2>&1; then
        update-rc.d "$svc" disable >/dev/null 2>&1 || true
    fi
done

# yyjson: bookworm has no package. The next release has one; take it (and only
# it) from there, using the mirror this machine's apt sources already name.
if ! yyjson_ok; then
    need_root
    apt_update
    cand=$(apt-cache policy libyyjson-dev 2>/dev/null | awk '/Candidate:/ {print $2}')
    if [ -z "$cand" ] || [ "$cand" = "(none)" ]; then
        mirror=$(bash "$(dirname "$0")/debian-mirror.sh") || {
            echo "setup: no mirror to fetch yyjson from" >&2
            exit 1
        }
        keyring=/usr/share/keyrings/debian-archive-keyring.gpg
        cat > /etc/apt/sources.list.d/registry-yyjson.sources <<SRC
Types: deb
URIs: $mirror
Suites: trixie
Components: main
Signed-By: $keyring
SRC
        # Nothing else may come from that suite unless asked for by name.
        cat > /etc/apt/preferences.d/registry-yyjson <<PIN
Package: *
Pin: release n=trixie
Pin-Priority: 50

Package: libyyjson-dev libyyjson0 libyyjson0.10 libyyjson0.12
Pin: release n=trixie
Pin-Priority: 500
PIN
        apt-get update -qq
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends libyyjson-dev
fi

yyjson_ok || { echo "setup: yyjson >= 0.10 is still missing" >&2; exit 1; }
echo "setup: all build, test and serve dependencies are present"
