#!/usr/bin/env bash
# The 32-bit Windows DLLs: VeltoClient.dll (release, build-windows) and
# VeltoClientD.dll (debug, build-windows-debug), cross-built with mingw-w64.
# Checks their export and import tables, then runs the Windows test host
# against each under 32-bit Wine (tests/windows/run_under_wine.sh), in a
# private network namespace so that the host's fake caster owns
# 127.0.0.1:2101 and nothing but loopback is used; where the kernel runs no
# 32-bit programs, in the 32-bit test machine (scripts/vm32.sh).
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
# 32-bit Wine is an i386 program. On a kernel that runs 64-bit user code
# only it runs in the 32-bit test machine (scripts/vm32.sh), whose loopback
# is private; natively it runs in a network namespace of its own. Either way
# everything Wine does happens there, its wineserver (which owns the
# sockets) included.
source scripts/lib-i386.sh
if ! i386_choose; then
  [ "$failed" -ne 0 ] && finish
  skip "NOT RUN UNDER WINE: $i386_why. The DLLs were built and their export and import tables checked; the Windows test host was built but not run"
fi
if [ "$i386_where" = native ]; then
  if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
    [ "$failed" -ne 0 ] && finish
    skip "NOT RUN UNDER WINE: no wine here; the DLLs were built and their tables checked"
  fi
  if command -v dpkg-query >/dev/null \
     && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    [ "$failed" -ne 0 ] && finish
    skip "NOT RUN UNDER WINE: no 32-bit Wine (Debian package wine32:i386); the DLLs were built and their tables checked"
  fi
fi
echo "--- Wine runs $([ "$i386_where" = vm ] && echo "in the 32-bit test machine (scripts/vm32.sh)" || echo "natively")"

caster_host=$(sed -n 's/^VELTO_CASTER_HOST:STRING=//p' build-windows/CMakeCache.txt)
run_dir=$root/build-windows/wine-run
rm -rf "$run_dir"
mkdir -p "$run_dir"
cp "$release_dll" "$debug_dll" "$host_exe" "$run_dir/"
export VELTO_CASTER_HOST=$caster_host
i386_run "$root" bash "$root/tests/tools/sandbox.sh" \
  bash "$root/tests/windows/run_under_wine.sh" "$run_dir" VeltoClient.dll VeltoClientD.dll
case $? in
  0) ;;
  77) skip "NOT RUN UNDER WINE: no private network namespace (tests/tools/sandbox.sh) for the Wine runs" ;;
  *) failed=1 ;;
esac
finish
