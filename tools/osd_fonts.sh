#!/bin/sh
# Regenerates src/osd/osd_fonts_data.cpp and src/display/osd_menu_fonts_data.cpp
# from the console fonts of Debian's
# console-setup-linux package (needed only here, never by the build).
# Usage: tools/osd_fonts.sh BUILD_DIR
set -eu
build=${1:?usage: tools/osd_fonts.sh BUILD_DIR}
build=$(cd "$build" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --build "$build" --target osd_font_gen
cd "$tmp"
apt-get download console-setup-linux
dpkg-deb -x console-setup-linux_*.deb pkg
for f in Lat15-Fixed13 Lat15-TerminusBold16 Lat15-TerminusBold24x12 Lat15-TerminusBold32x16; do
  zcat "pkg/usr/share/consolefonts/$f.psf.gz" > "$f.psf"
done
"$build/tools/osd_font_gen" Lat15-Fixed13.psf Lat15-TerminusBold16.psf Lat15-TerminusBold32x16.psf > fonts.cpp
mv fonts.cpp "$top/src/osd/osd_fonts_data.cpp"
"$build/tools/osd_font_gen" --menu Lat15-Fixed13.psf Lat15-TerminusBold16.psf Lat15-TerminusBold24x12.psf > menu.cpp
mv menu.cpp "$top/src/display/osd_menu_fonts_data.cpp"
