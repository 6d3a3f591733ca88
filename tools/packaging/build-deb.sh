#!/usr/bin/env bash
# Builds the Debian package kestrow_<version>_<arch>.deb: a Release build
# without sanitizers, installed under /usr, packed by CPack.
#
#   tools/packaging/build-deb.sh [BUILD_DIR [OUT_DIR]]
#
# BUILD_DIR defaults to build-deb in the source tree, OUT_DIR to BUILD_DIR.
# Prints the path of the package on its last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build-deb}
out=${2:-$build}

# Only the two programs are built: the install step does not build "all".
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTROW_SANITIZE=OFF \
    -DKESTROW_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target KestrowApp KestrowDemo
mkdir -p "$out"
out=$(cd "$out" && pwd)
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb="$out/kestrow_${version}_$(dpkg --print-architecture).deb"
test -f "$deb" || { echo "build-deb: no package at $deb" >&2; exit 1; }
echo "$deb"
