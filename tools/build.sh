#!/bin/sh
# Configures and builds jox into the folder given (default build/), after
# installing what is missing. Extra arguments go to cmake's configure step.
set -e
cd "$(dirname "$0")/.."
sh tools/deps.sh
dir=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j2
