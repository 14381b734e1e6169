#!/usr/bin/env bash
# Builds the Debian package into dist/: the programs fully static (a static
# yyjson, see build.sh), installed under /usr, /etc and /var (see
# cmake/RegistryInstall.cmake).
#   BUILD_DIR   build directory (default: build-package); a build configured
#               before is reused, only what changed is rebuilt
#   DIST_DIR    where the .deb goes (default: dist)
#   REGISTRY_PACKAGE_RELEASE  Debian revision of the package (default none)
# Prints the package's path last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-package}
dist=${DIST_DIR:-$root/dist}
if [ "${REGISTRY_SKIP_SETUP:-0}" != 1 ]; then
    bash "$root/scripts/setup.sh" >/dev/null
fi
# REGISTRY_SKIP_SETUP=1 (the package test, after test.sh's set-up): what
# the set-up would install must be here already. CPack's Debian generator
# runs file on every installed program.
for tool in dpkg-deb dpkg-shlibdeps file; do
    command -v "$tool" >/dev/null || {
        echo "package: $tool is needed (scripts/setup.sh installs it: dpkg-dev, file)" >&2
        exit 1
    }
done
BUILD_DIR=$build bash "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DREGISTRY_TESTS=OFF -DREGISTRY_BENCH=OFF \
    -DREGISTRY_SANITIZE=OFF >/dev/null
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
# cpack stages under the output directory; the stage is not wanted after.
out=$(cd "$build" && cpack -G DEB -B "$dist" 2>&1) || { echo "$out" >&2; exit 1; }
rm -rf "$dist/_CPack_Packages"
deb=$(printf '%s\n' "$out" | sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' | tail -n 1)
[ -n "$deb" ] && [ -f "$deb" ] || { echo "$out" >&2; echo "package: no .deb made" >&2; exit 1; }
echo "$deb"
