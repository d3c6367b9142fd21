#!/bin/sh
# Starts and stops a private MariaDB server that lives entirely in one
# directory (data, Unix socket, pid and log files). It never touches the
# machine's own database service and works as root or as an ordinary user.
#
#   mariadb.sh start DIR [SCHEMA]   start (initialising DIR on first use),
#                                   set the account root@localhost to its
#                                   password and load SCHEMA
#   mariadb.sh stop DIR             stop the server, keep its data
#   mariadb.sh destroy DIR          stop the server and remove DIR
#
# Clients reach it with MYSQL_UNIX_PORT=DIR/mysqld.sock.
#
# By default the server has no networking and no binary log. When
# DIR/server.cnf exists, it is the server's option file instead (it may
# include a conf.d directory): networking, binary log and TLS are then what
# it says.
set -eu

cmd=${1:?usage: mariadb.sh start|stop|destroy DIR [SCHEMA]}
dir=${2:?usage: mariadb.sh start|stop|destroy DIR [SCHEMA]}
schema=${3:-}
PASSWORD=kzqvwp
PATH=$PATH:/usr/sbin:/usr/local/sbin

sock="$dir/mysqld.sock"
pidfile="$dir/mysqld.pid"

user_opt=""
if [ "$(id -u)" = 0 ]; then user_opt="--user=root"; fi

# The root login with the test password, in a private option file of the
# server's directory, never on a command line.
admin_cnf() {
  [ -f "$dir/admin.cnf" ] ||
    (umask 077 && printf '[client]\nuser=root\npassword=%s\n' "$PASSWORD" >"$dir/admin.cnf")
  echo "$dir/admin.cnf"
}

server_pid() {
  pid=$(cat "$pidfile" 2>/dev/null) && [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

stop_server() {
  pid=$(server_pid) || return 0
  mariadb-admin --defaults-file="$(admin_cnf)" -S "$sock" shutdown >/dev/null 2>&1 ||
    mariadb-admin --no-defaults -S "$sock" -uroot shutdown >/dev/null 2>&1 ||
    kill "$pid" 2>/dev/null || true
  i=0
  while kill -0 "$pid" 2>/dev/null; do
    i=$((i + 1))
    [ $i -le 300 ] || kill -9 "$pid" 2>/dev/null || true
    sleep 0.1
  done
}

case "$cmd" in
start)
  # A temporary directory of the server's own: a server that starts deletes
  # every "#sql..." file of its temporary directory, which would pull the
  # temporary tables from under another server bootstrapping beside it.
  mkdir -p "$dir/tmp"
  if server_pid >/dev/null; then
    echo "mariadb.sh: a server already runs in $dir" >&2
  else
    fresh=0
    if [ ! -d "$dir/data/mysql" ]; then
      rm -rf "$dir/data"
      mariadb-install-db --no-defaults $user_opt --datadir="$dir/data" --tmpdir="$dir/tmp" \
        --auth-root-authentication-method=normal --skip-test-db \
        >"$dir/install.log" 2>&1 || {
        cat "$dir/install.log" >&2
        exit 1
      }
      fresh=1
    fi
    rm -f "$sock"
    if [ -f "$dir/server.cnf" ]; then
      options="--defaults-file=$dir/server.cnf"
    else
      options="--no-defaults --skip-networking --skip-log-bin"
    fi
    # shellcheck disable=SC2086 # $options holds several options
    mariadbd $options $user_opt --datadir="$dir/data" --tmpdir="$dir/tmp" --socket="$sock" \
      --pid-file="$pidfile" --log-error="$dir/error.log" \
      --innodb-buffer-pool-size=64M \
      --character-set-server=utf8mb4 </dev/null >/dev/null 2>&1 &
    i=0
    until mariadb-admin --defaults-file="$(admin_cnf)" -S "$sock" ping >/dev/null 2>&1 ||
      mariadb-admin --no-defaults -S "$sock" -uroot ping >/dev/null 2>&1; do
      i=$((i + 1))
      if [ $i -gt 600 ]; then
        echo "mariadb.sh: the server in $dir did not start" >&2
        cat "$dir/error.log" >&2 || true
        exit 1
      fi
      sleep 0.1
    done
    [ $fresh = 0 ] || printf "ALTER USER root@localhost IDENTIFIED BY '%s'; FLUSH PRIVILEGES;\n" \
      "$PASSWORD" | mariadb --no-defaults -S "$sock" -uroot
  fi
  [ -z "$schema" ] || mariadb --defaults-file="$(admin_cnf)" -S "$sock" <"$schema"
  ;;
stop) stop_server ;;
destroy) stop_server && rm -rf "$dir" ;;
*) echo "usage: mariadb.sh start|stop|destroy DIR [SCHEMA]" >&2 && exit 2 ;;
esac
