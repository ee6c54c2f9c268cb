#!/usr/bin/env bash
# A real reference station's recording (tests/data/GMSD7_20121014.rtcm3)
# served by velto-caster and read the way an operator would, with
# `velto stream --json`: the bytes reach the file unchanged, and the facts
# in the JSON summary are the ones known of the recording and confirmed by
# RTKLIB's convbin (tests/tools/analysis/check_recording.py). Its epochs are from
# 2012, so every latency is out of range: flagged, named as far from the
# clock and kept out of the statistics, never averaged in.
NEEDS_SANDBOX=1
source "$(dirname "$0")/../lib.sh"
: "${RECORDING:?path of tests/data/GMSD7_20121014.rtcm3}"

# As fast as the link takes it; at the end of the file the caster hangs up,
# which cuts the recording's unfinished last frame.
start_caster --replay "$RECORDING" --rate 0
"$VELTO" stream RTCM3_DEMO --output "$work/got.rtcm" --json "$work/events.json" \
  --leap-seconds 16 --duration 4 --interval 1 2>"$work/velto.log"
status=$?
check "down at the end (the caster hung up after the file): exit 8 (got $status)" test $status = 8
check "the file arrived byte for byte" cmp -s "$RECORDING" "$work/got.rtcm"
check "the recording's facts in the JSON summary, and convbin agrees" \
  python3 "$(dirname "$0")/check_velto_replay.py" "$work/events.json" "$RECORDING"
# The recording's receiver gives no firmware and no serial number: left out,
# not printed empty.
check "the station told in words, without its empty fields" \
  grep -Eq 'RTCM3_DEMO: station ID 611; antenna .*; receiver TRIMBLE NETR9$' "$work/velto.log"
check "its epochs named as far from the clock, not as a latency" \
  grep -Eq 'RTCM3_DEMO: GPS epoch [0-9.]+ (days|h) (behind|ahead of) the clock: replayed data or a wrong receiver clock' \
  "$work/velto.log"
finish
