# Sourced by the Wine test scripts (POSIX sh). Sets up a private, headless
# Wine prefix once and keeps one wineserver running, so that each test
# process starts in a fraction of a second instead of booting Wine.
#
# Environment:
#   QELCOMM_WINEPREFIX  prefix to use (default /tmp/qelcomm-wine-<uid>; Wine
#                       refuses a prefix owned by another user)
#   WINE, WINESERVER    the Wine loader and server commands

: "${QELCOMM_WINEPREFIX:=${TMPDIR:-/tmp}/qelcomm-wine-$(id -u)}"
WINEPREFIX=$QELCOMM_WINEPREFIX
WINEARCH=win64
WINEDEBUG=-all
# No Mono/Gecko installers: they would pop up dialogs and download. No
# debugger either: on a crash Wine would start winedbg --auto, which never
# exits, and the test would hang until its time limit instead of failing.
WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
: "${WINE:=wine}"
: "${WINESERVER:=wineserver}"

# What the prefix was made for: Wine's version and whether 32-bit Wine was
# installed. A prefix made before wine32 came has no 32-bit system files, and
# Wine does not add them later, so a change of this makes a new prefix.
qelcomm_wine_stamp() {
  printf '%s 32-bit:%s\n' "$("$WINE" --version 2>/dev/null)" "$(qelcomm_wine_has32)"
}
qelcomm_wine_has32() {
  if [ -x /usr/lib/wine/wine ]; then echo yes; else echo no; fi
}

# Creates the prefix on first use. Parallel callers wait on the lock; the
# stamp file is written last, so an interrupted setup is redone.
qelcomm_wine_prepare() {
  ready=$WINEPREFIX/.qelcomm-ready
  if [ "$(cat "$ready" 2>/dev/null)" != "$(qelcomm_wine_stamp)" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")" || return 1
    (
      flock 9 || exit 1
      stamp=$(qelcomm_wine_stamp)
      [ "$(cat "$ready" 2>/dev/null)" = "$stamp" ] && exit 0
      # A new prefix replaces the old one: never one that these scripts did
      # not make, such as a user's own.
      if [ -e "$WINEPREFIX" ] && [ ! -e "$WINEPREFIX/.qelcomm-prefix" ] && [ ! -e "$ready" ]; then
        echo "wine-env: $WINEPREFIX was not made by these tests; set QELCOMM_WINEPREFIX to a new path" >&2
        exit 1
      fi
      # A boot that Wine gave up on (it waits at most 5 minutes) leaves a
      # prefix in which no program of ours starts; try once more afresh.
      qelcomm_wine_boot || qelcomm_wine_boot || exit 1
      printf '%s\n' "$stamp" >"$ready"
    ) 9>"$WINEPREFIX.lock" || { echo "wine-env: prefix setup failed" >&2; return 1; }
  fi
  qelcomm_wine_server
}

qelcomm_wine_boot() {
  echo "wine-env: creating Wine prefix $WINEPREFIX (once)" >&2
  "$WINESERVER" -k 2>/dev/null
  rm -rf "$WINEPREFIX"
  mkdir "$WINEPREFIX" && : >"$WINEPREFIX/.qelcomm-prefix" || return 1
  log=$WINEPREFIX.boot.log
  started=$(date +%s)
  DISPLAY='' WINEDEBUG=-all,err+all "$WINE" wineboot --init </dev/null >"$log" 2>&1
  echo "wine-env: wineboot --init exited with $? after $(($(date +%s) - started)) s" >>"$log"
  # No X display in CI: the null graphics driver keeps windowed code
  # (and explorer.exe) from failing or waiting for one.
  if ! "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
       </dev/null >>"$log" 2>&1; then
    echo "wine-env: 'wine reg add' failed" >&2
  elif qelcomm_wine_probe; then
    # Let the setup server exit so the registry is on disk and the next
    # server is started persistent by qelcomm_wine_server below.
    "$WINESERVER" -w
    return 0
  fi
  qelcomm_wine_report
  "$WINESERVER" -k 2>/dev/null
  return 1
}

# Wine's own programs start even in a prefix that lacks its system files;
# programs of ours then die with "could not load kernel32.dll". So start a
# program like ours, built here by the cross compiler that builds the tests,
# for each kind of program the tests run.
qelcomm_wine_probe() {
  dir=$WINEPREFIX/drive_c/qelcomm-probe
  mkdir -p "$dir" || return 1
  printf '#include <stdio.h>\nint main(void) { puts("wine-probe-ok"); return 0; }\n' >"$dir/probe.c"
  kinds=x86_64
  [ "$(qelcomm_wine_has32)" = yes ] && kinds="$kinds i686"
  for kind in $kinds; do
    if ! "$kind-w64-mingw32-gcc" -o "$dir/$kind.exe" "$dir/probe.c" >>"$log" 2>&1; then
      echo "wine-env: cannot build the $kind probe program (see the log)" >&2
      return 1
    fi
    out=$(WINEDEBUG=-all,err+all "$WINE" "C:\\qelcomm-probe\\$kind.exe" </dev/null 2>&1)
    case $out in *wine-probe-ok*) continue ;; esac
    printf 'wine-env: the %s probe program does not start:\n%s\n' "$kind" "$out" >&2
    return 1
  done
}

qelcomm_wine_report() {
  echo "wine-env: Wine did not set up $WINEPREFIX; the end of wineboot's log ($log):" >&2
  tail -n 15 "$log" >&2
  df -h "$(dirname "$WINEPREFIX")" >&2
}

# Starts a persistent wineserver unless one is already running for the
# prefix (then this exits at once with an error, which is fine). Without it
# every test process pays the ~1 s of Wine's system-process startup.
qelcomm_wine_server() {
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
}

# Maps COM<n> of the prefix to a Unix device (e.g. a pty slave).
qelcomm_wine_map_com() {
  ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"
}
