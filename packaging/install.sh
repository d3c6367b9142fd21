#!/usr/bin/env bash
# Installs the station on this machine (everything `cmake --install`
# installs): the two programs, the tools (ulmet-export, ulmet-plot), the
# schema with ulmet-install-db, ulmet-db and db-options.sh, ulmet-network, the
# systemd units and timer, the system users, the examples (udev rule,
# drop-in), the manual pages and the documents. The Debian package
# (scripts/package) is the other way to install the same files.
#
#   packaging/install.sh [--build-dir DIR] [--prefix DIR] [--destdir DIR] [--enable]
#
#   --build-dir DIR  where Corvana and Mistrel were built (default build/;
#                    built there first if they are missing)
#   --prefix DIR     installation prefix (default /usr/local)
#   --destdir DIR    stage everything below DIR instead of the live system
#                    (no account, no systemctl): for packaging and tests
#   --enable         also enable and start corvana.service and mistrel.timer
#
# Run it as root. It does not touch the database: run ulmet-install-db
# afterwards (see README, "Deploying on a station").
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

build=build
prefix=/usr/local
destdir=""
enable=0
usage() {
  sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
  --build-dir) build=${2:?}; shift 2 ;;
  --prefix) prefix=${2:?}; shift 2 ;;
  --destdir) destdir=${2:?}; shift 2 ;;
  --enable) enable=1; shift ;;
  -h | --help) usage ;;
  *) echo "install.sh: unknown option $1" >&2; usage ;;
  esac
done
live=1
if [ -n "$destdir" ]; then live=0; fi
if [ $live = 1 ] && [ "$(id -u)" != 0 ]; then
  echo "install.sh: run as root (or stage with --destdir)" >&2
  exit 1
fi

programs=(Corvana Mistrel ulmet-export ulmet-status ulmet-retrieve ulmet-weather ulmet-weather-import ulmet-db)
for p in "${programs[@]}"; do
  if [ ! -x "$build/$p" ]; then
    echo "install.sh: building ${programs[*]} in $build"
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j"$(nproc)" --target "${programs[@]}"
    break
  fi
done

bindir=$prefix/bin
sbindir=$prefix/sbin
sharedir=$prefix/share/ulmet
docdir=$prefix/share/doc/ulmet
unitdir=/etc/systemd/system
sysusersdir=/etc/sysusers.d
D=$destdir

echo "install.sh: programs to $D$bindir, data to $D$sharedir, units to $D$unitdir"
install -d "$D$bindir" "$D$sbindir" "$D$sharedir/examples" "$D$docdir" "$D$unitdir" "$D$sysusersdir"
install -m 0755 "$build/Corvana" "$build/Mistrel" "$build/ulmet-export" "$build/ulmet-status" \
  "$build/ulmet-retrieve" "$build/ulmet-weather" "$build/ulmet-weather-import" "$build/ulmet-db" \
  "$ROOT/tools/ulmet-plot" "$D$bindir/"
if [ -x "$build/ulmet-web" ]; then install -m 0755 "$build/ulmet-web" "$D$bindir/"; fi
install -m 0755 "$ROOT/scripts/install-db" "$D$sbindir/ulmet-install-db"
install -m 0755 "$ROOT/scripts/ulmet-network" "$D$sbindir/ulmet-network"
install -m 0755 "$build/ulmet-collector" "$D$sbindir/ulmet-collector"
install -m 0644 "$ROOT/db/schema.sql" "$D$sharedir/schema.sql"
install -m 0644 "$ROOT/scripts/db-options.sh" "$D$sharedir/db-options.sh"
install -m 0644 "$ROOT/packaging/99-gnss-receiver.rules" "$ROOT/packaging/corvana-override.conf" \
  "$ROOT/packaging/ulmet-weather-override.conf" "$ROOT/packaging/station.conf" "$D$sharedir/examples/"
install -d "$D$sharedir/prometheus"
install -m 0644 "$ROOT/packaging/prometheus/ulmet-rules.yml" "$D$sharedir/prometheus/"
install -m 0644 "$ROOT/README.md" "$D$docdir/"
if [ -f "$ROOT/docs/architecture.md" ]; then install -m 0644 "$ROOT/docs/architecture.md" "$D$docdir/"; fi
install -m 0644 "$ROOT/docs/science.md" "$D$docdir/"
install -d "$D$docdir/science"
install -m 0644 "$ROOT"/docs/science/* "$D$docdir/science/"
install -m 0644 "$ROOT/docs/network.md" "$D$docdir/"
install -m 0644 "$ROOT/docs/web.md" "$D$docdir/"
install -m 0644 "$ROOT/packaging/ulmet.sysusers" "$D$sysusersdir/ulmet.conf"
# The units name the programs and the documents by their installed paths.
for unit in corvana.service mistrel.service mistrel.timer ulmet-web.service ulmet-weather.service \
  ulmet-network-sync.service; do
  sed -e "s#/usr/local/bin/#$bindir/#g" -e "s#/usr/local/sbin/#$sbindir/#g" -e "s#/usr/local/share/doc/ulmet/#$docdir/#g" \
    "$ROOT/packaging/$unit" >"$D$unitdir/$unit"
  chmod 0644 "$D$unitdir/$unit"
done

# ---- database option files ----------------------------------------------------
# None is written here: the units name /etc/ulmet/corvana.cnf and
# /etc/ulmet/mistrel.cnf, which `ulmet-install-db --accounts` writes with
# the services' own accounts. Until then the services refuse to start with
# a message naming the missing file, rather than logging in as root with
# the password every binary carries (README, "The built-in login").
# ---- end of database option files ----------------------------------------------

if [ $live = 0 ]; then
  echo "install.sh: staged below $destdir"
  exit 0
fi

# The system users: ulmet (acquisition, in the group dialout), ulmet-ipwv,
# ulmet-weather and ulmet-plot.
if command -v systemd-sysusers >/dev/null; then
  systemd-sysusers "$sysusersdir/ulmet.conf"
else
  if ! id ulmet >/dev/null 2>&1; then
    useradd --system --home-dir /var/lib/ulmet --shell /usr/sbin/nologin --groups dialout ulmet
  fi
  for name in ulmet-ipwv ulmet-weather ulmet-plot; do
    id "$name" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$name"
  done
fi
id ulmet
install -d -o ulmet -g ulmet -m 0750 /var/lib/ulmet

if [ -d /run/systemd/system ]; then
  systemctl daemon-reload
  if [ $enable = 1 ]; then
    systemctl enable --now corvana.service mistrel.timer
  fi
else
  echo "install.sh: systemd is not running here; enable the units on the station itself"
fi

cat <<EOF
install.sh: done. Next steps (README, "Deploying on a station"):
  $sbindir/ulmet-install-db --accounts   # UlmetDB, its tables and least-privilege accounts
  cp $sharedir/examples/99-gnss-receiver.rules /etc/udev/rules.d/   # after editing the IDs
  cp $sharedir/examples/station.conf /etc/ulmet/   # the station's description, then edit it
  systemctl enable --now corvana.service mistrel.timer
  journalctl -u corvana -f
EOF
