#!/usr/bin/env bash
# Runs the SHA-256 benchmark twice and prints the throughput ratios:
#   1. our SHA extension backend vs libcrypto's default code;
#   2. our AVX2+BMI2 backend (the "no SHA extensions" figure) and, for
#      reference, our plain portable backend, vs libcrypto with its SHA
#      extension code switched off. OPENSSL_ia32cap's second word is CPUID leaf 7 EBX (low half);
#      bit 29 there is SHA, and "~" clears it. libcrypto reads the variable
#      once at start-up, hence a separate process.
# Usage: bench/sha256/run.sh [path/to/sha256_bench] [extra benchmark flags...]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../../build-digest/bench/sha256/sha256_bench}
shift || true
if [ ! -x "$bin" ]; then
    echo "run.sh: no benchmark binary at $bin (build the sha256_bench target first)" >&2
    exit 1
fi

out1=$(env -u REGISTRY_SHA256_PORTABLE -u OPENSSL_ia32cap "$bin" --benchmark_color=false "$@")
echo "$out1"
out2=$(REGISTRY_SHA256_PORTABLE=1 OPENSSL_ia32cap=':~0x20000000' "$bin" --benchmark_color=false "$@")
echo "$out2"

echo
echo "== ratios (ours / libcrypto, best of the repetitions; goals: accelerated >= 0.95, no SHA ext >= 0.90)"
printf '%s\n%s\n' "$out1" "$out2" | grep 'RATIO ' | sed 's/.*RATIO //'
