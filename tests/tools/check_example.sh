#!/usr/bin/env bash
# The C example as an integrator reads and runs it: against a live caster
# it lists the table, streams, and shuts down in the documented order, so
# its status lines end with streaming (1) and then idle (0).
NEEDS_SANDBOX=1
source "$(dirname "$0")/lib.sh"
: "${MINIMAL_HOST:?path of the example}"

start_caster --rate 8000
"$MINIMAL_HOST" RTCM3_DEMO 2 >"$work/example.out" 2>&1
status=$?
check "example exits 0 (got $status)" test $status = 0
check "example lists the mount point" grep -qx 'mount point RTCM3_DEMO' "$work/example.out"
check "example reports 1 then 0" \
  test "$(grep '^status' "$work/example.out" | paste -sd,)" = "status 1,status 0"
check "example received bytes" grep -Eq '^[1-9][0-9]* bytes from RTCM3_DEMO' "$work/example.out"

"$MINIMAL_HOST" NO_SUCH_MOUNT 1 >"$work/missing.out" 2>&1
status=$?
check "unknown mount point: exit 1, status -5 then 0" \
  eval '[ $status = 1 ] && [ "$(grep "^status" "$work/missing.out" | paste -sd,)" = "status -5,status 0" ]'
finish
