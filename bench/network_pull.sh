#!/usr/bin/env bash
# What each station costs the central server and the collector, on
# private servers here:
#
#   bench/network_pull.sh [--probes K] [--fast-every] [--no-triggers] [N...]
#                                                        (default N: 4 32 128)
#
# One station server holds the rows; the central server has it N times
# under N names (each its own copy, account and client options), as N
# stations would be. The first station and the last are added with
# `ulmet-network add` (the last one's time is reported); the ones between
# are made by the same statements in bulk and get their triggers from
# `ulmet-network views`, to keep the set-up short. --no-triggers drops
# every copy's triggers before the round (what they cost the round).
# Then ulmet-collector runs as the service does (--every 10, 4 workers,
# kept connections). Reported per N:
#
#   add        the last `ulmet-network add`
#   connect    the collector's first round (TLS connection to every station)
#   round      a round with kept connections in which every station has 30
#              new rows (all stations' receivers at the same GPS second)
#   p95 lag    of K probe rows (default 5) written at random moments, until
#              they are in each of 10 copies spread over the stations, at
#              --every 10 (and --every 1 with --fast-every)
#   status     `ulmet-network status`
#   query      every station's IPWV of the last hour (UlmetNetwork.ipwv)
#   memory and CPU of the collector and of the central server over that
#   round (CPU seconds used during the round)
#
# Leaves nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."
export NETWORK_ROOT=$PWD
source scripts/lib/network-nodes.sh
probes=5
fast=0
triggers=1
counts=()
while [ $# -gt 0 ]; do
  case "$1" in
  --probes) probes=${2:?}; shift 2 ;;
  --fast-every) fast=1; shift ;;
  --no-triggers) triggers=0; shift ;;
  *) counts+=("$1"); shift ;;
  esac
done
[ ${#counts[@]} -gt 0 ] || counts=(4 32 128)
build=${ULMET_BIN_DIR:-$PWD/build}
export ULMET_COLLECTOR=$build/ulmet-collector
[ -x "$ULMET_COLLECTOR" ] || { echo "build ulmet-collector first (cmake --build build --target ulmet-collector)" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/ulmet-bench.XXXXXX")
collector_pid=""
stop_collector() {
  if [ -n "$collector_pid" ]; then
    kill -TERM "$collector_pid" 2>/dev/null || true
    wait "$collector_pid" 2>/dev/null || true
    collector_pid=""
  fi
}
trap 'exit 143' TERM INT
trap 'stop_collector; node_stop "$work/central" >/dev/null 2>&1 || true; node_stop "$work/st" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
network_certs "$work/certs"
central_create "$work/central" >/dev/null
# Sized for the largest N (table cache, open files).
max=0
for n in "${counts[@]}"; do [ "$n" -le "$max" ] || max=$n; done
MYSQL_UNIX_PORT=$work/central/mysqld.sock scripts/ulmet-network --conf-dir "$work/central/conf.d" \
  --state-dir "$work/central/state" init --stations "$max" >/dev/null
node_stop "$work/central" && node_start "$work/central"
station_create "$work/st" st 11 "$work/certs" >/dev/null
# The one station server serves every station's connection.
echo "max_connections = $((max + 200))" >>"$work/st/conf.d/60-ulmet-station.cnf"
node_stop "$work/st" && node_start "$work/st"
net() {
  MYSQL_UNIX_PORT=$work/central/mysqld.sock scripts/ulmet-network --conf-dir "$work/central/conf.d" \
    --state-dir "$work/central/state" "$@"
}
csql() { node_sql "$work/central" "$1"; }
ms() { echo $((($(date +%s%N) - $1) / 1000000)); }
# CPU seconds (user + system) and resident MiB of a process.
cpu() { awk '{ printf "%.2f", ($14 + $15) / 100 }' "/proc/$1/stat"; }
rss() { awk '/^VmRSS/ { printf "%d", $2 / 1024 }' "/proc/$1/status"; }
central_pid() { cat "$work/central/mysqld.pid"; }

# Stations s2 .. s(N-1) as `add` makes them, in batches, views not rebuilt.
schema=$(grep -v -e '^CREATE DATABASE' -e '^USE ' db/schema.sql)
bulk_add() {
  local from=$1 to=$2 i sqlf=$work/bulk.sql pw
  : >"$sqlf"
  for ((i = from; i <= to; i++)); do
    pw=$(printf '%032x' "$i")
    # shellcheck disable=SC2016 # the backticks are SQL quotes
    {
      printf 'CREATE DATABASE `UlmetDB_s%d`;\nUSE `UlmetDB_s%d`;\n%s\n' "$i" "$i" "$schema"
      printf "CREATE USER 'ulmet_in_s%d'@'localhost' IDENTIFIED BY '%s';\n" "$i" "$pw"
      printf "GRANT SELECT, INSERT ON \`UlmetDB\\\\_s%d\`.* TO 'ulmet_in_s%d'@'localhost';\n" "$i" "$i"
      printf "INSERT INTO UlmetNetwork.stations (name, host, port) VALUES ('s%d', '127.0.0.1', %s);\n" "$i" "$(node_port "$work/st")"
      printf "INSERT INTO UlmetNetwork.station_status (name, state) VALUES ('s%d', 'new');\n" "$i"
    } >>"$sqlf"
    cp "$work/central/state/s1.station.cnf" "$work/central/state/s$i.station.cnf"
    printf '[client]\nuser=ulmet_in_s%d\npassword=%s\nsocket=%s\n' "$i" "$pw" "$work/central/mysqld.sock" \
      >"$work/central/state/s$i.copy.cnf"
  done
  mariadb --defaults-file="$work/central/admin.cnf" -S "$work/central/mysqld.sock" <"$sqlf"
  local t
  t=$(date +%s%N)
  net views >/dev/null
  echo "views (every station's triggers made, rows put in) at $to stations: $(awk -v v="$(ms "$t")" 'BEGIN { print v / 1000 }') s" >&2
}

# The collector as the service runs it; waits for its first round.
start_collector() {
  local every=$1
  rm -f "$work/metrics.prom"
  "$ULMET_COLLECTOR" --state-dir "$work/central/state" --socket "$work/central/mysqld.sock" \
    --every "$every" --jobs 4 --metrics-file "$work/metrics.prom" 2>>"$work/collector.log" &
  collector_pid=$!
  wait_rounds 1
}
metric() { awk -v m="$1" '$1 == m { print $2 }' "$work/metrics.prom" 2>/dev/null || true; }
# Waits until the metrics say that round N has finished (the file is
# written when a round's last station is done).
wait_rounds() {
  local want=$1 r
  while :; do
    r=$(metric ulmet_collector_rounds_total)
    if [ -n "$r" ] && [ "${r%.*}" -ge "$want" ] && [ "$(metric ulmet_collector_round_duration_seconds)" != 0 ]; then
      return
    fi
    sleep 0.05
  done
}
# p95 of the lags (seconds) of probe rows until they are in 10 copies.
p95_lag() {
  local n=$1 k lags=() start id sample=() i
  for ((i = 1; i <= n; i += (n + 9) / 10)); do sample+=("s$i"); done
  for ((k = 0; k < probes; k++)); do
    sleep "$(awk -v s=$RANDOM 'BEGIN { srand(s); printf "%.2f", rand() * 10 }')"
    start=$(date +%s%N)
    id=$(node_sql "$work/st" "INSERT INTO UlmetDB.ipwv (ipwv_value, data) VALUES (1.5, DATE_FORMAT(UTC_TIMESTAMP(), '%Y-%m-%d %H:%i:%s')); SELECT LAST_INSERT_ID()")
    local pending=("${sample[@]}")
    local until=$(($(date +%s) + 120))
    while [ ${#pending[@]} -gt 0 ] && [ "$(date +%s)" -lt $until ]; do
      local left=()
      for s in "${pending[@]}"; do
        if [ "$(csql "SELECT COUNT(*) FROM UlmetDB_$s.ipwv WHERE id = $id")" = 1 ]; then
          lags+=("$(ms "$start")")
        else
          left+=("$s")
        fi
      done
      pending=("${left[@]}")
      [ ${#pending[@]} = 0 ] || sleep 0.05
    done
  done
  printf '%s\n' "${lags[@]}" | sort -n | awk '{ v[NR] = $1 } END { i = int(NR * 0.95); if (i < 1) i = 1; printf "%.1f", v[i] / 1000 }'
}

printf '%6s %7s %8s %7s %6s %6s %7s %6s %6s %7s %6s %6s\n' stations "add s" "connect" "round" "p95" "p95@1" "status" "query" \
  "col MB" "col cpu" "db MB" "db cpu"
central_add "$work/central" s1 "$work/st" "$work/certs" >/dev/null
have=1 minute=0
for n in "${counts[@]}"; do
  if [ "$have" -lt $((n - 1)) ]; then bulk_add $((have + 1)) $((n - 1)); have=$((n - 1)); fi
  t=$(date +%s%N)
  central_add "$work/central" "s$n" "$work/st" "$work/certs" >/dev/null
  add_ms=$(ms "$t")
  have=$n
  if [ $triggers = 0 ]; then
    csql "SELECT CONCAT('DROP TRIGGER \`', trigger_schema, '\`.\`', trigger_name, '\`;') FROM information_schema.triggers
          WHERE trigger_name LIKE 'ulmet\_network\_%'" | mariadb --defaults-file="$work/central/admin.cnf" -S "$work/central/mysqld.sock"
  fi
  start_collector 10
  connect=$(metric ulmet_collector_round_duration_seconds)
  # 30 rows in one second between two rounds: the next round fetches them
  # from every station.
  rounds=$(metric ulmet_collector_rounds_total)
  values=""
  for ((p = 1; p <= 30; p++)); do
    values+="${values:+,}($p, 2.4, '2026-12-07 00:00:00' + INTERVAL $minute MINUTE)"
  done
  minute=$((minute + 1))
  node_sql "$work/st" "INSERT INTO UlmetDB.troposphericDelay (prn, td, data) VALUES $values"
  c0=$(cpu "$collector_pid") d0=$(cpu "$(central_pid)")
  wait_rounds $((${rounds%.*} + 1))
  c1=$(cpu "$collector_pid") d1=$(cpu "$(central_pid)")
  round=$(metric ulmet_collector_round_duration_seconds)
  got=$(csql "SELECT COUNT(*) FROM UlmetDB_s$n.troposphericDelay")
  [ "$got" -ge $((30 * minute)) ] || echo "warning: s$n has $got rows, not $((30 * minute))" >&2
  col_rss=$(rss "$collector_pid") db_rss=$(rss "$(central_pid)")
  lag=$(p95_lag "$n")
  stop_collector
  lag1=-
  if [ $fast = 1 ]; then
    start_collector 1
    lag1=$(p95_lag "$n")
    stop_collector
  fi
  t=$(date +%s%N)
  net status >/dev/null || true
  status_ms=$(ms "$t")
  t=$(date +%s%N)
  csql "SELECT station, data, ipwv_value FROM UlmetNetwork.ipwv WHERE data >= DATE_FORMAT(UTC_TIMESTAMP() - INTERVAL 1 HOUR, '%Y-%m-%d %H:%i:%s')" >/dev/null
  query_ms=$(ms "$t")
  printf '%6s %7.1f %8.2f %7.2f %6s %6s %7.2f %6.2f %6s %7.2f %6s %6.2f\n' "$n" "$(awk -v v="$add_ms" 'BEGIN { print v / 1000 }')" \
    "$connect" "$round" "$lag" "$lag1" "$(awk -v v="$status_ms" 'BEGIN { print v / 1000 }')" \
    "$(awk -v v="$query_ms" 'BEGIN { print v / 1000 }')" "$col_rss" "$(awk -v a="$c0" -v b="$c1" 'BEGIN { print b - a }')" \
    "$db_rss" "$(awk -v a="$d0" -v b="$d1" 'BEGIN { print b - a }')"
done
