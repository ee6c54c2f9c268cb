#!/usr/bin/env bash
# The 32-bit Windows DLLs: VeltoClient.dll (release, build-windows) and
# VeltoClientD.dll (debug, build-windows-debug), cross-built with mingw-w64.
# Checks their export and import tables, then runs the Windows test host
# against each under Wine, inside a private network namespace so that the
# host's fake caster owns 127.0.0.1:2101 and nothing but loopback is used.
#
# Without the cross compiler, Wine or namespaces the stage says what it
# skipped and passes, unless VELTO_REQUIRE_ALL_STAGES=1 (CI), where it fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

skip() {
  if [ "${VELTO_REQUIRE_ALL_STAGES:-0}" = 1 ]; then
    echo "stage-40-windows: FAILED, cannot run: $1 (VELTO_REQUIRE_ALL_STAGES=1)" >&2
    exit 1
  fi
  echo "stage-40-windows: SKIPPED: $1"
  exit 0
}

toolchain=cmake/toolchain-mingw-i686.cmake
command -v i686-w64-mingw32-g++ >/dev/null \
  || skip "no mingw-w64 cross compiler (i686-w64-mingw32-g++, Debian package g++-mingw-w64-i686); the Windows DLLs were not built or tested"
command -v i686-w64-mingw32-objdump >/dev/null \
  || skip "no i686-w64-mingw32-objdump (binutils-mingw-w64-i686); the Windows DLLs were not built or tested"

echo "--- building VeltoClient.dll (release) and the Windows test host"
# The toolchain file is read only when a build directory is first configured.
toolchain_for() { [ -f "$1/CMakeCache.txt" ] || echo "-DCMAKE_TOOLCHAIN_FILE=$toolchain"; }
cmake -S . -B build-windows $(toolchain_for build-windows) -DCMAKE_BUILD_TYPE=Release \
  -DVELTO_BUILD_TOOLS=OFF -DVELTO_BUILD_TESTS=ON >/dev/null || exit 1
cmake --build build-windows -j2 --target VeltoClient velto_windows_host || exit 1
echo "--- building VeltoClientD.dll (debug)"
cmake -S . -B build-windows-debug $(toolchain_for build-windows-debug) -DCMAKE_BUILD_TYPE=Debug \
  -DVELTO_BUILD_TOOLS=OFF -DVELTO_BUILD_TESTS=OFF >/dev/null || exit 1
cmake --build build-windows-debug -j2 --target VeltoClient || exit 1

release_dll=build-windows/VeltoClient.dll
debug_dll=build-windows-debug/VeltoClientD.dll
host_exe=build-windows/tests/windows/velto_windows_host.exe

failed=0
echo "--- export and import tables"
bash tests/windows/check_dll_exports.sh "$release_dll" "$debug_dll" || failed=1

# --- Wine -------------------------------------------------------------------
finish() {
  if [ "$failed" -ne 0 ]; then
    echo "stage-40-windows: FAILED"
    exit 1
  fi
  echo "stage-40-windows: passed"
  exit 0
}
wine_missing=""
if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
  wine_missing="no wine"
elif command -v dpkg-query >/dev/null \
  && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  wine_missing="no 32-bit Wine (Debian package wine32:i386)"
fi
if [ -n "$wine_missing" ]; then
  [ "$failed" -ne 0 ] && finish
  skip "$wine_missing; the DLLs were built and their tables checked, but not run"
fi

# 32-bit Wine is an i386 program. A machine whose kernel runs 64-bit user
# code only cannot run it (and Wine does not work through qemu-user): that
# is a property of the machine, not a missing package, so it is reported
# and the stage passes on what it could check.
source scripts/lib-i386.sh
if ! i386_native; then
  [ "$failed" -ne 0 ] && finish
  echo "stage-40-windows: NOT RUN UNDER WINE: this machine's kernel runs no i386 programs (64-bit user"
  echo "  code only), so 32-bit Wine cannot start here. The DLLs were built and their export and import"
  echo "  tables checked; the Windows test host was built but not run."
  echo "stage-40-windows: passed (without Wine)"
  exit 0
fi

# A network namespace of our own: as root directly, otherwise as the root of
# a new user namespace.
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  isolate=(unshare -n)
elif unshare -rn true 2>/dev/null; then
  isolate=(unshare -rn)
else
  [ "$failed" -ne 0 ] && finish
  skip "cannot create a private network namespace (unshare -n / -rn); the DLLs were built and their tables checked, but not run under Wine"
fi
command -v ip >/dev/null || skip "no ip command (iproute2) to bring up loopback in the namespace"

caster_host=$(sed -n 's/^VELTO_CASTER_HOST:STRING=//p' build-windows/CMakeCache.txt)
run_dir=$root/build-windows/wine-run
rm -rf "$run_dir"
mkdir -p "$run_dir"
cp "$release_dll" "$debug_dll" "$host_exe" "$run_dir/"
prefix=$(mktemp -d "$root/build-windows/wineprefix.XXXXXX")

# Everything Wine does happens inside the namespace, its wineserver included:
# the wineserver owns the sockets, so it must see the private loopback.
"${isolate[@]}" bash -s "$prefix" "$run_dir" "$caster_host" <<'INNER'
set -u
prefix=$1 run_dir=$2 caster_host=$3
ip link set lo up || { echo "cannot bring up loopback in the namespace"; exit 1; }
if ! getent hosts "$caster_host" | grep -q '^127\.0\.0\.1[[:space:]]'; then
  echo "the caster's name $caster_host does not resolve to 127.0.0.1 here (/etc/hosts)"
  exit 1
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
echo "--- preparing a Wine prefix"
timeout 180 wineboot --init >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
cd "$run_dir" || exit 1
status=0
for dll in VeltoClient.dll VeltoClientD.dll; do
  echo "--- Windows test host against $dll"
  start=$(date +%s)
  timeout 300 wine velto_windows_host.exe "$dll" </dev/null 2>&1
  rc=$?
  echo "--- $dll: exit status $rc after $(( $(date +%s) - start )) s"
  [ "$rc" -eq 0 ] || status=1
done
timeout 30 wineserver -w || wineserver -k
exit $status
INNER
[ $? -eq 0 ] || failed=1
rm -rf "$prefix"
finish
