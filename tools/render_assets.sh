#!/bin/sh
# Renders the embedded pictures from their SVG sources in assets/src/ into the
# stored files the build embeds (assets/*.ico, assets/*.png), then checks them.
# Only needed when a picture is redrawn: the build uses the committed outputs.
# Needs rsvg-convert and the DejaVu fonts, installed here when missing (they
# are drawing tools, not build dependencies, so tools/deps.sh leaves them out).
set -e

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SRC="$ROOT/assets/src"
OUT="$ROOT/assets"

need=""
command -v rsvg-convert >/dev/null 2>&1 || need="$need librsvg2-bin"
[ -f /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf ] || need="$need fonts-dejavu-core"
if [ -n "$need" ]; then
    echo "Installing:$need"
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends $need
fi

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# name  stored-as  (ico1: one 32-bit image; ico2: 32-bit plus 8-bit palette; png)
while read -r name kind; do
    [ -n "$name" ] || continue
    rsvg-convert --format=png -o "$TMP/$name.png" "$SRC/$name.svg"
    case $kind in
        ico1) python3 "$ROOT/tools/make_ico.py" ico "$TMP/$name.png" "$OUT/$name.ico" ;;
        ico2) python3 "$ROOT/tools/make_ico.py" ico2 "$TMP/$name.png" "$OUT/$name.ico" ;;
        png)  python3 "$ROOT/tools/make_ico.py" png "$TMP/$name.png" "$OUT/$name.png" ;;
    esac
done <<LIST
banner ico1
send ico1
options ico1
globe_off ico1
globe_on ico1
options_plate ico2
sending png
help png
folder ico1
chat ico2
wait ico1
receiving png
LIST

python3 "$ROOT/tools/check_assets.py" "$OUT"

# The application icon for the desktop, in the hicolor theme's usual sizes.
for size in 16 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" -o "$OUT/icons/jox-$size.png" "$SRC/jox.svg"
done
