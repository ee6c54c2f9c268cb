#!/usr/bin/env bash
# Builds every deliverable and runs every test: each scripts/stage-*.sh. A
# stage that cannot run here says so; a failing stage fails the run.
#
# The 32-bit stages (30 and 40) spend most of their time waiting on the
# 32-bit test machine, a software-emulated VM where the kernel runs no
# 32-bit programs (scripts/vm32.sh). They run in a lane of their own beside
# the other stages, and their output is shown, whole, when the lane ends.
set -u
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

beside=(stage-30-i386 stage-40-windows)
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

run_stage() { # NAME: runs it, and records its status and time in $results
  local name=$1 start status
  echo "=== $name"
  start=$(date +%s)
  bash "scripts/$name.sh"
  status=$?
  local took=$(( $(date +%s) - start ))
  if [ "$status" -eq 0 ]; then
    echo "=== $name passed in $took s"
  else
    echo "=== $name FAILED in $took s"
  fi
  echo "$status" >"$results/$name"
}

echo "=== ${beside[*]}: in a lane of their own, shown when they end"
(for name in "${beside[@]}"; do run_stage "$name"; done) >"$results/lane.log" 2>&1 &
lane=$!

for stage in scripts/stage-*.sh; do
  name=$(basename "$stage" .sh)
  [[ " ${beside[*]} " == *" $name "* ]] && continue
  run_stage "$name"
done
wait "$lane"
cat "$results/lane.log"

passed=0
failed=0
failures=()
for stage in scripts/stage-*.sh; do
  name=$(basename "$stage" .sh)
  if [ "$(cat "$results/$name" 2>/dev/null)" = 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
  fi
done
[ ${#failures[@]} -gt 0 ] && echo "failed stages: ${failures[*]}"
echo "Stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
