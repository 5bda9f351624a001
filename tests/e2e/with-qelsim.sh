#!/bin/sh
# Runs a test program against qelsim on a pseudo-terminal:
#
#   with-qelsim.sh QELSIM [ARGS...] -- PROGRAM [ARGS...]
#
# qelsim prints the slave device path as its first line; PROGRAM runs with
# QELCOMM_TEST_PORT set to it, and QELCOMM_TEST_SIM_LOG naming the file that
# takes qelsim's stderr. Exits with PROGRAM's exit code.
set -u
sim=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  sim="$sim '$1'"
  shift
done
[ $# -ge 2 ] || { echo "usage: $0 QELSIM [ARGS...] -- PROGRAM [ARGS...]" >&2; exit 2; }
shift

tmp=$(mktemp -d "${TMPDIR:-/tmp}/qelsim-run.XXXXXX") || exit 1
pid=""
cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

: >"$tmp/out"
eval "exec $sim" >"$tmp/out" 2>"$tmp/err" </dev/null &
pid=$!
device=""
for _ in $(seq 1 200); do
  IFS= read -r device <"$tmp/out" 2>/dev/null && [ -n "$device" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.02
done
if [ -z "$device" ] || [ ! -e "$device" ]; then
  echo "with-qelsim: qelsim printed no device path" >&2
  cat "$tmp/out" "$tmp/err" >&2
  exit 1
fi
QELCOMM_TEST_PORT=$device QELCOMM_TEST_SIM_LOG="$tmp/err" "$@"
status=$?
[ $status -eq 0 ] || { echo "with-qelsim: qelsim said:" >&2; cat "$tmp/err" >&2; }
exit $status
