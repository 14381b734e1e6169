#!/usr/bin/env bash
# Lays out a directory for lighttpd to serve the registry from:
#   SERVE_DIR/cgi/                  the programs (healthz, the v2_* API
#                                   programs, and token when built); their
#                                   working directory holds config.json and
#                                   the default storage root, registry_storage
#   SERVE_DIR/www/                  an empty document root
#   SERVE_DIR/tmp/                  lighttpd's upload directory
#   SERVE_DIR/lighttpd.conf         the configuration
# Usage: lighttpd-conf.sh SERVE_DIR PORT PROGRAM_DIR
# PROGRAM_DIR is the build's endpoints/ folder (healthz, v2_base, ...).
# Environment:
#   REGISTRY_X_SENDFILE=0     whole blobs go through the programs' standard
#                             output; by default (1) lighttpd sends them
#                             itself (X-Sendfile) from the storage root's
#                             blobs/ (the root SERVE_DIR/cgi/config.json names,
#                             else SERVE_DIR/cgi/registry_storage) and the
#                             program only names the file
#   LIGHTTPD_EXTRA_CONF=FILE  included last, for local additions (add to
#                             setenv.add-environment with +=: X-Sendfile's
#                             settings are there already)
#   REGISTRY_LISTEN=ADDR      address to listen on (default 127.0.0.1; 0.0.0.0
#                             for every IPv4 address). Plain HTTP beyond
#                             loopback sends passwords readably: use TLS there
#   REGISTRY_TLS_CERT=FILE    serve HTTPS with this certificate (PEM, the
#   REGISTRY_TLS_KEY=FILE     chain after it) and its private key
#   REGISTRY_TLS_SELF_SIGNED=1  serve HTTPS with a self-signed certificate
#                             made on the first run into SERVE_DIR/tls/
#                             (cert.pem, key.pem; kept afterwards), for a
#                             trial. Clients trust cert.pem as the CA
#   REGISTRY_TLS_NAMES=a,b    more host names or IP addresses for it
set -euo pipefail
serve_dir=$1 port=$2 programs=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$serve_dir/cgi" "$serve_dir/www" "$serve_dir/tmp"
serve_dir=$(cd "$serve_dir" && pwd)
for p in healthz status token v2_base v2_catalog v2_tags v2_manifests v2_blobs v2_uploads v2_referrers; do
    [ -f "$programs/$p" ] || { echo "lighttpd-conf: $programs/$p is missing" >&2; exit 1; }
    # A running request keeps the old file; the new one replaces it whole.
    cp "$programs/$p" "$serve_dir/cgi/$p.new"
    mv -f "$serve_dir/cgi/$p.new" "$serve_dir/cgi/$p"
done
listen=${REGISTRY_LISTEN:-127.0.0.1}
tls_cert=${REGISTRY_TLS_CERT:-} tls_key=${REGISTRY_TLS_KEY:-}
if [ -z "$tls_cert" ] && [ "${REGISTRY_TLS_SELF_SIGNED:-0}" = 1 ]; then
    tls_cert=$serve_dir/tls/cert.pem tls_key=$serve_dir/tls/key.pem
    [ -s "$tls_cert" ] && [ -s "$tls_key" ] || bash "$here/tls-self-signed.sh" "$serve_dir/tls" "$listen"
fi
if [ -n "$tls_cert" ]; then
    [ -n "$tls_key" ] || { echo "lighttpd-conf: REGISTRY_TLS_KEY is missing" >&2; exit 1; }
    for f in "$tls_cert" "$tls_key"; do
        [ -r "$f" ] || { echo "lighttpd-conf: cannot read $f" >&2; exit 1; }
    done
    tls_cert=$(cd "$(dirname "$tls_cert")" && pwd)/$(basename "$tls_cert")
    tls_key=$(cd "$(dirname "$tls_key")" && pwd)/$(basename "$tls_key")
else
    case $listen in
        127.*|::1|localhost) ;;
        *) echo "lighttpd-conf: warning: plain HTTP on $listen; clients refuse it beyond" \
                "loopback and passwords travel readably: set REGISTRY_TLS_CERT or" \
                "REGISTRY_TLS_SELF_SIGNED=1" >&2 ;;
    esac
fi
sed -e "s#@SERVE_DIR@#$serve_dir#g" -e "s#@PORT@#$port#g" -e "s#@LISTEN@#$listen#g" \
    "$here/lighttpd.conf.in" > "$serve_dir/lighttpd.conf"
if [ -n "$tls_cert" ]; then
    sed -e "s#@TLS_CERT@#$tls_cert#g" -e "s#@TLS_KEY@#$tls_key#g" \
        "$here/lighttpd-tls.conf.in" >> "$serve_dir/lighttpd.conf"
fi
if [ "${REGISTRY_X_SENDFILE:-1}" = 1 ]; then
    # lighttpd sends only files under the storage root the programs use: the
    # one config.json names (relative to the programs' directory), else the
    # default. The programs name a file by their physical working directory.
    blobs=$(cd "$serve_dir/cgi" && python3 -c '
import json, os, sys
root = "./registry_storage"
try:
    with open("config.json", encoding="utf-8") as f:
        root = json.load(f).get("registry_storage_root") or root
except (OSError, ValueError, AttributeError):
    pass  # none, or one the programs refuse: they serve nothing from it
print(os.path.join(os.path.normpath(os.path.join(os.getcwd(), root)), "blobs", ""))')
    sed -e "s#@BLOBS_DIR@#$blobs#g" "$here/lighttpd-x-sendfile.conf.in" >> "$serve_dir/lighttpd.conf"
fi
if [ -n "${LIGHTTPD_EXTRA_CONF:-}" ]; then
    echo "include \"$(cd "$(dirname "$LIGHTTPD_EXTRA_CONF")" && pwd)/$(basename "$LIGHTTPD_EXTRA_CONF")\"" \
        >> "$serve_dir/lighttpd.conf"
fi
echo "$serve_dir/lighttpd.conf"
