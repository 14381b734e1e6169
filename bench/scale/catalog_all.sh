#!/usr/bin/env bash
# Reads GET /v2/_catalog to its end as a client does, following the Link
# header: pages of n names, or with no n as many as one answer holds.
# usage: catalog_all.sh V2_CATALOG [N]
set -euo pipefail
prog=$1
query=${2:+n=$2}
while :; do
    link=$(REQUEST_METHOD=GET PATH_INFO=/v2/_catalog QUERY_STRING=$query "$prog" |
        sed -n 's/^Link: <[^?]*?\([^>]*\)>.*/\1/p' | tr -d '\r')
    [ -n "$link" ] || break
    query=$link
done
