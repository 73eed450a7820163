#!/bin/sh
# Builds jox and runs every test suite (offscreen; no display needed).
set -e
cd "$(dirname "$0")/.."
sh tools/build.sh build
cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 -LE slow
