# shellcheck shell=bash
# libfaketime for the scripts that run programs on a shifted clock
# (sourced by bash).
#
#   faketime_library    prints the library's path; status 1 when it is not
#                       installed
faketime_library() {
  local f
  for f in /usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 \
    /usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1 /usr/lib/faketime/libfaketime.so.1; do
    if [ -r "$f" ]; then
      echo "$f"
      return 0
    fi
  done
  return 1
}
