#!/bin/sh
# Runs a test program against qelsim on a pseudo-terminal:
#
#   with-qelsim.sh QELSIM [ARGS...] -- PROGRAM [ARGS...]
#
# qelsim prints the slave device path as its first line; PROGRAM runs with
# QELCOMM_TEST_PORT set to it, and QELCOMM_TEST_SIM_LOG naming the file that
# takes qelsim's stderr. Exits with PROGRAM's exit code.
set -u
usage() { echo "usage: $0 QELSIM [ARGS...] -- PROGRAM [ARGS...]" >&2; exit 2; }

# Runs the arguments before "--", each as it was given: they are copied
# behind the whole list, the list dropped, and the copy executed. Started
# with &, so the list it changes is the background shell's, and exec makes
# that shell qelsim itself.
start_sim() {
  total=$#
  for arg; do
    [ "$arg" = "--" ] && break
    set -- "$@" "$arg"
  done
  shift "$total"
  exec "$@"
}

sim_args=0
for arg; do
  [ "$arg" = "--" ] && break
  sim_args=$((sim_args + 1))
done
[ "$sim_args" -ge 1 ] && [ $# -ge $((sim_args + 2)) ] || usage

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
start_sim "$@" >"$tmp/out" 2>"$tmp/err" </dev/null &
pid=$!
shift $((sim_args + 1))
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
