#!/usr/bin/env bash
# Checks the Debian packages in DIST (default dist/) with lintian, installs
# them for real with apt-get, uses them from outside the source tree as a
# user would, and purges them again, also when a check fails. As root, or
# through sudo.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dist=$(cd "${1:-$root/dist}" && pwd)
packages=(libqelcomm-dev qelcomm-tools python3-qelcomm)
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq)

fail() { echo "debian-install: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q 'ok installed'; }

# Never purge what someone installed before us.
for p in "${packages[@]}"; do
  installed "$p" && fail "$p is installed already; remove it first"
done

lintian --fail-on error --tag-display-limit 0 "$dist"/*.deb

work=$(mktemp -d)
purge() {
  "${apt[@]}" purge "${packages[@]}" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap purge EXIT

(cd "$dist" && "${apt[@]}" install ./*.deb >/dev/null)
for p in "${packages[@]}"; do installed "$p" || fail "$p did not install"; done
dpkg-query -L "${packages[@]}" | sort -u >"$work/files"

cd "$work"
qelctl demo >demo.out || { cat demo.out; fail "qelctl demo failed"; }
qelctl --version | grep -q "$(dpkg-query -W -f='${Version}' qelcomm-tools)" ||
  fail "qelctl --version does not show the package version"
qelsim --help >/dev/null
man -w qelctl && man -w qelsim
qelgate --help >/dev/null && man -w qelgate
[ -f /usr/share/bash-completion/completions/qelctl ] || fail "no bash completion"
mode=$(/usr/bin/python3 -c "import qelcomm; print(qelcomm.open().read(1, 'MODE_REG'))")
[ "$mode" = 2 ] || fail "python read MODE_REG gave '$mode'"
/usr/bin/python3 -c "import qelcomm, pathlib; assert (pathlib.Path(qelcomm.__file__).parent / 'py.typed').exists()"

# A CMake project and a plain compiler call, each against the installed library.
mkdir cmake-consumer
cp "$root/tests/install/CMakeLists.txt" "$root/tests/install/main.cpp" cmake-consumer/
cmake -S cmake-consumer -B cmake-build -G Ninja >/dev/null
cmake --build cmake-build >/dev/null
cmake-build/consumer
# shellcheck disable=SC2046  # pkg-config's output is meant to be split
c++ -o pc-consumer cmake-consumer/main.cpp $(pkg-config --cflags --libs qelcomm)
./pc-consumer

"${apt[@]}" purge "${packages[@]}" >/dev/null
for p in "${packages[@]}"; do installed "$p" && fail "$p is still installed"; done
left=$(while read -r f; do if [ -f "$f" ] || [ -L "$f" ]; then echo "$f"; fi; done <"$work/files")
left+=$(find /usr \( -iname '*qelcomm*' -o -name 'qelctl*' -o -name 'qelsim*' -o -name 'qelgate*' \) -print)
[ -z "$left" ] || fail "left after purge: $left"
echo "debian-install: ${packages[*]} installed, used and purged"
