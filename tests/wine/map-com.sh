#!/bin/sh
# Makes a Unix serial device visible to Windows programs in the test prefix:
#   map-com.sh N /dev/pts/M   ->   \\.\COMN opens /dev/pts/M
# Wine resolves COM names through the prefix's dosdevices symlinks at open
# time, so this works while the wineserver is running.
set -eu
if [ $# -ne 2 ]; then
  echo "usage: $0 N UNIX_DEVICE" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
qelcomm_wine_prepare
qelcomm_wine_map_com "$1" "$2"
