#!/usr/bin/env bash
# velto-caster as a client other than the library sees it: its answers to
# right and wrong credentials and unknown mount points, its RTCM 3 framing,
# several clients at once, and the misbehaviour switches (drop, stall,
# rate, lifetime) that demonstrations and tests rely on.
NEEDS_SANDBOX=1
source "$(dirname "$0")/../lib.sh"
checks="$(dirname "$0")/caster_checks.py"
probe() { python3 "$checks" "$@" || failures=$((failures + 1)); }

start_caster --mount RTCM3_DEMO --mount SECOND --rate 8000
probe answers
probe concurrent
stop_caster
# Every connection of the two groups sent a request: an "open" line once it
# was answered and a "close" line, each with UTC time, address, request and
# answer.
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z'
for what in open close; do
  check "--log: one $what line per connection" \
    test "$(grep -Ec "^velto-caster: $stamp #[0-9]+ 127\.0\.0\.1:[0-9]+ $what: \"[A-Z]+ [^\"]*\" \(.*\) -> " "$work/caster.log")" -eq 12
done
check "--log: a stream's close line tells what was streamed" \
  grep -Eq ' close: "GET /SECOND" \(NTRIP Client 1.0 #7\) -> ICY 200 OK; streamed [0-9]+ bytes' "$work/caster.log"

start_caster --mount 'RTCM3/A' --mount 'a;b' --mount '!~%41' --rate 8000
probe any_names
start_caster --drop-every 1 --rate 8000 --record "$work/record.bin"
probe dropped 2101 "$work/record.bin"
start_caster --drop-every 1 --drops 1 --rate 8000
probe limited_drops
start_caster --stall-after 1 --rate 20000
probe stalled
start_caster --rate 4000
probe rate

# Group: more idle connections than the caster has descriptors for. It
# caps its connections, backs off when accept fails, and still answers.
stop_caster
: >"$work/caster.log"
(ulimit -n 256 && exec "$VELTO_CASTER" --lifetime 120 2>>"$work/caster.log") &
caster_pid=$!
wait_for_text "$work/caster.log" 'listening on 127\.0\.0\.1' 30
probe flood 2101 "$caster_pid"
stop_caster

# Another port, and a lifetime: the caster goes away by itself.
"$VELTO_CASTER" --port 2102 --lifetime 1 2>"$work/lifetime.log" &
pid=$!
check "--lifetime 1 ends the caster by itself, status 0" \
  eval 'wait_for_exit $pid 5 && [ "$exit_status" = 0 ]'
check "--port 2102 is where it listened" grep -q '127.0.0.1:2102' "$work/lifetime.log"

"$VELTO_CASTER" --port 2102 --rate fast 2>/dev/null
status=$?
check "a bad option value is a usage error (2)" test $status -eq 2
start_caster
"$VELTO_CASTER" --lifetime 5 2>"$work/busy.log"
status=$?
check "a busy port is reported and fails" \
  eval '[ $status -eq 1 ] && grep -q "cannot listen on 127.0.0.1:2101" "$work/busy.log"'
finish
