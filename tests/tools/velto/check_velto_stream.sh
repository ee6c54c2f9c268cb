#!/usr/bin/env bash
# `velto stream` against velto-caster, the way an integrator first tries
# the library: the bytes must arrive byte-exact, every status change must be
# told in words with its UTC time, and Ctrl-C or the end of --duration must
# stop it cleanly. (How each kind of ending shows in the exit status:
# check_velto_endings.sh.)
NEEDS_SANDBOX=1
source "$(dirname "$0")/../lib.sh"

run_velto() { # LOG ARGS... : starts velto stream in the background -> $velto_pid
  local log=$1
  shift
  "$VELTO" stream "$@" 2>"$log" &
  velto_pid=$!
}

# Lines "velto: TIME [ELAPSED s] MOUNT: status N: meaning" of a log, in
# order, as "N meaning;..." (what follows a ';' left out).
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z'
status_lines() {
  sed -En "s/^velto: $stamp \[ *[0-9.]+ s\] RTCM3_DEMO: status (-?[0-9]+): ([^;]*).*$/\1 \2/p" "$1" | paste -sd';'
}

# Group: a stream that the caster drops. Everything the caster sent before
# the drop reaches the file byte for byte; the drop is told as "stream
# lost"; Ctrl-C during the reconnect pause ends with "idle" and exit 8: the
# stream was down when the run ended.
start_caster --rate 20000 --drop-every 2 --drops 1 --record "$work/sent.bin"
run_velto "$work/drop.log" RTCM3_DEMO --client 7 --output "$work/got.bin"
wait_for_text "$work/drop.log" 'status -4: stream lost' 15 || fail "drop not reported"
kill -INT "$velto_pid"
wait_for_exit "$velto_pid" 10
check "Ctrl-C while the stream is down exits 8 (got $exit_status)" test "$exit_status" = 8
check "file is byte-exact what the caster sent" cmp -s "$work/sent.bin" "$work/got.bin"
check "and not empty" test -s "$work/got.bin"
check "status words in order: streaming, stream lost, idle" \
  test "$(status_lines "$work/drop.log")" = "1 streaming;-4 stream lost;0 idle"
check "the drop announces the library's 30-s pause" \
  grep -q 'RTCM3_DEMO: status -4: stream lost; next attempt in 30 s$' "$work/drop.log"
check "summary counts the RTCM types" \
  grep -Eq 'RTCM frames \(1005x[0-9]+ 1006x[0-9]+ 1033x[0-9]+ 1074x[0-9]+ 1084x[0-9]+ 1094x[0-9]+ 1124x[0-9]+ 1230x[0-9]+\), 0 rejected' "$work/drop.log"
check "summary bytes equal the file size" \
  grep -q "velto: RTCM3_DEMO: $(stat -c %s "$work/got.bin") bytes" "$work/drop.log"
check "the caster saw client number 7" grep -q 'NTRIP Client 1.0 #7' "$work/caster.log"
check "no live line when standard error is a file" eval '! grep -q $'"'"'\r'"'"' "$work/drop.log"'

# Group: the same to standard output, ended by --duration, the stream back.
start_caster --rate 20000 --record "$work/sent2.bin"
"$VELTO" stream RTCM3_DEMO --duration 2.5 >"$work/stdout.bin" 2>"$work/duration.log"
status=$?
check "--duration ends it, exit 0 (got $status)" test $status = 0
# The caster goes on sending after velto stops: what velto wrote must be
# the beginning of what was sent.
check "standard output is byte-exact, as far as it goes" \
  eval 'test -s "$work/stdout.bin" && cmp -s -n "$(stat -c %s "$work/stdout.bin")" "$work/sent2.bin" "$work/stdout.bin"'
check "reason given" grep -q 'stopped (end of duration) after [0-9.]* s, exit status 0$' "$work/duration.log"

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
check "closed standard output is explained" grep -q 'RTCM3_DEMO: writing the output failed: Broken pipe' "$work/pipe.log"

# Group: a live line when standard error is a terminal, with the countdown
# to the library's next attempt once the stream is lost.
start_caster --rate 20000 --drop-every 1.5 --drops 1
script -qfec "$VELTO stream RTCM3_DEMO --output $work/tty.bin --duration 3" "$work/tty.log" >/dev/null </dev/null
check "terminal: \\r-updated live line with the RTCM types" \
  grep -aq $'\r\033\[Kstreaming | .* | .*/s | last block .* ago | [0-9]* frames, RTCM 1005 1006 1033 1074 1084 1094 1124 1230' "$work/tty.log"
check "terminal: after the drop, the countdown to the next attempt" \
  grep -aEq $'\r\033\\[Kstream lost \\| .* \\| next attempt in (29|30|28) s' "$work/tty.log"
stop_caster

finish
