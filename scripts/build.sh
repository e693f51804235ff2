#!/usr/bin/env bash
# Configures and builds with Qt 5 into build/, or with Qt 6 into build-qt6/ when
# QT_MAJOR_VERSION=6 (or into $BUILD_DIR). Arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/qt.sh
cmake -S . -B "$BUILD_DIR" -DQT_MAJOR_VERSION="$QT_MAJOR_VERSION" \
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@"
cmake --build "$BUILD_DIR" -j "$(nproc)"
