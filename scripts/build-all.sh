#!/usr/bin/env bash
# Builds the four deliverables and puts them, with the public header, in out/:
#   out/libVeltoClient64.so   Linux x86-64, release
#   out/libVeltoClient32.so   Linux i386, release            (needs g++-multilib)
#   out/VeltoClient.dll       32-bit Windows, release        (needs g++-mingw-w64-i686)
#   out/VeltoClientD.dll      32-bit Windows, debug build    (needs g++-mingw-w64-i686)
#   out/velto.h
# and, for the release packages (scripts/package.sh), what `cmake --install`
# writes for the Linux builds and the Windows release build:
#   out/install/linux64/      prefix /usr layout: bin/ (the tools), include/,
#   out/install/linux32/      lib/<multiarch>/ (library, CMake package,
#   out/install/windows/      pkg-config file), share/
# The Linux libraries are the stripped ones from the install trees, so the
# file in out/ is byte for byte the one in every package.
#
#   scripts/build-all.sh [--caster-host NAME]     (default: localhost)
#
# Build trees live in out/build/. A deliverable whose compiler is missing is
# reported and skipped; with VELTO_REQUIRE_ALL_STAGES=1 that is a failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/out
mkdir -p "$out/build"
jobs=${VELTO_JOBS:-2}

caster_host=localhost
while [ $# -gt 0 ]; do
  case $1 in
    --caster-host) caster_host=${2:?--caster-host needs a name}; shift 2 ;;
    --caster-host=*) caster_host=${1#*=}; shift ;;
    *) echo "usage: scripts/build-all.sh [--caster-host NAME]" >&2; exit 2 ;;
  esac
done

built=()
skipped=()
failed=()

# build NAME OUTPUT BUILD_TYPE INSTALL [cmake options...]
# INSTALL: "strip" or "plain" installs the tree into out/install/NAME (the
# Linux deliverable is then taken from there), "none" installs nothing.
build() {
  local name=$1 output=$2 type=$3 install=$4
  shift 4
  local dir=$out/build/$name tree=$out/install/$name
  echo "--- $output"
  # The caster host is always given, so that a build for another caster
  # never lingers in a cached tree.
  if ! cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DVELTO_BUILD_TESTS=OFF \
       -DVELTO_CASTER_HOST="$caster_host" "$@" >/dev/null \
     || ! cmake --build "$dir" -j"$jobs" >/dev/null; then
    failed+=("$output")
    return
  fi
  local from=$dir/$output
  if [ "$install" != none ]; then
    rm -rf "$tree"
    local strip=()
    [ "$install" = strip ] && strip=(--strip)
    if ! cmake --install "$dir" --prefix "$tree" "${strip[@]}" >/dev/null; then
      failed+=("$output")
      return
    fi
    [ "$install" = strip ] && from=$(find "$tree" -name "$output" -type f | head -n1)
  fi
  if cp "$from" "$out/$output"; then
    built+=("$output")
  else
    failed+=("$output")
  fi
}

# The toolchain file counts only when a build tree is first configured.
toolchain() { [ -f "$out/build/$1/CMakeCache.txt" ] || echo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/$2"; }

# Prefix /usr gives Debian's multiarch library directory (lib/x86_64-linux-gnu,
# lib/i386-linux-gnu), which the Debian packages need; the install trees and
# tarballs keep the same layout, relocatable as a whole.
build linux64 libVeltoClient64.so Release strip -DCMAKE_INSTALL_PREFIX=/usr -DVELTO_BUILD_TOOLS=ON

if echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o /dev/null >/dev/null 2>&1; then
  build linux32 libVeltoClient32.so Release strip $(toolchain linux32 toolchain-linux-i386.cmake) \
    -DCMAKE_INSTALL_PREFIX=/usr -DVELTO_BUILD_TOOLS=OFF
else
  echo "--- libVeltoClient32.so: SKIPPED, no i386 multilib compiler (g++-multilib)"
  skipped+=(libVeltoClient32.so)
fi

if command -v i686-w64-mingw32-g++ >/dev/null; then
  # The release DLL is linked stripped; the debug DLL keeps its debug
  # information on purpose.
  build windows VeltoClient.dll Release plain $(toolchain windows toolchain-mingw-i686.cmake) \
    -DVELTO_BUILD_TOOLS=OFF
  build windows-debug VeltoClientD.dll Debug none $(toolchain windows-debug toolchain-mingw-i686.cmake) \
    -DVELTO_BUILD_TOOLS=OFF
else
  echo "--- VeltoClient.dll, VeltoClientD.dll: SKIPPED, no mingw-w64 cross compiler (g++-mingw-w64-i686)"
  skipped+=(VeltoClient.dll VeltoClientD.dll)
fi

cp "$root/include/velto.h" "$out/velto.h"
echo "built into out/ for the caster $caster_host: ${built[*]:-nothing}"
[ ${#skipped[@]} -gt 0 ] && echo "SKIPPED: ${skipped[*]}"
[ ${#failed[@]} -gt 0 ] && echo "FAILED: ${failed[*]}"
[ ${#failed[@]} -eq 0 ] || exit 1
if [ ${#skipped[@]} -gt 0 ] && [ "${VELTO_REQUIRE_ALL_STAGES:-0}" = 1 ]; then
  exit 1
fi
exit 0
