#!/bin/bash
# Registers the 64-bit and the 32-bit QELCOMM.OCX one after the other, in
# both orders, and checks each time that a 64-bit and a 32-bit script host
# can create the control; unregisters both afterwards:
#
#   both-bitnesses.sh OCX64 OCX32
set -u
here=$(cd "$(dirname "$0")" && pwd)
wine_dir=$here/../wine
. "$wine_dir/wine-env.sh"
if [ $# -ne 2 ]; then
  echo "usage: $0 OCX64 OCX32" >&2
  exit 2
fi
declare -A ocx=([win64]=Z:$1 [win32]=Z:$2)
declare -A system=([win64]='C:\windows\system32' [win32]='C:\windows\syswow64')
wine64=${WINE64:-/usr/lib/wine/wine64}
script=Z:$here/create_control.vbs

# With 32-bit Wine installed, "wine" is the 32-bit loader: 64-bit programs
# need wine64 itself.
run() {
  local bitness=$1
  shift
  if [ "$bitness" = win64 ]; then
    WINE=$wine64 "$wine_dir/wine-run.sh" "${system[$bitness]}\\$1" "${@:2}"
  else
    "$wine_dir/wine-run.sh" "${system[$bitness]}\\$1" "${@:2}"
  fi
}

unregister_both() {
  for b in win64 win32; do run $b regsvr32.exe /s /u "${ocx[$b]}" >/dev/null 2>&1; done
}
trap unregister_both EXIT

failures=0
for order in "win64 win32" "win32 win64"; do
  unregister_both
  for b in $order; do
    run "$b" regsvr32.exe /s "${ocx[$b]}" || { echo "FAILED: $b regsvr32 ($order)"; failures=$((failures + 1)); }
  done
  for b in win64 win32; do
    out=$(run "$b" cscript.exe //nologo "$script" | tr -d '\r' | tail -n 1)
    if [ "$out" != done ]; then
      echo "FAILED: a $b script cannot create the control after registering $order: $out"
      failures=$((failures + 1))
    fi
  done
done
[ $failures -eq 0 ] && echo "all passed"
exit $((failures > 0))
