#!/bin/sh
# Opens that fail say what happened: a busy device, an unknown host, a
# server that does not speak RFC 2217, a server that drops a second client.
set -eu
qelsim=$1
qelctl=$2
dir=$(mktemp -d "${TMPDIR:-/tmp}/qelctl-open.XXXXXX")
pids=""
trap 'for p in $pids; do kill "$p" 2>/dev/null || true; done; rm -rf "$dir"' EXIT

# server MODE: a TCP server on loopback that stays silent or closes each
# connection at once; its port goes to $dir/port.MODE.
server() {
  /usr/bin/python3 -c '
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
print(s.getsockname()[1], flush=True)
held = []
while True:
    c, _ = s.accept()
    if sys.argv[1] == "close":
        c.close()
    else:
        held.append(c)
' "$1" >"$dir/port.$1" &
  pids="$pids $!"
  until [ -s "$dir/port.$1" ]; do sleep 0.05; done
}
# expect TEXT ARGS...: qelctl ARGS fails (exit 1) with TEXT on stderr.
expect() {
  text=$1
  shift
  rc=0
  "$qelctl" "$@" read 1 P_IST >/dev/null 2>"$dir/err" || rc=$?
  grep -qF "$text" "$dir/err" && [ $rc -eq 1 ] ||
    { echo "qelctl $*: exit $rc, stderr:" >&2; cat "$dir/err" >&2; exit 1; }
}

server silent
server close
silent=$(cat "$dir/port.silent")
closing=$(cat "$dir/port.close")
expect "the server did not answer the COM-PORT negotiation: not an RFC 2217 server? try tcp://127.0.0.1:$silent" \
  --port "rfc2217://127.0.0.1:$silent"
expect "the server closed the connection: a server that serves one client at a time drops a second" \
  --port "rfc2217://127.0.0.1:$closing"
expect "host name lookup failed: " --port rfc2217://no-such-host.invalid:4001
if grep -q "OS error" "$dir/err"; then cat "$dir/err" >&2; exit 1; fi

"$qelsim" --link "$dir/line" >/dev/null 2>&1 &
pids="$pids $!"
until [ -e "$dir/line" ]; do sleep 0.05; done
"$qelctl" --port "$dir/line" read 1 P_IST --watch 100 --count 30 >/dev/null &
pids="$pids $!"
sleep 0.5
expect "another program has $dir/line open" --port "$dir/line"
