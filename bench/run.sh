#!/usr/bin/env bash
# Builds the benchmarks in Release and runs every item, printing the figures.
#
#   bench/run.sh [--baseline REV] [tavix_bench options]
#
# --baseline REV also builds REV's tavix_bench and tavix-room (in a temporary
# worktree and build folder, removed afterwards) and runs its room and its
# tavix-room processes beside ours, e.g. --baseline 8dc2758 for the room
# before the last speed work, or 7d2aa49 for the room before TLS (whose
# tavix-room cannot join a room of ours, so its processes are left out).
# Other arguments go to
# tavix_bench (e.g. --smoke, --idle-seconds 10); --smoke runs no baseline.
set -euo pipefail
cd "$(dirname "$0")/.."

baseline=""
smoke=0
pass=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --baseline) baseline="$2"; shift 2 ;;
        --baseline=*) baseline="${1#--baseline=}"; shift ;;
        *) [[ "$1" == --smoke ]] && smoke=1; pass+=("$1"); shift ;;
    esac
done

scripts/setup.sh --bench

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target tavix_bench tavix_window_probe tavix_floor tavix-room >/dev/null

if [[ -n "$baseline" && $smoke -eq 1 ]]; then
    echo "Not in smoke mode: the baseline $baseline" >&2
    baseline=""
fi
if [[ -n "$baseline" ]]; then
    rev=$(git rev-parse --short "$baseline^{commit}")
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavix-baseline.XXXXXX")
    cleanup() {
        git worktree remove --force "$scratch/src" 2>/dev/null || true
        rm -rf "$scratch"
        git worktree prune
    }
    trap cleanup EXIT
    echo "Building the baseline $rev in $scratch" >&2
    git worktree add --quiet --detach "$scratch/src" "$rev"
    cmake -S "$scratch/src" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release -DTAVIX_BUILD_TESTS=OFF >/dev/null
    cmake --build "$scratch/build" -j2 --target tavix_bench tavix-room >/dev/null
    # A member counts as joined once it shows the host's key, which only a
    # tavix-room with TLS prints.
    if git grep -q "the host's key" "$rev" -- tools/roomtool; then
        pass+=(--baseline-tool "$scratch/build/tools/roomtool/tavix-room")
    else
        echo "$rev's tavix-room has no TLS: the processes item runs without it" >&2
    fi
    pass+=(--baseline-bench "$scratch/build/bench/tavix_bench"
           --baseline-label "$rev ($(git log -1 --format=%s "$rev"))")
fi

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
build-bench/bench/tavix_bench all "${pass[@]}" || status=$?
echo "  load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the end"
exit $status
