#!/usr/bin/env bash
# Runs each host that scripts/stage-45-packages.sh linked against the zip's
# import libraries under 32-bit Wine, against velto-caster (VELTO_CASTER):
# each must list the caster's source table and stream from it, and the bytes
# its data callback got must be those the caster recorded sending. Needs a
# private loopback with the caster's name at 127.0.0.1: a network namespace
# of its own (tests/tools/sandbox.sh) or the 32-bit test machine
# (scripts/vm32.sh). One Wine prefix serves every run: WINEPREFIX when that
# is a ready one, otherwise a fresh one made here.
#   run_linked_hosts.sh DIR EXE...     (DIR holds the programs and the DLLs)
set -u
dir=$1
shift
: "${VELTO_CASTER:?path of the velto-caster program}"
source "$(dirname "$0")/../windows/wine.sh"
wine_ready || exit 1
cd "$dir" || exit 1
status=0
for exe in "$@"; do
  echo "--- $exe.exe"
  "$VELTO_CASTER" --rate 40000 --lifetime 300 --record "$exe.sent" 2>"$exe.caster" &
  caster=$!
  for _ in $(seq 600); do grep -q listening "$exe.caster" && break; sleep 0.05; done
  timeout 180 wine "$exe.exe" </dev/null 2>&1 || status=1
  kill "$caster"
  wait "$caster" 2>/dev/null
  # What the data callback got is what the caster sent, from its first byte
  # on (the caster may have sent a little more before it saw the stop).
  if [ -s "$exe.bin" ] && cmp -s -n "$(stat -c %s "$exe.bin")" "$exe.bin" "$exe.sent"; then
    echo "PASS $exe: the $(stat -c %s "$exe.bin") bytes received are those velto-caster sent"
  else
    echo "FAIL $exe: the bytes received are not those velto-caster sent"
    status=1
  fi
done
wine_done
exit $status
