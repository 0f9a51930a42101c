#!/usr/bin/env bash
# Sets up a fresh machine if needed, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTAVIX_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 --target tavix
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
    echo "tavix: no display to open the window on (DISPLAY is not set); built build/src/tavix - run it on a desktop, or without a screen: xvfb-run -a build/src/tavix" >&2
    exit 1
fi
exec build/src/tavix "$@"
