#!/usr/bin/env bash
# Sets up a fresh machine if needed, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTAVIX_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 --target tavix
# Say in one line why the window cannot open, instead of Qt's abort message.
no_display() {
    echo "tavix: $1; built build/src/tavix - run it on a desktop, or without a screen: xvfb-run -a build/src/tavix" >&2
    exit 1
}
if [[ -z "${QT_QPA_PLATFORM:-}" ]]; then
    if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
        no_display "no display to open the window on (DISPLAY is not set)"
    fi
    # A local X display (:N) that has no socket is a stale DISPLAY.
    if [[ -z "${WAYLAND_DISPLAY:-}" && "${DISPLAY:-}" =~ ^(unix)?:([0-9]+)(\.[0-9]+)?$ ]] &&
       [[ ! -S /tmp/.X11-unix/X${BASH_REMATCH[2]} ]]; then
        no_display "no X server at DISPLAY=$DISPLAY"
    fi
fi
exec build/src/tavix "$@"
