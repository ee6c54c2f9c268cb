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

"$VELTO" table >"$work/none.txt" 2>"$work/none.err"
status=$?
check "no caster: exit 3 (got $status)" test $status = 3
check "no caster: nothing on standard output" test ! -s "$work/none.txt"
check "no caster: said so" grep -q 'no mount points came back' "$work/none.err"
finish
