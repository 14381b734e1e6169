#!/usr/bin/env bash
# Installs what is missing, builds, and serves the registry through lighttpd
# on 127.0.0.1 until interrupted.
#   PORT       port to listen on (default 8080, or a free one when taken)
#   SERVE_DIR  where the programs, config.json, the storage root and
#              lighttpd's files live (default: .serve in the project)
#   REGISTRY_X_SENDFILE=0  whole blobs through the programs' standard output
#              (by default lighttpd sends them itself: X-Sendfile)
#   REGISTRY_LISTEN, REGISTRY_TLS_CERT, REGISTRY_TLS_KEY, REGISTRY_TLS_SELF_SIGNED=1:
#              address and HTTPS, see scripts/lighttpd-conf.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
build=${BUILD_DIR:-$root/build-release}
BUILD_DIR=$build bash "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release \
    -DREGISTRY_TESTS=OFF -DREGISTRY_BENCH=OFF
serve_dir=${SERVE_DIR:-$root/.serve}
port=$(python3 "$root/scripts/free-port.py" "${PORT:-8080}")
conf=$(bash "$root/scripts/lighttpd-conf.sh" "$serve_dir" "$port" "$build/endpoints")
lighttpd -tt -f "$conf" >/dev/null
host=${REGISTRY_LISTEN:-127.0.0.1}
case $host in 0.0.0.0|::) host=127.0.0.1 ;; esac
if grep -q '^ssl.engine' "$conf"; then
    # The CA clients trust for this host: the self-signed certificate itself.
    ca=${REGISTRY_TLS_CERT:-$serve_dir/tls/cert.pem}
    echo "Serving the registry at https://$host:$port/"
    echo "  storage root: $serve_dir/cgi/registry_storage (access log inside it)"
    echo "  settings:     $serve_dir/cgi/config.json (read on every request)"
    echo "  trust it:     mkdir -p /etc/containers/certs.d/$host:$port && cp $ca /etc/containers/certs.d/$host:$port/ca.crt"
    echo "  try:  python3 $root/tests/clients/oci_image.py /tmp/demo-layout 1.0   # a small image, made offline"
    echo "        skopeo copy oci:/tmp/demo-layout:1.0 docker://$host:$port/demo/app:1.0"
    echo "        curl -s --cacert $ca https://$host:$port/v2/_catalog"
    echo "        podman pull $host:$port/demo/app:1.0"
    echo "  health: https://$host:$port/healthz"
else
    echo "Serving the registry at http://$host:$port/"
    echo "  storage root: $serve_dir/cgi/registry_storage (access log inside it)"
    echo "  settings:     $serve_dir/cgi/config.json (read on every request)"
    echo "  try:  python3 $root/tests/clients/oci_image.py /tmp/demo-layout 1.0   # a small image, made offline"
    echo "        skopeo copy --dest-tls-verify=false oci:/tmp/demo-layout:1.0 docker://$host:$port/demo/app:1.0"
    echo "        curl -s http://$host:$port/v2/_catalog"
    echo "        podman pull --tls-verify=false $host:$port/demo/app:1.0"
    echo "  health: http://$host:$port/healthz"
fi
echo "  stop with Ctrl-C"
exec lighttpd -D -f "$conf"
