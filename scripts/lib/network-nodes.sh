# shellcheck shell=bash
# Private MariaDB servers of a station network on this machine, for the
# network demo, the tests and the benchmark (sourced by bash). Each server
# lives in one directory (data, socket, logs, conf.d) and listens on a port
# of 127.0.0.1; tests/support/mariadb.sh starts and stops it.
#
#   node_port DIR                     the port of the server in DIR
#   node_start DIR [SCHEMA]           start it (first start: pick a free port)
#   node_stop DIR                     stop it, keep its data
#   node_sql DIR SQL                  run SQL as root through its socket
#   network_certs CERTDIR             site CA, certificates "station" and
#                                     "central" for 127.0.0.1
#   station_setup DIR NAME SERVER_ID CERTDIR
#                                     ulmet-network station-setup on it
#   station_create DIR NAME SERVER_ID CERTDIR
#                                     a station: schema, binary log, TLS and
#                                     the central server's read-only account
#   central_create DIR                the central server (ulmet-network init)
#   central_add CENTRALDIR NAME STATIONDIR CERTDIR [add options...]
#   central_sync CENTRALDIR [STATION...]   one round of ulmet-network sync
#
# NETWORK_ROOT must name the source tree.

node_port() { sed -n 's/^port = //p' "$1/server.cnf"; }

# A port of 127.0.0.1 that nothing listens on now, from a range that the
# kernel does not hand out to outgoing connections.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 12000))
    ss -Htan "sport = :$port" 2>/dev/null | grep -q . || {
      echo "$port"
      return
    }
  done
}

node_start() {
  local dir=$1 schema=${2:-} tries=0
  mkdir -p "$dir/conf.d"
  while :; do
    if [ ! -f "$dir/server.cnf" ]; then
      cat >"$dir/server.cnf" <<EOF
[mariadbd]
port = $(free_port)
bind_address = 127.0.0.1
skip_name_resolve = ON
innodb_flush_log_at_trx_commit = 1
!includedir $dir/conf.d
EOF
      tries=$((tries + 1))
    fi
    if "$NETWORK_ROOT/tests/support/mariadb.sh" start "$dir" ${schema:+"$schema"} 2>"$dir/start.err"; then
      return 0
    fi
    # Another program took the port between the check and the start.
    if [ $tries -gt 0 ] && [ $tries -lt 5 ] && grep -q 'Bind on TCP/IP port' "$dir/error.log" 2>/dev/null; then
      rm -f "$dir/server.cnf"
      continue
    fi
    cat "$dir/start.err" >&2
    return 1
  done
}

node_stop() { "$NETWORK_ROOT/tests/support/mariadb.sh" stop "$1"; }

node_sql() {
  mariadb --defaults-file="$1/admin.cnf" --batch --skip-column-names -S "$1/mysqld.sock" -e "$2"
}

network_certs() {
  local dir=$1
  [ -f "$dir/station.pem" ] || "$NETWORK_ROOT/scripts/ulmet-network" make-certs "$dir" station 127.0.0.1 localhost >/dev/null
  [ -f "$dir/central.pem" ] || "$NETWORK_ROOT/scripts/ulmet-network" make-certs "$dir" central 127.0.0.1 localhost >/dev/null
}

# ulmet-network station-setup for the server in DIR.
# STATION_SETUP_OPTIONS: more options, split into words.
# shellcheck disable=SC2086
station_setup() {
  local dir=$1 name=$2 id=$3 certs=$4
  MYSQL_UNIX_PORT=$dir/mysqld.sock "$NETWORK_ROOT/scripts/ulmet-network" --conf-dir "$dir/conf.d" \
    station-setup --name "$name" --server-id "$id" --central-host 127.0.0.1 \
    --port "$(node_port "$dir")" --bind-address 127.0.0.1 \
    --ssl-cert "$certs/station.pem" --ssl-key "$certs/station-key.pem" --ssl-ca "$certs/ca.pem" \
    --password-file "$dir/replication.password" ${STATION_SETUP_OPTIONS:-} >>"$dir/setup.log"
}

# The station's own server with the schema, given TLS and the central
# server's read-only account by station-setup (which needs a restart).
station_create() {
  local dir=$1 name=$2 id=$3 certs=$4
  node_start "$dir" "$NETWORK_ROOT/db/schema.sql" || return 1
  station_setup "$dir" "$name" "$id" "$certs" || return 1
  node_stop "$dir" && node_start "$dir"
}

central_create() {
  local dir=$1
  node_start "$dir" || return 1
  MYSQL_UNIX_PORT=$dir/mysqld.sock "$NETWORK_ROOT/scripts/ulmet-network" --conf-dir "$dir/conf.d" \
    --state-dir "$dir/state" init >"$dir/init.log" || return 1
  node_stop "$dir" && node_start "$dir"
}

central_add() {
  local central=$1 name=$2 station=$3 certs=$4
  shift 4
  MYSQL_UNIX_PORT=$central/mysqld.sock "$NETWORK_ROOT/scripts/ulmet-network" --conf-dir "$central/conf.d" \
    --state-dir "$central/state" add "$name" --host 127.0.0.1 --port "$(node_port "$station")" \
    --password-file "$station/replication.password" --ca "$certs/ca.pem" "$@"
}
# One round of fetching on the central server in DIR (station names: only those).
central_sync() {
  local central=$1
  shift
  MYSQL_UNIX_PORT=$central/mysqld.sock "$NETWORK_ROOT/scripts/ulmet-network" --conf-dir "$central/conf.d" \
    --state-dir "$central/state" sync "$@"
}
