#!/bin/sh
# Builds the Debian package build-package/jox_<version>_amd64.deb and checks
# it (tools/check_package.sh). Install it with: apt install ./build-package/jox_*.deb
set -e
cd "$(dirname "$0")/.."
sh tools/deps.sh run package
cmake -S . -B build-package -G Ninja -DJOX_TESTS=OFF -DJOX_BENCH=OFF >/dev/null
cmake --build build-package -j2 --target jox
(cd build-package && cpack -G DEB >/dev/null)
version=$(sed -n 's/^project(jox VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build-package/jox_${version}_$(dpkg --print-architecture).deb
sh tools/check_package.sh "$deb"
echo "$deb"
