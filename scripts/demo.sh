#!/usr/bin/env bash
# The whole demonstration, on a fresh machine, in one command:
#   1. build the library and the two tools,
#   2. start velto-caster (a local NTRIP caster) in the background,
#   3. `velto table`: the caster's mount points,
#   4. `velto stream`: about 40 s in all, with one drop forced by the caster
#      after 5 s and the library's own reconnection 30 s later,
#   5. stop everything and print a summary (bytes, frames, status changes).
# Takes about a minute after the build. Needs no terminal; with one, the
# stream shows its live status line.
#
#   scripts/demo.sh [--build-dir DIR]
#
# When it can, it runs the caster and the client in a network namespace of
# their own, so that nothing else on the machine is involved and port 2101
# is surely free; otherwise it uses the machine's loopback.
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."

build=build-demo
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=${2:?--build-dir needs a directory}; shift 2 ;;
    --build-dir=*) build=${1#*=}; shift ;;
    --inside) inside=1; shift ;;
    -h|--help) sed -n '2,16p' "$self" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown argument $1" >&2; exit 2 ;;
  esac
done

mount_point=RTCM3_DEMO
drop_after=5      # seconds of streaming before the caster drops the link
stream_for=42     # the library reconnects 30 s after the drop; then ~6 s more
demo_dir=$build/demo

if [ -z "${inside:-}" ]; then
  bash scripts/install-deps.sh --minimal
  echo "== Building (cmake -S . -B $build && cmake --build $build)"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELTO_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target velto velto-caster
  rm -rf "$demo_dir"
  mkdir -p "$demo_dir"

  # A private network namespace: its own loopback, its own /etc/hosts.
  flags=(--net --mount)
  [ "$(id -u)" -ne 0 ] && flags+=(--map-root-user)
  if command -v ip >/dev/null && unshare "${flags[@]}" true 2>/dev/null; then
    exec unshare "${flags[@]}" --propagation private -- bash "$self" --build-dir "$build" --inside
  fi
  echo "== (no network namespace here: using this machine's loopback)"
  inside=0
fi

velto=$build/tools/velto
caster=$build/tools/velto-caster
caster_host=$(sed -n 's/^VELTO_CASTER_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
caster_host=${caster_host:-localhost}

if [ "$inside" = 1 ]; then
  ip link set lo up
  printf '127.0.0.1 localhost %s\n' "$caster_host" >"$demo_dir/hosts"
  printf 'hosts: files\n' >"$demo_dir/nsswitch.conf"
  mount --bind "$demo_dir/hosts" /etc/hosts
  mount --bind "$demo_dir/nsswitch.conf" /etc/nsswitch.conf
elif [ "$caster_host" != localhost ] && [[ ! $caster_host =~ ^127\. ]]; then
  echo "demo: this build talks to the caster $caster_host, not to this machine;" >&2
  echo "demo: without a network namespace the demonstration cannot run here." >&2
  exit 1
fi

caster_pid=
cleanup() { [ -n "$caster_pid" ] && kill "$caster_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

echo "== Starting velto-caster on 127.0.0.1:2101 (drops the stream once, after ${drop_after} s)"
"$caster" --mount "$mount_point" --mount RTCM3_SPARE --rate 2000 --drop-every "$drop_after" \
  --drops 1 --lifetime 90 --log --record "$demo_dir/sent.rtcm" 2>"$demo_dir/caster.log" &
caster_pid=$!
for _ in $(seq 100); do
  grep -qs listening "$demo_dir/caster.log" && break
  kill -0 "$caster_pid" 2>/dev/null || { cat "$demo_dir/caster.log" >&2; exit 1; }
  sleep 0.1
done

echo "== velto table"
"$velto" table | tee "$demo_dir/table.txt"

echo "== velto stream $mount_point --duration $stream_for  (bytes go to $demo_dir/demo.rtcm)"
echo "   the caster drops the link after ${drop_after} s; the library reconnects 30 s later"
command=("$velto" stream "$mount_point" --client 1 --output "$demo_dir/demo.rtcm" --duration "$stream_for")
set +e
if [ -t 1 ] && command -v script >/dev/null; then
  # A terminal for velto's standard error, so that it draws its live line.
  script -qfec "$(printf '%q ' "${command[@]}")" "$demo_dir/stream.log" </dev/null
  velto_status=$?
else
  "${command[@]}" 2>&1 | tee "$demo_dir/stream.log"
  velto_status=${PIPESTATUS[0]}
fi
set -e
kill "$caster_pid" 2>/dev/null
wait "$caster_pid" 2>/dev/null || true
caster_pid=

log=$(tr -d '\r' <"$demo_dir/stream.log")
changes=$(sed -n "s/^velto: $mount_point: status changes: //p" <<<"$log" | tail -n1)
frames=$(sed -n "s/^velto: $mount_point: .* blocks; \([0-9]*\) RTCM frames \(.*\)\$/\1 \2/p" <<<"$log" | tail -n1)
received=$(stat -c %s "$demo_dir/demo.rtcm" 2>/dev/null || echo 0)
sent=$(stat -c %s "$demo_dir/sent.rtcm" 2>/dev/null || echo 0)
streams=$(grep -c ' open: .* -> ICY 200 OK$' "$demo_dir/caster.log" || true)

echo
echo "== Summary"
echo "mount points offered : $(paste -sd' ' "$demo_dir/table.txt")"
echo "bytes received       : $received (caster sent $sent over $streams stream connections;"
echo "                       the difference was still on its way when velto stopped)"
echo "RTCM frames          : ${frames:-none}"
echo "status changes       : ${changes:-none}"
echo "caster connections   :"
sed -n 's/^velto-caster: [^ ]* \(#.* close: \)/  \1/p' "$demo_dir/caster.log"
echo "velto exit status    : $velto_status"

if [ "$velto_status" -ne 0 ] || [[ $changes != "streaming, stream lost, streaming, idle" ]]; then
  echo "demo: did not go as expected (want: streaming, stream lost, streaming, idle)" >&2
  exit 1
fi
echo "demo: done - the stream dropped once and the library reconnected by itself."
