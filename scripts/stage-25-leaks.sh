#!/usr/bin/env bash
# The client lifecycle cycles (construct, start, stream, stop, destroy; restart;
# failed attempts; source-table queries) on a short run under valgrind
# memcheck: any definite or indirect leak and any invalid access fails.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v valgrind >/dev/null; then
  echo "stage-25-leaks: valgrind is not installed" >&2
  exit 1
fi

dir=build-valgrind
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_SANITIZE= >/dev/null
cmake --build "$dir" -j"$(nproc)" --target test_lifecycle test_smoke

# Short enough for valgrind's single-file thread scheduling; the full count
# runs in the ordinary suite.
export VELTO_LIFECYCLE_CYCLES=${VELTO_LIFECYCLE_CYCLES:-20}

status=0
for program in test_lifecycle test_smoke; do
  echo "--- valgrind $program (VELTO_LIFECYCLE_CYCLES=$VELTO_LIFECYCLE_CYCLES)"
  valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
           --show-leak-kinds=definite,indirect --error-exitcode=1 --fair-sched=yes \
           --num-callers=30 \
           "$dir/tests/$program" || status=1
done
exit $status
