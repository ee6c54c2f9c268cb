#!/usr/bin/env bash
# libFuzzer targets: the answer classification, the source-table reader and
# the tools' RTCM 3 analysis, about 30 seconds each from the seed corpora in
# fuzz/corpus. Inputs the fuzzer finds go to a temporary copy of each
# corpus, never into the repository; a crash input is kept in
# build-fuzz/artifacts and fails the stage.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${VELTO_FUZZ_SECONDS:-30}
build=build-fuzz

cannot_run() {
  echo "stage-50-fuzz: $1"
  if [ "${VELTO_REQUIRE_ALL_STAGES:-0}" = 1 ]; then exit 1; fi
  echo "stage-50-fuzz: skipped"
  exit 0
}

command -v clang++ >/dev/null && command -v clang >/dev/null || cannot_run "clang is not installed"
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' |
  clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null ||
  cannot_run "clang cannot link libFuzzer programs (libclang-rt-dev missing?)"

# The compiler of a build directory is fixed when it is first configured:
# start afresh when build-fuzz was made with another one.
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVELTO_BUILD_FUZZ=ON -DVELTO_BUILD_TESTS=OFF -DVELTO_BUILD_TOOLS=OFF -DVELTO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_classify fuzz_source_table fuzz_analysis

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"
status=0
for target in classify source_table analysis; do
  cp -r "fuzz/corpus/$target" "$work/$target"
  # The analysis turns its facts into JSON and parses it back at every
  # interval roll of its script: shorter scripts keep it from crawling.
  max_len=8192
  [ "$target" = analysis ] && max_len=4096
  echo "--- fuzz_$target for $seconds s"
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
       -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$work/$target" \
       >"$work/$target.log" 2>&1; then
    tail -n 60 "$work/$target.log"
    echo "stage-50-fuzz: fuzz_$target failed; crash input in $build/artifacts/"
    status=1
  else
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::new_units_added)' "$work/$target.log" || true
  fi
done
exit $status
