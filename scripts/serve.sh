#!/usr/bin/env bash
# Installs what is missing, builds, and serves the health endpoint through
# lighttpd on 127.0.0.1 until interrupted.
#   PORT       port to listen on (default 8080, or a free one when taken)
#   SERVE_DIR  where the program, its storage root and lighttpd's files live
#              (default: .serve in the project)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
BUILD_DIR=${BUILD_DIR:-$root/build-release} BUILD_TARGET=healthz bash "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release
serve_dir=${SERVE_DIR:-$root/.serve}
port=$(python3 "$root/scripts/free-port.py" "${PORT:-8080}")
conf=$(bash "$root/scripts/lighttpd-conf.sh" "$serve_dir" "$port" "${BUILD_DIR:-$root/build-release}/health/healthz")
lighttpd -tt -f "$conf" >/dev/null
echo "Serving the health endpoint at http://127.0.0.1:$port/healthz"
echo "  storage root: $serve_dir/cgi/registry_storage (access log inside it)"
echo "  try: curl -i http://127.0.0.1:$port/healthz"
echo "  stop with Ctrl-C"
exec lighttpd -D -f "$conf"
