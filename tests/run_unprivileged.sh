#!/usr/bin/env bash
# As root, permission checks never fail, so the tests of unreadable and
# unwritable stores skip themselves. This runs those tests once more as an
# ordinary user. Arguments: GoogleTest executables.
set -uo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the permission tests already ran with permissions in force"
    exit 0
fi
filter='*Unwritable*:*Unreadable*:*ReadOnly*:*NotWritable*:*Permission*'
status=0
for t in "$@"; do
    out=$(setpriv --reuid=65534 --regid=65534 --clear-groups -- env HOME=/tmp \
          "$t" --gtest_filter="$filter" --gtest_brief=1 2>&1) || status=1
    printf '%s: %s\n' "$(basename "$t")" "$(printf '%s\n' "$out" | grep -E '^\[  (PASSED|FAILED)' | tr '\n' ' ')"
    [ $status -eq 0 ] || printf '%s\n' "$out"
done
exit $status
