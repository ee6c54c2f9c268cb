#!/usr/bin/env bash
# How a run of `velto stream` ends, as a supervisor (systemd, cron) sees it:
# every way of ending has an exit status of its own, the JSON "exit" event
# says the same, a permanent refusal ends the run at once with the reason
# (and, for a mount point that is not there, the names on offer), network
# trouble is left to the library's retry, and nothing a caster sends reaches
# the terminal raw.
NEEDS_SANDBOX=1
source "$(dirname "$0")/../lib.sh"

# ends EXIT MAX-SECONDS WHAT ARGS...: runs velto stream to its end; its
# standard error in $work/run.log, its events in $work/run.jsonl.
ends() {
  local expected=$1 most=$2 what=$3
  shift 3
  local began=$SECONDS
  "$VELTO" stream "$@" --no-data --json "$work/run.jsonl" 2>"$work/run.log"
  local status=$?
  took=$((SECONDS - began))
  check "$what: exit $expected (got $status)" test "$status" = "$expected"
  check "$what: over within $most s (took $took s)" test "$took" -le "$most"
  local told
  told=$(tail -n 1 "$work/run.jsonl" | sed -n 's/^{"event":"exit",.*"exit_status":\([0-9]*\)}$/\1/p')
  check "$what: the exit event says $expected too (got $told)" test "$told" = "$expected"
}

# Group: permanent refusals end the run at once, whatever the duration. The
# bounds leave room for a loaded machine (a sanitizer build beside other
# tests) and stay well under the library's 30 s pause before a retry.
start_caster --credential c29tZW9uZTplbHNl
ends 6 15 "401" RTCM3_DEMO
check "401: told in words" grep -q 'RTCM3_DEMO: status -6: not authorised$' "$work/run.log"
ends 6 15 "401 with --retry-refused" RTCM3_DEMO --retry-refused --duration 3
check "--retry-refused waits for the end of the run" test "$took" -ge 3
check "--retry-refused: the library's retry is announced" \
  grep -q 'status -6: not authorised; next attempt in 30 s' "$work/run.log"

# A source table as the answer means "not found". Its names include bytes a
# terminal would act on (ESC [2J clears the screen) and bytes that are not
# UTF-8: the offer must show them escaped, and the JSON line must parse.
start_answer_caster 'SOURCETABLE 200 OK\r\n\r\nSTR;OTHER;x\r\nSTR;RTCM3_DEMO;x\r\nSTR;\x1b[2J\xffEVIL;x\r\nSTR;RTCM3_DEMX;x\r\nENDSOURCETABLE\r\n'
ends 5 15 "not found" RTCM3_DEMP
check "not found: the closest names are offered first" \
  grep -q 'RTCM3_DEMP: the caster offers RTCM3_DEMO, RTCM3_DEMX, OTHER, \\x1B\[2J\\xFFEVIL (closest first)' "$work/run.log"
check "not found: no raw escape byte reaches standard error" eval '! grep -q $'"'"'\x1b'"'"' "$work/run.log"'
check "not found: the offered event parses, odd bytes replaced" python3 - "$work/run.jsonl" <<'PY'
import json, sys
offered = [e for e in map(json.loads, open(sys.argv[1], encoding="utf-8")) if e["event"] == "offered"]
assert offered[0]["mount_points"] == ["RTCM3_DEMO", "RTCM3_DEMX", "OTHER", "\x1b[2J\ufffdEVIL"], offered
PY
# Group: a "not found" whose source table never ends. The look-up of the
# names on offer is bounded (10,000 names, 20 s); a run waits for it only
# that long, and a signal ends the run at once, summary and exit event
# written, whatever the library's call is still reading.
offer_of() { # EVENTS: the offered event's total and completeness
  python3 -c 'import json, sys
o = [e for e in map(json.loads, open(sys.argv[1], encoding="utf-8")) if e["event"] == "offered"]
print(o[0]["total"] if o else "none", o[0].get("complete") if o else "none")' "$1"
}
start_answer_caster --404-then-endless
measured 40 "$work/endless.out" "$work/run.log" "$VELTO" stream RTCM3_DEMO --no-data --json "$work/run.jsonl"
check "404, endless table: exit 5 (got $exit_status)" test "$exit_status" = 5
check "404, endless table: over within 15 s (took $took s)" at_most "$took" 15
check "404, endless table: under $memory_bound_mb MB (peak $peak_mb MB)" test "$peak_mb" -lt "$memory_bound_mb"
check "404, endless table: the offer says so" \
  grep -q 'RTCM3_DEMO: source table too large or endless; .*closest first' "$work/run.log"
check "404, endless table: 10000 names offered, marked incomplete (got $(offer_of "$work/run.jsonl"))" \
  test "$(offer_of "$work/run.jsonl")" = "10000 False"

start_answer_caster --404-then-dripped
# Left alone, the run ends once the look-up's 20 s are over.
alone_began=$SECONDS
"$VELTO" stream RTCM3_DEMO --no-data --json "$work/alone.jsonl" 2>"$work/alone.log" &
alone_pid=$!
"$VELTO" stream RTCM3_DEMO --no-data --json "$work/drip.jsonl" 2>"$work/drip.log" &
velto_pid=$!
wait_for_text "$work/drip.log" 'status -5: mount point not found' 15
sleep 1.5 # the look-up is under way, its caster dripping
kill -INT "$velto_pid"
began=$(date +%s%N)
wait_for_exit "$velto_pid" 20
took_ms=$((($(date +%s%N) - began) / 1000000))
check "404, dripped table: SIGINT ends the run within 2 s (took $took_ms ms)" test "$took_ms" -le 2000
check "404, dripped table: exit 5 (got $exit_status)" test "$exit_status" = 5
check "404, dripped table: summary and exit event written" \
  eval 'grep -q "\"event\":\"summary\"" "$work/drip.jsonl" && tail -n 1 "$work/drip.jsonl" | grep -q "\"event\":\"exit\",.*\"reason\":\"signal SIGINT\""'
wait_for_exit "$alone_pid" 40
took=$((SECONDS - alone_began))
check "404, dripped table, left alone: exit 5 (got $exit_status)" test "$exit_status" = 5
check "404, dripped table, left alone: over within 25 s (took $took s)" test "$took" -le 25
check "404, dripped table, left alone: the names so far, marked incomplete" \
  eval '[ "$(offer_of "$work/alone.jsonl" | cut -d" " -f2)" = False ]'

start_answer_caster 'HTTP/1.1 501 Not Implemented\r\n\r\n'
ends 7 15 "501" RTCM3_DEMO
# Mount points that look like paths still get their files inside the
# directory, and none hidden.
mkdir "$work/d"
(cd "$work/d" && "$VELTO" stream ../up/x .hidden --output-dir files 2>/dev/null)
check "file-safe names inside --output-dir" \
  test "$(cd "$work/d" && find . | sort | paste -sd' ')" = ". ./files ./files/%2E.%2Fup%2Fx ./files/%2Ehidden"

# Group: network trouble, and answers the library does not know (403), are
# left to the library's retry until the run ends.
start_answer_caster 'HTTP/1.1 403 Forbidden\r\n\r\n'
ends 3 15 "403" RTCM3_DEMO --duration 2
check "403: answer not recognised, retried" \
  grep -q 'status -8: answer not recognised; next attempt in 30 s' "$work/run.log"
stop_caster
ends 3 15 "no caster" RTCM3_DEMO --duration 2
check "no caster: connection failed" grep -q 'status -2: connection failed' "$work/run.log"

# Group: a stream that was down when the run ended, and the worst of several
# endings. "--" lets a mount point begin with a dash.
start_caster --mount -DASH --mount RTCM3_DEMO
"$VELTO" stream --no-data --duration 4 -- -DASH 2>"$work/down.log" &
velto_pid=$!
wait_for_text "$work/down.log" 'status 1: streaming' 10
stop_caster
wait_for_exit "$velto_pid" 10
check "streamed, then down at the end: exit 8 (got $exit_status)" test "$exit_status" = 8
check "-- ends the options: the caster was asked for -DASH" grep -q 'GET /-DASH' "$work/caster.log"
start_caster --mount RTCM3_DEMO
ends 5 15 "one of two not found" RTCM3_DEMO NO_SUCH --duration 2
check "the other one streamed to the end" grep -q 'RTCM3_DEMO: streaming until stopped at [0-9.]* s' "$work/run.log"
check "the refused one stopped when refused, not at the end of the run" \
  grep -Eq '^velto: NO_SUCH: mount point not found; stopped at 0\.[0-9] s' "$work/run.log"
stop_caster

# Group: refused before any thread runs (-8 from VeltoStart).
ends 4 10 "mount point too long" "$(head -c 2000 /dev/zero | tr '\0' M)"
check "too long: told" grep -q 'status -8: refused at start' "$work/run.log"
# /etc/hosts is the sandbox's private copy (a bind mount of a deleted file);
# emptying it makes the caster's name unresolvable for this namespace only.
if findmnt -n /etc/hosts >/dev/null && [ "$(wc -l </etc/hosts)" = 1 ]; then
  saved=$(cat /etc/hosts)
  : >/etc/hosts
  ends 4 10 "caster name not resolved" RTCM3_DEMO --duration 20
  "$VELTO" table >/dev/null 2>"$work/table.log"
  status=$?
  echo "$saved" >/etc/hosts
  check "table, name not resolved: exit 4 (got $status)" test "$status" = 4
else
  fail "not inside the sandbox's private /etc/hosts; unresolved-name checks not run"
fi
finish
