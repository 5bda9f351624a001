#!/bin/bash
# Runs a Windows test program under Wine against a native serial responder:
#
#   run-with-pty.sh RESPONDER [ARGS...] -- PROGRAM.exe [ARGS...]
#
# RESPONDER is a native program that opens a pseudo-terminal and prints the
# slave's path as its first output line (pty_loopback, qelsim). That pty is
# mapped to a free COM port of the Wine prefix, and PROGRAM runs with
#   QELCOMM_TEST_COM=<n>  and  QELCOMM_TEST_PORT=COM<n>
# in its environment; "@COM@" in its arguments becomes <n>. The search for a
# free port starts at QELCOMM_TEST_COM_FROM (default 7). Exits with
# PROGRAM's exit code; the responder is stopped afterwards and its output
# shown if the program failed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

responder=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  responder+=("$1")
  shift
done
if [ ${#responder[@]} -eq 0 ] || [ $# -lt 2 ]; then
  echo "usage: $0 RESPONDER [ARGS...] -- PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
shift
if [ ! -x "${responder[0]}" ]; then
  echo "run-with-pty: responder ${responder[0]} not found (build the native tree first)" >&2
  exit 1
fi

# Before any of the descriptors below exist: a wineserver started now must
# not inherit them.
qelcomm_wine_prepare || exit 1

tmp=$(mktemp -d "${TMPDIR:-/tmp}/qelcomm-pty.XXXXXX") || exit 1
pid=
com=
# shellcheck disable=SC2317  # called from the EXIT trap
cleanup() {
  exec 8>&-
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  [ -n "$com" ] && rm -f "$WINEPREFIX/dosdevices/com$com"
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# One lock per COM number lets parallel tests share the prefix.
for n in $(seq "${QELCOMM_TEST_COM_FROM:-7}" 99); do
  exec 7>"$WINEPREFIX.com$n.lock"
  if flock -n 7; then
    com=$n
    break
  fi
  exec 7>&-
done
if [ -z "$com" ]; then
  echo "run-with-pty: no free COM port" >&2
  exit 1
fi

# The responder's stdin is a FIFO whose only writer is this script, so it
# sees end-of-file and stops even if this script is killed outright.
mkfifo "$tmp/stdin" || exit 1
"${responder[@]}" <"$tmp/stdin" >"$tmp/out" 2>"$tmp/err" 7>&- &
pid=$!
exec 8>"$tmp/stdin"

device=
for _ in $(seq 1 200); do
  if IFS= read -r device <"$tmp/out"; then
    break
  fi
  device=
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$device" ] || [ ! -e "$device" ]; then
  echo "run-with-pty: responder printed no device path" >&2
  cat "$tmp/out" "$tmp/err" >&2
  exit 1
fi
qelcomm_wine_map_com "$com" "$device"

program=()
for arg in "$@"; do
  program+=("${arg//@COM@/$com}")
done
QELCOMM_TEST_COM=$com QELCOMM_TEST_PORT=COM$com \
  "$here/wine-run.sh" "${program[@]}" 7>&- 8>&-
status=$?
if [ $status -ne 0 ]; then
  echo "run-with-pty: $* exited with $status; responder on $device said:" >&2
  cat "$tmp/out" "$tmp/err" >&2
fi
exit $status
