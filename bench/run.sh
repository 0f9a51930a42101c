#!/usr/bin/env bash
# Builds the benchmarks in Release and runs every item, printing the figures.
# Extra arguments go to tavix_bench (e.g. --smoke, --idle-seconds 10).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ qt6-base-dev libgl-dev libssl-dev fonts-vlgothic strace)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [[ ${#missing[@]} -gt 0 ]]; then
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    echo "Installing: ${missing[*]}" >&2
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target tavix_bench tavix_window_probe tavix_floor >/dev/null

head=$(git rev-parse --short HEAD)
[[ -n "$(git status --porcelain)" ]] && head="$head, with uncommitted changes"
echo "== machine =="
echo "  commit: $head ($(git log -1 --format=%s HEAD))"
echo "  cpus:   $(nproc) x $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "  memory: $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
echo "  kernel: $(uname -r)"
echo "  Qt:     $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null || echo unknown)"
echo "  OpenSSL: $(dpkg-query -W -f='${Version}' libssl3 2>/dev/null || echo unknown)"
echo "  g++:    $(g++ -dumpfullversion)"
echo "  load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the start"

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
status=0
build-bench/bench/tavix_bench all "$@" || status=$?
echo "  load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the end"
exit $status
