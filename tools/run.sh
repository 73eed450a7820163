#!/bin/sh
# Builds jox and starts it in build/, its working folder (jox.cfg, the
# received files and alert1.wav live there).
set -e
cd "$(dirname "$0")/.."
sh tools/build.sh build
cd build && exec ./jox
