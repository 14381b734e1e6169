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
if [ "${REGISTRY_STATIC_YYJSON:-1}" = 1 ]; then
    deps=$root/build-deps
    prefix=$deps/yyjson-host
    if [ ! -f "$prefix/.done" ]; then
        src=$(bash "$root/scripts/yyjson-source.sh" "$deps/src")
        cmake -S "$src" -B "$deps/build-yyjson-host" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DBUILD_SHARED_LIBS=OFF -DYYJSON_BUILD_TESTS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
            -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
        cmake --build "$deps/build-yyjson-host" >/dev/null
        cmake --install "$deps/build-yyjson-host" >/dev/null
        touch "$prefix/.done"
    fi
    set -- -DREGISTRY_YYJSON_PREFIX="$prefix" "$@"
fi
cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
