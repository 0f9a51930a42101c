#!/usr/bin/env bash
# Sets up a fresh machine if needed, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTAVIX_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 --target tavix
exec build/src/tavix "$@"
