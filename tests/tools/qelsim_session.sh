#!/bin/sh
# qelctl against qelsim --echo on a pseudo-terminal (run by with-qelsim.sh):
# the echo option end to end, a bit rate without a Bnnn constant, and a dump
# restored after a change.
set -eu
qelctl=$1
dir=$(mktemp -d "${TMPDIR:-/tmp}/qelctl-session.XXXXXX")
trap 'rm -rf "$dir"' EXIT
q() { "$qelctl" --port "$QELCOMM_TEST_PORT" --echo --baud 12345 "$@"; }
expect() {  # expect TEXT COMMAND...: COMMAND's output contains TEXT
  text=$1
  shift
  out=$("$@") || { echo "failed: $*" >&2; exit 1; }
  case "$out" in *"$text"*) ;; *) echo "'$*' printed '$out', not '$text'" >&2; exit 1 ;; esac
}
q write 1 V_SOLL 321 --raw >/dev/null
expect 'motor 1: V_SOLL (5) = 321 (0x0141)' q read 1 V_SOLL --raw
q dump 1 -o "$dir/motor1.json" >/dev/null
q write 1 V_SOLL 5 --raw >/dev/null
expect '1 differed, 0 still differ' q restore 1 "$dir/motor1.json"
expect 'motor 1: V_SOLL (5) = 321 (0x0141)' q read 1 V_SOLL --raw
