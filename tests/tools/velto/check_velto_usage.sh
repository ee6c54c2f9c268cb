#!/usr/bin/env bash
# The tools as a newcomer meets them: --help with an example for each
# command, and a usage error (exit 2) rather than a network attempt for a
# command line that makes no sense. No network needed.
source "$(dirname "$0")/../lib.sh"

for command in "" "table" "stream"; do
  out=$("$VELTO" $command --help 2>&1)
  status=$?
  check "velto $command --help: exit 0" test $status = 0
  check "velto $command --help: has an example" grep -q 'Example' <<<"$out"
done
help=$("$VELTO" stream --help)
for status in 0 1 3 4 5 6 7 8; do
  check "stream --help documents exit status $status" grep -Eq "^ +$status  [a-z]" <<<"$help"
done
out=$("$VELTO_CASTER" --help)
check "velto-caster --help has an example" grep -q 'Example' <<<"$out"
check "velto --version names the library release" \
  eval '"$VELTO" --version | grep -q "library release 2018-06-19"'
check "velto-caster --version" eval '"$VELTO_CASTER" --version | grep -Eq "^velto-caster [0-9]+\.[0-9]+\.[0-9]+$"'

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
usage_error "unknown option" "$VELTO" stream A --speed 3
usage_error "duration not a number" "$VELTO" stream A --duration soon
usage_error "duration zero" "$VELTO" stream A --duration 0
usage_error "interval zero" "$VELTO" stream A --interval 0 --json x
usage_error "table with an argument" "$VELTO" table extra
usage_error "caster: unknown option" "$VELTO_CASTER" --colour
usage_error "caster: port out of range" "$VELTO_CASTER" --port 70000
usage_error "caster: mount name with a space" "$VELTO_CASTER" --mount 'A B'
usage_error "caster: empty credential" "$VELTO_CASTER" --credential ''

# Group: input that would reach the caster's request line changed, or a
# number the library would send differently, is refused before the library
# is called (a refused run never reaches the network: exit 2 at once).
usage_error "mount point with CR LF (header injection)" \
  "$VELTO" stream $'RTCM3_DEMO HTTP/1.0\r\nX-Injected: yes\r\n\r\n'
usage_error "mount point with a space" "$VELTO" stream "A B"
usage_error "empty mount point" "$VELTO" stream ""
usage_error "mount point not ASCII" "$VELTO" stream $'caf\xc3\xa9'
usage_error "client number below 0" "$VELTO" stream A --client -1
usage_error "client number above 2147483647" "$VELTO" stream A --client 2147483648
usage_error "client not a number" "$VELTO" stream A --client seven
"$VELTO" stream $'A\e]0;owned\aB' 2>"$work/escape.log"
check "a control character on the command line is printed escaped" \
  grep -qF "'A\x1B]0;owned\x07B' is not a mount point" "$work/escape.log"

# Group: outputs that cannot work, refused up front.
usage_error "two mount points, one standard output" "$VELTO" stream A B
usage_error "two mount points, --output without %m" "$VELTO" stream A B --output x.rtcm
usage_error "--output with a stray %" "$VELTO" stream A --output 'x%d'
usage_error "--output and --output-dir" "$VELTO" stream A --output x --output-dir d
usage_error "the same mount point twice" "$VELTO" stream A A --output-dir d
usage_error "JSON and data both on standard output" "$VELTO" stream A --json -
usage_error "--quiet and --verbose" "$VELTO" stream A -q -v --no-data
script -qfec "$VELTO stream A" "$work/tty.log" >/dev/null </dev/null
check "binary data to a terminal is refused, with a hint" \
  grep -q 'refusing to write the binary stream to a terminal; use --output FILE, a pipe, or --force' "$work/tty.log"
finish
