#!/bin/bash
# The generated bash completion, asked as bash asks it: complete_line WORDS...
# completes the last word. Usage: completion_test.sh COMPLETION-SCRIPT
set -u
source "$1" || exit 1
failures=0
complete_line() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _qelctl
  echo "${COMPREPLY[*]}"
}
expect() {
  local want=$1
  shift
  local got
  got=$(complete_line "$@")
  if [ "$got" != "$want" ]; then
    echo "completing '$*': got '$got', want '$want'" >&2
    failures=$((failures + 1))
  fi
}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/motor1.json"

expect "read" qelctl rea
expect "--raw" qelctl read 1 --ra
expect "--dry-run" qelctl restore 1 --dr
expect "$dir/motor1.json" qelctl restore 1 "$dir/mot"
expect "--wait" qelctl module reset --wai
expect "put program" qelctl --trace module p
expect "$dir/motor1.json" qelctl dump 1 -o "$dir/m"
expect "--echo" qelctl read 1 P_IST --ec
expect "" qelctl ports --ra
exit $((failures != 0))
