#!/usr/bin/env bash
# Measures what a backup's table lock does to the acquisition daemon: the
# receiver simulator emits once a minute (real clock), Corvana runs under
# strace (only the serial line's pselect6 calls are traced), and another
# session holds `LOCK TABLES troposphericDelay WRITE` for LOCK_SECONDS,
# then `FLUSH TABLES WITH READ LOCK` for FTWRL_SECONDS; SIGINT arrives
# SIGINT_AFTER seconds into the second lock. A second daemon is started
# once the lock is gone and must store every kept row.
#
#   bench/locked_table.sh        (BUILD, LOCK_SECONDS=240, FTWRL_SECONDS=120,
#                                 SIGINT_AFTER=90 may be set)
#
# Prints: the longest time between two reads of the serial line during the
# lock (the longest stall of the loop, read budget included), the
# visibility logs parsed during the locks, the time SIGINT took and the
# exit status, and the rows expected, stored and stored twice.
# Private server only; everything is removed at the end.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
LOCK_SECONDS=${LOCK_SECONDS:-240}
FTWRL_SECONDS=${FTWRL_SECONDS:-120}
SIGINT_AFTER=${SIGINT_AFTER:-90}
DB_SCRIPT=$ROOT/tests/support/mariadb.sh
for p in Corvana receiver_sim; do
  [ -x "$BUILD/$p" ] || { echo "build $p first (looked in $BUILD)" >&2; exit 1; }
done
command -v strace >/dev/null || { echo "strace is needed" >&2; exit 1; }

work=$(mktemp -d /tmp/ulmet-lock.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$DB_SCRIPT" destroy "$work/db" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$DB_SCRIPT" start "$work/db" "$ROOT/db/schema.sql"
export MYSQL_UNIX_PORT=$work/db/mysqld.sock CORVANA_PORT=$work/tty TERM=dumb
sqlq() { mariadb --defaults-file="$work/db/admin.cnf" UlmetDB --batch --skip-column-names -e "$1"; }

cd "$work"
"$BUILD/receiver_sim" --link "$work/tty" --expected-rows "$work/expected" >sim.log 2>&1 &
pids+=($!)
until grep -q "^PTY " sim.log; do sleep 0.2; done
strace -f -tt -e trace=pselect6 -o "$work/trace" "$BUILD/Corvana" >corvana1.log 2>&1 &
tracer=$!
pids+=("$tracer")
until daemon=$(pgrep -P "$tracer"); do sleep 0.1; done
echo "waiting for the first stored rows"
until [ "$(sqlq 'SELECT COUNT(*) FROM troposphericDelay')" != 0 ]; do sleep 1; done

vis_before=$(grep -c '^SATVIS_LOG' corvana1.log || true)
lock_start=$(date +%H:%M:%S.%N)
echo "$(date +%T) LOCK TABLES troposphericDelay WRITE for $LOCK_SECONDS s"
sqlq "LOCK TABLES troposphericDelay WRITE; DO SLEEP($LOCK_SECONDS); UNLOCK TABLES;"
echo "$(date +%T) FLUSH TABLES WITH READ LOCK for $FTWRL_SECONDS s"
sqlq "FLUSH TABLES WITH READ LOCK; DO SLEEP($FTWRL_SECONDS); UNLOCK TABLES;" &
ftwrl=$!
sleep "$SIGINT_AFTER"
t0=$(date +%s.%N)
kill -INT "$daemon"
set +e
wait "$tracer"
status=$?
set -e
t1=$(date +%s.%N)
lock_end=$(date +%H:%M:%S.%N)
vis_during=$(($(grep -c '^SATVIS_LOG' corvana1.log || true) - vis_before))
kept=$(wc -l <corvana-spool.sql 2>/dev/null || echo 0)
wait "$ftwrl"

# The longest interval between two pselect6 calls of the serial loop while locked.
longest=$(awk -v from="$lock_start" -v to="$lock_end" '
  function sec(t,  a) { split(t, a, ":"); return a[1] * 3600 + a[2] * 60 + a[3] }
  /pselect6\(/ { t = $2; if (t < from || t > to) next; s = sec(t);
                 if (last != "" && s - last > max) { max = s - last; at = t } last = s }
  END { printf "%.3f s (ending at %s)", max, at }' "$work/trace")

echo "$(date +%T) second daemon, after the locks"
"$BUILD/Corvana" >corvana2.log 2>&1 &
daemon2=$!
pids+=("$daemon2")
until grep -q "DAQ START" corvana2.log; do sleep 1; done
# One more emission after the restart, then every expected row.
n=$(wc -l <expected)
until [ "$(wc -l <expected)" -gt "$n" ] &&
  [ "$(sqlq 'SELECT COUNT(*) FROM troposphericDelay')" -ge "$(wc -l <expected)" ]; do sleep 2; done
sleep 5
kill -INT "$daemon2"
wait "$daemon2" || true

expected=$(sort -u expected | wc -l)
stored=$(sqlq 'SELECT COUNT(*) FROM troposphericDelay')
twice=$(sqlq 'SELECT COUNT(*) FROM (SELECT 1 FROM troposphericDelay GROUP BY data, prn HAVING COUNT(*) > 1) d')
missing=$(sqlq "SELECT CONCAT_WS('|', data, prn) FROM troposphericDelay" | sort >stored.keys
  cut -d'|' -f1,8 expected | sort -u | comm -23 - stored.keys | wc -l)
echo "longest serial-loop interval during the locks: $longest"
echo "visibility logs parsed during the locks: $vis_during"
echo "SIGINT during FLUSH TABLES WITH READ LOCK: exit $status after $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }') s, $kept rows in the spool"
echo "rows expected: $expected, stored: $stored, stored twice: $twice, missing: $missing"
