#!/usr/bin/env bash
# Installs a build tree into a scratch prefix and builds a separate project
# against it with find_package(qelcomm).
set -euo pipefail
build=$1
prefix=$(mktemp -d)
consumer=$(mktemp -d)
trap 'rm -rf "$prefix" "$consumer"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$(dirname "$0")/../tests/install" -B "$consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$consumer" >/dev/null
"$consumer/consumer"
# The Python package, where the build has one: imported from the prefix.
if [ -d "$build/python/qelcomm" ]; then
  PYTHONPATH="$prefix/lib/python3/dist-packages" /usr/bin/python3 -c \
    "import qelcomm; assert qelcomm.open().read(1, 'MODE_REG') == 2; print('python: qelcomm imports from the prefix')"
  [ -f "$prefix/lib/python3/dist-packages/qelcomm/_qelcomm.pyi" ]
fi
