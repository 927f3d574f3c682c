#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need, but only those that
# are missing, so a second run costs a few dpkg look-ups and no network.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qt6-base-dev libgl-dev
    qt6-httpserver-dev qt6-websockets-dev
    libftdi1-dev
    libhidapi-dev
    fonts-dejavu-core fonts-liberation2 qt6-svg-dev
    desktop-file-utils dpkg-dev xvfb xauth
    umockdev libumockdev-dev
    dbus-daemon
    libmosquitto-dev mosquitto mosquitto-clients
    libudev-dev
    libmodbus-dev
    chromium chromium-driver python3-selenium
    openssl
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
else
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
