# shellcheck shell=bash
# Shell side of the station's database login (sourced by ulmet-plot and
# install-db). Which option file is read, the checks it must pass and the
# keys it may set are the programs' own rules, applied by `ulmet-db
# options` (see ulmet-db(1)); these functions only find that program and
# pass its answers on.

# The ulmet-db program: in ULMET_BIN_DIR (a build directory), in the bin
# directory of the installation this file belongs to (share/ulmet), in the
# source tree's build/, else on PATH.
ulmet_db_program() {
  local dir candidate
  dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  for candidate in ${ULMET_BIN_DIR:+"$ULMET_BIN_DIR/ulmet-db"} "$dir/../../bin/ulmet-db" \
    "$dir/../build/ulmet-db"; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  if command -v ulmet-db; then return 0; fi
  echo "ulmet-db not found (give its directory in ULMET_BIN_DIR)" >&2
  return 1
}

# The value of `key` in settings text $1 (empty when not set).
ulmet_setting() {
  local line
  while IFS= read -r line; do
    if [ "${line%%=*}" = "$2" ]; then
      echo "${line#*=}"
      return 0
    fi
  done <<<"$1"
}

# Writes a [client] option file $1 (mode 0600) for the mariadb client: the
# option file's login, the built-in one for the keys it does not set.
ulmet_client_file() {
  local program
  program=$(ulmet_db_program) || return 1
  "$program" options --client-file "$1"
}
