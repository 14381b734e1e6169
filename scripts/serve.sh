#!/usr/bin/env bash
# Installs what is missing, builds, and serves the registry through lighttpd
# on 127.0.0.1 until interrupted.
#   PORT       port to listen on (default 8080, or a free one when taken)
#   SERVE_DIR  where the programs, config.json, the storage root and
#              lighttpd's files live (default: .serve in the project)
#   REGISTRY_X_SENDFILE=1  lighttpd sends whole blobs itself (X-Sendfile)
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
echo "Serving the registry at http://127.0.0.1:$port/"
echo "  storage root: $serve_dir/cgi/registry_storage (access log inside it)"
echo "  settings:     $serve_dir/cgi/config.json (read on every request)"
echo "  try:  python3 $root/tests/clients/oci_image.py /tmp/demo-layout 1.0   # a small image, made offline"
echo "        skopeo copy --dest-tls-verify=false oci:/tmp/demo-layout:1.0 docker://127.0.0.1:$port/demo/app:1.0"
echo "        curl -s http://127.0.0.1:$port/v2/_catalog"
echo "        podman pull --tls-verify=false 127.0.0.1:$port/demo/app:1.0"
echo "  health: http://127.0.0.1:$port/healthz"
echo "  stop with Ctrl-C"
exec lighttpd -D -f "$conf"
