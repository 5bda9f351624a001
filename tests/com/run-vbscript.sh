#!/bin/bash
# Registers QELCOMM.OCX, runs a VBScript with cscript against qelsim on a
# mapped COM port, and unregisters the module again:
#
#   run-vbscript.sh win64|win32 OCX QELSIM -- SCRIPT.vbs [ARGS...]
#
# "@COM@" in ARGS becomes the COM port number. Passes when the script's
# last output line is "all passed" or "done" and cscript exited 0.
set -u
here=$(cd "$(dirname "$0")" && pwd)
wine_dir=$here/../wine
if [ $# -lt 5 ] || [ "$4" != "--" ]; then
  echo "usage: $0 win64|win32 OCX QELSIM -- SCRIPT.vbs [ARGS...]" >&2
  exit 2
fi
# With 32-bit Wine installed, "wine" is the 32-bit loader, to which
# system32 means the 32-bit directory: 64-bit programs need wine64 itself.
case $1 in
  win64) system='C:\windows\system32'; WINE=${WINE64:-/usr/lib/wine/wine64}; export WINE ;;
  win32) system='C:\windows\syswow64' ;;
  *) echo "run-vbscript: unknown bitness $1" >&2; exit 2 ;;
esac
ocx=Z:$2
qelsim=$3
script=Z:$5
shift 5

"$wine_dir/wine-run.sh" "$system\\regsvr32.exe" /s "$ocx" || { echo "run-vbscript: regsvr32 failed" >&2; exit 1; }
out=$("$wine_dir/run-with-pty.sh" "$qelsim" -- "$system\\cscript.exe" //nologo "$script" "$@")
status=$?
"$wine_dir/wine-run.sh" "$system\\regsvr32.exe" /s /u "$ocx"
printf '%s\n' "$out"
last=$(printf '%s\n' "$out" | tr -d '\r' | tail -n 1)
if [ $status -ne 0 ] || { [ "$last" != "all passed" ] && [ "$last" != "done" ]; }; then
  echo "run-vbscript: the script did not finish (exit $status)" >&2
  exit 1
fi
