#!/usr/bin/env bash
# Installs the station from the source tree, on a machine without the
# Debian package: builds the project in its own build directory, installs
# it with `cmake --install` (programs, tools and scripts, the schema,
# systemd units, the system users' sysusers.d file, examples, alert rules,
# manual pages and documents), then creates the system users and reloads
# systemd. It starts nothing and does not touch the database: the next
# steps are those of docs/operations.md, "First installation".
#
#   packaging/install.sh [--build-dir DIR] [--prefix DIR] [--destdir DIR]
#
#   --build-dir DIR  the build directory (default build-install; configured
#                    with the prefix below, without tests and benchmarks)
#   --prefix DIR     installation prefix (default /usr/local); the units
#                    name the programs there
#   --destdir DIR    stage everything below DIR instead of the live system
#                    (no users, no systemctl)
#
# The units go to /etc/systemd/system and the users' file to
# /etc/sysusers.d, where systemd finds them whatever the prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

build="build-install"
prefix=/usr/local
destdir=""
usage() {
  sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
  --build-dir) build=${2:?}; shift 2 ;;
  --prefix) prefix=${2:?}; shift 2 ;;
  --destdir) destdir=${2:?}; shift 2 ;;
  -h | --help) usage ;;
  *) echo "install.sh: unknown option $1" >&2; usage ;;
  esac
done
if [ -z "$destdir" ] && [ "$(id -u)" != 0 ]; then
  echo "install.sh: run as root (or stage with --destdir)" >&2
  exit 1
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DULMET_TESTS=OFF -DULMET_BENCH=OFF \
  -DULMET_SYSTEMD_UNIT_DIR=/etc/systemd/system -DULMET_SYSUSERS_DIR=/etc/sysusers.d >/dev/null
cmake --build "$build" -j"$(nproc)"
DESTDIR=$destdir cmake --install "$build"

if [ -n "$destdir" ]; then
  echo "install.sh: staged below $destdir"
  exit 0
fi
# The system users: ulmet (acquisition, in the group dialout), ulmet-ipwv,
# ulmet-weather, ulmet-plot and ulmet-network.
systemd-sysusers /etc/sysusers.d/ulmet.conf
if [ -d /run/systemd/system ]; then
  systemctl daemon-reload
fi
echo "install.sh: installed below $prefix; next: docs/operations.md, \"First installation\", from step 1"
