#!/usr/bin/env bash
# ulmet-web's resident memory while PARALLEL (8) clients download the same
# 31 days of one-minute data at once (CSV, then JSON), against a private
# server holding those days (IPWV and weather rows every minute). Prints
# each download's status, size and time, the time of a health request
# made while they run, and the peak of VmRSS sampled from /proc every
# 50 ms, beside the unit's MemoryMax (256 MiB).
#
#   bench/web_export_memory.sh           (BUILD, PARALLEL may be set)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
PARALLEL=${PARALLEL:-8}
work="" url="" web_pid=""  # set by the functions of web-bench.sh
source "$ROOT/bench/web-bench.sh"
web_bench_start ulmet-webexport

minutes=$((31 * 1440))
sql "CREATE TABLE m (i INT PRIMARY KEY) ENGINE=InnoDB;
     INSERT INTO m SELECT seq FROM seq_0_to_$((minutes - 1));
     INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, data)
       SELECT 2 + SIN(i / 500), 0.05, 60, 5, 10,
              DATE_FORMAT('2014-03-01' + INTERVAL i MINUTE, '%Y-%m-%d %H:%i:00') FROM m;
     INSERT INTO pressure (pressure_value, data)
       SELECT 1013, DATE_FORMAT('2014-03-01' + INTERVAL i MINUTE, '%Y-%m-%d %H:%i:05') FROM m;
     INSERT INTO temperature (temperature_value, data)
       SELECT 20, DATE_FORMAT('2014-03-01' + INTERVAL i MINUTE, '%Y-%m-%d %H:%i:05') FROM m;
     INSERT INTO humidity (humidity_value, data)
       SELECT 60, DATE_FORMAT('2014-03-01' + INTERVAL i MINUTE, '%Y-%m-%d %H:%i:05') FROM m;
     DROP TABLE m"

web_bench_serve
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$web_pid/status"; }
echo "ulmet-web started: $(($(rss) / 1024)) MiB resident"

period="from=2014-03-01T00:00Z&to=2014-03-31T23:59Z"
for format in csv json; do
  curl -s -o /dev/null "$url/api/health"
  ( peak=0
    while [ ! -e "$work/done" ]; do
      now=$(rss); [ "$now" -le "$peak" ] || peak=$now
      echo "$peak" >"$work/peak"; sleep 0.05
    done ) &
  sampler=$!
  pids=()
  for n in $(seq 1 "$PARALLEL"); do
    curl -s -o "$work/out.$n" -w "%{http_code} %{size_download} %{time_total}\n" \
      "$url/api/export?$period&format=$format" >"$work/result.$n" &
    pids+=($!)
  done
  sleep 0.5
  health=$(curl -s -o /dev/null -w '%{http_code} %{time_total}' "$url/api/health")
  wait "${pids[@]}"
  touch "$work/done"; wait "$sampler"; rm -f "$work/done"
  echo "$PARALLEL parallel 31-day $format downloads (status bytes seconds):"
  sort "$work"/result.* | uniq -c | sed 's/^/  /'
  echo "  /api/health during them: $health"
  echo "  peak resident: $(($(cat "$work/peak") / 1024)) MiB (unit limit: MemoryMax=256M)"
done
echo "ulmet-web after them: $(($(rss) / 1024)) MiB resident"
