#!/bin/sh
# Installs the Debian packages jox needs to build, test and run, each only when
# it is missing. This is the one list; the README's commands and CI call it.
set -e

PACKAGES="
build-essential cmake ninja-build pkg-config
qt6-base-dev libgl-dev
libpng-dev libjpeg-dev zlib1g-dev
libasound2-dev
libgtest-dev
clang libclang-rt-14-dev
xdg-utils
xvfb openbox xdotool x11-utils
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
