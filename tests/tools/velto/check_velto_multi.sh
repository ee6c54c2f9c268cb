#!/usr/bin/env bash
# Several mount points in one process, as a supervisor runs velto for a
# network of reference stations: three streams, one of which the caster
# drops and the library brings back by itself 30 s later, and one mount point
# the caster does not have, left to the library's retry (--retry-refused).
# Each mount point's bytes land byte-exact in its own file inside
# --output-dir (".B" must not become a hidden file), the JSON events are
# parsed and checked field by field (stream_checks.py events), and SIGTERM
# stops them all cleanly with the worst ending as exit status.
NEEDS_SANDBOX=1
source "$(dirname "$0")/../lib.sh"

mkdir "$work/sent" "$work/out"
start_caster --mount RTCM3_A --mount .B --mount C-3 --rate 2000 --drop-every 2 --drops 1 \
  --record "$work/sent"
"$VELTO" stream RTCM3_A .B C-3 NOT_THERE --output-dir "$work/out" --json "$work/events.jsonl" \
  --interval 5 --client 9 --retry-refused 2>"$work/velto.log" &
velto_pid=$!

# Until the stats round at 35 s: the dropped stream is back (about 32 s) and
# NOT_THERE's refusal has repeated silently (30 s).
count_stats() { cat "$work/events.jsonl" 2>/dev/null | grep -c '^{"event":"stats"'; }
deadline=$((SECONDS + 60))
while [ "$(count_stats)" -lt 28 ] && [ $SECONDS -lt $deadline ] && kill -0 "$velto_pid"; do
  sleep 0.2
done
kill -TERM "$velto_pid"
wait_for_exit "$velto_pid" 15
check "SIGTERM: exit 5, the worst ending (got $exit_status)" test "$exit_status" = 5
check "one file per mount point, all inside --output-dir" \
  test "$(cd "$work/out" && ls -A | sort | paste -sd' ')" = "%2EB C-3 NOT_THERE RTCM3_A"
python3 "$(dirname "$0")/../stream_checks.py" events "$work/events.jsonl" "$work/velto.log" \
  "$work/caster.log" "$work/sent" "$work/out" || fail "events and files (see above)"
finish
