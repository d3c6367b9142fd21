#!/usr/bin/env bash
# Peak memory (maximum resident set, from GNU time's %M) and run time of
# ulmet-export over periods of growing length, against a private server
# holding a year of one-minute IPWV and weather rows: a day, a month and a
# year of data, then an empty decade and an empty century. The memory must
# stay flat: the export reads and writes a few days at a time.
#
#   bench/export_memory.sh           (BUILD may be set; DAYS of data, 365)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
EXPORT=$BUILD/ulmet-export
DAYS=${DAYS:-365}
DB_SCRIPT=$ROOT/tests/support/mariadb.sh
[ -x "$EXPORT" ] || { echo "build ulmet-export first (looked for $EXPORT)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time is not installed (package time)" >&2; exit 1; }

WORK=$(mktemp -d /tmp/ulmet-export-bench.XXXXXX)
cleanup() {
  "$DB_SCRIPT" destroy "$WORK/db" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT
"$DB_SCRIPT" start "$WORK/db" "$ROOT/db/schema.sql" >/dev/null
export MYSQL_UNIX_PORT=$WORK/db/mysqld.sock
# The test server's root login, in a private option file.
(umask 077 && printf '[client]\nuser=root\npassword=kzqvwp\n' >"$WORK/client.cnf")
sql() { mariadb --defaults-file="$WORK/client.cnf" -S "$MYSQL_UNIX_PORT" UlmetDB; }

# One row a minute in ipwv and the three weather tables, from 2014-01-01,
# built in the server from a sequence of minutes (the Sequence engine).
minutes=$((DAYS * 1440))
sql <<EOF
CREATE TABLE m (i INT PRIMARY KEY) ENGINE=InnoDB;
INSERT INTO m SELECT seq FROM seq_0_to_$((minutes - 1));
INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, data)
  SELECT 2 + SIN(i / 500), 0.05, 60, 5, 10,
         DATE_FORMAT('2014-01-01' + INTERVAL i MINUTE, '%Y-%m-%d %H:%i:00') FROM m;
INSERT INTO pressure (pressure_value, data)
  SELECT 1013, DATE_FORMAT('2014-01-01' + INTERVAL i MINUTE, '%Y-%m-%d %H:%i:05') FROM m;
INSERT INTO temperature (temperature_value, data)
  SELECT 20, DATE_FORMAT('2014-01-01' + INTERVAL i MINUTE, '%Y-%m-%d %H:%i:05') FROM m;
INSERT INTO humidity (humidity_value, data)
  SELECT 60, DATE_FORMAT('2014-01-01' + INTERVAL i MINUTE, '%Y-%m-%d %H:%i:05') FROM m;
DROP TABLE m;
EOF

printf '%-16s %-6s %12s %10s %10s\n' period format records "max RSS MB" seconds
run() { # LABEL FROM TO FORMAT
  local out=$WORK/out.$4
  /usr/bin/time -f '%M %e' -o "$WORK/time" "$EXPORT" --from "$2" --to "$3" --format "$4" --out "$out"
  read -r rss seconds <"$WORK/time"
  printf '%-16s %-6s %12s %10.1f %10s\n' "$1" "$4" "$(grep -c '"time"\|^20' "$out")" \
    "$(echo "$rss / 1024" | bc -l)" "$seconds"
}
for format in csv json; do
  run "a day" "2014-03-01 00:00" "2014-03-01 23:59" $format
  run "a month" "2014-03-01 00:00" "2014-03-31 23:59" $format
  run "a year" "2014-01-01 00:00" "2014-12-31 23:59" $format
  run "empty decade" "2030-01-01 00:00" "2039-12-31 23:59" $format
done
run "empty century" "2100-01-01 00:00" "2199-12-31 23:59" csv
