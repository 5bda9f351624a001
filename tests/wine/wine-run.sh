#!/bin/sh
# Runs a Windows program under Wine: CMAKE_CROSSCOMPILING_EMULATOR of the
# mingw-w64 build, so CTest calls it as  wine-run.sh PROGRAM.exe ARGS...
# Exits with the program's exit code.
#
# The program's output goes to files first and is printed after it exits:
# a program that creates a window makes Wine start explorer.exe, which
# inherits stdout/stderr and outlives the program; on a pipe CTest would
# wait for explorer instead of the test.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

if [ $# -lt 1 ]; then
  echo "usage: $0 PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
qelcomm_wine_prepare || exit 1

program=$1
shift
# Wine's tools read an argument starting with "/" as a switch; a drive path
# is unambiguous.
case $program in
  /*) program="Z:$program" ;;
esac

out=$(mktemp "${TMPDIR:-/tmp}/qelcomm-wine-out.XXXXXX") || exit 1
err=$(mktemp "${TMPDIR:-/tmp}/qelcomm-wine-err.XXXXXX") || { rm -f "$out"; exit 1; }
trap 'rm -f "$out" "$err"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$WINE" "$program" "$@" >"$out" 2>"$err"
status=$?
cat "$out"
cat "$err" >&2
exit $status
