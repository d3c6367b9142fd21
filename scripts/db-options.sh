# shellcheck shell=bash
# Shell side of the station's database login (sourced by ulmet-plot and
# install-db): the option file named by ULMET_DB_CONFIG, else
# /etc/ulmet/db.cnf when it exists; group [ulmet]; keys user, password,
# host, port, socket, database. The file is read with the client tools'
# own reader (my_print_defaults), which also rejects a malformed file.

# The option file in use, or nothing.
ulmet_option_file() {
  if [ -n "${ULMET_DB_CONFIG:-}" ]; then
    echo "$ULMET_DB_CONFIG"
  elif [ -e /etc/ulmet/db.cnf ]; then
    echo /etc/ulmet/db.cnf
  fi
}

# Prints "key=value" for every key that the option file in use sets (none
# without a file). A file that is missing, not a regular file, unreadable,
# malformed or holding another key in [ulmet] is an error naming it.
ulmet_db_settings() {
  local file line key
  file=$(ulmet_option_file)
  [ -n "$file" ] || return 0
  if [ ! -f "$file" ] || [ ! -r "$file" ]; then
    echo "database option file $file: missing, not a regular file or not readable" >&2
    return 1
  fi
  # As the programs check it: whoever may change the file chooses the
  # login, an include would read files nobody checked, and without [ulmet]
  # the built-in login would be used silently.
  local owner mode
  owner=$(stat -c %u "$file")
  mode=$(stat -c %a "$file")
  if [ "$owner" != 0 ] && [ "$owner" != "$(id -u)" ]; then
    echo "database option file $file: owned by neither root nor the user running this program" >&2
    return 1
  fi
  if (((8#$mode & 8#022) != 0)); then
    echo "database option file $file: writable by group or others" >&2
    return 1
  fi
  if grep -qE '^[[:space:]]*!' "$file"; then
    echo "database option file $file: includes other files" >&2
    return 1
  fi
  if ! grep -qE '^[[:space:]]*\[[[:space:]]*ulmet[[:space:]]*\]' "$file"; then
    echo "database option file $file: no [ulmet] group" >&2
    return 1
  fi
  local out
  if ! out=$(my_print_defaults --defaults-file="$file" ulmet 2>&1); then
    echo "database option file $file: ${out%%$'\n'*}" >&2
    return 1
  fi
  # The groups that the client library reads besides [ulmet] may hold only
  # settings that change neither the login nor what the client loads.
  local others
  others=$(my_print_defaults --defaults-file="$file" client client-server client-mariadb 2>&1) || true
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    key=${line#--}
    key=${key%%=*}
    key=${key//_/-}
    case "$key" in
    default-character-set | ssl | ssl-ca | ssl-capath | ssl-cert | ssl-key | ssl-cipher | ssl-crl | \
      ssl-crlpath | tls-version | ssl-verify-server-cert) ;;
    *)
      echo "database option file $file: key '$key' outside [ulmet] (only [ulmet] may hold a login or client setting)" >&2
      return 1
      ;;
    esac
  done <<<"$others"
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    key=${line#--}
    key=${key%%=*}
    case "$key" in
    user | password | host | port | socket | database) echo "${line#--}" ;;
    *)
      echo "database option file $file: unknown key '$key' in [ulmet]" >&2
      return 1
      ;;
    esac
  done <<<"$out"
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

# Writes a [client] option file $2 for the mariadb client from settings
# text $1, the built-in login filling the keys not set; mode 0600.
ulmet_client_file() {
  local key value
  (
    umask 077
    echo "[client]"
    for key in user password database host port socket; do
      value=$(ulmet_setting "$1" "$key")
      if [ -z "$value" ] && ! grep -q "^$key=" <<<"$1"; then
        case "$key" in
        user) value=root ;;
        password) value=kzqvwp ;;
        database) value=UlmetDB ;;
        *) continue ;;
        esac
      fi
      value=${value//\\/\\\\}
      echo "$key=\"${value//\"/\\\"}\""
    done
  ) >"$2"
}
