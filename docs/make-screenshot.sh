#!/usr/bin/env bash
# Makes docs/screenshot.png: the real program under a private Xvfb hosts a
# room on port 5120, two members join it with tavix-room over loopback, and
# all three talk; the host's side is typed into the window with xdotool.
# While it runs, the window's room listens on port 5120 on every address,
# as the program always does; the script stops if that port is taken.
set -euo pipefail
cd "$(dirname "$0")/.."
out=docs/screenshot.png
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"

scripts/setup.sh --tests
for tool in import:imagemagick ss:iproute2; do
    command -v "${tool%%:*}" >/dev/null ||
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${tool#*:}"
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTAVIX_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 --target tavix tavix-room >/dev/null

if [[ -n $(ss -Htln 'sport = :5120') ]]; then
    echo "make-screenshot: port 5120 is in use; stop whatever listens there and try again" >&2
    exit 1
fi

work=$(mktemp -d)
pids=()
cleanup() {
    exec 4>&- 5>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Polls a condition for at most ten seconds.
wait_for() {
    local what=$1; shift
    for _ in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    echo "make-screenshot: timed out waiting for $what" >&2
    exit 1
}
has_line() { grep -qxF "$2" "$work/$1.out"; }

Xvfb -displayfd 1 -screen 0 640x480x24 -nolisten tcp >"$work/display" 2>/dev/null &
pids+=($!)
wait_for "Xvfb" test -s "$work/display"
export DISPLAY=":$(head -n1 "$work/display")" LANG=C.UTF-8

QT_QPA_PLATFORM=xcb build/src/tavix 2>/dev/null &
pids+=($!)
wait_for "the window" xdotool search --name 'Tavix Gorvel' >/dev/null
window=$(xdotool search --name 'Tavix Gorvel' | head -n1)

# Points inside controls, in window pixels (twips / 15).
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
click 324 60                                  # サーバ開始
wait_for "the room on port 5120" test -n "$(ss -Htln 'sport = :5120')"

member() {  # member FD NAME: joins with the fifo on FD as its input
    mkfifo "$work/$2.in"
    build/tools/roomtool/tavix-room join 127.0.0.1 --port 5120 --name "$2" \
        <"$work/$2.in" >"$work/$2.out" 2>&1 &
    pids+=($!)
    eval "exec $1>\"\$work/\$2.in\""
}
member 4 たろう
wait_for "たろう to arrive" has_line たろう "たろうさん が　きました"
member 5 はなこ
wait_for "はなこ to arrive" has_line たろう "はなこさん が　きました"

echo "こんにちは！" >&4
wait_for "たろう's line" has_line はなこ "たろう > こんにちは！"

said="ようこそ、ゆっくりしていってね"
click 136 182                                 # the entry box
xdotool type --delay 40 "$said"
xdotool key Return
wait_for "the host's line" has_line たろう "ぺぽらん > $said"

echo "よろしくお願いします！" >&5
wait_for "はなこ's line" has_line たろう "はなこ > よろしくお願いします！"

# The window shows the last line once it has drawn it: grab until two
# grabs in a row agree.
grab() { import -window "$window" -strip "png:$1"; }
grab "$work/a.png"
wait_for "the window to settle" eval 'grab "$work/b.png"; cmp -s "$work/a.png" "$work/b.png" || { mv "$work/b.png" "$work/a.png"; false; }'
cp "$work/a.png" "$out"
echo "make-screenshot: wrote $out ($(stat -c %s "$out") bytes)"
