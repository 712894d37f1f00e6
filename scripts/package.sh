#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package in build/release and prints its path.
# The same as: cmake --build build/release --target package, in a build configured for /usr;
# this builds only the programs the package holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTARVANE_TESTS=OFF -DTARVANE_BENCH=OFF >/dev/null
targets=(tarvane tarvane-cli hex2bin)
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
rm -f "$build"/tarvane_*.deb
(cd "$build" && cpack -G DEB >/dev/null 2>&1) || (cd "$build" && cpack -G DEB)
ls "$PWD/$build"/tarvane_*.deb
