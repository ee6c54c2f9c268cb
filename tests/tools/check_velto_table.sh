#!/usr/bin/env bash
# `velto table` as a user runs it to see what a caster offers: one mount
# point per line, in the caster's order, also for a table too long for one
# receive; and a non-zero exit when nothing came back.
NEEDS_SANDBOX=1
source "$(dirname "$0")/lib.sh"

start_caster --mount RTCM3_DEMO --mount SECOND
"$VELTO" table >"$work/table.txt" 2>"$work/table.err"
status=$?
check "two mount points: exit 0 (got $status)" test $status = 0
check "printed one per line, in order" test "$(cat "$work/table.txt")" = $'RTCM3_DEMO\nSECOND'

# A large caster: 300 records, about 45 kB of table, many receives.
mounts=()
for i in $(seq 1 300); do mounts+=(--mount "MOUNT_$i"); done
start_caster "${mounts[@]}"
"$VELTO" table >"$work/big.txt"
check "300 mount points across many blocks, none lost" \
  test "$(cat "$work/big.txt")" = "$(seq -f 'MOUNT_%g' 1 300)"
stop_caster

# Group: why nothing came back, told apart by velto's own probe connection.
table_fails() { # EXIT WHAT REGEX
  "$VELTO" table >"$work/none.txt" 2>"$work/none.err"
  local status=$?
  check "$2: exit $1 (got $status)" test $status = "$1"
  check "$2: nothing on standard output" test ! -s "$work/none.txt"
  check "$2: said so" grep -Eq "$3" "$work/none.err"
}
table_fails 3 "no caster" 'the caster .*:2101 was not reached: Connection refused'
start_answer_caster 'HTTP/1.1 403 Forbidden\r\nServer: \x1b[31mred\r\n\r\n'
table_fails 9 "not a table" 'answered, but not with a source table: "HTTP/1.1 403 Forbidden"$'
start_answer_caster 'SOURCETABLE 200 OK\r\n\r\nENDSOURCETABLE\r\n'
table_fails 10 "empty table" 'sent a source table without any mount point'

# Group: names as a caster may send them: a terminal escape and bytes that
# are not ASCII come out as \xNN, never raw.
start_answer_caster 'SOURCETABLE 200 OK\r\n\r\nSTR;A\x1b[2J;x\r\nSTR;back\\slash\xff;x\r\nENDSOURCETABLE\r\n'
"$VELTO" table >"$work/odd.txt"
check "odd names printed escaped, one per line" \
  test "$(cat "$work/odd.txt")" = 'A\x1B[2J
back\\slash\xFF'
stop_caster
finish
