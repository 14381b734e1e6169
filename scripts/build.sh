#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build). Extra arguments go
# to CMake's configure step. BUILD_TARGET builds one target instead of all.
#
# The programs run once per request, so they are linked fully statically and
# skip the dynamic loader. The distribution ships yyjson as a shared library
# only: a static one is built here once, from its source package, into
# build-deps/ (REGISTRY_STATIC_YYJSON=0 keeps the shared one).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
# Quiet when it works; the whole output and the failing step when not.
step() { # log command...
    local log=$1
    shift
    "$@" >"$log" 2>&1 && return 0
    cat "$log" >&2
    echo "build: failed: $* (log: $log)" >&2
    exit 1
}
if [ "${REGISTRY_STATIC_YYJSON:-1}" = 1 ]; then
    deps=$root/build-deps
    prefix=$deps/yyjson-host
    if [ ! -f "$prefix/.done" ]; then
        src=$(bash "$root/scripts/yyjson-source.sh" "$deps/src") || {
            echo "build: no yyjson source for the static yyjson (see above)" >&2
            exit 1
        }
        log=$deps/yyjson-host.log
        step "$log" cmake -S "$src" -B "$deps/build-yyjson-host" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DBUILD_SHARED_LIBS=OFF -DYYJSON_BUILD_TESTS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
            -DCMAKE_INSTALL_PREFIX="$prefix"
        step "$log" cmake --build "$deps/build-yyjson-host"
        step "$log" cmake --install "$deps/build-yyjson-host"
        touch "$prefix/.done"
    fi
    set -- -DREGISTRY_YYJSON_PREFIX="$prefix" "$@"
fi
cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
