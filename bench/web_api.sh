#!/usr/bin/env bash
# Response time of ulmet-web's API for a day and a week (their flags and
# reasons counted minute by minute), a month and a year of one-minute
# data, the station page's time to a drawn chart in headless chromium,
# and the program's memory. A private server gets a year of one-minute rows
# (IPWV with its uncertainty, satellites, elevation, pressure, temperature,
# humidity, one satellite row: 2.6 million rows) ending at the current
# minute.
#
#   bench/web_api.sh           (BUILD, RUNS=30 may be set)
#
# Prints the time of the first request of /api/series for period=day and
# period=year (nothing kept yet), then the median and 95th percentile of
# RUNS more (curl's total time, one request at a time; a year's ended
# buckets are then kept), the station page's time to drawn charts for both periods in
# headless chromium (Chart.js included), and ulmet-web's resident memory.
# Private server only; everything is removed at the end.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
RUNS=${RUNS:-30}
work="" url="" web_pid=""  # set by the functions of web-bench.sh
source "$ROOT/bench/web-bench.sh"
web_bench_start ulmet-webbench

minutes=525600
start=$(date +%s)
end_text=$(date -u -d "@$((start - start % 60))" '+%Y-%m-%d %H:%M:00')
seq="SET STATEMENT max_recursive_iterations = 1000000 FOR INSERT INTO"
cte="WITH RECURSIVE m(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM m WHERE i < $((minutes - 1)))"
at="DATE_FORMAT('$end_text' - INTERVAL i MINUTE"
echo "writing a year of one-minute rows..."
sql "$seq ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, data) $cte
     SELECT 1.8 + 0.6 * SIN(i / 700), 0.08, 40 + 30 * SIN(i / 90), 1 + i MOD 32, 6 + i MOD 5,
            $at, '%Y-%m-%d %H:%i:30') FROM m"
for t in pressure:1010 temperature:12 humidity:60; do
  sql "$seq ${t%%:*} (${t%%:*}_value, data) $cte SELECT ${t#*:} + 5 * SIN(i / 1000), $at, '%Y-%m-%d %H:%i:05') FROM m"
done
sql "$seq troposphericDelay (latitude, longitude, height, prn, elevation, td, data) $cte
     SELECT 45, 7, 100, 1 + i MOD 32, 40 + 30 * SIN(i / 90), 2.5, $at, '%Y-%m-%d %H:%i:00') FROM m"
echo "rows written in $(($(date +%s) - start)) s"

web_bench_serve

# Median and 95th percentile (nearest rank) of the numbers on standard input.
stats() { sort -n | awk '{ v[NR] = $1 } END { p = int(NR * 0.95 + 0.999); printf "median %.1f ms, p95 %.1f ms (%d runs)", v[int((NR + 1) / 2)] * 1000, v[p] * 1000, NR }'; }
for period in day week month year; do
  cold=$(curl -s -o "$work/$period.json" -w '%{time_total}' "$url/api/series?period=$period")
  points=$(grep -o '"points": [0-9]*' "$work/$period.json")
  echo "GET /api/series?period=$period, first request: $(awk -v t="$cold" 'BEGIN { printf "%.1f ms", t * 1000 }')"
  for _ in $(seq 1 "$RUNS"); do
    curl -s -o /dev/null -w '%{time_total}\n' "$url/api/series?period=$period"
  done | stats >"$work/$period.stats"
  echo "GET /api/series?period=$period ($points): $(cat "$work/$period.stats")"
done

# The page's time to drawn charts: chromium's virtual clock does not count
# real waiting, so the page's own clock cannot tell it. Measured instead as
# the wall time of a chromium run that dumps the page once its charts are
# drawn, minus that of the same run on an empty page (browser start and
# exit), median of 5 each.
browse() {
  rm -rf "$work/profile"
  local s
  s=$(date +%s%N)
  chromium --no-sandbox --headless --disable-gpu --disable-background-networking \
    --disable-component-update --disable-sync --no-first-run --user-data-dir="$work/profile" \
    --virtual-time-budget=10000 --dump-dom "$1" 2>/dev/null >"$work/dom.html"
  echo $((($(date +%s%N) - s) / 1000000))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
if command -v chromium >/dev/null; then
  empty=$(for _ in 1 2 3 4 5; do browse "data:text/html,<p>empty</p>"; done | median)
  for period in day month year; do
    full=$(for _ in 1 2 3 4 5; do browse "$url/station?period=$period"; done | median)
    grep -q 'data-state="drawn"' "$work/dom.html" || echo "the page did not draw its charts" >&2
    echo "station page, period=$period: charts drawn about $((full - empty)) ms after the browser asked for the page (run $full ms, empty page $empty ms)"
  done
fi
echo "ulmet-web resident memory: $(awk '/VmRSS/ { print $2, $3 }' "/proc/$web_pid/status") (peak $(awk '/VmHWM/ { print $2, $3 }' "/proc/$web_pid/status"))"
