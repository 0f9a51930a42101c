#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks the tree a desktop
# relies on: both programs runnable, a menu entry that validates and points
# at them, icons at the sizes their folders claim, valid AppStream metainfo.
# Usage: check_install.sh BUILD_DIR
set -uo pipefail
build=$1
prefix=/usr
id=io.github.tavix.Tavix
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

DESTDIR=$root cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "FAIL: cmake --install" >&2; exit 1; }
tree=$root$prefix

for program in tavix tavix-room; do
    [[ -x $tree/bin/$program ]] || fail "bin/$program missing or not executable"
done
# The installed binary runs from its new place (no build-tree paths needed).
"$tree/bin/tavix-room" --help 2>&1 | grep -q '^Usage: tavix-room' || fail "installed tavix-room --help"

desktop=$tree/share/applications/$id.desktop
if [[ -f $desktop ]]; then
    # Hints and warnings count too: a clean entry prints nothing.
    out=$(desktop-file-validate "$desktop" 2>&1)
    [[ $? -eq 0 && -z $out ]] || fail "desktop-file-validate: $out"
    key() { sed -n "s/^$1=//p" "$desktop"; }
    [[ $(key Name) == "Tavix Gorvel サンプル" ]] || fail "Name is '$(key Name)'"
    [[ $(key Categories) == "Network;Chat;" ]] || fail "Categories is '$(key Categories)'"
    exec_program=$(key Exec | cut -d' ' -f1)
    [[ -x $tree/bin/$exec_program ]] || fail "Exec '$exec_program' is not an installed program"
    [[ $(key Icon) == "$id" ]] || fail "Icon is '$(key Icon)'"
else
    fail "no desktop entry at share/applications/$id.desktop"
fi

icons=$tree/share/icons/hicolor
grep -q '<svg' "$icons/scalable/apps/$id.svg" 2>/dev/null || fail "no scalable SVG icon"
for size in 48 128; do
    png=$icons/${size}x${size}/apps/$id.png
    # Width and height are the big-endian words at bytes 16 and 20 of a PNG.
    dims=$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | awk '{print $3*256+$4 "x" $7*256+$8}')
    [[ $dims == "${size}x${size}" ]] || fail "$png is '$dims', not ${size}x${size}"
done

metainfo=$tree/share/metainfo/$id.metainfo.xml
out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" \
    || fail "metainfo does not launch $id.desktop"

[[ $failures -eq 0 ]] && echo "installed tree OK"
exit $((failures > 0))
