#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up, builds and runs every test. With --sanitize: the same in an ASan+UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build/debug
flags=(-DCMAKE_BUILD_TYPE=Debug)
if [ "${1:-}" = "--sanitize" ]; then
  build=build/sanitize
  flags=(-DCMAKE_BUILD_TYPE=Debug -DTARVANE_SANITIZE=ON)
fi
cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j2
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" -j2 --output-on-failure
