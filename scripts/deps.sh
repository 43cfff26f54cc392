#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Vaskel need, when missing.
# Usage: scripts/deps.sh [extra packages...]
set -euo pipefail

packages=(
  cmake ninja-build g++ clang pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  socat strace ser2net xvfb xauth xdotool x11-utils imagemagick time procps chromium
  python3-pymodbus python3-serial python3-serial-asyncio mbpoll tshark
  fonts-nanum fonts-dejavu-core
  desktop-file-utils appstream dpkg-dev file
  libclang-rt-14-dev
  dbus at-spi2-core python3-pyatspi gir1.2-atspi-2.0
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
