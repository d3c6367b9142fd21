# shellcheck shell=bash
# The common part of the web benchmarks (sourced by bash): a private
# server with the schema in a temporary directory, ulmet-web started on it,
# and everything removed at the end. Expects ROOT and BUILD.
#
#   web_bench_start PREFIX   the server (work, MYSQL_UNIX_PORT, sql)
#   web_bench_serve          ulmet-web on a free port (web_pid, url)
DB_SCRIPT=$ROOT/tests/support/mariadb.sh
web_pid=${web_pid:-}

web_bench_cleanup() {
  [ -z "$web_pid" ] || kill "$web_pid" 2>/dev/null || true
  "$DB_SCRIPT" destroy "$work/db" >/dev/null 2>&1 || true
  rm -rf "$work"
}

web_bench_start() {
  [ -x "$BUILD/ulmet-web" ] || { echo "build ulmet-web first (looked in $BUILD)" >&2; exit 1; }
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  trap web_bench_cleanup EXIT
  "$DB_SCRIPT" start "$work/db" "$ROOT/db/schema.sql" >/dev/null
  export MYSQL_UNIX_PORT=$work/db/mysqld.sock
}

sql() { mariadb --defaults-file="$work/db/admin.cnf" UlmetDB -e "$1"; }

web_bench_serve() {
  "$BUILD/ulmet-web" --port 0 >"$work/web.log" 2>&1 &
  web_pid=$!
  url=""
  for _ in $(seq 1 50); do
    url=$(sed -n 's#^ulmet-web: listening on \(http://[0-9.:]*\)/.*#\1#p' "$work/web.log")
    [ -z "$url" ] || break
    sleep 0.1
  done
  [ -n "$url" ] || { cat "$work/web.log" >&2; exit 1; }
}
