#!/bin/sh
# Pictures of the property page and the About box for the documentation:
# docs/property-page.png and docs/about-box.png. Builds QELCOMM.OCX and a
# small host program (docs/screenshot_host.cpp) with the windows preset,
# shows each dialog under Wine on a virtual X display, and crops the screen
# to the dialog. Not run in CI.
#
#   docs/screenshots.sh [WORK_DIR]    (default: $TMPDIR/qelcomm-screenshots)
#
# Installs Xvfb and ImageMagick with apt-get when they are missing (as
# root). Uses a Wine prefix of its own with the X11 driver; the tests'
# shared prefix has the null driver and is left alone.
set -eu
docs=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$docs")
work=${1:-${TMPDIR:-/tmp}/qelcomm-screenshots}
build=$work/win64
mkdir -p "$work"

install_missing() {
  missing=
  command -v Xvfb >/dev/null 2>&1 || missing="$missing xvfb"
  command -v import >/dev/null 2>&1 || missing="$missing imagemagick"
  [ -z "$missing" ] && return 0
  echo "screenshots: installing$missing" >&2
  apt-get update -qq
  # shellcheck disable=SC2086  # one word per package
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

build_host() {
  (cd "$root" && cmake --preset windows -B "$build" >/dev/null)
  cmake --build "$build" -j2 --target qelcomm_ocx >/dev/null
  # The compiler the toolchain file chose.
  cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -n 1)
  "$cxx" -std=c++20 -O2 -municode -static -I"$root/src" -I"$build/src/control/com" \
    "$docs/screenshot_host.cpp" -o "$build/bin/screenshot_host.exe" \
    -lole32 -loleaut32 -luuid -luser32 -lgdi32
}

start_display() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 50); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  [ -s "$work/display" ] || { echo "screenshots: Xvfb did not start" >&2; exit 1; }
  DISPLAY=:$(cat "$work/display")
  export DISPLAY
}

# Wine draws the window frames itself: there is no window manager.
prepare_prefix() {
  own_prefix=$work/prefix
  WINEPREFIX=$own_prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    wine wineboot --init </dev/null >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wineserver -w
    : >"$WINEPREFIX/.ready"
  fi
  # Some Wine packages do not look in their own font directory: every face,
  # MS Sans Serif and the Marlett of the caption buttons included, would
  # fall back to a system font of other widths, which clips the labels.
  for dir in /usr/share/wine/fonts /usr/share/wine/wine/fonts; do
    if [ -d "$dir" ]; then cp -n "$dir"/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true; fi
  done
}

# shoot MODE PNG: shows the dialog, waits for its rectangle, crops the screen.
shoot() {
  rect=$work/rect-$1
  rm -f "$rect" "$rect.done"
  wine "$build/bin/screenshot_host.exe" "$1" "Z:$rect" </dev/null >"$work/host-$1.log" 2>&1 &
  host_pid=$!
  for _ in $(seq 300); do
    [ -s "$rect" ] && break
    sleep 0.1
  done
  [ -s "$rect" ] || { echo "screenshots: no $1 dialog (see $work/host-$1.log)" >&2; exit 1; }
  read -r w h x y <"$rect"
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$work/$1.png"
  : >"$rect.done"
  wait "$host_pid" || { echo "screenshots: host failed (see $work/host-$1.log)" >&2; exit 1; }
  # Few colours in a dialog: an 8-bit palette keeps the file small.
  convert "$work/$1.png" -strip PNG8:"$docs/$2"
  echo "screenshots: docs/$2 (${w}x${h})"
}

# Stops this script's own Wine server (and the programs of its prefix) and
# its own Xvfb, nothing else.
cleanup() {
  if [ -n "$own_prefix" ]; then WINEPREFIX=$own_prefix wineserver -k 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}

own_prefix=
xvfb_pid=
install_missing
build_host
trap cleanup EXIT
start_display
prepare_prefix
shoot page property-page.png
shoot about about-box.png
