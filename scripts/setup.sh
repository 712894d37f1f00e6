#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent and quiet when nothing is missing; works as root on a bare machine.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev libopengl-dev   # the toolkit and what its CMake files look for
  fonts-liberation                                           # the window's face
  xvfb xauth                                                 # screenshots of the real window
  python3                                                    # the catalogue check
  file desktop-file-utils appstream                          # the Debian package and its desktop files' checks
  gcc-avr avr-libc binutils-avr                              # the adapter firmware, device headers, reference HEX files
  libsimavr-dev libelf-dev simavr                            # hvsim: the adapter board in simulation
  avrdude                                                    # test data only: its part list, /etc/avrdude.conf
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
