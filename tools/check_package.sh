#!/bin/sh
# Checks a built Debian package of jox: its fields, that it depends on
# runtime libraries only, that it holds every installed file and nothing
# outside /usr, that its copyright file is in Debian's machine-readable form
# and says what LICENSE says, that its desktop entry validates, and that the
# packaged program runs. Usage: sh tools/check_package.sh build-package/jox_V_ARCH.deb
set -e
deb=${1:?usage: check_package.sh FILE.deb}
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(jox VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
fail=0
bad() { echo "check_package: $*" >&2; fail=1; }

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = jox ] || bad "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || bad "Version is '$(field Version)', CMakeLists.txt says $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || bad "Architecture is '$(field Architecture)'"
depends=$(field Depends)
for lib in libqt6widgets6 libqt6dbus6 libpng16-16 libjpeg62-turbo libasound2 xdg-utils; do
    echo "$depends" | grep -Eq "(^|[ ,])$lib([ (,]|$)" || bad "Depends lacks $lib: $depends"
done
echo "$depends" | grep -Eq -- '-dev([ (,]|$)|clang|gtest' && bad "Depends holds build tools: $depends"

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for path in ./usr/bin/jox ./usr/libexec/jox/jox-desktop ./usr/share/applications/jox.desktop \
            ./usr/share/jox/help.html ./usr/share/jox/alert1.wav \
            ./usr/share/icons/hicolor/scalable/apps/jox.svg \
            ./usr/share/doc/jox/copyright ./usr/share/doc/jox/CHANGELOG.md; do
    echo "$contents" | grep -qx "$path" || bad "missing $path"
done
for size in 16 24 32 48 64 128 256; do
    echo "$contents" | grep -qx "./usr/share/icons/hicolor/${size}x${size}/apps/jox.png" || bad "missing ${size}px icon"
done
outside=$(echo "$contents" | grep -v -e '^\./$' -e '^\./usr/' || true)
[ -z "$outside" ] || bad "files outside /usr: $outside"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
desktop-file-validate "$tmp/usr/share/applications/jox.desktop" || bad "desktop entry does not validate"
copyright=$tmp/usr/share/doc/jox/copyright
[ "$(head -n 1 "$copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
    bad "copyright is not in the machine-readable form"
holders=$(sed -n 's/^Copyright (c) //p' LICENSE)
grep -qx "Copyright: $holders" "$copyright" || bad "copyright does not name $holders"
# The licence paragraphs, one space in and "." for an empty line, as LICENSE has them.
licence=$(sed -n '/^License: Expat$/,/^[^ ]/{/^ /p}' "$copyright" | sed 's/^ //; s/^\.$//')
[ -n "$licence" ] && [ "$licence" = "$(sed '1,/^Copyright (c)/d' LICENSE | sed '1{/^$/d}')" ] ||
    bad "copyright's licence text differs from LICENSE"
got=$("$tmp/usr/bin/jox" --version) || bad "packaged jox --version failed"
[ "$got" = "jox $version (JOX 1.05 build 6000)" ] || bad "packaged jox --version says '$got'"

[ $fail = 0 ] && echo "check_package: $deb is fine"
exit $fail
