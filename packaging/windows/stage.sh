#!/usr/bin/env bash
# Lays out what Windows users get, as installed, in STAGE: both modules,
# qelctl.exe, the README and the examples, from ROOT's windows and
# windows-x86 build trees.
#   stage.sh ROOT STAGE
set -euo pipefail
root=$1
stage=$2
mkdir -p "$stage/x64" "$stage/x86" "$stage/examples"
cp "$root/build/windows/bin/QELCOMM.OCX" "$stage/x64/"
cp "$root/build/windows-x86/bin/QELCOMM.OCX" "$stage/x86/"
cp "$root/build/windows/bin/qelctl.exe" "$root/README.md" "$stage/"
cp "$root/examples/ReadAndProgram.bas" "$root/examples/read-and-program.vbs" \
  "$root/examples/read_and_program.py" "$stage/examples/"
# Users get no debugging symbols; the build trees keep theirs.
x86_64-w64-mingw32-strip --strip-unneeded "$stage/x64/QELCOMM.OCX" "$stage/qelctl.exe"
i686-w64-mingw32-strip --strip-unneeded "$stage/x86/QELCOMM.OCX"
