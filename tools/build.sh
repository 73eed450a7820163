#!/bin/sh
# Configures and builds jox with its tests and benchmarks into the folder
# given (default build/), after installing what is missing. Extra arguments go
# to cmake's configure step.
set -e
cd "$(dirname "$0")/.."
sh tools/deps.sh test
dir=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$dir" -G Ninja -DJOX_TESTS=ON -DJOX_BENCH=ON "$@" >/dev/null
cmake --build "$dir" -j2
