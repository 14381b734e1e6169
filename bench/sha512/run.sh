#!/usr/bin/env bash
# Runs the SHA-512 benchmark twice and prints the throughput ratios
# (ours / libcrypto, best of the repetitions; goal: automatic >= 0.8 at 1 MiB):
#   1. our automatic backend and our portable one vs libcrypto's default
#      code, and our SHA-512 vs our SHA-256 at 1 MiB;
#   2. our portable backend vs libcrypto limited to its scalar code.
#      OPENSSL_ia32cap's first word is CPUID leaf 1 (EDX low, ECX high):
#      bit 60 is AVX; its second is leaf 7 EBX, where bit 5 is AVX2. "~"
#      clears them. libcrypto reads the variable once at start-up, hence a
#      separate process.
# Usage: bench/sha512/run.sh [path/to/sha512_bench] [extra benchmark flags...]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../../build/bench/sha512/sha512_bench}
shift || true
if [ ! -x "$bin" ]; then
    echo "run.sh: no benchmark binary at $bin (build the sha512_bench target first)" >&2
    exit 1
fi

out1=$(env -u REGISTRY_SHA512_PORTABLE -u REGISTRY_SHA256_PORTABLE -u OPENSSL_ia32cap \
    "$bin" --benchmark_color=false "$@")
echo "$out1"
out2=$(REGISTRY_SHA512_PORTABLE=1 OPENSSL_ia32cap='~0x1000000000000000:~0x20' \
    "$bin" --benchmark_color=false --benchmark_filter='^sha512_(portable|libcrypto)/' "$@")
echo "$out2"

echo
echo "== libcrypto default"
printf '%s\n' "$out1" | grep -E '^(RATIO|COMPARE) ' | sed 's/^[A-Z]* //'
echo "== libcrypto scalar only (ours portable)"
printf '%s\n' "$out2" | grep '^RATIO ' | sed 's/^RATIO //'
