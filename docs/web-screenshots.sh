#!/bin/sh
# Pictures of qelgate's web page for the README: docs/web-bus.png,
# web-motor.png, web-plot.png, web-trace.png, web-module.png and
# web-sets.png. Builds qelgate and qelsim with the debug preset, serves two
# simulated motors (one with a module) on a pseudo-terminal, and drives
# headless Chromium through the pages (docs/web_screenshots.py). Not run in CI.
#
#   docs/web-screenshots.sh
#
# Needs what scripts/setup.sh installs (chromium, chromium-driver,
# python3-selenium). ImageMagick, when there, makes the files smaller.
set -eu
docs=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$docs")
bin=$root/build/debug/bin

(cd "$root" && cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target qelgate qelsim >/dev/null)
work=$(mktemp -d "${TMPDIR:-/tmp}/qelgate-shots.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$root/tests/e2e/with-qelsim.sh" "$bin/qelsim" --motor 1 --motor 2:big --module 1 -- \
  /usr/bin/python3 "$docs/web_screenshots.py" "$bin/qelgate" "$root/tools/data/demo-module.hex" "$work"
for shot in "$work"/web-*.png; do
  name=$(basename "$shot")
  # Few colours on a page: an 8-bit palette keeps the file small.
  convert "$shot" -strip PNG8:"$docs/$name" 2>/dev/null || cp "$shot" "$docs/$name"
  echo "web-screenshots: docs/$name"
done
