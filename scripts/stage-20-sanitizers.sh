#!/usr/bin/env bash
# The whole behavioural suite twice more: once built with AddressSanitizer and
# UndefinedBehaviorSanitizer (any undefined behaviour aborts the test), once
# with ThreadSanitizer. A report from either fails the stage.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
here=$(pwd)

# Reports go to stderr and end the process with a failing exit code, so ctest
# sees every finding as a failed test. Leak checking stays on under ASan.
export ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
if [ -f tests/tsan.supp ]; then
  export TSAN_OPTIONS="$TSAN_OPTIONS:suppressions=$here/tests/tsan.supp"
fi
if [ -f tests/lsan.supp ]; then
  export LSAN_OPTIONS="suppressions=$here/tests/lsan.supp"
fi

run_suite() {
  local dir=$1 sanitizers=$2 extra_flags=$3
  echo "--- $sanitizers: configure and build in $dir"
  # -O1 and line tables only, as the sanitizers advise: the reports keep
  # their file and line, and the two builds take half the time of -O2 -g.
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
        -DVELTO_SANITIZE="$sanitizers" \
        -DCMAKE_C_FLAGS="$extra_flags" -DCMAKE_CXX_FLAGS="$extra_flags" >/dev/null
  cmake --build "$dir" -j"$jobs"
  # The library's cases mostly wait out its real timeouts, side by side. The
  # tools' script tests run the instrumented tools against a caster and check
  # timing too, so they get the two cores to themselves, a few at a time.
  local result=0
  echo "--- $sanitizers: ctest, the library"
  ctest --test-dir "$dir" --output-on-failure -j24 --timeout 400 -E '^tools_' || result=1
  echo "--- $sanitizers: ctest, the tools"
  ctest --test-dir "$dir" --output-on-failure -j4 --timeout 400 -R '^tools_' || result=1
  return $result
}

status=0
if [ "${VELTO_SKIP_ASAN:-0}" != 1 ]; then
  run_suite build-asan address,undefined "-fno-sanitize-recover=undefined" || status=1
fi
if [ "${VELTO_SKIP_TSAN:-0}" != 1 ]; then
  run_suite build-tsan thread "" || status=1
fi
exit $status
