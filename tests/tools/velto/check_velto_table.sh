#!/usr/bin/env bash
# `velto table` as a user runs it to see what a caster offers: one mount
# point per line, in the caster's order, also for a table too long for one
# receive; and a non-zero exit when nothing came back.
NEEDS_SANDBOX=1
source "$(dirname "$0")/../lib.sh"

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

# Group: hostile casters. velto bounds what it collects (10,000 mount points,
# 4 MiB of names) and how long it waits (20 s in all), whatever the library's
# call would go on reading; past a bound it says so and exits 11.
table_hostile() { # MODE WHAT REGEX
  start_answer_caster "$1"
  measured 40 "$work/hostile.txt" "$work/hostile.err" "$VELTO" table
  check "$2: exit 11 (got $exit_status)" test "$exit_status" = 11
  check "$2: over within 25 s (took $took s)" at_most "$took" 25
  check "$2: under $memory_bound_mb MB (peak $peak_mb MB)" test "$peak_mb" -lt "$memory_bound_mb"
  check "$2: nothing on standard output" test ! -s "$work/hostile.txt"
  check "$2: said so" grep -Eq "$3" "$work/hostile.err"
}
table_hostile --endless-table "endless table" 'source table too large or endless: more than 10000 mount points'
table_hostile --dripped-table "table dripped without end" 'source table too large or endless: not complete after 20 s'
table_hostile --long-line "a 1-MiB line" 'sent a source table that is malformed or too long'

# Group: names as a caster may send them: a terminal escape and bytes that
# are not ASCII come out as \xNN, never raw.
start_answer_caster 'SOURCETABLE 200 OK\r\n\r\nSTR;A\x1b[2J;x\r\nSTR;back\\slash\xff;x\r\nENDSOURCETABLE\r\n'
"$VELTO" table >"$work/odd.txt"
check "odd names printed escaped, one per line" \
  test "$(cat "$work/odd.txt")" = 'A\x1B[2J
back\\slash\xFF'
stop_caster
finish
