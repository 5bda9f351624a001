#!/usr/bin/env bash
# Installs what building and testing QelComm needs on Debian 12 (as root, or
# through sudo). Already-installed packages are left alone.
set -euo pipefail
# apt's messages are parsed below (Inst, Remv, "but it is not going to be
# installed"): they must not come translated.
export LC_ALL=C

# --windows: the mingw-w64 cross compilers and Wine; --fuzz: clang with
# libFuzzer and the sanitizer runtimes.
want_windows=0
want_fuzz=0
for arg in "$@"; do
  case "$arg" in
    --windows) want_windows=1 ;;
    --fuzz) want_fuzz=1 ;;
    *) echo "setup: unknown option $arg" >&2; exit 2 ;;
  esac
done

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev googletest
          libbenchmark-dev libcli11-dev nlohmann-json3-dev
          python3-pybind11 python3-dev python3-pytest help2man
          ser2net  # ser2net: the serial-server tests
          libmodbus-dev libyaml-cpp-dev mbpoll python3-pymodbus  # qelgate, its clients in tests
          libcpp-httplib-dev  # qelgate's web page and JSON API
          libjs-dygraphs  # the chart built into qelgate's web page
          chromium chromium-driver python3-selenium)  # the web page's browser tests
# lintian checks the Debian packages, makensis builds the Windows installer,
# man-db finds the installed man pages.
packages+=(lintian nsis man-db)
if [ "$want_windows" = 1 ]; then
  # Both Windows targets (x86-64 and i686); widl from mingw-w64-tools with
  # the interface definitions of libwine-dev; Perl draws the control's
  # pictures; Wine for 64- and 32-bit programs (wine32 needs the i386
  # architecture).
  packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
             g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-tools
             libwine-dev perl wine wine64 wine32:i386)
fi
if [ "$want_fuzz" = 1 ]; then
  # libclang-rt-14-dev holds libFuzzer and the sanitizer runtimes; clang-14
  # only recommends it.
  packages+=(clang-14 libclang-rt-14-dev)
fi

if [ "$want_windows" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  echo "setup: adding the i386 architecture for 32-bit Wine"
  $sudo dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ "${#missing[@]}" -gt 0 ] || exit 0

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
# Wait for a concurrent apt run rather than failing on its lock.
lock=(-o DPkg::Lock::Timeout=600)
apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lock[@]}" install -y -qq "$@" >/dev/null
}

# The release suite's version of an amd64 (or all) package, if it has one.
release_version() {
  apt-cache madison "$1" | awk -F' [|] ' -v rel=" $release/" \
    'index($3, rel) && $3 !~ / i386 / { print $2; exit }'
}

# wine32 brings the i386 twins of many amd64 libraries, and twins must carry
# the same version. When the security suite's i386 index failed to arrive,
# an amd64 library already updated from that suite has no twin to match.
# Install from the release suite instead, taking its version of each amd64
# package that would otherwise be removed: a few libraries step back to the
# release's build, nothing is removed, and every index used is verified.
install_wine32_from_release() {
  local pins=() out removed blocked p v try
  for try in 1 2 3 4 5 6; do
    out=$(apt-get install -s -t "$release" --allow-downgrades wine32:i386 "${pins[@]}" 2>&1) || true
    removed=$(sed -n 's/^Remv \([^ ]*\) .*/\1/p' <<<"$out")
    blocked=$(sed -n 's/.*Depends: \([^ ]*:i386\) .*but it is not going to be installed.*/\1/p' <<<"$out" | sort -u)
    if [ -z "$removed$blocked" ]; then
      grep -q '^Inst' <<<"$out" || { echo "$out" >&2; return 1; }
      echo "setup: installing wine32:i386 from $release with ${pins[*]:-no pins}"
      apt_install -t "$release" --allow-downgrades wine32:i386 "${pins[@]}"
      return
    fi
    pins+=($blocked)
    for p in $removed; do
      v=$(release_version "$p")
      [ -n "$v" ] || { echo "setup: $release has no $p to keep" >&2; return 1; }
      pins+=("$p=$v")
    done
  done
  return 1
}

echo "setup: installing ${missing[*]}"
# A mirror caught mid-sync fails one index; install from what did arrive.
$sudo apt-get "${lock[@]}" update -qq || echo "setup: apt-get update failed in part; going on"
others=()
for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || others+=("$p"); done
[ "${#others[@]}" -eq 0 ] || apt_install "${others[@]}"
if [ "${#others[@]}" -lt "${#missing[@]}" ] && ! apt_install wine32:i386; then
  release=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "setup: wine32:i386 does not install from the indexes as they stand; trying $release's versions"
  # The 32-bit suite is then built but not run; that is no reason to stop
  # every other test. scripts/run-tests.sh says so again where it skips.
  install_wine32_from_release ||
    echo "setup: WARNING: cannot install wine32:i386 from this mirror; the i686 Windows tests will not run" >&2
fi
