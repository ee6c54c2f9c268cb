#!/usr/bin/env bash
# Builds the four deliverables and puts them, with the public header, in out/:
#   out/libVeltoClient64.so   Linux x86-64, release
#   out/libVeltoClient32.so   Linux i386, release            (needs g++-multilib)
#   out/VeltoClient.dll       32-bit Windows, release        (needs g++-mingw-w64-i686)
#   out/VeltoClientD.dll      32-bit Windows, debug build    (needs g++-mingw-w64-i686)
#   out/velto.h
# Build trees live in out/build/. A deliverable whose compiler is missing is
# reported and skipped; with VELTO_REQUIRE_ALL_STAGES=1 that is a failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/out
mkdir -p "$out/build"
jobs=${VELTO_JOBS:-2}

built=()
skipped=()
failed=()

# build NAME OUTPUT BUILD_TYPE [cmake options...]
build() {
  local name=$1 output=$2 type=$3
  shift 3
  local dir=$out/build/$name
  echo "--- $output"
  if cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DVELTO_BUILD_TESTS=OFF \
       -DVELTO_BUILD_TOOLS=OFF "$@" >/dev/null \
     && cmake --build "$dir" -j"$jobs" --target VeltoClient >/dev/null \
     && cp "$dir/$output" "$out/$output"; then
    built+=("$output")
  else
    failed+=("$output")
  fi
}

# The toolchain file counts only when a build tree is first configured.
toolchain() { [ -f "$out/build/$1/CMakeCache.txt" ] || echo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/$2"; }

build linux64 libVeltoClient64.so Release

if echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o /dev/null >/dev/null 2>&1; then
  build linux32 libVeltoClient32.so Release $(toolchain linux32 toolchain-linux-i386.cmake)
else
  echo "--- libVeltoClient32.so: SKIPPED, no i386 multilib compiler (g++-multilib)"
  skipped+=(libVeltoClient32.so)
fi

if command -v i686-w64-mingw32-g++ >/dev/null; then
  build windows VeltoClient.dll Release $(toolchain windows toolchain-mingw-i686.cmake)
  build windows-debug VeltoClientD.dll Debug $(toolchain windows-debug toolchain-mingw-i686.cmake)
else
  echo "--- VeltoClient.dll, VeltoClientD.dll: SKIPPED, no mingw-w64 cross compiler (g++-mingw-w64-i686)"
  skipped+=(VeltoClient.dll VeltoClientD.dll)
fi

cp "$root/include/velto.h" "$out/velto.h"
echo "built into out/: ${built[*]:-nothing}"
[ ${#skipped[@]} -gt 0 ] && echo "SKIPPED: ${skipped[*]}"
[ ${#failed[@]} -gt 0 ] && echo "FAILED: ${failed[*]}"
[ ${#failed[@]} -eq 0 ] || exit 1
if [ ${#skipped[@]} -gt 0 ] && [ "${VELTO_REQUIRE_ALL_STAGES:-0}" = 1 ]; then
  exit 1
fi
exit 0
