#!/usr/bin/env bash
# Pages GET /v2/_catalog to its end (n names a page, as a client does),
# following the Link header. usage: catalog_all.sh V2_CATALOG [N]
set -euo pipefail
prog=$1
n=${2:-1000}
query="n=$n"
while :; do
    link=$(REQUEST_METHOD=GET PATH_INFO=/v2/_catalog QUERY_STRING=$query "$prog" |
        sed -n 's/^Link: <[^?]*?\([^>]*\)>.*/\1/p' | tr -d '\r')
    [ -n "$link" ] || break
    query=$link
done
