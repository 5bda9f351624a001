#!/bin/sh
# The Wine prefix logic of wine-env.sh against stand-ins for Wine and the
# cross compilers: which prefixes it replaces, which it leaves alone, and
# that a prefix that fails its probe is made again or not marked ready.
set -u
here=$(cd "$(dirname "$0")" && pwd)
t=$(mktemp -d "${TMPDIR:-/tmp}/qelcomm-wine-env-test.XXXXXX") || exit 1
trap 'rm -rf "$t"' EXIT
mkdir "$t/bin"

# wine: counts boots; a probe program fails while $t/probe-failures > 0.
cat >"$t/bin/wine" <<EOF
#!/bin/sh
case \$1 in
  --version) echo wine-stand-in-1 ;;
  wineboot) echo boot >>"$t/boots"; mkdir -p "\$WINEPREFIX/drive_c/windows" ;;
  reg) ;;
  *) n=\$(cat "$t/probe-failures" 2>/dev/null || echo 0)
     if [ "\$n" -gt 0 ]; then echo \$((n - 1)) >"$t/probe-failures"; echo "could not load"; exit 53; fi
     echo wine-probe-ok ;;
esac
EOF
printf '#!/bin/sh\nexit 0\n' >"$t/bin/wineserver"
for kind in x86_64 i686; do
  # shellcheck disable=SC2016 # the stand-in's own $1 and $2
  printf '#!/bin/sh\nwhile [ "$1" != -o ]; do shift; done\n: >"$2"\n' >"$t/bin/$kind-w64-mingw32-gcc"
done
chmod +x "$t/bin/"*

failures=0
check() {  # check DESCRIPTION CONDITION...
  what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
prepare() {
  PATH="$t/bin:$PATH" WINE="$t/bin/wine" WINESERVER="$t/bin/wineserver" \
    QELCOMM_WINEPREFIX="$t/prefix" sh -c '. "$1/wine-env.sh" && qelcomm_wine_prepare' sh "$here" \
    2>>"$t/stderr"
}
boots() { if [ -f "$t/boots" ]; then wc -l <"$t/boots" | tr -d ' '; else echo 0; fi; }
stamp() { cat "$t/prefix/.qelcomm-ready" 2>/dev/null; }

mkdir "$t/prefix" && : >"$t/prefix/own-file"
check "a folder these scripts did not make is refused" test "$(prepare; echo $?)" != 0
check "... and left as it was" test -e "$t/prefix/own-file"
check "... without a boot" test "$(boots)" = 0

rm -rf "$t/prefix" && mkdir "$t/prefix" && : >"$t/prefix/.qelcomm-ready"
check "a prefix from before the stamp is made again" prepare
check "... and stamped with the Wine it was made for" \
  test "$(stamp | cut -d' ' -f1)" = wine-stand-in-1
check "a prefix with the current stamp is used as it is" prepare
check "... without a second boot" test "$(boots)" = 1

echo stale >"$t/prefix/.qelcomm-ready" && echo 1 >"$t/probe-failures"
check "a prefix whose probe fails once is made again and used" prepare
check "... after two boots" test "$(boots)" = 3

echo stale >"$t/prefix/.qelcomm-ready" && echo 9 >"$t/probe-failures"
check "a prefix whose probe keeps failing is an error" test "$(prepare; echo $?)" != 0
check "... and is not marked ready" test -z "$(stamp)"
check "... and says why" grep -q "probe program does not start" "$t/stderr"

[ "$failures" = 0 ] || { echo "--- wine-env.sh said:"; cat "$t/stderr"; exit 1; }
