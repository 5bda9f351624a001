#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds QelComm and runs the guided tour of
# qelctl on the built-in virtual bus.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target qelctl
build/release/bin/qelctl demo
