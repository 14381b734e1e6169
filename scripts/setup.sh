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

here=$(cd "$(dirname "$0")" && pwd)
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
has_candidate() {
    local c
    c=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ {print $2; exit}')
    [ -n "$c" ] && [ "$c" != "(none)" ]
}

updated=0
apt_update() {
    if [ "$updated" -eq 0 ]; then
        apt-get update -qq
        updated=1
    fi
}
install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

# The release's own clang (bookworm: 14, trixie: 19) and its runtime
# libraries (libFuzzer, the sanitizers) build the fuzz targets
# (scripts/fuzz.sh). A fresh machine may have no package lists to say which.
clang_v=$(bash "$here/release-clang.sh" 2>/dev/null) || {
    need_root
    apt_update
    clang_v=$(bash "$here/release-clang.sh")
}

# lighttpd-mod-openssl and openssl serve HTTPS; dpkg-dev and file build the
# Debian package (scripts/package.sh); apache2-utils (htpasswd) and
# libcrypt-dev hash passwords independently of the registry's own code for
# the authentication tests; skopeo, podman, docker.io and containerd (ctr)
# are the clients.
missing=()
for p in build-essential cmake ninja-build pkg-config libgtest-dev libbenchmark-dev \
         lighttpd lighttpd-mod-openssl openssl dpkg-dev file curl hyperfine time python3 libssl-dev \
         "clang-$clang_v" "libclang-rt-$clang_v-dev" skopeo podman docker.io containerd wrk chromium \
         apache2-utils libcrypt-dev \
         moosefs-master moosefs-chunkserver moosefs-client fuse3; do
    have_pkg "$p" || missing+=("$p")
done

yyjson_ok() {
    pkg-config --exists 'yyjson >= 0.10' 2>/dev/null && return 0
    ls /usr/lib/*/cmake/yyjson/yyjson-config.cmake >/dev/null 2>&1 && return 0
    return 1
}

if [ "${#missing[@]}" -gt 0 ]; then
    need_root
    apt_update
    install "${missing[@]}"
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

# Packages bookworm lacks (yyjson, oras): the next release has them. Take
# those (and only those) from there, using the mirror this machine's apt
# sources already name.
next_suite=trixie
next_pkgs="libyyjson-dev libyyjson0 libyyjson0.10 libyyjson0.12 oras"
add_next_suite() {
    local mirror
    mirror=$(bash "$here/debian-mirror.sh") || {
        echo "setup: no mirror to fetch $next_suite's packages from" >&2
        exit 1
    }
    cat > /etc/apt/sources.list.d/registry-next.sources <<SRC
Types: deb
URIs: $mirror
Suites: $next_suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    # Nothing else may come from that suite unless asked for by name.
    cat > /etc/apt/preferences.d/registry-next <<PIN
Package: *
Pin: release n=$next_suite
Pin-Priority: 50

Package: $next_pkgs
Pin: release n=$next_suite
Pin-Priority: 500
PIN
    # The files of earlier set-ups, which took yyjson alone.
    rm -f /etc/apt/sources.list.d/registry-yyjson.sources /etc/apt/preferences.d/registry-yyjson
    apt-get update -qq
}

later=()
yyjson_ok || later+=(libyyjson-dev)
have_pkg oras || later+=(oras)
if [ "${#later[@]}" -gt 0 ]; then
    need_root
    apt_update
    for p in "${later[@]}"; do
        has_candidate "$p" && continue
        if [ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" = "$next_suite" ] ||
            [ -f /etc/apt/sources.list.d/registry-next.sources ]; then
            echo "setup: no package $p in this machine's apt sources" >&2
            exit 1
        fi
        add_next_suite
        break
    done
    install "${later[@]}"
fi

yyjson_ok || { echo "setup: yyjson >= 0.10 is still missing" >&2; exit 1; }
echo "setup: all build, test and serve dependencies are present"
