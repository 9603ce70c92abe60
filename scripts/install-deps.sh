#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and run the program.
# Skips apt entirely when every package is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtk-3-dev
  libgtest-dev libbenchmark-dev
  xvfb xdotool imagemagick x11-utils dbus-daemon dbus-bin
  dpkg-dev file lintian desktop-file-utils appstream man-db groff-base
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
