#!/usr/bin/env bash
# Builds every deliverable and runs every test: each scripts/stage-*.sh in
# turn. A stage that cannot run here says so; a failing stage fails the run.
set -u
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

passed=0
failed=0
failures=()
for stage in scripts/stage-*.sh; do
  name=$(basename "$stage" .sh)
  echo "=== $name"
  start=$(date +%s)
  if bash "$stage"; then
    passed=$((passed + 1))
    echo "=== $name passed in $(( $(date +%s) - start )) s"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "=== $name FAILED in $(( $(date +%s) - start )) s"
  fi
done
[ ${#failures[@]} -gt 0 ] && echo "failed stages: ${failures[*]}"
echo "Stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
