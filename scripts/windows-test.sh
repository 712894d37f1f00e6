#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the Windows programs of build/windows/tarvane-<version>-win64.zip (scripts/windows.sh)
# under Wine against the simulated adapter, and the Linux programs of build/debug against it
# the same way, and compares the two:
#   - Wine's COM1 is the simulator's pseudo-terminal;
#   - tarvane-cli.exe: read-chip, write-flash, verify-flash and read-flash of a HEX file, a fuse
#     write and a read-chip after it; hex2bin.exe turns the read-back file into a raw image;
#   - tarvane.exe on an Xvfb screen: its window opens, it reads the chip and closes cleanly,
#     leaving its settings beside it;
#   - the bytes the simulator received (its --log) and what the programs printed must be the
#     same for both systems, for the original adapter and for the open Tarvane board.
# Exits non-zero at the first difference. Needs the zip; builds what it needs of build/debug.
# With BUILD_LOCK=FILE the Linux build runs under flock FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=$root/build/windows
say() { echo "windows-test: $*"; }
fail() { echo "windows-test: FAILED: $*" >&2; exit 1; }

zip=$(ls "$win"/tarvane-*-win64.zip 2>/dev/null | sort -V | tail -n 1 || true)
[ -n "$zip" ] || fail "no build/windows/tarvane-*-win64.zip: run scripts/windows.sh first"

bash scripts/setup.sh
locked() {
  if [ -n "${BUILD_LOCK:-}" ]; then flock "$BUILD_LOCK" nice -n 10 "$@"; else nice -n 10 "$@"; fi
}
linux=build/debug
locked cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=Debug >/dev/null
locked cmake --build "$linux" -j2 --target adapter-sim tarvane tarvane-cli hex2bin device_files >/dev/null

work=$win/test
rm -rf "$work"
mkdir -p "$work"
# The programs as a user unpacks them; the Linux ones side by side in the same way, so that
# neither finds a settings file left by an earlier run.
unzip -q "$zip" -d "$work"
linux_bin=$work/linux-programs
mkdir -p "$linux_bin"
cp -r "$linux/bin/tarvane" "$linux/bin/tarvane-cli" "$linux/bin/adapter-sim" "$linux/bin/cpu" "$linux_bin/"
app=$(find "$work" -maxdepth 1 -type d -name 'tarvane-*-win64')
[ -x "$app/tarvane-cli.exe" ] || chmod +x "$app"/*.exe

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# One screen for everything Wine shows: Qt's event loop makes windows even in the CLI.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")

export WINEPREFIX=$win/wineprefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installers: the programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "making the Wine prefix $WINEPREFIX"
  wineboot --init >/dev/null 2>&1
  wineserver -w
fi
port=$work/port   # the simulator's link to its pseudo-terminal, the same path every run
# COM1 is that link: in Wine's port table (mountmgr makes the dosdevices entry from it when
# Wine starts) and as the dosdevices entry itself.
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$port" /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w
ln -sfn "$port" "$WINEPREFIX/dosdevices/com1"

# Firmware for the Flash operations: 3000 bytes of a fixed pattern as Intel HEX.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 37 + i // 251) & 0xFF for i in range(3000)))' \
  >"$work/image.bin"
objcopy -I binary -O ihex "$work/image.bin" "$work/image.hex"

sim=""
start_sim() {  # LOG, then the simulator's options
  local log=$1
  shift
  rm -f "$port" "$log"
  "$linux_bin/adapter-sim" --link "$port" --log "$log" "$@" >/dev/null &
  sim=$!
  pids+=("$sim")
  for _ in $(seq 100); do [ -e "$port" ] && break; sleep 0.05; done
  [ -e "$port" ] || fail "adapter-sim did not start"
}
stop_sim() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
}

# The same commands on either system; SIDE is linux or windows, its folder of outputs $work/SIDE-BOARD.
run_cli() {  # SIDE BOARD (plain or ours)
  local side=$1 board=$2 out=$work/$1-$2 cli port_arg
  mkdir -p "$out"
  cp "$work/image.hex" "$out/image.hex"
  if [ "$side" = windows ]; then
    cli=(wine "$app/tarvane-cli.exe")
    port_arg=(--port COM1)
  else
    cli=("$linux_bin/tarvane-cli")
    port_arg=(--port "$port")
  fi
  local sim_args=()
  [ "$board" = ours ] && sim_args=(--ours)
  start_sim "$out/wire.log" "${sim_args[@]}"
  local n=0
  step() {
    n=$((n + 1))
    local rc=0
    (cd "$out" && "${cli[@]}" "$@" >"$out/$n.out" 2>"$out/$n.err") || rc=$?
    echo "exit $rc" >>"$out/$n.out"
    # Windows ends its lines with CR LF, and Wine adds its own notes to standard error.
    sed -i 's/\r$//' "$out/$n.out"
    [ "$rc" -eq 0 ] || { cat "$out/$n.err" >&2; fail "$side $board: tarvane-cli $* exited $rc"; }
  }
  if [ "$side" = windows ] && [ "$board" = plain ]; then
    # No settings file and no --port: the default port, \\.\COM1.
    step read-chip
  else
    step "${port_arg[@]}" read-chip
  fi
  step "${port_arg[@]}" write-flash image.hex
  step "${port_arg[@]}" verify-flash image.hex
  step "${port_arg[@]}" read-flash back.hex
  step "${port_arg[@]}" write-fuses E4 D9
  step "${port_arg[@]}" read-chip
  stop_sim
  sed -i 's/\r$//' "$out/back.hex"
}

compare() {  # WHAT A B
  if ! cmp -s "$2" "$3"; then
    diff -u "$2" "$3" | head -n 40 >&2 || true
    fail "$1 differ: $2 $3"
  fi
}

# The wire logs must match line for line; the one freedom is the identification challenge,
# 4 random bytes (4 to 7), fresh in every run, of a cmdEnd block and of the open board's line
# switch (code 10h) and ping (11h), and in a cmdEnd block also what the board's answer to a
# challenge left in those bytes of the command block.
compare_wire() {  # WHAT LINUX WINDOWS
  python3 - "$2" "$3" <<'EOF' || fail "$1: the bytes on the wire differ"
import sys
a, b = (open(p).read().splitlines() for p in sys.argv[1:3])
challenges = 0
for n, (x, y) in enumerate(zip(a, b), 1):
    if x == y:
        continue
    xs, ys = x.split(), y.split()
    if len(xs) == len(ys) == 9 and xs[:5] == ys[:5] and xs[0] == "block" \
            and xs[1] in ("00", "10", "11"):
        challenges += 1
        continue
    print(f"line {n}:\n  linux:   {x}\n  windows: {y}", file=sys.stderr)
    sys.exit(1)
if len(a) != len(b):
    print(f"{len(a)} lines against {len(b)}", file=sys.stderr)
    sys.exit(1)
print(f"{len(a)} lines, {challenges} of them challenges")
EOF
}

for board in plain ours; do
  say "tarvane-cli on Linux and under Wine, $board adapter"
  run_cli linux "$board"
  run_cli windows "$board"
  wire=$(compare_wire "$board" "$work/linux-$board/wire.log" "$work/windows-$board/wire.log")
  for out in "$work/linux-$board"/*.out; do
    compare "outputs ($board)" "$out" "$work/windows-$board/$(basename "$out")"
  done
  compare "read-back HEX files ($board)" "$work/linux-$board/back.hex" "$work/windows-$board/back.hex"
  say "$board adapter: the same bytes on the wire ($wire), the same outputs"
done
grep -q 'E4' "$work/windows-plain/6.out" || fail "the fuse write did not read back"

say "hex2bin.exe on the read-back file"
(cd "$work/windows-plain" && wine "$app/hex2bin.exe" back.hex >/dev/null 2>&1) || fail "hex2bin.exe failed"
python3 - "$work/image.bin" "$work/windows-plain/back.bin" <<'EOF' || fail "the Flash read back is not the image written"
import sys
image, back = (open(p, "rb").read() for p in sys.argv[1:3])
ok = back[:len(image)] == image and set(back[len(image):]) <= {0xFF} and len(back) >= len(image)
sys.exit(0 if ok else 1)
EOF

say "tarvane-cli.exe on ports that will not do: the Windows explanations"
refused() {  # PORT TEXT: the run fails with exit 3 and explains itself with TEXT
  local rc=0 out
  out=$(cd "$work" && wine "$app/tarvane-cli.exe" --port "$1" read-chip 2>&1) || rc=$?
  out=${out//$'\r'/}
  [ "$rc" -eq 3 ] || fail "port $1: exit $rc, expected 3"
  grep -qF -- "$2" <<<"$out" || { echo "$out" >&2; fail "port $1: no \"$2\""; }
  if grep -qiE 'udev|usermod|dialout|/dev/' <<<"$out"; then
    echo "$out" >&2
    fail "port $1: advice for Linux"
  fi
}
# Wine lists its COM ports in the registry as Windows does; COM1 is among them.
refused COM9 "There is no such port. The serial ports Windows has:"
refused COM9 "    COM1 "
refused NUL "NUL is not a serial port."

say "tarvane.exe: the window, a Read Chip, the close"
read_window() {  # SIDE: the report of a start that reads the chip and closes
  local side=$1 rc=0
  start_sim "$work/$side-window.log"
  if [ "$side" = windows ]; then
    rm -f "$app/config.txt"
    (cd "$work" && TARVANE_STARTUP_CHECK=read timeout 120 wine "$app/tarvane.exe" >"$work/$side-window.out" \
      2>"$work/$side-window.err") || rc=$?
  else
    (cd "$work" && QT_QPA_PLATFORM=offscreen TARVANE_STARTUP_CHECK=read timeout 60 "$linux_bin/tarvane" \
      >"$work/$side-window.out" 2>"$work/$side-window.err") || rc=$?
  fi
  stop_sim
  sed -i 's/\r$//' "$work/$side-window.out"
  [ "$rc" -eq 0 ] || { cat "$work/$side-window.err" >&2; fail "$side: the program exited $rc"; }
}
# Linux reads the simulator through the settings file; Windows through its default, \\.\COM1.
printf '# Tarvane configuration file\r\n%s\r\n\r\n\r\n' "$port" >"$linux_bin/config.txt"
read_window linux
read_window windows
wineserver -w
out=$work/windows-window.out
grep -v "^chip: " "$out"
grep -qxF "shown: yes" "$out" || fail "the window did not show"
grep -qxF "port: \\\\.\\COM1" "$out" || fail "the default port is not \\\\.\\COM1"
# Wine shows the Linux root as drive Z:.
grep -qxF "settings: Z:$app/config.txt" "$out" || fail "the settings file is not beside the program"
grep -qxF "signature: 1Eh 93h 07h" "$out" || fail "the window did not read the chip's signature"
grep -qxF "device: ATmega8/8A" "$out" || fail "the window did not name the chip"
[ -f "$app/config.txt" ] || fail "the close did not save the settings beside the program"
grep -q $'^\\\\\\\\.\\\\COM1\r$' "$app/config.txt" || fail "the saved settings do not hold \\\\.\\COM1"
wire=$(compare_wire "window" "$work/linux-window.log" "$work/windows-window.log")
say "window: the same bytes on the wire ($wire)"
compare "status after the read (window)" <(grep '^status: \|^signature: \|^device: ' "$work/linux-window.out") \
  <(grep '^status: \|^signature: \|^device: ' "$out")

say "passed: the same bytes on the wire as the Linux build, for every operation"
echo "windows-test: 1 passed, 0 failed"
