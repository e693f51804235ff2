#!/usr/bin/env bash
# Starts the program under Xvfb with its accessibility tree published on a session bus of its
# own, and checks the tree with scripts/atspi-check.py.
#
#   scripts/atspi-check.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
command -v dbus-run-session >/dev/null && /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || {
    echo "needs dbus, at-spi2-core and python3-pyatspi" >&2; exit 2; }
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
xvfb-run -a dbus-run-session -- bash -c '
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 XDG_CONFIG_HOME='"$config"'
    /usr/libexec/at-spi-bus-launcher --launch-immediately &
    # The program asks for the accessibility bus once, at its start: have it answer first.
    for wait in $(seq 100); do
        dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress 2>/dev/null | grep -q unix: && break
        sleep 0.2
    done
    "'"$build"'/src/parvimage" & program=$!
    sleep 4
    # A process asking too early keeps an empty tree: ask again from a new one.
    for attempt in $(seq 30); do
        status=0
        /usr/bin/python3 scripts/atspi-check.py 5 || status=$?
        [ $status -eq 2 ] || break
    done
    kill $program
    exit $status'
