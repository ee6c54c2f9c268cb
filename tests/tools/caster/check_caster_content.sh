#!/usr/bin/env bash
# What velto-caster streams, read by a plain client and run through the
# RTCM 3 analysis (rtcm_facts) as it arrives: the synthetic station a demo
# or a dashboard shows, with latencies a loopback really has, and a real
# recording replayed byte for byte, at its own pace or as fast as possible.
NEEDS_SANDBOX=1
source "$(dirname "$0")/../lib.sh"
: "${RTCM_FACTS:?path of the rtcm_facts program}"
: "${RECORDING:?path of tests/data/GMSD7_20121014.rtcm3}"

# The caster's whole answer: the status line alone, as NTRIP 1 casters send it.
answer_head=$'ICY 200 OK\r\n'

# Streams the mount point for SECONDS into FILE (answer head removed); sets
# $closed to yes when the caster closed the connection first.
fetch() { # SECONDS FILE
  local seconds=$1 file=$2 status
  exec 3<>/dev/tcp/127.0.0.1/2101
  printf 'GET /RTCM3_DEMO HTTP/1.1\r\nUser-Agent: NTRIP check\r\nAuthorization: Basic cXdlcnQ6eXVpb3A=\r\n\r\n' >&3
  timeout "$seconds" cat <&3 >"$file.raw"
  status=$?
  exec 3<&-
  closed=no
  [ $status -eq 0 ] && closed=yes
  tail -c +$((${#answer_head} + 1)) "$file.raw" >"$file"
}

# Facts of a rtcm_facts document as Python sees them, one line per
# expression, into the array $got: facts FILE EXPRESSION...
facts() {
  mapfile -t got < <(python3 -c 'import json,os,sys
f = json.load(open(sys.argv[1]))["facts"]
slow = max(1.0, float(os.environ.get("VELTO_TEST_SLOW_HOST") or 1))
for expression in sys.argv[2:]:
    print(eval(expression))' "$@")
}

# Group: the synthetic station, analysed while it streams. Its epochs carry
# the time they were sent, so the latency is the loopback's (well under the
# few hundred milliseconds allowed here for a loaded machine, times the
# factor of an emulated one, VELTO_TEST_SLOW_HOST); twenty times
# the default budget of 1000 bytes per second gives twenty epochs a second;
# the receiver type is whatever --receiver-descriptor said, markup included.
start_caster --rate 20000 --receiver-descriptor '<img src=x onerror=alert(1)>'
exec 4<>/dev/tcp/127.0.0.1/2101
printf 'GET /RTCM3_DEMO HTTP/1.1\r\nAuthorization: Basic cXdlcnQ6eXVpb3A=\r\n\r\n' >&4
timeout 3 cat <&4 | "$RTCM_FACTS" - >"$work/live.json"
exec 4<&-
facts "$work/live.json" \
  'sorted(f["observations"]) == ["BeiDou", "GLONASS", "GPS", "Galileo"]' \
  '35 <= f["observations"]["GPS"]["epochs"] <= 65 and f["framing"]["bytes"] <= 20000 * 3' \
  'f["latency"]["flagged"] == 0 and 0 <= f["latency"]["run"]["min_ms"] and f["latency"]["run"]["mean_ms"] < 100 * slow and f["latency"]["run"]["max_ms"] < 1000 * slow' \
  '(f["station"]["id"], round(f["station"]["position"]["latitude_deg"], 2), round(f["station"]["position"]["longitude_deg"], 2), f["station"]["position"]["antenna_height_m"])' \
  'f["station"]["receiver"]["type"]' \
  '(f["framing"]["crc_rejects"], f["framing"]["bytes_outside_frames"], f["framing"]["malformed_messages"])'
check "GPS, GLONASS, Galileo and BeiDou" test "${got[0]}" = True
check "--rate 20000: about 20 epochs a second over 3 s, within the budget" test "${got[1]}" = True
check "live latency: none flagged, from 0 ms, mean under 100 ms, none over a second" test "${got[2]}" = True
check "the station: id 1000, near Potsdam, antenna 1.5 m" test "${got[3]}" = "(1000, 52.38, 13.07, 1.5)"
check "receiver type as given, markup and all" test "${got[4]}" = '<img src=x onerror=alert(1)>'
check "every frame good (the answer head is the only bytes outside frames)" test "${got[5]}" = "(0, ${#answer_head}, 0)"

# Group: the station's ID. A real station keeps its ID whatever connection
# a client comes on, and so does the synthetic one unless asked for a new
# one each connection (the given ID plus the connection's number).
station_ids() { # CASTER-OPTION...: $ids, the station ID of two connections in turn
  start_caster --rate 20000 "$@"
  ids=
  for n in 1 2; do
    fetch 1.2 "$work/id.rtcm" && "$RTCM_FACTS" "$work/id.rtcm" >"$work/id.json"
    facts "$work/id.json" 'f["station"]["id"]'
    ids+="${got[0]} "
  done
}
station_ids && check "two connections, one station ID ($ids)" test "$ids" = "1000 1000 "
station_ids --station-id 77 --station-per-connection
check "--station-per-connection: a new ID each connection ($ids)" test "$ids" = "78 79 "

# Group: a recording replayed. As fast as possible it arrives byte for
# byte, unfinished last frame included, and the caster then closes.
start_caster --replay "$RECORDING" --rate 0
fetch 10 "$work/flood.rtcm"
check "--replay --rate 0: the file, byte for byte" cmp -s "$RECORDING" "$work/flood.rtcm"
check "and the caster closes at its end" test "$closed" = yes
check "the log says why" grep -q 'end of the replayed file' "$work/caster.log"

# At the pace of its epochs (one a second), 1.6 s give the first two; a
# loaded machine may take long enough to answer that only the first is in.
start_caster --replay "$RECORDING"
fetch 1.6 "$work/paced.rtcm"
check "--replay: paced by the epochs, a prefix of the file" \
  cmp -s "$work/paced.rtcm" <(head -c "$(stat -c %s "$work/paced.rtcm")" "$RECORDING")
"$RTCM_FACTS" "$work/paced.rtcm" >"$work/paced.json"
facts "$work/paced.json" 'f["observations"]["GPS"]["epochs"] in (1, 2)'
check "--replay: one or two epochs in 1.6 s, not more" test "${got[0]}" = True

# Looping starts over after the last whole frame: the joins are clean.
start_caster --replay "$RECORDING" --rate 800000 --loop
fetch 1.2 "$work/loop.rtcm"
"$RTCM_FACTS" "$work/loop.rtcm" >"$work/loop.json"
facts "$work/loop.json" 'f["observations"]["GPS"]["epochs"] > 257 and f["framing"]["crc_rejects"] == 0'
check "--loop: more than one pass, no frame rejected at the joins" test "${got[0]}" = True
stop_caster

# Group: options that cannot be used are usage errors (2).
for bad in "--loop" "--replay $work/none.rtcm" "--replay /dev/null" \
           "--receiver-descriptor 0123456789012345678901234567890123" "--station-id 4096" "--station-id x"; do
  "$VELTO_CASTER" $bad --lifetime 1 2>/dev/null
  status=$?
  check "velto-caster $bad: exit 2 (got $status)" test $status -eq 2
done
finish
