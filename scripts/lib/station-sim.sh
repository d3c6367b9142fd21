# shellcheck shell=bash
# The parts of one simulated station, for the demos (sourced by bash).
# Each part runs in the station's run directory DIR, against the database
# server whose socket is in MYSQL_UNIX_PORT; a starting function leaves
# the new process's id in STATION_PID.
#
#   station_receiver_start DIR BINDIR SEED SATELLITES   receiver_sim, DIR/ttyGNSS
#   station_corvana_start DIR BINDIR                    Corvana on DIR/ttyGNSS
#   station_weather_start DIR BINDIR SEED               weather_sim
#   station_weather_sensor_start DIR BINDIR SEED        weather_sensor_sim on
#                                                       DIR/ttyWeather and
#                                                       ulmet-weather reading it
#                                                       (STATION_PID: both ids,
#                                                       the daemon's first)
#   station_mistrel DIR BINDIR MINUTE_TEXT              one Mistrel run, its
#                                                       log DIR/mistrel-HHMM.log
#   station_corvana_stop PID                            SIGINT, then TERM after 10 s
#   station_web_start DIR BINDIR [ARGS]                 ulmet-web, its address in
#                                                       STATION_WEB_URL
#
# Logs: DIR/receiver_sim.log, DIR/corvana.log, DIR/weather_sim.log,
# DIR/weather_sensor_sim.log, DIR/ulmet-weather.log.
#
# The long-running parts run in sessions of their own: a Ctrl-C on the
# terminal reaches only the demo, which then stops Corvana first (its stop
# sequence talks to the receiver) and the simulators after it.

station_receiver_start() {
  local dir=$1 bindir=$2 seed=$3 satellites=$4
  setsid "$bindir/receiver_sim" --link "$dir/ttyGNSS" --seed "$seed" --satellites "$satellites" \
    >"$dir/receiver_sim.log" 2>&1 </dev/null &
  # shellcheck disable=SC2034 # read by the scripts that source this file
  STATION_PID=$!
  local _
  for _ in $(seq 1 100); do
    grep -q '^PTY ' "$dir/receiver_sim.log" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

station_corvana_start() {
  local dir=$1 bindir=$2
  (cd "$dir" && exec env CORVANA_PORT="$dir/ttyGNSS" TERM=dumb setsid "$bindir/Corvana" \
    >"$dir/corvana.log" 2>&1 </dev/null) &
  # shellcheck disable=SC2034 # read by the scripts that source this file
  STATION_PID=$!
}

station_weather_start() {
  local dir=$1 bindir=$2 seed=$3
  setsid "$bindir/weather_sim" --seed "$seed" >"$dir/weather_sim.log" 2>&1 </dev/null &
  # shellcheck disable=SC2034 # read by the scripts that source this file
  STATION_PID=$!
}

station_weather_sensor_start() {
  local dir=$1 bindir=$2 seed=$3 sensor_pid _
  setsid "$bindir/weather_sensor_sim" --link "$dir/ttyWeather" --seed "$seed" \
    >"$dir/weather_sensor_sim.log" 2>&1 </dev/null &
  sensor_pid=$!
  for _ in $(seq 1 100); do
    grep -q '^PTY ' "$dir/weather_sensor_sim.log" 2>/dev/null && break
    sleep 0.1
  done
  (cd "$dir" && exec setsid "$bindir/ulmet-weather" --device "$dir/ttyWeather" \
    >"$dir/ulmet-weather.log" 2>&1 </dev/null) &
  STATION_PID="$! $sensor_pid"
}

# Exit status of Mistrel (0 stored or computed, 255 no data or not stored).
station_mistrel() {
  local dir=$1 bindir=$2 minute=$3
  (cd "$dir" && "$bindir/Mistrel" >"$dir/mistrel-${minute:11:2}${minute:14:2}.log" 2>&1 </dev/null)
}

# Corvana stops on SIGINT: it switches the receiver's logs off and closes
# the port.
station_corvana_stop() {
  local pid=$1 _
  kill -0 "$pid" 2>/dev/null || return 0
  kill -INT "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "Corvana ($pid) did not stop on SIGINT; terminating it" >&2
    kill -TERM "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

# ulmet-web on a free port of 127.0.0.1 against the server in
# MYSQL_UNIX_PORT (further arguments, e.g. --network, are passed on); its
# address in STATION_WEB_URL, its log DIR/ulmet-web.log. Returns 1 when
# the program is not built or does not start.
station_web_start() {
  local dir=$1 bindir=$2 _
  shift 2
  STATION_WEB_URL=""
  [ -x "$bindir/ulmet-web" ] || return 1
  setsid "$bindir/ulmet-web" --port 0 "$@" >"$dir/ulmet-web.log" 2>&1 </dev/null &
  # shellcheck disable=SC2034 # read by the scripts that source this file
  STATION_PID=$!
  for _ in $(seq 1 50); do
    STATION_WEB_URL=$(sed -n 's#^ulmet-web: listening on \(http://[0-9.:]*\)/.*#\1#p' "$dir/ulmet-web.log")
    [ -z "$STATION_WEB_URL" ] || return 0
    sleep 0.1
  done
  return 1
}

# Ends every process still left whose command line names one of the DIRs
# (a server, simulator or daemon that a stop missed, or a child of one),
# except this shell and the processes it runs under: TERM, then KILL
# after 5 s. The demos call it last when they end.
station_reap() {
  local keep=" " pid=$$ p cmd
  while [ -n "$pid" ] && [ "$pid" != 0 ]; do
    keep+="$pid "
    pid=$(awk '/^PPid:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
  done
  keep+="${BASHPID:-} "
  local found=() dir _
  for p in /proc/[0-9]*; do
    pid=${p#/proc/}
    [[ "$keep" != *" $pid "* ]] || continue
    cmd=$({ tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null) || continue
    for dir in "$@"; do
      if [ -n "$dir" ] && [[ "$cmd" == *"$dir"* ]]; then
        found+=("$pid")
        break
      fi
    done
  done
  [ ${#found[@]} -gt 0 ] || return 0
  kill -TERM "${found[@]}" 2>/dev/null || true
  for _ in $(seq 1 50); do
    kill -0 "${found[@]}" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "${found[@]}" 2>/dev/null || true
}
