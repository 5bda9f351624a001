#!/usr/bin/env bash
# Builds every deliverable into dist/:
#   libqelcomm-dev, qelcomm-tools, python3-qelcomm  (.deb, Debian 12 amd64)
#   QelComm-<version>-setup.exe                      (NSIS installer)
#   QelComm-<version>-windows.zip                    (the same files, portable)
# from the release, windows and windows-x86 build trees, building what is
# missing (run-tests.sh has built them already). The version is the CMake
# project version.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

# Debian installs libraries under the multiarch directory.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
cmake --preset release -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" >/dev/null
cmake --build --preset release -j "$jobs"
for preset in windows windows-x86; do
  cmake --preset "$preset" -DQELCOMM_NATIVE_BIN_DIR="$root/build/release/bin" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target qelcomm_ocx qelctl
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)

rm -rf dist
mkdir -p dist
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config build/release/CPackConfig.cmake -B "$work/cpack" >/dev/null
mv "$work"/cpack/*.deb dist/

stage=$work/QelComm-$version
packaging/windows/stage.sh "$root" "$stage"
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" \
  -DOUTFILE="$root/dist/QelComm-$version-setup.exe" packaging/windows/qelcomm.nsi
# The portable zip adds the registration scripts, with the line ends cmd wants.
for script in register.cmd unregister.cmd; do
  sed 's/$/\r/' "packaging/windows/$script" >"$stage/$script"
done
(cd "$work" && cmake -E tar cf "$root/dist/QelComm-$version-windows.zip" --format=zip \
  "QelComm-$version")
ls -l dist
