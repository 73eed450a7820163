#!/bin/sh
# Installs what building and running needs, builds the program alone (no
# tests, benchmarks or fuzz targets) and starts it. jox keeps its settings in
# ~/.config/jox/ whatever folder it starts in; arguments go to jox.
set -e
cd "$(dirname "$0")/.."
sh tools/deps.sh run
cmake -S . -B build -G Ninja -DJOX_TESTS=OFF -DJOX_BENCH=OFF >/dev/null
cmake --build build -j2 --target jox
exec build/jox "$@"
