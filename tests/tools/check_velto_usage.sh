#!/usr/bin/env bash
# The tools as a newcomer meets them: --help with an example for each
# command, and a usage error (exit 2) rather than a network attempt for a
# command line that makes no sense. No network needed.
source "$(dirname "$0")/lib.sh"

for command in "" "table" "stream"; do
  out=$("$VELTO" $command --help 2>&1)
  status=$?
  check "velto $command --help: exit 0" test $status = 0
  check "velto $command --help: has an example" grep -q 'Example' <<<"$out"
done
check "stream --help documents the exit statuses" \
  eval '"$VELTO" stream --help | grep -q "never streamed"'
out=$("$VELTO_CASTER" --help)
check "velto-caster --help has an example" grep -q 'Example' <<<"$out"
check "velto --version names the library release" \
  eval '"$VELTO" --version | grep -q "library release 2018-06-19"'

usage_error() { # DESCRIPTION ARGS...
  local what=$1
  shift
  "$@" >/dev/null 2>&1
  local status=$?
  check "$what: exit 2 (got $status)" test $status = 2
}
usage_error "no command" "$VELTO"
usage_error "unknown command" "$VELTO" fetch
usage_error "stream without mount point" "$VELTO" stream
usage_error "two mount points" "$VELTO" stream A B
usage_error "unknown option" "$VELTO" stream A --speed 3
usage_error "duration not a number" "$VELTO" stream A --duration soon
usage_error "duration zero" "$VELTO" stream A --duration 0
usage_error "client not a number" "$VELTO" stream A --client seven
usage_error "table with an argument" "$VELTO" table extra
usage_error "caster: unknown option" "$VELTO_CASTER" --colour
usage_error "caster: port out of range" "$VELTO_CASTER" --port 70000
usage_error "caster: mount name with a ;" "$VELTO_CASTER" --mount 'A;B'
finish
