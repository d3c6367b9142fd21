#!/usr/bin/env bash
# What each station costs the central server, on private servers here:
#
#   bench/network_pull.sh [N...]      (default: 4 32 128)
#
# One station server holds the rows; the central server adds it N times
# under N names (each its own copy, account and client options), as N
# stations would be. Every round, each station's receiver has stored 30
# rows in the same second (all stations at the same GPS second); then one
# `ulmet-network sync` round fetches them from every station. Reported per
# N: the time of the last `add`, of a sync round (the lag of a row at
# `sync --every 0`; add the interval for a longer one), of `status`, and
# the central server's resident memory, threads and open files, also per
# station. Leaves nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."
export NETWORK_ROOT=$PWD
source scripts/lib/network-nodes.sh
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(4 32 128)
work=$(mktemp -d "${TMPDIR:-/tmp}/ulmet-bench.XXXXXX")
trap 'node_stop "$work/central" >/dev/null 2>&1 || true; node_stop "$work/st" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
network_certs "$work/certs"
central_create "$work/central" >/dev/null
station_create "$work/st" st 11 "$work/certs" >/dev/null
net() {
  MYSQL_UNIX_PORT=$work/central/mysqld.sock scripts/ulmet-network --conf-dir "$work/central/conf.d" \
    --state-dir "$work/central/state" "$@"
}
ms() { echo $((($(date +%s%N) - $1) / 1000000)); }
usage() {
  local pid
  pid=$(cat "$work/central/mysqld.pid")
  echo "$(($(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status") / 1024)) $(awk '/^Threads/ { print $2 }' "/proc/$pid/status") $(find "/proc/$pid/fd" -mindepth 1 | wc -l)"
}
read -r rss0 _ fd0 < <(usage)
printf '%8s %9s %9s %10s %8s %8s %6s %10s %10s\n' stations "add ms" "sync ms" "status ms" "RSS MiB" threads fds "KiB/stn" "fds/stn"
have=0 minute=0
for n in "${counts[@]}"; do
  last_add=0
  while [ $have -lt "$n" ]; do
    have=$((have + 1))
    t=$(date +%s%N)
    central_add "$work/central" "s$have" "$work/st" "$work/certs" >/dev/null
    last_add=$(ms "$t")
  done
  net sync --jobs 4 >/dev/null || true
  values=""
  for ((p = 1; p <= 30; p++)); do
    values+="${values:+,}($p, 2.4, '2026-12-07 00:00:00' + INTERVAL $minute MINUTE)"
  done
  minute=$((minute + 1))
  node_sql "$work/st" "INSERT INTO UlmetDB.troposphericDelay (prn, td, data) VALUES $values"
  t=$(date +%s%N)
  net sync --jobs 4 >/dev/null || true
  sync_ms=$(ms "$t")
  t=$(date +%s%N)
  net status >/dev/null || true
  status_ms=$(ms "$t")
  read -r rss thr fd < <(usage)
  printf '%8s %9s %9s %10s %8s %8s %6s %10s %10s\n' "$n" "$last_add" "$sync_ms" "$status_ms" "$rss" "$thr" "$fd" \
    $(((rss - rss0) * 1024 / n)) "$(awk -v a="$fd" -v b="$fd0" -v n="$n" 'BEGIN { printf "%.1f", (a - b) / n }')"
done
