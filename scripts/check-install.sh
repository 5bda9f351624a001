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
