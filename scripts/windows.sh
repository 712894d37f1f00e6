#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Windows programs on this Debian machine and packs them, with everything they
# need to run, into build/windows/tarvane-<version>-win64.zip:
#   1. the packages: MinGW-w64 (POSIX threads), Wine, Xvfb, the host Qt tools;
#   2. Qt Core, Gui, Widgets and the Windows platform plugin, cross-built from Debian's own
#      qt6-base source (the same 6.4.2 as the host tools) into build/windows/qt, once: a later
#      run finds it there and goes straight on;
#   3. tarvane.exe, tarvane-cli.exe and hex2bin.exe;
#   4. the zip: the programs, their DLLs, platforms/qwindows.dll, cpu/, LICENSE, README.
# scripts/windows-test.sh then runs the zip's programs under Wine against the simulator.
#
# With BUILD_LOCK=FILE every compiling step runs under flock FILE, in turns of at most
# WINDOWS_TURN_SECONDS (default 600): on a shared machine the Qt build, which takes long,
# then lets other builds in between its turns (ninja goes on where it stopped).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=$root/build/windows
qt=$win/qt
mkdir -p "$win"

say() { echo "windows: $*"; }
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# --- 1. Packages --------------------------------------------------------------------------
packages=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64    # the compilers, POSIX threads flavour
  cmake ninja-build dpkg-dev                               # the build, and apt-get source's unpacking
  qt6-base-dev qt6-base-dev-tools                          # the host Qt tools (moc, rcc, uic), Qt6HostInfo
  libwine-dev                                              # Wine's Wintab header, for Qt's tablet support
  wine wine64 xvfb xauth                                   # the test: the programs under Wine, on a screen
  zip unzip python3
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Runs a compiling step: under the lock when one is named, at low priority.
locked() {
  if [ -n "${BUILD_LOCK:-}" ]; then
    flock "$BUILD_LOCK" nice -n 10 "$@"
  else
    nice -n 10 "$@"
  fi
}

# ninja in turns of at most WINDOWS_TURN_SECONDS, until it is done; a failure of the build
# itself stops the script, the end of a turn (timeout's 124) only waits for the next.
# The seconds ninja ran are added to the file named by $1.
ninja_in_turns() {
  local seconds_file=$1
  shift
  local turn=${WINDOWS_TURN_SECONDS:-600} rc
  while :; do
    rc=0
    locked bash -c 'start=$(date +%s); rc=0; timeout "$1" ninja "${@:3}" || rc=$?
                    echo $(( $(date +%s) - start )) >>"$2"; exit $rc' _ "$turn" "$seconds_file" "$@" || rc=$?
    [ $rc -eq 0 ] && return 0
    if [ $rc -ne 124 ]; then
      say "the build failed (exit $rc)"
      return $rc
    fi
    say "turn over, the build goes on in a moment"
    sleep 20
  done
}
sum_seconds() { awk '{ s += $1 } END { print s + 0 }' "$1"; }

# --- 2. Qt for Windows, once --------------------------------------------------------------
qt_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)   # 6.4.2+dfsg-10 on bookworm
if [ ! -f "$qt/.complete" ]; then
  src=$win/src
  mkdir -p "$src"
  qtsrc=$(find "$src" -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
  if [ -z "$qtsrc" ]; then
    # Source packages come from deb-src entries for the same archive as the binary ones.
    if ! apt-cache showsrc qt6-base 2>/dev/null | grep -qxF "Version: $qt_version"; then
      if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
        say "adding deb-src entries beside /etc/apt/sources.list.d/debian.sources"
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
          $sudo tee /etc/apt/sources.list.d/tarvane-deb-src.sources >/dev/null
      fi
      $sudo apt-get update -qq
    fi
    say "fetching the qt6-base $qt_version source"
    (cd "$src" && apt-get source -qq "qt6-base=$qt_version" >/dev/null)
    qtsrc=$(find "$src" -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
  fi
  [ -n "$qtsrc" ] || { say "no qt6-base source in $src"; exit 1; }

  # Debian's Qt source leaves out the Wintab SDK header that the Windows plugin's tablet
  # support includes; Wine's own header stands in, with the few names it takes from Wine's
  # Windows headers.
  wintab=$qtsrc/src/3rdparty/wintab
  if [ ! -f "$wintab/wintab.h" ]; then
    mkdir -p "$wintab"
    {
      printf '%s\n' '/* Wine'"'"'s Wintab header, for the tablet support of Qt'"'"'s Windows plugin. */' \
        '#ifndef API' '#define API WINAPI' '#endif' \
        '#ifndef WINELIB_NAME_AW' '#ifdef UNICODE' '#define WINELIB_NAME_AW(name) name##W' '#else' \
        '#define WINELIB_NAME_AW(name) name##A' '#endif' '#endif' \
        '#ifndef DECL_WINELIB_TYPE_AW' '#define DECL_WINELIB_TYPE_AW(type) typedef WINELIB_NAME_AW(type) type;' '#endif'
      cat /usr/include/wine/wine/windows/wintab.h
    } >"$wintab/wintab.h"
    cp /usr/include/wine/wine/windows/pktdef.h "$wintab/"
  fi
  # Qt Gui builds its DirectWrite font database only with Direct2D, which is left out here;
  # the plugin must then not ask for it either (it would not link).
  sed -i 's/^#if QT_CONFIG(directwrite3)$/#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)/' \
    "$qtsrc/src/plugins/platforms/windows/qwindowsintegration.cpp"

  # The host's Qt tools build the target's Qt: QT_HOST_PATH and the folder of Qt6HostInfo.
  # What the programs do not use is left out: no OpenGL (the widgets paint by raster), no
  # SQL, network, D-Bus, XML, test library, print support, concurrent; no tests or examples;
  # every third-party library (zlib, PCRE2, PNG, FreeType, HarfBuzz) Qt's own copy.
  qtbuild=$win/qt-build
  if [ ! -f "$qtbuild/build.ninja" ]; then
    say "configuring Qt for x86_64-w64-mingw32"
    start=$(date +%s)
    locked cmake -G Ninja -S "$qtsrc" -B "$qtbuild" \
      -DCMAKE_TOOLCHAIN_FILE="$root/scripts/windows/mingw64.cmake" \
      -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
      -DCMAKE_INSTALL_PREFIX="$qt" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
      -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
      -DQT_BUILD_TESTS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_BENCHMARKS=OFF \
      -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_opengl_dynamic=OFF -DFEATURE_dynamicgl=OFF \
      -DFEATURE_direct2d=OFF -DFEATURE_vulkan=OFF \
      -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_testlib=OFF \
      -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
      -DFEATURE_zstd=OFF -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_pkg_config=OFF \
      -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF \
      -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF \
      -DFEATURE_system_jpeg=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF \
      -DFEATURE_system_doubleconversion=OFF >"$win/qt-configure.log" 2>&1 ||
      { tail -n 40 "$win/qt-configure.log"; say "Qt configure failed: $win/qt-configure.log"; exit 1; }
    echo $(( $(date +%s) - start )) >"$win/qt-configure-seconds.txt"
  fi
  say "building Qt (long: see README.md, Windows)"
  ninja_in_turns "$win/qt-build-seconds.txt" -C "$qtbuild" -j2 all
  locked cmake --install "$qtbuild" >"$win/qt-install.log"
  touch "$qt/.complete"
  say "Qt built in $(sum_seconds "$win/qt-build-seconds.txt") s of compiling (configure: $(cat "$win/qt-configure-seconds.txt" 2>/dev/null || echo '?') s)"
else
  say "Qt for Windows already in $qt"
fi

# --- 3. The programs ----------------------------------------------------------------------
build=$win/build
say "building tarvane.exe, tarvane-cli.exe, hex2bin.exe"
locked cmake -G Ninja -S "$root" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTARVANE_PROGRAMS_ONLY=ON >"$win/configure.log" 2>&1 ||
  { tail -n 40 "$win/configure.log"; exit 1; }
rm -f "$win/programs-seconds.txt"
ninja_in_turns "$win/programs-seconds.txt" -C "$build" -j2 tarvane tarvane-cli hex2bin device_files

# --- 4. The zip ---------------------------------------------------------------------------
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=tarvane-$version-win64
stage=$win/$name
rm -rf "$stage" "$win/$name.zip"
mkdir -p "$stage/platforms" "$stage/styles"
cp "$build/bin/tarvane.exe" "$build/bin/tarvane-cli.exe" "$build/bin/hex2bin.exe" "$stage/"
cp -r "$build/bin/cpu" "$stage/cpu"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
# The native look of Windows 7 to 11; without it the widgets fall back to the plain style.
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"

# Every DLL that a program or plugin imports and that is not the system's: Qt's, and the
# runtime of the POSIX-threads MinGW (libstdc++, libgcc_s_seh, libwinpthread), followed
# through their own imports in turn.
dll_dirs=("$qt/bin" "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")" /usr/x86_64-w64-mingw32/lib)
imports() { x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
queue=("$stage"/*.exe "$stage"/platforms/*.dll "$stage"/styles/*.dll)
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  for dll in $(imports "$file"); do
    [ -e "$stage/$dll" ] && continue
    for dir in "${dll_dirs[@]}"; do
      if [ -f "$dir/$dll" ]; then
        cp "$dir/$dll" "$stage/"
        queue+=("$stage/$dll")
        break
      fi
    done
  done
done
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/platforms/*.dll "$stage"/styles/*.dll

# Windows text files: CR LF.
sed 's/$/\r/' "$root/LICENSE" >"$stage/LICENSE.txt"
sed -e "s/@VERSION@/$version/" "$root/dist/windows/README.txt" | sed 's/$/\r/' >"$stage/README.txt"
(cd "$win" && zip -qr -9 -X "$name.zip" "$name")
size=$(stat -c %s "$win/$name.zip")
say "$win/$name.zip: $((size / 1024)) KiB, $(unzip -Z1 "$win/$name.zip" | grep -vc '/$') files"
