#!/usr/bin/env bash
# Installs what building and testing need, on Debian 12, only when something is missing.
# QT_MAJOR_VERSION=6 adds Qt 6.
set -euo pipefail
source "$(dirname "$0")/qt.sh"

packages=(
    cmake g++ make pkg-config qtbase5-dev libjpeg62-turbo-dev libspng-dev libexiv2-dev exiv2
    libheif-dev libheif-examples libwebp-dev webp libtiff-dev
    qt5-image-formats-plugins kimageformat-plugins appstream
    xvfb xauth imagemagick libimage-exiftool-perl libjpeg-turbo-progs
    desktop-file-utils dpkg-dev file clang libclang-rt-14-dev
    libswscale-dev qttranslations5-l10n liblcms2-dev libraw-dev libraw-bin strace
    libturbojpeg0-dev libgif-dev libimagequant-dev libjxl-dev libjxl-tools libdeflate-dev
    dbus at-spi2-core python3-pyatspi xdotool
)
if [ "$QT_MAJOR_VERSION" = 6 ]; then
    packages+=(qt6-base-dev qt6-5compat-dev qt6-image-formats-plugins qt6-translations-l10n)
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
