#!/usr/bin/env bash
# Installs the dependencies, builds, and starts Parvimage.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
exec "${BUILD_DIR:-build}/src/parvimage" "$@"
