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

# Creates the prefix on first use. Parallel callers wait on the lock; the
# marker file is written last, so an interrupted setup is redone.
qelcomm_wine_prepare() {
  if [ ! -f "$WINEPREFIX/.qelcomm-ready" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")" || return 1
    (
      flock 9 || exit 1
      [ -f "$WINEPREFIX/.qelcomm-ready" ] && exit 0
      echo "wine-env: creating Wine prefix $WINEPREFIX (once)" >&2
      DISPLAY='' "$WINE" wineboot --init </dev/null >/dev/null 2>&1
      # No X display in CI: the null graphics driver keeps windowed code
      # (and explorer.exe) from failing or waiting for one.
      "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
        </dev/null >/dev/null 2>&1 || exit 1
      # Let the setup server exit so the registry is on disk and the next
      # server is started persistent by qelcomm_wine_server below.
      "$WINESERVER" -w
      : >"$WINEPREFIX/.qelcomm-ready"
    ) 9>"$WINEPREFIX.lock" || { echo "wine-env: prefix setup failed" >&2; return 1; }
  fi
  qelcomm_wine_server
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
