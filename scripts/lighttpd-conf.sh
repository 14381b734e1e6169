#!/usr/bin/env bash
# Lays out a directory for lighttpd to serve the health endpoint from:
#   SERVE_DIR/cgi/healthz           the program (its working directory holds
#                                   the default storage root, registry_storage)
#   SERVE_DIR/www/                  an empty document root
#   SERVE_DIR/lighttpd.conf         the configuration
# Usage: lighttpd-conf.sh SERVE_DIR PORT HEALTHZ_BINARY
set -euo pipefail
serve_dir=$1 port=$2 binary=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$serve_dir/cgi" "$serve_dir/www"
serve_dir=$(cd "$serve_dir" && pwd)
cp "$binary" "$serve_dir/cgi/healthz.new"
mv -f "$serve_dir/cgi/healthz.new" "$serve_dir/cgi/healthz"
sed -e "s#@SERVE_DIR@#$serve_dir#g" -e "s#@PORT@#$port#g" \
    -e "s#@HEALTHZ@#$serve_dir/cgi/healthz#g" \
    "$here/lighttpd.conf.in" > "$serve_dir/lighttpd.conf"
echo "$serve_dir/lighttpd.conf"
