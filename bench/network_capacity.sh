#!/usr/bin/env bash
# Capacity of the central server of a station network, on private servers
# of this machine (not run by the test suite):
#
#   BUILD=build bench/network_capacity.sh [--stations K] [--seconds S]
#       [--rates "ROWS_PER_S ..."] [--backlog-rows N]
#
# K station servers (default 4, binary log, TLS) replicate to one central
# server, set up as in the network demo. For each total rate (default
# "1000 2500 4000 5500" rows/s; a station makes 12-30 rows a minute, so
# 2500 rows/s is 5,000 stations at 30 rows/min) the stations receive
# single-row transactions for S seconds (default 20) while probes measure
# the lag to the central server (p50/p95/max). The station servers stand in
# for thousands of stations each: they commit without waiting for the disk
# (sync_binlog = 0, innodb_flush_log_at_trx_commit = 2), so that they,
# not the central server, are not the limit; the central server keeps full
# durability. Then:
#   - bandwidth: TCP bytes the replication connection carries per row and
#     per idle minute (heartbeats), from `ss -ti` on the station's side;
#   - catch-up: a station's connection is stopped, N rows (default 49,000:
#     a day of 30 troposphericDelay rows and 4 other rows a minute) are
#     stored one per transaction, the connection is started again and the
#     time until the central server holds them all is taken.
set -euo pipefail
cd "$(dirname "$0")/.."
export NETWORK_ROOT=$PWD
source scripts/lib/network-nodes.sh
BUILD=${BUILD:-build}
load=$BUILD/bench/network_load
[ -x "$load" ] || { echo "build $load first (cmake --build $BUILD --target network_load)" >&2; exit 1; }

stations=4
seconds=20
rates="1000 2500 4000 5500 7000"
backlog=49000
while [ $# -gt 0 ]; do
  case "$1" in
  --stations) stations=${2:?}; shift 2 ;;
  --seconds) seconds=${2:?}; shift 2 ;;
  --rates) rates=${2:?}; shift 2 ;;
  --backlog-rows) backlog=${2:?}; shift 2 ;;
  *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d /tmp/ulmet-bench-net.XXXXXX)
cleanup() {
  for d in "$work"/*/; do [ ! -f "$d/server.cnf" ] || node_stop "$d" >/dev/null 2>&1 || true; done
  rm -rf "$work"
}
trap cleanup EXIT
say() { printf '[%s] %s\n' "$(date '+%H:%M:%S')" "$*"; }

network_certs "$work/certs"
central_create "$work/central"
args=()
for ((i = 1; i <= stations; i++)); do
  station_create "$work/st$i" "st$i" $((10 + i)) "$work/certs"
  printf '[mariadbd]\nsync_binlog = 0\ninnodb_flush_log_at_trx_commit = 2\n' >"$work/st$i/conf.d/70-bench.cnf"
  node_stop "$work/st$i" && node_start "$work/st$i"
  central_add "$work/central" "st$i" "$work/st$i" "$work/certs" >/dev/null
  args+=(--station "st$i=$work/st$i/mysqld.sock")
done
say "$stations stations and a central server on $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"

# CPU seconds (user + system) of the servers in the given directories.
cpu() {
  local d total=0
  for d in "$@"; do
    total=$((total + $(awk '{ print $14 + $15 }' "/proc/$(cat "$d/mysqld.pid")/stat")))
  done
  echo $((total / $(getconf CLK_TCK)))
}
for rate in $rates; do
  c0=$(cpu "$work/central")
  s0=$(cpu "$work"/st*)
  say "$("$load" --central "$work/central/mysqld.sock" "${args[@]}" --rate "$rate" --seconds "$seconds")"
  say "  CPU: central server $(((($(cpu "$work/central") - c0) * 100) / seconds))% of a core, station servers $(((($(cpu "$work"/st*) - s0) * 100) / seconds))%; load average $(cut -d' ' -f1 /proc/loadavg)"
done

# Bandwidth: the station side of st1's replication connection.
port=$(node_port "$work/st1")
sent() { ss -Htin "sport = :$port" | grep -o 'bytes_sent:[0-9]*' | cut -d: -f2 | head -n 1; }
binlog() { node_sql "$work/st1" "SHOW MASTER STATUS" | cut -f2; }
before=$(sent)
log_before=$(binlog)
"$load" --station "st1=$work/st1/mysqld.sock" --fill 3000 >/dev/null
sleep 2
after=$(sent)
per_row=$(((after - before) / 3000))
log_per_row=$((($(binlog) - log_before) / 3000))
before=$(sent)
sleep 30
idle=$((($(sent) - before) * 2))
say "binary log: $log_per_row bytes per row, $((34 * 1440 * log_per_row / 1000000)) MB a day at 34 rows a minute"
say "bandwidth: $per_row bytes per row over TLS, $idle bytes per idle minute (heartbeats); a station of 34 rows a minute: about $(((34 * per_row + idle) / 60)) bytes/s, $(((34 * per_row + idle) * 1440 / 1000000)) MB a day"

# Catch-up of a day's backlog.
node_sql "$work/central" "STOP SLAVE 'st1'"
say "$("$load" --station "st1=$work/st1/mysqld.sock" --fill "$backlog") while st1's connection was stopped"
want=$(node_sql "$work/st1" "SELECT COUNT(*) FROM UlmetDB.troposphericDelay")
t0=$(date +%s.%N)
node_sql "$work/central" "START SLAVE 'st1'"
until [ "$(node_sql "$work/central" "SELECT COUNT(*) FROM UlmetDB_st1.troposphericDelay")" = "$want" ]; do
  sleep 0.2
done
say "catch-up: $backlog transactions of st1 reached the central server in $(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
