#!/usr/bin/env bash
# Lays out a directory for lighttpd to serve the registry from:
#   SERVE_DIR/cgi/                  the programs (healthz and the v2_* API
#                                   programs); their working directory holds
#                                   config.json and the default storage root,
#                                   registry_storage
#   SERVE_DIR/www/                  an empty document root
#   SERVE_DIR/tmp/                  lighttpd's upload directory
#   SERVE_DIR/lighttpd.conf         the configuration
# Usage: lighttpd-conf.sh SERVE_DIR PORT PROGRAM_DIR
# PROGRAM_DIR is the build's endpoints/ folder (healthz, v2_base, ...).
# Environment:
#   REGISTRY_X_SENDFILE=1     lighttpd sends whole blobs itself (X-Sendfile)
#                             from the default storage root; the program only
#                             names the file
#   LIGHTTPD_EXTRA_CONF=FILE  included last, for local additions
set -euo pipefail
serve_dir=$1 port=$2 programs=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$serve_dir/cgi" "$serve_dir/www" "$serve_dir/tmp"
serve_dir=$(cd "$serve_dir" && pwd)
for p in healthz status v2_base v2_catalog v2_tags v2_manifests v2_blobs v2_uploads v2_referrers; do
    [ -f "$programs/$p" ] || { echo "lighttpd-conf: $programs/$p is missing" >&2; exit 1; }
    # A running request keeps the old file; the new one replaces it whole.
    cp "$programs/$p" "$serve_dir/cgi/$p.new"
    mv -f "$serve_dir/cgi/$p.new" "$serve_dir/cgi/$p"
done
sed -e "s#@SERVE_DIR@#$serve_dir#g" -e "s#@PORT@#$port#g" \
    "$here/lighttpd.conf.in" > "$serve_dir/lighttpd.conf"
if [ "${REGISTRY_X_SENDFILE:-0}" = 1 ]; then
    sed -e "s#@SERVE_DIR@#$serve_dir#g" "$here/lighttpd-x-sendfile.conf.in" >> "$serve_dir/lighttpd.conf"
fi
if [ -n "${LIGHTTPD_EXTRA_CONF:-}" ]; then
    echo "include \"$(cd "$(dirname "$LIGHTTPD_EXTRA_CONF")" && pwd)/$(basename "$LIGHTTPD_EXTRA_CONF")\"" \
        >> "$serve_dir/lighttpd.conf"
fi
echo "$serve_dir/lighttpd.conf"
