#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang into build-fuzz/ (every
# library instrumented, AddressSanitizer and UndefinedBehaviorSanitizer on;
# no tests or benchmarks) and runs each for a bounded time on a copy of its
# seed corpus in a temporary directory, so the repository is not modified.
# Fails when any target crashes; the crashing input is kept in
# build-fuzz/artifacts/ for a regression test.
#
# FUZZ_SECONDS: time per target (default 7; eight targets make about a
# minute). FUZZ_TARGETS: the targets to run (default: every one), e.g.
# "cgi_query repo_path". Extra arguments go to every fuzzer run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-7}
# The release's clang: its runtime libraries are the ones setup.sh installs.
if [ -z "${FUZZ_CC:-}" ] || [ -z "${FUZZ_CXX:-}" ]; then
    clang_v=$(bash "$root/scripts/release-clang.sh")
fi
cc=${FUZZ_CC:-clang-$clang_v}
cxx=${FUZZ_CXX:-clang++-$clang_v}

for tool in "$cc" "$cxx"; do
    command -v "$tool" >/dev/null || { echo "fuzz: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

echo "== fuzz: build ($cxx, fuzzer + AddressSanitizer + UndefinedBehaviorSanitizer)"
CC=$cc CXX=$cxx cmake -S "$root" -B "$build" -G Ninja -DREGISTRY_FUZZ=ON \
    -DREGISTRY_TESTS=OFF -DREGISTRY_BENCH=OFF -DREGISTRY_SANITIZE=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

targets=${FUZZ_TARGETS:-$(cd "$root/fuzz" && ls fuzz_*.cpp | sed 's/^fuzz_//; s/\.cpp$//')}

work=$(mktemp -d "${TMPDIR:-/tmp}/registry-fuzz-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The targets make their stores and working directories under TMPDIR; a
# crashed one cannot clean up, so they live in the run's own directory.
mkdir -p "$work/tmp"

passed=0
failed=0
failures=()
for t in $targets; do
    bin=$build/fuzz/fuzz_$t
    seeds=$root/fuzz/corpus/$t
    if [ ! -x "$bin" ] || [ ! -d "$seeds" ]; then
        echo "fuzz: $t: no binary ($bin) or no seed corpus ($seeds)" >&2
        failed=$((failed + 1))
        failures+=("$t")
        continue
    fi
    mkdir -p "$work/corpus/$t" "$work/artifacts"
    cp -R "$seeds/." "$work/corpus/$t/"
    dict=()
    [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
    log=$work/$t.log
    set +e
    TMPDIR=$work/tmp \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=8192 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/$t-" ${dict[@]+"${dict[@]}"} "$@" \
        "$work/corpus/$t" \
        >"$log" 2>&1
    rc=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ "$rc" -eq 0 ]; then
        echo "fuzz: $t: ok (${runs:-?} inputs in ${seconds}s)"
        passed=$((passed + 1))
    else
        echo "fuzz: $t: FAILED (exit $rc); the end of its log:"
        tail -n 60 "$log"
        failed=$((failed + 1))
        failures+=("$t")
    fi
done

if [ "$failed" -gt 0 ]; then
    mkdir -p "$build/artifacts"
    cp "$work"/artifacts/* "$build/artifacts/" 2>/dev/null || true
    echo "fuzz: failing: ${failures[*]}; crashing inputs in $build/artifacts/"
    echo "fuzz: reproduce with: $build/fuzz/fuzz_TARGET $build/artifacts/FILE"
fi
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
