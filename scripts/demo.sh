#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up, builds and starts the program against the simulated adapter.
#   --firmware [CHIP]  against the adapter firmware in simulation (hvsim) with CHIP in the
#                      socket (default ATmega328P; `hvsim --chips` lists them) instead
set -euo pipefail
cd "$(dirname "$0")/.."
board=adapter-sim
chip=ATmega328P
if [ "${1:-}" = "--firmware" ]; then
  board=hvsim
  chip=${2:-$chip}
fi
bash scripts/setup.sh
build=build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVANE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target tarvane adapter-sim hex2bin device_files
bin="$build/bin"
port="$PWD/$build/adapter-port"

if [ "$board" = hvsim ]; then
  cmake --build "$build" -j2 --target hvsim-board firmware
  "$bin/hvsim" --chip "$chip" --link "$port" --log "$build/adapter.log" --dump "$build/adapter-flash.bin" &
else
  # Our own board, so that the EEPROM and the fast line can be tried too.
  "$bin/adapter-sim" --ours --link "$port" --log "$build/adapter.log" --dump "$build/adapter-flash.bin" \
    --eeprom-dump "$build/adapter-eeprom.bin" &
fi
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null' EXIT
for _ in $(seq 50); do [ -e "$port" ] && break; sleep 0.1; done

# Point the program at the simulator, keeping whatever file names were saved before.
config="$bin/config.txt"
if [ -f "$config" ]; then
  { echo "# Tarvane configuration file"; echo "$port"; sed -n '3p;4p' "$config" | tr -d '\r'; } | sed 's/$/\r/' > "$config.new"
  mv "$config.new" "$config"
else
  printf '# Tarvane configuration file\r\n%s\r\n\r\n\r\n' "$port" > "$config"
fi
# A firmware to try the Flash operations with: pick it with "..." beside "Write FLASH".
mkdir -p "$build/demo"
if avr-gcc -mmcu=atmega8 -Os -o "$build/demo/blink.elf" tests/hex/blink.c 2>/dev/null &&
   avr-objcopy -O ihex -R .eeprom "$build/demo/blink.elf" "$build/demo/blink.hex"; then
  echo "demo: a HEX firmware to try: $PWD/$build/demo/blink.hex"
fi
if [ "$board" = hvsim ]; then
  echo "demo: adapter firmware in simulation with an $chip on $port; its log is $build/adapter.log"
else
  echo "demo: simulated Tarvane board (ATmega8) on $port; its log is $build/adapter.log"
fi
"$bin/tarvane"
