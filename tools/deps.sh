#!/bin/sh
# Installs the Debian packages jox needs, each only when it is missing. This
# is the one list; the README's commands, CI and the scripts call it with what
# they are about to do:
#   run      build and run the program (the default)
#   test     also build and run the tests and benchmarks
#   fuzz     also build the fuzz targets with clang
#   package  also build and check the Debian package
set -e

RUN_PACKAGES="
build-essential cmake ninja-build pkg-config
qt6-base-dev libgl-dev
libpng-dev libjpeg-dev zlib1g-dev
libasound2-dev
xdg-utils
"
TEST_PACKAGES="
libgtest-dev
xvfb openbox xdotool x11-utils
dunst dbus-daemon
"
FUZZ_PACKAGES="
clang libclang-rt-14-dev
"
# CPack's Debian generator runs `file` to pick the programs whose library
# dependencies dpkg-shlibdeps works out, and stops without it.
PACKAGE_PACKAGES="
dpkg-dev desktop-file-utils file
"

PACKAGES=$RUN_PACKAGES
for what in "${@:-run}"; do
    case $what in
        run) ;;
        test) PACKAGES="$PACKAGES $TEST_PACKAGES" ;;
        fuzz) PACKAGES="$PACKAGES $TEST_PACKAGES $FUZZ_PACKAGES" ;;
        package) PACKAGES="$PACKAGES $PACKAGE_PACKAGES" ;;
        *) echo "deps.sh: unknown group '$what' (run, test, fuzz, package)" >&2; exit 2 ;;
    esac
done

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        case " $missing " in *" $p "*) ;; *) missing="$missing $p" ;; esac
    fi
done

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
    # sudo resets the environment, so the variable goes through env; without
    # it debconf asks its questions on the terminal.
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi
