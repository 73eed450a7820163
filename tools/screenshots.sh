#!/bin/sh
# Regenerates the README's pictures from a real X server: the X11 suite
# starts its own Xvfb with openbox and saves the screen at the moments it
# tests (main window, Options after a click on the main window, a transfer
# strip with its second line, the chat log after a long line, the window made
# larger, a desktop notification) into docs/.
set -e
cd "$(dirname "$0")/.."
sh tools/build.sh build
cmake --build build --target test_x11
JOX_SHOTS="$(pwd)/docs" ./build/tests/test_x11
ls -l docs/*.png
