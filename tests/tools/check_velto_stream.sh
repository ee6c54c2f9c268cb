#!/usr/bin/env bash
# `velto stream` against velto-caster, the way an integrator first tries
# the library: the bytes must arrive byte-exact, every status change must be
# told in words, and Ctrl-C or the end of --duration must stop it cleanly
# with an exit status that says whether the caster ever streamed.
NEEDS_SANDBOX=1
source "$(dirname "$0")/lib.sh"

run_velto() { # LOG ARGS... : starts velto stream in the background -> $velto_pid
  local log=$1
  shift
  "$VELTO" stream "$@" 2>"$log" &
  velto_pid=$!
}

# Lines "status N: meaning" of a log, in order, as "N meaning;..."
status_lines() { sed -n 's/^velto: \[ *[0-9.]* s\] status \(-*[0-9]*\): \(.*\)$/\1 \2/p' "$1" | paste -sd';'; }

# Group: a stream that the caster drops. Everything the caster sent before
# the drop reaches the file byte for byte; the drop is told as "stream
# lost"; Ctrl-C during the reconnect pause ends with "idle" and exit 0.
start_caster --rate 20000 --drop-every 2 --drops 1 --record "$work/sent.bin"
run_velto "$work/drop.log" RTCM3_DEMO --client 7 --output "$work/got.bin"
wait_for_text "$work/drop.log" 'status -4: stream lost' 15 || fail "drop not reported"
kill -INT "$velto_pid"
wait_for_exit "$velto_pid" 10
check "Ctrl-C after streaming exits 0 (got $exit_status)" test "$exit_status" = 0
check "file is byte-exact what the caster sent" cmp -s "$work/sent.bin" "$work/got.bin"
check "and not empty" test -s "$work/got.bin"
check "status words in order: streaming, stream lost, idle" \
  test "$(status_lines "$work/drop.log")" = "1 streaming;-4 stream lost;0 idle"
check "summary counts the RTCM types" \
  grep -Eq 'RTCM frames \(1005x[0-9]+ 1006x[0-9]+ 1033x[0-9]+ 1074x[0-9]+ 1084x[0-9]+ 1094x[0-9]+ 1124x[0-9]+ 1230x[0-9]+\), 0 rejected' "$work/drop.log"
check "summary bytes equal the file size" \
  grep -q "velto: $(stat -c %s "$work/got.bin") bytes" "$work/drop.log"
check "the caster saw client number 7" grep -q 'NTRIP Client 1.0 #7' "$work/caster.log"
check "no live line when standard error is a file" eval '! grep -q $'"'"'\r'"'"' "$work/drop.log"'

# Group: the same to standard output, ended by --duration.
start_caster --rate 20000 --drop-every 1 --drops 1 --record "$work/sent2.bin"
"$VELTO" stream RTCM3_DEMO --duration 2.5 >"$work/stdout.bin" 2>"$work/duration.log"
status=$?
check "--duration ends it, exit 0 (got $status)" test $status = 0
check "standard output is byte-exact" cmp -s "$work/sent2.bin" "$work/stdout.bin"
check "reason given" grep -q 'stopped (end of duration)' "$work/duration.log"

# Group: Ctrl-C and SIGTERM while the data flows: no "stream lost", and
# the stop takes no longer than the library's stop (about two seconds).
start_caster --rate 20000
for signal in INT TERM; do
  run_velto "$work/$signal.log" RTCM3_DEMO --output "$work/$signal.bin"
  wait_for_text "$work/$signal.log" 'status 1: streaming' 10
  sleep 0.5 # let some data flow
  kill -"$signal" "$velto_pid"
  stopped_at=$SECONDS
  wait_for_exit "$velto_pid" 10
  check "SIG$signal while streaming exits 0 (got $exit_status)" test "$exit_status" = 0
  check "SIG$signal stop within 5 s" test $((SECONDS - stopped_at)) -le 5
  check "SIG$signal: streaming then idle, nothing else" \
    test "$(status_lines "$work/$signal.log")" = "1 streaming;0 idle"
  check "SIG$signal: output kept" test -s "$work/$signal.bin"
done

# Group: a reader that goes away (velto stream M | head) ends velto with
# exit 1 instead of killing it or leaving it streaming into nothing.
"$VELTO" stream RTCM3_DEMO --duration 20 2>"$work/pipe.log" | head -c 100 >/dev/null
status=${PIPESTATUS[0]}
check "closed standard output: exit 1 (got $status)" test "$status" = 1
check "closed standard output is explained" grep -q 'writing the output failed' "$work/pipe.log"

# Group: a live line when standard error is a terminal.
script -qfec "$VELTO stream RTCM3_DEMO --output $work/tty.bin --duration 2" "$work/tty.log" >/dev/null </dev/null
check "terminal: \\r-updated live line with the RTCM types" \
  grep -aq $'\r\033\[Kstreaming | .* | .*/s | last block .* ago | [0-9]* frames, RTCM 1005 1006 1033 1074 1084 1094 1124 1230' "$work/tty.log"
stop_caster

# Group: a caster that never streams. The cause is told in words, the
# library keeps retrying, and the exit status says it never streamed (3).
never() { # EXPECTED-STATUS-LINE ARGS...
  local expected=$1
  shift
  "$VELTO" stream "$@" --duration 2 >/dev/null 2>"$work/never.log"
  local status=$?
  check "$expected: exit 3 (got $status)" test $status = 3
  check "$expected: told" grep -q "status $expected" "$work/never.log"
  check "$expected: ends idle" grep -q 'status 0: idle' "$work/never.log"
}
never "-2: connection failed" RTCM3_DEMO
start_caster
never "-5: mount point not found" NO_SUCH_MOUNT
start_caster --credential c29tZW9uZTplbHNl
never "-6: not authorised" RTCM3_DEMO
stop_caster

# Group: refused before any thread runs (-8 on the calling thread): exit 4.
long=$(head -c 2000 /dev/zero | tr '\0' M)
"$VELTO" stream "$long" --duration 5 >/dev/null 2>"$work/long.log"
status=$?
check "over-long mount point refused at once: exit 4 (got $status)" test $status = 4
check "refusal told" grep -q 'status -8: caster not resolved or answer not recognised' "$work/long.log"
# /etc/hosts is the sandbox's private copy (a bind mount of a deleted file);
# emptying it makes the caster's name unresolvable for this namespace only.
if findmnt -n /etc/hosts >/dev/null && [ "$(wc -l </etc/hosts)" = 1 ] &&
   grep -q "^127.0.0.1 localhost" /etc/hosts; then
  saved=$(cat /etc/hosts)
  : >/etc/hosts
  "$VELTO" stream RTCM3_DEMO --duration 5 >/dev/null 2>"$work/unresolved.log"
  status=$?
  echo "$saved" >/etc/hosts
  check "caster name not resolved: exit 4 (got $status)" test $status = 4
else
  fail "not inside the sandbox's private /etc/hosts; unresolved-name check not run"
fi
finish
