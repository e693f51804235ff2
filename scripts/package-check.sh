#!/usr/bin/env bash
# Builds the Debian package from an existing build, checks what it holds, installs it, finds
# the program on the PATH, starts it, and removes the package again. Run after scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}

(cd "$build_dir" && rm -f parvimage_*.deb && cpack -G DEB)
deb=$(ls "$build_dir"/parvimage_*.deb)
echo "Package: $deb ($(stat -c %s "$deb") bytes)"
dpkg-deb -f "$deb" Depends
dpkg-deb -f "$deb" Depends | grep -Eq "qt(6-translations|translations5)-l10n" ||
    { echo "the package does not depend on the toolkit's French translation"; exit 1; }
dpkg-deb -f "$deb" Recommends | grep -q "image-formats-plugins" ||
    { echo "the package does not recommend the toolkit's image-format plug-ins"; exit 1; }

contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/parvimage ./usr/share/applications/parvimage.desktop \
    ./usr/share/icons/hicolor/scalable/apps/parvimage.svg \
    ./usr/share/metainfo/org.parvimage.parvimage.metainfo.xml \
    ./usr/share/doc/parvimage/copyright; do
    grep -q " $path\$" <<<"$contents" || { echo "missing from the package: $path"; exit 1; }
done

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q "./$deb"
trap 'apt-get remove -y -q parvimage >/dev/null 2>&1 || true' EXIT
[ "$(command -v parvimage)" = /usr/bin/parvimage ] || { echo "parvimage is not on the PATH"; exit 1; }
desktop-file-validate /usr/share/applications/parvimage.desktop
# Software centres find the program by its metainfo, and it names the launcher installed.
appstreamcli validate --no-net /usr/share/metainfo/org.parvimage.parvimage.metainfo.xml
grep -q "<launchable type=\"desktop-id\">parvimage.desktop</launchable>" \
    /usr/share/metainfo/org.parvimage.parvimage.metainfo.xml

# Started as the menu entry starts it, the program must keep running until stopped;
# `timeout` ends it with 124.
menu_command=$(sed -n 's/^Exec=//p' /usr/share/applications/parvimage.desktop)
status=0
QT_QPA_PLATFORM=offscreen timeout 3 $menu_command || status=$?
[ "$status" -eq 124 ] || { echo "parvimage did not keep running (exit $status)"; exit 1; }

apt-get remove -y -q parvimage
trap - EXIT
! command -v parvimage >/dev/null || { echo "parvimage is still installed"; exit 1; }
echo "Package check passed."
