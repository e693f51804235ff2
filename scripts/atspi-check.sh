#!/usr/bin/env bash
# Starts the program under Xvfb with its accessibility tree published on a session bus of its
# own, checks the tree with scripts/atspi-check.py and, where xdotool is installed, drives the
# Options menu from the keyboard.
#
#   scripts/atspi-check.sh [BUILD_DIR]
#
# Exits with 0 when the tree passes, 1 when it has something a screen reader user would miss,
# 2 when it could not be checked.
set -euo pipefail
build=$(realpath "${1:-$(dirname "$0")/../build}")
cd "$(dirname "$0")/.."
command -v dbus-run-session >/dev/null && command -v xvfb-run >/dev/null &&
    [ -x /usr/libexec/at-spi-bus-launcher ] && /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || {
    echo "needs xvfb, dbus, at-spi2-core and python3-pyatspi" >&2; exit 2; }
[ -x "$build/src/parvimage" ] || { echo "no program in $build/src" >&2; exit 2; }
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
# -noreset: Xvfb otherwise resets when its last client leaves, the bus launcher's included,
# and drops the root window's AT_SPI_BUS property with it. Qt 5 then asks the session bus for
# the address asynchronously and, most of the time, publishes its tree before the answer, on
# no bus at all, for good.
status=0
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" dbus-run-session -- bash -c '
    set -u
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 XDG_CONFIG_HOME='"$config"'
    # Started on demand by the session bus, once, and the accessibility bus with it.
    address=
    for wait in $(seq 100); do
        address=$(dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress 2>/dev/null | grep -o "unix:[^\"]*") && break
        sleep 0.1
    done
    [ -n "$address" ] || { echo "no accessibility bus" >'"$config"'/report; exit 2; }
    # Not given as AT_SPI_BUS_ADDRESS: Qt 6 then takes the bus as disabled and never asks
    # whether it should publish.
    "'"$build"'/src/parvimage" 2>/dev/null & program=$!
    status=0
    /usr/bin/python3 scripts/atspi-check.py 60 >'"$config"'/report 2>&1 || status=$?
    kill $program 2>/dev/null
    wait $program 2>/dev/null
    exit $status' >"$config/log" 2>&1 || status=$?
cat "$config/report" 2>/dev/null
# The buses' and the server's own messages, only where they may tell why.
[ $status -ne 2 ] || grep -v "fd limit" "$config/log" | tail -20 >&2
exit $status
