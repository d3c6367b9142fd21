#!/usr/bin/env bash
# Measures ulmet-weather-import: READINGS one-minute readings (default a
# year, 525,600) written as CSV, imported into a private server, then
# imported again (every value already present); the time and peak memory
# of ulmet-weather-import --dry-run on 10 MB of junk lines and on a RINEX
# file whose header announces 99,999 observation types; and the idle CPU
# of ulmet-weather reading one sentence a second from the sensor simulator
# for IDLE_SECONDS (default 60).
#
#   bench/weather_import.sh      (BUILD, READINGS, IDLE_SECONDS may be set)
#
# Prints readings per second of both imports, seconds and peak resident
# kB of the hostile files, and the daemon's CPU seconds.
# Private server only; everything is removed at the end.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
READINGS=${READINGS:-525600}
IDLE_SECONDS=${IDLE_SECONDS:-60}
DB_SCRIPT=$ROOT/tests/support/mariadb.sh
for p in ulmet-weather ulmet-weather-import weather_sensor_sim; do
  [ -x "$BUILD/$p" ] || { echo "build $p first (looked in $BUILD)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/ulmet-wimport.XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill -TERM "$sim_pid" 2>/dev/null || true; fi
  "$DB_SCRIPT" destroy "$work/db" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$DB_SCRIPT" start "$work/db" "$ROOT/db/schema.sql" >/dev/null
export MYSQL_UNIX_PORT=$work/db/mysqld.sock

awk -v n="$READINGS" 'BEGIN {
  print "time,pressure_hPa,temperature_C,humidity_pct"
  t = mktime("2025 01 01 00 00 00")
  for (i = 0; i < n; i++)
    printf "%s,%.2f,%.2f,%.2f\n", strftime("%Y-%m-%d %H:%M:%S", t + 60 * i, 1),
      1000 + (i % 30) * 0.5, 10 + (i % 20) * 0.25, 50 + (i % 40) * 0.5
}' >"$work/readings.csv"

# CPU seconds of the server so far (the machine may be shared: wall time
# alone depends on what else runs).
server_cpu() {
  awk -v hz="$(getconf CLK_TCK)" '{printf "%.2f", ($14 + $15) / hz}' "/proc/$(cat "$work/db/mysqld.pid")/stat"
}
for run in first second; do
  start=$(date +%s.%N)
  cpu_before=$(server_cpu)
  /usr/bin/time -f "%U %S" -o "$work/import-time.txt" "$BUILD/ulmet-weather-import" "$work/readings.csv" | tail -n 1
  end=$(date +%s.%N)
  read -r user sys <"$work/import-time.txt"
  echo "$run import: $(echo "$READINGS / ($end - $start)" | bc -l | xargs printf '%.0f') readings/s" \
    "($(echo "$end - $start" | bc -l | xargs printf '%.2f') s; CPU s: importer $(echo "$user + $sys" | bc -l | xargs printf '%.2f')," \
    "server $(echo "$(server_cpu) - $cpu_before" | bc -l | xargs printf '%.2f'); load $(cut -d ' ' -f 1 /proc/loadavg))"
done

# Hostile files: junk lines (escape bytes, separators) and a header that
# announces 99,999 observation types over 1.4 MB of type lines.
head -c 7500000 /dev/urandom | base64 -w 76 | tr '+/' ',;' >"$work/junk.txt"
{
  printf '%-60s%-20s\n' '     3.05           M' 'RINEX VERSION / TYPE'
  printf '%-60s%-20s\n' ' 99999    PR    TD    HR    PR    TD    HR    PR    TD    HR' '# / TYPES OF OBSERV'
  for _ in $(seq 17500); do
    printf '%-60s%-20s\n' '    PR    TD    HR    PR    TD    HR    PR    TD    HR' '# / TYPES OF OBSERV'
  done
  printf '%-60s%-20s\n' '' 'END OF HEADER'
  printf ' 2026 12 07 10 00 30 1012.5   14.0   70.0\n'
} >"$work/hostile.rnx"
for f in junk.txt hostile.rnx; do
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$BUILD/ulmet-weather-import" --dry-run "$work/$f" |
    tail -n 1 | cut -c 1-200 || true
  read -r seconds kb < <(tail -n 1 "$work/time.txt")
  echo "$f ($(stat -c %s "$work/$f") bytes): $seconds s, $kb kB peak resident"
done

"$BUILD/weather_sensor_sim" --link "$work/sensor" >"$work/sim.log" 2>&1 &
sim_pid=$!
sleep 1
(cd "$work" && exec "$BUILD/ulmet-weather" --device "$work/sensor" >"$work/daemon.log" 2>&1) &
daemon_pid=$!
sleep 2
before=$(awk '{print $14 + $15}' "/proc/$daemon_pid/stat")
sleep "$IDLE_SECONDS"
after=$(awk '{print $14 + $15}' "/proc/$daemon_pid/stat")
kill -TERM "$daemon_pid"
wait "$daemon_pid" || true
echo "ulmet-weather: $(echo "($after - $before) / $(getconf CLK_TCK)" | bc -l | xargs printf '%.2f') CPU s in $IDLE_SECONDS s at one sentence a second"
