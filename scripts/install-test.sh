#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package, installs it, starts the installed program as a user who cannot
# write beside it, checks the installed desktop files, and removes the package again.
# Needs root (CI runs as root); refuses to touch a tarvane package installed before.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "install test: needs root" >&2; exit 1; }
if dpkg-query -W -f='${Status}' tarvane 2>/dev/null | grep -q "install ok installed"; then
  echo "install test: a tarvane package is installed already; remove it first" >&2
  exit 1
fi

deb=$(bash scripts/package.sh | tail -n 1)
dpkg-deb -c "$deb"
dpkg-deb -f "$deb" Depends
trap 'dpkg -P tarvane >/dev/null' EXIT
if ! dpkg -i "$deb" >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq >/dev/null
fi

[ "$(readlink -f /usr/bin/tarvane)" = /usr/lib/tarvane/tarvane ] || { echo "install test: /usr/bin/tarvane" >&2; exit 1; }
bash tests/startup_check.sh /usr/bin/tarvane
if [ -e /usr/bin/tarvane-cli ]; then
  setpriv --reuid=nobody --regid=nogroup --clear-groups env -i HOME=/nonexistent /usr/bin/tarvane-cli devices \
    | grep -q ATmega8 || { echo "install test: tarvane-cli devices does not list the catalogue" >&2; exit 1; }
fi
desktop-file-validate /usr/share/applications/*tarvane*.desktop
appstreamcli validate --no-net /usr/share/metainfo/*tarvane*.metainfo.xml >/dev/null

dpkg -P tarvane >/dev/null
trap - EXIT
[ ! -e /usr/lib/tarvane ] && [ ! -e /usr/bin/tarvane ] || { echo "install test: files left after removal" >&2; exit 1; }
echo "install test: passed"
