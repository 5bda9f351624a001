#!/usr/bin/env bash
# Installs what building and testing QelComm needs on Debian 12 (as root, or
# through sudo). Already-installed packages are left alone.
set -euo pipefail

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
          ser2net)  # ser2net: the serial-server tests
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
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  # Wait for a concurrent apt run rather than failing on its lock.
  lock=(-o DPkg::Lock::Timeout=600)
  # A mirror caught mid-sync fails one index; install from what did arrive.
  $sudo apt-get "${lock[@]}" update -qq || echo "setup: apt-get update failed in part; going on"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lock[@]}" install -y -qq "${missing[@]}" >/dev/null
fi
