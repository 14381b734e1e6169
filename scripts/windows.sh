#!/usr/bin/env bash
# The Windows job: installs what it needs (mingw-w64, Wine, the sources of
# GoogleTest and yyjson), cross-builds healthz.exe and the tests into
# build-windows/, and runs the unit and process-level tests under Wine.
#
#   bash scripts/windows.sh          build and test
#   bash scripts/windows.sh build    build only (build-windows/endpoints/healthz.exe)
#   bash scripts/windows.sh bundle   build, then dist/registry-cgi-VERSION-windows.zip
#                                    (the programs, registry-admin.exe, sample
#                                    config.json, IIS and Apache httpd samples,
#                                    README-windows.txt)
#
# Everything it downloads or builds lies under BUILD_DIR (default
# build-windows/): deps/ holds the target's own yyjson and GoogleTest,
# wine/ the Wine prefix the tests run in.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-windows}
deps=${WIN_DEPS_DIR:-$build/deps}
prefix=$deps/prefix
jobs=$(nproc 2>/dev/null || echo 2)
mode=${1:-test}

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "windows: run as root (or through sudo) to install packages" >&2
        exit 1
    fi
}

# ---- packages -------------------------------------------------------------

missing=()
for p in g++-mingw-w64-x86-64-posix wine64 googletest dpkg-dev cmake ninja-build python3; do
    have_pkg "$p" || missing+=("$p")
done
updated=0
if [ "${#missing[@]}" -gt 0 ]; then
    need_root
    apt-get update -qq
    updated=1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# ---- yyjson source ----------------------------------------------------------

src=$(bash "$root/scripts/yyjson-source.sh" "$deps/src") || {
    echo "windows: no yyjson source for the target's yyjson (see above)" >&2
    exit 1
}

# ---- the target's yyjson and GoogleTest -------------------------------------

toolchain=$root/cmake/toolchain-mingw64.cmake
dep_build() { # name source-dir extra-cmake-args...
    local name=$1 dir=$2
    shift 2
    [ -f "$deps/$name.done" ] && return 0
    local log=$deps/$name.log
    mkdir -p "$deps"
    # Quiet when it works; the whole output when not.
    if ! { cmake -S "$dir" -B "$deps/build-$name" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@" &&
        cmake --build "$deps/build-$name" && cmake --install "$deps/build-$name"; } >"$log" 2>&1; then
        cat "$log" >&2
        echo "windows: building the target's $name failed (log: $log)" >&2
        exit 1
    fi
    touch "$deps/$name.done"
}
dep_build yyjson "$src" -DBUILD_SHARED_LIBS=OFF -DYYJSON_BUILD_TESTS=OFF
dep_build googletest /usr/src/googletest -DBUILD_GMOCK=OFF -Dgtest_force_shared_crt=ON

# ---- the project --------------------------------------------------------------

echo "== Windows cross build (mingw-w64)"
# Tests are listed when ctest runs them, not at build time: every listing
# is a Wine start.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DREGISTRY_WIN_PREFIX="$prefix" -DREGISTRY_BENCH=OFF \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null
cmake --build "$build"
[ "$mode" = build ] && exit 0
if [ "$mode" = bundle ]; then
    python3 "$root/scripts/windows-bundle.py" "$build" "${DIST_DIR:-$root/dist}"
    exit 0
fi

# ---- tests under Wine ---------------------------------------------------------

# Debian's wine64 package keeps its programs out of PATH (the wine package
# adds the wrappers).
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
# No Mono or Gecko: the prefix needs neither, and asking for them stalls.
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The first start creates the prefix and takes a while; later ones are quick
# while one wineserver stays up for the whole run.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== initialising the Wine prefix"
    "$wine" wineboot --init >/dev/null 2>&1 || true
    "$wineserver" -w # until the set-up has finished and its server is gone
fi
# A server left running on this prefix (a run stopped midway, a test run by
# hand) serves as well; starting a second one fails.
"$wineserver" -p 2>/dev/null || true
trap '"$wineserver" -k 2>/dev/null || true' EXIT
# The first program of a session starts Wine's services, which live on and
# would hold the output pipe of whatever test started them: start them here.
"$wine" cmd /c exit >/dev/null 2>&1 </dev/null || true

echo "== unit and process tests under Wine"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --no-tests=error

echo "== the Windows bundle (made and checked in $build/dist)"
python3 "$root/scripts/windows-bundle.py" "$build" "$build/dist"
