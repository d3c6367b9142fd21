#!/usr/bin/env bash
# Times one Mistrel run against a database holding a year of station data
# and against a nearly empty one, and prints both medians and their ratio.
#
#   bench/mistrel_year.sh            (RUNS, TD_ROWS, BUILD may be set)
#
# The year: 525,600 rows in each of pressure, temperature and humidity (one
# a minute, stamped at second 17) and TD_ROWS troposphericDelay rows (ten
# satellites a minute, stamped at second 00; 5,000,000 by default, which
# covers the first 500,000 minutes of the year). Each run's clock reads
# 2014-06-15 12:34:30 UTC through libfaketime. Private servers only; they
# are removed at the end.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
MISTREL=$BUILD/Mistrel
RUNS=${RUNS:-31}
TD_ROWS=${TD_ROWS:-5000000}
BATCH=500000
CLOCK="2014-06-15 12:34:30"
MINUTE="2014-06-15 12:34"
DB_SCRIPT=$ROOT/tests/support/mariadb.sh
SCHEMA=$ROOT/db/schema.sql

[ -x "$MISTREL" ] || { echo "build Mistrel first (looked for $MISTREL)" >&2; exit 1; }
source "$ROOT/scripts/lib/faketime.sh"
FAKETIME_LIB=$(faketime_library) || { echo "libfaketime is not installed" >&2; exit 1; }

WORK=$(mktemp -d /tmp/ulmet-bench.XXXXXX)
cleanup() {
  "$DB_SCRIPT" destroy "$WORK/year" >/dev/null 2>&1 || true
  "$DB_SCRIPT" destroy "$WORK/empty" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

sqlc() {
  local dir=$1
  shift
  mariadb --defaults-file="$dir/admin.cnf" -S "$dir/mysqld.sock" "$@" UlmetDB
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }

echo "=== starting two private servers"
"$DB_SCRIPT" start "$WORK/year" "$SCHEMA"
"$DB_SCRIPT" start "$WORK/empty" "$SCHEMA"

echo "=== filling one year (weather 3 x 525,600 rows, troposphericDelay $TD_ROWS rows)"
t0=$(now_ms)
sqlc "$WORK/year" <<SQL
SET GLOBAL innodb_flush_log_at_trx_commit = 0;
SET GLOBAL innodb_buffer_pool_size = 1073741824;
INSERT INTO pressure (pressure_value, data)
  SELECT 990 + seq % 40 + 0.25,
         DATE_FORMAT(TIMESTAMP('2014-01-01 00:00:17') + INTERVAL seq MINUTE, '%Y-%m-%d %H:%i:%s')
  FROM seq_0_to_525599;
INSERT INTO temperature (temperature_value, data)
  SELECT CAST(seq % 35 AS SIGNED) - 5 + 0.5,
         DATE_FORMAT(TIMESTAMP('2014-01-01 00:00:17') + INTERVAL seq MINUTE, '%Y-%m-%d %H:%i:%s')
  FROM seq_0_to_525599;
INSERT INTO humidity (humidity_value, data)
  SELECT 20 + seq % 75,
         DATE_FORMAT(TIMESTAMP('2014-01-01 00:00:17') + INTERVAL seq MINUTE, '%Y-%m-%d %H:%i:%s')
  FROM seq_0_to_525599;
SQL
start=0
while [ "$start" -lt "$TD_ROWS" ]; do
  end=$((start + BATCH - 1))
  [ "$end" -lt "$TD_ROWS" ] || end=$((TD_ROWS - 1))
  sqlc "$WORK/year" <<SQL
INSERT INTO troposphericDelay
  (latitude, longitude, height, latitudeErr, longitudeErr, heightErr, prn, elevation, td, data)
  SELECT 45.5 + (seq % 7) * 1e-9, 7.25, 80.5, 1.5, 1.25, 3.0, seq % 10 + 1,
         30 + (seq % 10) * 6, 2.25 + (seq % 10) * 0.1,
         DATE_FORMAT(TIMESTAMP('2014-01-01 00:00:00') + INTERVAL (seq DIV 10) MINUTE,
                     '%Y-%m-%d %H:%i:%s')
  FROM seq_${start}_to_${end};
SQL
  start=$((end + 1))
done
t1=$(now_ms)
echo "filled in $(((t1 - t0) / 1000)) s"
# shellcheck disable=SC2046 # the counts print as words of one line
echo "rows:" $(echo "SELECT (SELECT COUNT(*) FROM pressure), (SELECT COUNT(*) FROM temperature),
  (SELECT COUNT(*) FROM humidity), (SELECT COUNT(*) FROM troposphericDelay);" | sqlc "$WORK/year" -N)

# The nearly empty database holds only the minute that the runs retrieve.
sqlc "$WORK/empty" <<SQL
INSERT INTO pressure (pressure_value, data) VALUES (1013.25, '$MINUTE:17');
INSERT INTO temperature (temperature_value, data) VALUES (20.5, '$MINUTE:17');
INSERT INTO humidity (humidity_value, data) VALUES (60, '$MINUTE:17');
INSERT INTO troposphericDelay
  (latitude, longitude, height, latitudeErr, longitudeErr, heightErr, prn, elevation, td, data)
  SELECT 45.5, 7.25, 80.5, 1.5, 1.25, 3.0, seq + 1, 30 + seq * 6, 2.25, '$MINUTE:00'
  FROM seq_0_to_9;
SQL

# Median wall time (ms, three decimals) of RUNS runs against one server;
# every run must compute and store a value.
median_run() {
  local sock=$1/mysqld.sock times=() i t0 t1 out
  for i in $(seq 0 "$RUNS"); do
    t0=$(date +%s%N)
    out=$(MYSQL_UNIX_PORT=$sock TZ=UTC LD_PRELOAD=$FAKETIME_LIB FAKETIME="@$CLOCK" \
          DONT_FAKE_MONOTONIC=1 "$MISTREL")
    t1=$(date +%s%N)
    case $out in
      *"IPWV Data correctly stored"*) ;;
      *) echo "run failed:" >&2; echo "$out" >&2; exit 1 ;;
    esac
    [ "$i" -eq 0 ] || times+=($((t1 - t0)))  # the first run warms the caches
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END {
    m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.3f\n", m / 1e6 }'
}

echo "=== timing $RUNS runs each (clock $CLOCK UTC)"
year=$(median_run "$WORK/year")
empty=$(median_run "$WORK/empty")
echo "median run, one year of data : $year ms"
echo "median run, nearly empty     : $empty ms"
awk -v a="$year" -v b="$empty" 'BEGIN { printf "ratio year / empty         : %.2f\n", a / b }'
