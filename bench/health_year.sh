#!/usr/bin/env bash
# Times ulmet-status and ulmet-retrieve against a database holding a year
# of station data.
#
#   bench/health_year.sh            (TD_PER_MINUTE, GAP_MINUTES, BUILD may be set)
#
# The year 2014: one pressure, temperature and humidity reading a minute
# (second 17), TD_PER_MINUTE troposphericDelay rows a minute (4 by
# default: 2.1 million rows) and an IPWV value for every minute except
# GAP_MINUTES (1440 by default: the day of 2014-06-15), the gap that
# ulmet-retrieve fills. ulmet-status runs on a clock at 2014-12-31
# 23:59:30 (libfaketime), ulmet-retrieve over the whole year, twice (the
# second run finds nothing to do: the cost of the search alone). Private
# server only; removed at the end.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
TD_PER_MINUTE=${TD_PER_MINUTE:-4}
GAP_MINUTES=${GAP_MINUTES:-1440}
DB_SCRIPT=$ROOT/tests/support/mariadb.sh
for p in ulmet-status ulmet-retrieve; do
  [ -x "$BUILD/$p" ] || { echo "build $p first (looked in $BUILD)" >&2; exit 1; }
done
source "$ROOT/scripts/lib/faketime.sh"
FAKETIME_LIB=$(faketime_library) || { echo "libfaketime is not installed" >&2; exit 1; }

WORK=$(mktemp -d /tmp/ulmet-health.XXXXXX)
cleanup() {
  "$DB_SCRIPT" destroy "$WORK/db" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT
sqlc() { mariadb --defaults-file="$WORK/db/admin.cnf" -S "$WORK/db/mysqld.sock" "$@" UlmetDB; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
minute() { echo "DATE_FORMAT(TIMESTAMP('2014-01-01 00:00:$1') + INTERVAL $2 MINUTE, '%Y-%m-%d %H:%i:%s')"; }

"$DB_SCRIPT" start "$WORK/db" "$ROOT/db/schema.sql"
echo "=== filling one year"
t0=$(now_ms)
rows=$((525600 * TD_PER_MINUTE - 1))
gap_start=$((165 * 1440))  # 2014-06-15 00:00
sqlc <<SQL
SET GLOBAL innodb_flush_log_at_trx_commit = 0;
SET GLOBAL innodb_buffer_pool_size = 1073741824;
INSERT INTO pressure (pressure_value, data) SELECT 1000 + seq % 20, $(minute 17 seq) FROM seq_0_to_525599;
INSERT INTO temperature (temperature_value, data) SELECT 10 + seq % 15, $(minute 17 seq) FROM seq_0_to_525599;
INSERT INTO humidity (humidity_value, data) SELECT 30 + seq % 60, $(minute 17 seq) FROM seq_0_to_525599;
INSERT INTO troposphericDelay
  (latitude, longitude, height, latitudeErr, longitudeErr, heightErr, prn, elevation, td, data)
  SELECT 45.5, 7.25, 80.5, 1.5, 1.25, 3.0, seq % $TD_PER_MINUTE + 1, 35 + (seq % $TD_PER_MINUTE) * 10,
         2.4, $(minute 00 "(seq DIV $TD_PER_MINUTE)")
  FROM seq_0_to_$rows;
INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, data)
  SELECT 1.5, 0.05, 65, 4, $TD_PER_MINUTE, $(minute 00 seq) FROM seq_0_to_525599
  WHERE seq < $gap_start OR seq >= $gap_start + $GAP_MINUTES;
SQL
echo "filled in $((($(now_ms) - t0) / 1000)) s:" \
  "$(echo "SELECT COUNT(*) FROM troposphericDelay; SELECT COUNT(*) FROM ipwv;" | sqlc -N | tr "\n" " ")"

export MYSQL_UNIX_PORT=$WORK/db/mysqld.sock TZ=UTC
mkdir -p "$WORK/state"
echo "=== ulmet-status, 5 runs"
for i in 1 2 3 4 5; do
  t0=$(now_ms)
  LD_PRELOAD=$FAKETIME_LIB FAKETIME="@2014-12-31 23:59:30" DONT_FAKE_MONOTONIC=1 \
    "$BUILD/ulmet-status" --no-units --state-dir "$WORK/state" >"$WORK/status.txt" || true
  echo "run $i: $(($(now_ms) - t0)) ms"
done
cat "$WORK/status.txt"
echo "=== ulmet-retrieve over the year ($GAP_MINUTES minutes missing)"
for run in first second; do
  t0=$(now_ms)
  "$BUILD/ulmet-retrieve" --from '2014-01-01 00:00' --to '2014-12-31 23:59' | tail -1
  ms=$(($(now_ms) - t0))
  echo "$run run: $ms ms"
  [ "$run" = second ] || awk -v n="$GAP_MINUTES" -v ms="$ms" \
    'BEGIN { printf "rate: %.0f minutes per second\n", n / (ms / 1000) }'
done
echo "ipwv rows now: $(echo "SELECT COUNT(*), COUNT(DISTINCT data) FROM ipwv;" | sqlc -N)"
