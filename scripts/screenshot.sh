#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the real window under Xvfb to PNG files in docs/: at start, after a Read Chip of the
# simulated ATmega8, with one bit changed by hand, and after writing that change to the chip;
# and the rescue of an ATmega8 set to an external clock with SPIEN unprogrammed: Factory values
# and the Write Fuses confirmation.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVANE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target tarvane-shot adapter-sim device_files
port="$PWD/$build/shot-port"
"$build/bin/adapter-sim" --link "$port" >/dev/null &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null' EXIT
for _ in $(seq 50); do [ -e "$port" ] && break; sleep 0.1; done
mkdir -p docs
for state in start read edited written; do
  xvfb-run -a -s "-screen 0 800x600x24" "$build/bin/tarvane-shot" --port "$port" --state "$state" \
    --out "docs/window-$state.png"
  echo "docs/window-$state.png"
done
kill $sim 2>/dev/null; wait $sim 2>/dev/null || true
rm -f "$port"
"$build/bin/adapter-sim" --link "$port" --fuses E0F9FF >/dev/null &
sim=$!
for _ in $(seq 50); do [ -e "$port" ] && break; sleep 0.1; done
xvfb-run -a -s "-screen 0 1280x600x24" "$build/bin/tarvane-shot" --port "$port" --state rescue \
  --out docs/window-rescue.png
echo docs/window-rescue.png
