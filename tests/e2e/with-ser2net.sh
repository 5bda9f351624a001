#!/bin/sh
# Puts ser2net in front of the device in QELCOMM_TEST_PORT and runs a test
# program against it over the network:
#
#   with-ser2net.sh SER2NET rfc2217|tcp -- PROGRAM [ARGS...]
#
# Meant to run inside with-qelsim.sh, which sets QELCOMM_TEST_PORT to
# qelsim's pty. ser2net listens on 127.0.0.1 on a free port; PROGRAM runs
# with QELCOMM_TEST_PORT=rfc2217://127.0.0.1:PORT (or tcp://...). Exits with
# PROGRAM's exit code.
set -u
[ $# -ge 4 ] && [ "$3" = "--" ] || { echo "usage: $0 SER2NET rfc2217|tcp -- PROGRAM [ARGS...]" >&2; exit 2; }
ser2net=$1 mode=$2
shift 3
case "$mode" in
  rfc2217) accepter="telnet(rfc2217),tcp" ;;
  tcp) accepter="tcp" ;;
  *) echo "with-ser2net: unknown mode $mode" >&2; exit 2 ;;
esac
device=${QELCOMM_TEST_PORT:?with-ser2net: no QELCOMM_TEST_PORT (run inside with-qelsim.sh)}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/ser2net-run.XXXXXX") || exit 1
pid=""
cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A port the kernel just handed out and took back: free, barring a race that
# the listen check below catches.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])') || exit 1
hexport=$(printf '%04X' "$port")

"$ser2net" -n -d -u -P "$tmp/pid" \
  -Y "connection: &qel#  accepter: $accepter,127.0.0.1,$port#  connector: serialdev,$device,19200n81,local#" \
  >"$tmp/log" 2>&1 </dev/null &
pid=$!
listening=0
for _ in $(seq 1 200); do
  # State 0A is LISTEN.
  if grep -q "^ *[0-9]*: 0100007F:$hexport 00000000:0000 0A" /proc/net/tcp; then listening=1; break; fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.02
done
if [ "$listening" = 0 ]; then
  echo "with-ser2net: ser2net is not listening on port $port" >&2
  cat "$tmp/log" >&2
  exit 1
fi

QELCOMM_TEST_PORT="$mode://127.0.0.1:$port" "$@"
status=$?
[ $status -eq 0 ] || { echo "with-ser2net: ser2net said:" >&2; cat "$tmp/log" >&2; }
exit $status
