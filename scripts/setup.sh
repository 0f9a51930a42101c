#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12 / Ubuntu:
# scripts/setup.sh [--tests | --bench].
# Only missing packages are installed; sudo is used when not root.
set -euo pipefail

packages=(
    cmake make g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libssl-dev                # a host's key and certificate
    libsodium-dev             # the passphrase exchange (CPace on ristretto255)
    # Rooms announce themselves through the desktop's own mDNS responder
    # (avahi-daemon) over D-Bus, with Qt's QtDBus from qt6-base-dev.
    fonts-vlgothic            # Japanese glyphs without any configuration
)
if [[ "${1:-}" == "--tests" ]]; then
    packages+=(
        xvfb xauth xdotool libxcb1-dev  # the real-window check
        clang libclang-rt-14-dev  # the fuzz target and sanitizer build
        desktop-file-utils appstream  # the installed tree's desktop entry and metainfo
        dbus-daemon at-spi2-core python3-pyatspi  # reading the window as a screen reader does
        dpkg-dev file         # dpkg-shlibdeps and file(1) for cpack -G DEB (scripts/check-package.sh)
        iproute2              # ip(8) and tc(8): the network test's namespaces, veth pair and slow link
        avahi-daemon avahi-utils  # rooms announced and found: a responder per namespace, avahi-browse
    )
fi
if [[ "${1:-}" == "--bench" ]]; then
    packages+=(
        strace                # system calls per relayed line
        xvfb xauth            # start-up on X11
    )
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
if [[ $(id -u) -ne 0 ]]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
