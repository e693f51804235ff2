#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the whole test suite (with Qt 6 when
# QT_MAJOR_VERSION=6).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/qt.sh
bash scripts/deps.sh
bash scripts/build.sh
(cd "$BUILD_DIR" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)")
# The tree a screen reader gets from the real window, under Xvfb.
bash scripts/atspi-check.sh "$BUILD_DIR"
