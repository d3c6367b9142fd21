#!/bin/sh
# The acquisition daemon carries no retrieval, health or clock-setting
# code: none of their functions is defined in the binary.
#   corvana-symbols.sh CORVANA
set -eu
found=$(nm -C --defined-only "$1" | grep -E 'runMistrel|retrieveMinute|backfill::|health::|parseGpsLogTime' || true)
if [ -n "$found" ]; then
  echo "Corvana links code it must not:" >&2
  echo "$found" >&2
  exit 1
fi
