#!/usr/bin/env bash
# The Linux i386 shared object libVeltoClient32.so (build-i386), built with
# the multilib compilers, and the whole behavioural suite built for i386 and
# run against it: natively where the kernel runs i386 programs, otherwise in
# the 32-bit test machine (scripts/vm32.sh). Its exported symbols must equal
# those of the x86-64 one.
#
# Without multilib compilers the stage says what it skipped and passes,
# unless VELTO_REQUIRE_ALL_STAGES=1 (CI), where it fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build-i386
toolchain=$root/cmake/toolchain-linux-i386.cmake

skip() {
  if [ "${VELTO_REQUIRE_ALL_STAGES:-0}" = 1 ]; then
    echo "stage-30-i386: FAILED, cannot run: $1 (VELTO_REQUIRE_ALL_STAGES=1)" >&2
    exit 1
  fi
  echo "stage-30-i386: SKIPPED: $1"
  exit 0
}

source scripts/lib-i386.sh
probe=$(mktemp -d)
printf '#include <thread>\nint main() { std::thread t([] {}); t.join(); }\n' >"$probe/probe.cpp"
if ! g++ -m32 -pthread "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
  rm -rf "$probe"
  skip "no i386 multilib compilers (g++ -m32, Debian package g++-multilib); libVeltoClient32.so was not built or tested"
fi
rm -rf "$probe"

mkdir -p $build
# GoogleTest for i386, from the sources Debian ships (the packaged library
# is x86-64 only).
gtest_dir=$root/$build/googletest-i386/lib/cmake/GTest
if [ ! -f "$gtest_dir/GTestConfig.cmake" ]; then
  [ -f /usr/src/googletest/CMakeLists.txt ] \
    || skip "no GoogleTest sources in /usr/src/googletest (Debian package googletest); the i386 suite was not built"
  echo "--- building GoogleTest for i386"
  { cmake -S /usr/src/googletest -B $build/googletest-build -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
      -DCMAKE_INSTALL_PREFIX="$root/$build/googletest-i386" >/dev/null \
    && cmake --build $build/googletest-build -j2 >/dev/null \
    && cmake --install $build/googletest-build >/dev/null; } || exit 1
fi

echo "--- building libVeltoClient32.so and the i386 test programs"
toolchain_for() { [ -f "$1/CMakeCache.txt" ] || echo "-DCMAKE_TOOLCHAIN_FILE=$toolchain"; }
# The test programs are listed when ctest runs, not when they are built:
# the build machine may run no i386 program at all.
cmake -S . -B $build $(toolchain_for $build) -DCMAKE_BUILD_TYPE=Release \
  -DGTest_DIR="$gtest_dir" -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null || exit 1
cmake --build $build -j2 || exit 1

failed=0
library=$build/libVeltoClient32.so
if readelf -h "$library" | grep -q 'Class:.*ELF32' && readelf -h "$library" | grep -q 'Machine:.*80386'; then
  echo "PASS $library is an ELF32 i386 shared object"
else
  echo "FAIL $library is not an ELF32 i386 shared object"
  failed=1
fi

# The x86-64 library, built on its own, as the reference for the exports.
reference=$build/reference-x86_64
echo "--- building the x86-64 reference library"
cmake -S . -B $reference -DCMAKE_BUILD_TYPE=Release -DVELTO_BUILD_TESTS=OFF \
  -DVELTO_BUILD_TOOLS=OFF >/dev/null || exit 1
cmake --build $reference -j2 --target VeltoClient >/dev/null || exit 1
exports() { nm -D --defined-only "$1" | awk '{print $NF}' | sort; }
if diff <(exports $reference/libVeltoClient64.so) <(exports "$library") >/dev/null; then
  echo "PASS exported symbols equal those of libVeltoClient64.so: $(exports "$library" | tr '\n' ' ')"
else
  echo "FAIL exported symbols differ from libVeltoClient64.so (< x86-64, > i386):"
  diff <(exports $reference/libVeltoClient64.so) <(exports "$library")
  failed=1
fi

# On a kernel that runs no i386 programs the suite runs in the 32-bit test
# machine, natively there, all of it.
if ! i386_choose; then
  [ "$failed" -ne 0 ] && { echo "stage-30-i386: FAILED"; exit 1; }
  skip "NOT RUN: $i386_why; libVeltoClient32.so and its suite were built and the exports checked, but nothing ran"
fi
if [ "$i386_where" = vm ]; then
  echo "--- the 32-bit test machine itself"
  bash tests/vm32/check_runner.sh || failed=1
fi

# Natively the tests mostly wait on the library's timers, and many run side
# by side. The emulated machine has two slow processors: two at a time, and
# the bounds on what must happen at once widened by its factor.
jobs=24
[ "$i386_where" = vm ] && jobs=2
export VELTO_TEST_SLOW_HOST
VELTO_TEST_SLOW_HOST=$(i386_slow_factor)
echo "--- the behavioural suite on i386 ($jobs at a time, slow-host factor $VELTO_TEST_SLOW_HOST)"
i386_run "$root" ctest --test-dir "$root/$build" --output-on-failure -j$jobs --timeout 300 || failed=1

if [ "$failed" -ne 0 ]; then
  echo "stage-30-i386: FAILED"
  exit 1
fi
echo "stage-30-i386: passed"
