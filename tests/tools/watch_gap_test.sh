#!/bin/sh
# read --watch and status --watch through a line that goes away and comes
# back: qelsim closes its terminal after the third telegram, a new one takes
# the same path, and the watch marks the gap once, reopens and reads on.
set -eu
qelsim=$1
qelctl=$2
dir=$(mktemp -d "${TMPDIR:-/tmp}/qelctl-gap.XXXXXX")
sims=""
trap 'for p in $sims; do kill "$p" 2>/dev/null || true; done; rm -rf "$dir"' EXIT
line=$dir/line

wait_for() {  # wait_for TEST...: up to 10 s
  i=0
  until "$@"; do
    i=$((i + 1))
    [ $i -lt 100 ] || { echo "timed out waiting for: $*" >&2; exit 1; }
    sleep 0.1
  done
}
gone() { [ ! -e "$line" ]; }

# watch OUTFILE "COMMAND" OPTIONS...: a watch of 5 readings across one gap.
watch() {
  out=$1
  what=$2
  shift 2
  "$qelsim" --vanish-after 3 --link "$line" >/dev/null 2>&1 &
  sims="$sims $!"
  wait_for test -e "$line"
  # shellcheck disable=SC2086  # the command's words
  "$qelctl" --port "$line" "$@" $what --watch 100 --count 5 >"$out" 2>"$dir/err" &
  watcher=$!
  wait_for gone
  "$qelsim" --link "$line" >/dev/null 2>&1 &
  back=$!
  sims="$sims $back"
  rc=0
  wait $watcher || rc=$?
  kill "$back"
  wait_for gone
  [ $rc -eq 1 ] || { echo "exit status $rc, not 1 (a gap)" >&2; cat "$out" "$dir/err" >&2; exit 1; }
}
count() { grep -c "$1" "$2" || true; }

watch "$dir/text" "read 1 P_IST"
[ "$(count 'line lost (OS error' "$dir/text")" -eq 1 ] || { cat "$dir/text" >&2; exit 1; }
[ "$(count 'P_IST (10) = 0$' "$dir/text")" -eq 5 ] || { cat "$dir/text" >&2; exit 1; }

watch "$dir/json" "read 1 P_IST" --json
[ "$(count '"line_lost":{' "$dir/json")" -eq 1 ] || { cat "$dir/json" >&2; exit 1; }
[ "$(count '"registers":\[{' "$dir/json")" -eq 5 ] || { cat "$dir/json" >&2; exit 1; }
/usr/bin/python3 -c 'import json, sys; [json.loads(l) for l in open(sys.argv[1])]' "$dir/json"

watch "$dir/status" "status 1"
[ "$(count 'line lost (OS error' "$dir/status")" -eq 1 ] || { cat "$dir/status" >&2; exit 1; }
[ "$(count 'motor 1: status ' "$dir/status")" -eq 5 ] || { cat "$dir/status" >&2; exit 1; }
