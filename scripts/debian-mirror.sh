#!/usr/bin/env bash
# Prints the Debian mirror this machine's apt sources already name, so that
# extra suites come from the same place. Fails when none is found.
set -euo pipefail
mirror=""
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
fi
if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
    mirror=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
fi
if [ -z "$mirror" ]; then
    echo "cannot find a Debian mirror in the apt sources" >&2
    exit 1
fi
echo "$mirror"
