#!/usr/bin/env bash
# Installs the dependencies, builds, and starts Parvimage (with Qt 6 when QT_MAJOR_VERSION=6).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/qt.sh
bash scripts/deps.sh
bash scripts/build.sh
exec "$BUILD_DIR/src/parvimage" "$@"
