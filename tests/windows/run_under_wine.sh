#!/usr/bin/env bash
# Runs the Windows test host under 32-bit Wine against each DLL named, in
# DIR (which holds velto_windows_host.exe and the DLLs). The host is itself
# the caster on 127.0.0.1:2101, so this must run where loopback is private
# and the caster's name (VELTO_CASTER_HOST, default localhost) is 127.0.0.1:
# in a network namespace of its own (tests/tools/sandbox.sh) or in the
# 32-bit test machine (scripts/vm32.sh). Wine's prefix is WINEPREFIX when
# that is a ready one, otherwise a fresh one made here.
#   run_under_wine.sh DIR DLL...
set -u
dir=$1
shift
caster_host=${VELTO_CASTER_HOST:-localhost}
if ! getent hosts "$caster_host" | grep -q '^127\.0\.0\.1[[:space:]]'; then
  echo "FAIL the caster's name $caster_host does not resolve to 127.0.0.1 here"
  exit 1
fi
source "$(dirname "$0")/wine.sh"
wine_ready || exit 1
cd "$dir" || exit 1
status=0
for dll in "$@"; do
  echo "--- Windows test host against $dll"
  start=$(date +%s)
  timeout 300 wine velto_windows_host.exe "$dll" </dev/null 2>&1
  rc=$?
  echo "--- $dll: exit status $rc after $(( $(date +%s) - start )) s"
  [ "$rc" -eq 0 ] || status=1
done
wine_done
exit $status
