#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build). Extra arguments go
# to CMake's configure step. BUILD_TARGET builds one target instead of all.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
