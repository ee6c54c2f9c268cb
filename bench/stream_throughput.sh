#!/usr/bin/env bash
# velto stream with its RTCM 3 analysis against the library's plain relay
# (bench/velto_relay), both reading one mount point of velto-caster sending
# as fast as it can (--rate 0) into /dev/null: the synthetic station, and
# the real recording of tests/data looped. Three runs of SECONDS each,
# alternating; the medians are compared. Run by bench/run.sh inside its
# network namespace.
#   stream_throughput.sh BUILD_DIR [SECONDS]
set -euo pipefail
dir=$1
seconds=${2:-6}
caster=$dir/tools/velto-caster
velto=$dir/tools/velto
relay=$dir/bench/velto_relay
recording=$(dirname "$0")/../tests/data/GMSD7_20121014.rtcm3
work=$(mktemp -d)
trap 'kill $caster_pid 2>/dev/null; rm -rf "$work"' EXIT

median() { sort -g | sed -n 2p; }

# Bytes per second that one client took, over SECONDS.
relay_rate() {
  "$relay" RTCM3_DEMO /dev/null 2>"$work/relay.log" &
  local pid=$!
  sleep "$seconds"
  kill -INT $pid
  wait $pid
  sed -n 's/^velto_relay: \([0-9]*\) bytes relayed$/\1/p' "$work/relay.log" | awk -v s="$seconds" '{print $1 / s}'
}

velto_rate() {
  "$velto" stream RTCM3_DEMO --output /dev/null --duration "$seconds" --json "$work/events.json" \
    2>/dev/null || true
  python3 -c 'import json, sys
for line in open(sys.argv[1]):
    event = json.loads(line)
    if event["event"] == "summary":
        print(event["bytes"] / float(sys.argv[2]), event["rtcm"]["framing"]["frames"])' "$work/events.json" "$seconds"
}

compare() { # LABEL CASTER-OPTIONS...
  local label=$1
  shift
  "$caster" --rate 0 "$@" 2>/dev/null &
  caster_pid=$!
  sleep 0.5
  local relay_runs=() velto_runs=() frames=0 result
  for run in 1 2 3; do
    relay_runs+=("$(relay_rate)")
    result=$(velto_rate)
    velto_runs+=("${result% *}")
    frames=${result#* }
  done
  kill $caster_pid
  wait $caster_pid 2>/dev/null || true
  local plain analysed
  plain=$(printf '%s\n' "${relay_runs[@]}" | median)
  analysed=$(printf '%s\n' "${velto_runs[@]}" | median)
  awk -v label="$label" -v p="$plain" -v a="$analysed" -v f="$frames" 'BEGIN {
    printf "  %-34s relay %7.1f MB/s   velto stream %7.1f MB/s (%d frames in the last run)   ratio %.2f %s\n",
      label, p / 1e6, a / 1e6, f, a / p, (a / p >= 0.8 ? "(goal >= 0.8) met" : "(goal >= 0.8) NOT MET") }'
}

echo "velto stream with the RTCM 3 analysis vs the plain relay (velto-caster --rate 0, into /dev/null,"
echo "median of 3 runs of $seconds s each)"
compare "synthetic station"
compare "GMSD7 recording, looped" --replay "$recording" --loop
