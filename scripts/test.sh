#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: unit, process and
# web-server tests, then all of them again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the unit and process tests of the Windows
# build under Wine, then every fuzz target for a bounded time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build and test (release with debug info)"
BUILD_DIR=$root/build bash "$root/scripts/build.sh" -DREGISTRY_SANITIZE=OFF
ctest --test-dir "$root/build" --output-on-failure -j "$jobs" --no-tests=error

# The multi-process stress tests (label "stress") and the shared file system
# tests (label "cluster") ran above; under the sanitizers they would only be
# slower.
echo "== every test again under AddressSanitizer and UndefinedBehaviorSanitizer"
BUILD_DIR=$root/build-sanitize bash "$root/scripts/build.sh" \
    -DREGISTRY_SANITIZE=ON -DREGISTRY_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$root/build-sanitize" --output-on-failure -j "$jobs" --no-tests=error \
    -LE 'stress|cluster'

echo "== Windows build: unit and process tests under Wine"
bash "$root/scripts/windows.sh"

echo "== fuzz targets, each for a bounded time (scripts/fuzz.sh)"
bash "$root/scripts/fuzz.sh"
