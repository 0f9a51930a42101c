#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine with apt, checks
# that the menu entry validates and that its Exec line opens the window
# (under a private Xvfb), then removes the package again.
# Needs root or sudo: it installs system packages, so it is not part of
# the test run.  --keep leaves the package installed.
set -euo pipefail
cd "$(dirname "$0")/.."
keep=false
[[ "${1:-}" == "--keep" ]] && keep=true
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"

scripts/setup.sh --tests
# cpack installs without building everything first; only the packaged
# programs are built.
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DTAVIX_BUILD_TESTS=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build build-deb -j2 --target tavix tavix-room
rm -f build-deb/tavix_*.deb
(cd build-deb && cpack -G DEB >/dev/null)
deb=$(ls "$PWD"/build-deb/tavix_*.deb)
echo "== $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends Suggests
dpkg-deb --contents "$deb" | awk '$6 !~ /\/$/ {print "  " $6}'

was_installed=false
dpkg-query -W -f='${Status}' tavix 2>/dev/null | grep -q "install ok installed" && was_installed=true
cleanup() {
    [[ -n ${xvfb_pid:-} ]] && kill "$xvfb_pid" 2>/dev/null
    [[ -n ${app_pid:-} ]] && kill "$app_pid" 2>/dev/null
    if ! $keep && ! $was_installed; then
        DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -q tavix >/dev/null && echo "== removed tavix again"
    fi
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --reinstall "$deb" >/dev/null
echo "== installed: $(dpkg-query -W -f='${Package} ${Version}' tavix)"

desktop=/usr/share/applications/io.github.tavix.Tavix.desktop
desktop-file-validate "$desktop"
if ldd /usr/bin/tavix /usr/bin/tavix-room | grep 'not found'; then
    echo "FAIL: a library the programs need is missing" >&2; exit 1
fi

# Start the Exec line the way a menu would: from /, with a plain session
# environment (a UTF-8 locale, as desktops set).
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
display_file=$(mktemp)
Xvfb -displayfd 1 -screen 0 800x600x24 -nolisten tcp >"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ $(wc -l <"$display_file") -ge 1 ]] && break
    sleep 0.1
done
display=$(head -n1 "$display_file")
rm -f "$display_file"
[[ -n $display ]] || { echo "FAIL: Xvfb did not start" >&2; exit 1; }
(cd / && exec env -i HOME="$HOME" PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 DISPLAY=":$display" \
     sh -c "exec $exec_line") &
app_pid=$!
for _ in $(seq 100); do
    if DISPLAY=":$display" xdotool search --name '^Tavix Gorvel サンプル$' >/dev/null 2>&1; then
        echo "== '$exec_line' opened the window 'Tavix Gorvel サンプル'"
        exit 0
    fi
    kill -0 "$app_pid" 2>/dev/null || { echo "FAIL: '$exec_line' exited" >&2; exit 1; }
    sleep 0.1
done
echo "FAIL: no window within 10 s of '$exec_line'" >&2
exit 1
