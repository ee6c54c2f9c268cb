#!/usr/bin/env bash
# Builds and runs the benchmarks: the tools' RTCM 3 analysis on a recording
# (bench_analysis), the library against plain receive loops (velto_bench) and
# against RTKLIB's str2str (velto_peer). The library only talks to port 2101
# of its caster host, so everything runs inside a private network namespace
# with a loopback of its own, where the bench programs own that port without
# disturbing anything on the machine.
#   bench/run.sh [velto_bench options...]     e.g. --only throughput
#   bench/run.sh --only stream                velto stream with 200 mount points
#   bench/run.sh --only analysis              the analysis alone, and velto stream
#                                             with it against the plain relay
#   bench/run.sh --only monitor               velto monitor, 20 mount points, 5 event streams
# Environment: BUILD_DIR (default build-bench), PEER=0 skips the peer run.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build-bench}

if [ -z "${VELTO_BENCH_IN_NAMESPACE:-}" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVELTO_BUILD_BENCH=ON >/dev/null
  cmake --build "$dir" -j"$(nproc)" >/dev/null
  echo "machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p'), kernel $(uname -r)"
  share=-n
  [ "$(id -u)" -eq 0 ] || share=-rn
  exec env VELTO_BENCH_IN_NAMESPACE=1 BUILD_DIR="$dir" unshare $share bash "$0" "$@"
fi

ip link set lo up
only=""
[ "${1:-}" = --only ] && only=${2:-}
if [ -z "$only" ] || [ "$only" = analysis ]; then
  "$dir/bench/bench_analysis"
  [ -x "$dir/tools/velto" ] && bash "$(dirname "$0")/stream_throughput.sh" "$dir"
fi
case "$only" in
  analysis | stream | monitor) ;;
  *) "$dir/bench/velto_bench" "$@" ;;
esac
if { [ -z "$only" ] || [ "$only" = stream ]; } && [ -x "$dir/bench/velto_stream_scale" ]; then
  work=$(mktemp -d)
  "$dir/bench/velto_stream_scale" --velto "$dir/tools/velto" --workdir "$work" \
    --mounts "${STREAM_MOUNTS:-200}" --seconds "${STREAM_SECONDS:-20}"
  rm -rf "$work"
fi

if { [ -z "$only" ] || [ "$only" = monitor ]; } && [ -x "$dir/bench/velto_monitor_load" ]; then
  work=$(mktemp -d)
  "$dir/bench/velto_monitor_load" --velto "$dir/tools/velto" --caster "$dir/tools/velto-caster" \
    --workdir "$work" --mounts "${MONITOR_MOUNTS:-20}" --streams "${MONITOR_STREAMS:-5}" \
    --seconds "${MONITOR_SECONDS:-20}"
  rm -rf "$work"
fi

if [ "${PEER:-1}" != 0 ] && [ "$only" != stream ] && [ "$only" != analysis ] && [ "$only" != monitor ]; then
  if ! command -v str2str >/dev/null; then
    echo "peer comparison skipped: str2str (Debian package rtklib) is not installed"
    exit 0
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # The command-line tool when it is built, and always the minimal relay
  # host of bench/, which writes each block as it arrives.
  client=(--relay "$dir/bench/velto_relay")
  [ -x "$dir/tools/velto" ] && client+=(--velto-tool "$dir/tools/velto")
  "$dir/bench/velto_peer" --workdir "$work" --str2str "$(command -v str2str)" "${client[@]}" \
    --mib "${PEER_MIB:-64}" --messages "${PEER_MESSAGES:-300}"
fi
