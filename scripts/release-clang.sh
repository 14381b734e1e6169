#!/usr/bin/env bash
# Prints the major version of the release's own clang (bookworm: 14, trixie:
# 19), the one whose runtime libraries (libFuzzer, the sanitizers) setup.sh
# installs. Read from the candidate of the "clang" package; without package
# lists, the newest clang-N installed with its runtime. Fails when neither
# says.
set -euo pipefail
cand=$(apt-cache policy clang 2>/dev/null | awk '/Candidate:/ {print $2; exit}')
case $cand in
    "" | "(none)") ;;
    *)
        v=${cand#*:}
        echo "${v%%[.~+-]*}"
        exit 0
        ;;
esac
for cc in $(ls /usr/bin/clang-[0-9]* 2>/dev/null | sed 's/.*clang-//' | grep -E '^[0-9]+$' | sort -rn || true); do
    if [ -d "/usr/lib/llvm-$cc/lib/clang" ]; then
        echo "$cc"
        exit 0
    fi
done
echo "release-clang: no clang in the package lists nor installed (apt-get update first)" >&2
exit 1
