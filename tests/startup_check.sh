#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Starts the program offscreen as a user who cannot write beside it (nobody, with a home made
# here) and checks what the install must give such a user: the shipped catalogue and the
# user's own device files listed, the settings read from and written to ~/.config/tarvane,
# nothing written beside the program, and a clean exit.
# Usage: startup_check.sh PROGRAM   (the program itself or a link to it, such as /usr/bin/tarvane)
# Needs root to change user; exits 77 (skipped) otherwise.
set -euo pipefail
program=$1
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  echo "startup check: needs root and setpriv, skipped"
  exit 77
fi
fail() { echo "startup check: $*" >&2; exit 1; }

dir=$(dirname "$(readlink -f "$program")")
shipped=$(find "$dir/cpu" -maxdepth 1 -name '*.ini' -type f | wc -l)
[ "$shipped" -gt 0 ] || fail "no device files in $dir/cpu"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
home=$work/home
mkdir -p "$home/.config/tarvane/cpu" "$work/run"
printf '# old header\n/dev/ttyCHECK\n\nin.bin' >"$home/.config/tarvane/config.txt"
printf '[configuration]\nCPU_Name=My own chip\nSignature_000=$1E\n' >"$home/.config/tarvane/cpu/mine.ini"
chown -R nobody: "$home" "$work/run"
chmod 700 "$work/run"

beside_before=$( { cat "$dir/config.txt" 2>/dev/null || echo "(none)"; } | md5sum)
out=$(setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$work/run" \
        ${ASAN_OPTIONS+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
        QT_QPA_PLATFORM=offscreen TARVANE_STARTUP_CHECK=1 "$program" 2>"$work/stderr") \
  || { cat "$work/stderr" >&2; fail "the program did not exit cleanly"; }
echo "$out"

grep -qxF "settings: $home/.config/tarvane/config.txt" <<<"$out" || fail "settings not in ~/.config/tarvane"
grep -qxF "port: /dev/ttyCHECK" <<<"$out" || fail "settings not read from ~/.config/tarvane"
grep -qxF "chip: * AUTO *" <<<"$out" || fail "no * AUTO * entry"
grep -qxF "chip: My own chip" <<<"$out" || fail "the user's own device file is not listed"
chips=$(grep -c '^chip: ' <<<"$out")
[ "$chips" -eq $((shipped + 2)) ] || fail "$chips chip list entries, expected $shipped shipped + own + * AUTO *"
grep -qxF "status: " <<<"$out" || fail "start-up or close reported: $(grep '^status: ' <<<"$out")"
# Written at close: the header and CR LF line ends show it is the program's own file now.
expected=$(printf '# Tarvane configuration file\r\n/dev/ttyCHECK\r\n\r\nin.bin\r\nFastTransfers=on\r\nVerifyAfterWriting=on\r\nEepromFile=\r\n' | md5sum)
[ "$(md5sum <"$home/.config/tarvane/config.txt")" = "$expected" ] || fail "settings were not written at close"
beside_after=$( { cat "$dir/config.txt" 2>/dev/null || echo "(none)"; } | md5sum)
[ "$beside_before" = "$beside_after" ] || fail "a config.txt was written beside the program"
echo "startup check: passed ($shipped shipped device files)"
