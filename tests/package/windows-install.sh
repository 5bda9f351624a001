#!/usr/bin/env bash
# Runs the Windows installer from DIST (default dist/) silently in a fresh
# 64-bit Wine prefix and checks what it leaves: the ProgID in both registry
# views, the control from 64- and 32-bit cscript, qelctl.exe; then uninstall,
# install twice over and uninstall once, and an installer whose 32-bit
# module cannot register, which must fail and leave nothing. The prefix is
# removed at the end, also when a check fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist=$(cd "${1:-$root/dist}" && pwd)
setup=$(ls "$dist"/QelComm-*-setup.exe)
version=${setup##*/QelComm-}
version=${version%-setup.exe}

work=$(mktemp -d)
QELCOMM_WINEPREFIX=$work/prefix
. "$root/tests/wine/wine-env.sh"
WINE64=/usr/lib/wine/wine64
[ -x "$WINE64" ] || WINE64=wine64
cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$work" "$work.lock" "$work/prefix.lock"
}
trap cleanup EXIT
fail() { echo "windows-install: $*" >&2; exit 1; }

qelcomm_wine_prepare >/dev/null
# No persistent server: "wineserver -w" below then waits for the last
# program, such as the uninstaller's copy of itself, to end.
"$WINESERVER" -k 2>/dev/null || true
has32=$(qelcomm_wine_has32)
# The install folder, as Windows and as this script see it.
use_folder() {
  win_folder=$1
  folder=$WINEPREFIX/drive_c/$(printf '%s' "${1#C:\\}" | tr '\\' /)
}

wine64() { timeout 300 "$WINE64" "$@" </dev/null; }
settle() { timeout 300 "$WINESERVER" -w; }
# Our keys and values (type library, control, property page, interfaces,
# ProgID, install folder, uninstall entry), anywhere in the registry files.
our_keys() {
  settle
  grep -i -h -E 'QelComm|06965DC2-68A0-4777-A99C-213F86E3FCE5|7A4D4946-67F7-4001-9CDC-3504D51F400B|69CDF8E9-BD87-47B0-AFE2-CC8E9A375479|628EF7D0-3B91-41BD-9356-833C491BB1E3|483F9DCB-85F1-4B7E-A3B9-E733C29FD37D' \
    "$WINEPREFIX"/system.reg "$WINEPREFIX"/user.reg || true
}

# The default value of KEY in the 32- or 64-bit view, or nothing.
reg_default() {
  wine64 reg query "$1" /ve "/reg:$2" 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *(Default) *REG_SZ *//p'
}

check_installed() {
  for f in x64/QELCOMM.OCX x86/QELCOMM.OCX qelctl.exe README.md uninstall.exe \
           examples/read-and-program.vbs examples/ReadAndProgram.bas examples/read_and_program.py; do
    [ -f "$folder/$f" ] || fail "$f is not installed"
  done
  check_registered
  wine64 reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QelComm' /v UninstallString \
    /reg:64 >/dev/null || fail "no uninstall entry"
  wine64 "$win_folder\\qelctl.exe" --version | tr -d '\r' | grep -q "$version" ||
    fail "qelctl.exe --version does not show $version"
}

# The control, created by ProgID from 64- and 32-bit hosts.
check_registered() {
  local view script
  # The ProgID key is shared by both views; its class is looked up in each
  # view and must name the module of that bitness.
  clsid=$(reg_default 'HKLM\Software\Classes\QELCOMM.QelCommCtrl.1\CLSID' 64)
  [ -n "$clsid" ] || fail "the ProgID is not registered"
  views=("64 x64")
  [ "$has32" = yes ] && views+=("32 x86")
  for view in "${views[@]}"; do
    set -- $view
    server=$(reg_default "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" "$1")
    case $server in
      *"\\$2\\QELCOMM.OCX") ;;
      *) fail "the ProgID's class in the $1-bit view is served by '$server'" ;;
    esac
  done
  script='Z:'$here/installed.vbs
  out=$(wine64 'C:\windows\system32\cscript.exe' //nologo "$script" | tr -d '\r')
  [ "$(tail -n 1 <<<"$out")" = done ] || fail "64-bit cscript: $out"
  if [ "$has32" = yes ]; then
    out=$(timeout 300 wine 'C:\windows\syswow64\cscript.exe' //nologo "$script" </dev/null | tr -d '\r')
    [ "$(tail -n 1 <<<"$out")" = done ] || fail "32-bit cscript: $out"
  else
    echo "windows-install: WARNING: no 32-bit Wine; the 32-bit view and cscript are not checked" >&2
  fi
}

check_removed() {
  [ ! -e "$folder" ] || fail "left in the install folder: $(cd "$folder" && find . -mindepth 1)"
  local keys
  keys=$(our_keys)
  [ -z "$keys" ] || fail "registry keys left: $keys"
}

install() {
  wine64 "$1" /S "${@:2}" || fail "$* /S exited with $?"
  settle
}
uninstall() {
  wine64 "$win_folder\\uninstall.exe" /S || fail "uninstall /S exited with $?"
  settle
}

use_folder 'C:\Apps\QelComm'
install "$setup" "/D=$win_folder"
check_installed
uninstall
check_removed
echo "windows-install: installed into $win_folder, checked and removed"

use_folder 'C:\Program Files\QelComm'

install "$setup"
install "$setup"
check_installed
uninstall
check_removed
echo "windows-install: installed twice over, removed once"

# A 32-bit module that does not register: the 64-bit one is registered
# first, so a failure must take that back too.
if [ "$has32" = yes ]; then
  stage=$work/broken
  "$root/packaging/windows/stage.sh" "$root" "$stage"
  printf 'not a module\n' >"$stage/x86/QELCOMM.OCX"
  makensis -V1 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$work/broken-setup.exe" \
    "$root/packaging/windows/qelcomm.nsi"
  status=0
  wine64 "$work/broken-setup.exe" /S || status=$?
  settle
  [ "$status" != 0 ] || fail "an install whose registration failed exited with 0"
  check_removed
  echo "windows-install: a failed registration failed the install (exit $status) and left nothing"
fi

# The portable zip: register.cmd and unregister.cmd as administrators run them.
use_folder "C:\\QelComm-$version"
(cd "$WINEPREFIX/drive_c" && cmake -E tar xf "$dist/QelComm-$version-windows.zip")
wine64 cmd /c "$win_folder\\register.cmd" >/dev/null || fail "register.cmd failed"
check_registered
wine64 cmd /c "$win_folder\\unregister.cmd" >/dev/null || fail "unregister.cmd failed"
rm -rf "$folder"
check_removed
echo "windows-install: the zip's register.cmd and unregister.cmd work"
