#!/usr/bin/env bash
# Soak run, outside the default test run: 100 clients in one process against
# a caster that refuses, resets, stalls, answers with errors and drops
# connections at random, for a bounded time (default 3 minutes).
#   scripts/soak.sh [SECONDS]        or SOAK_SECONDS=600 scripts/soak.sh
# Environment: SOAK_CLIENTS (default 100), SOAK_SEED (default: time of day),
# BUILD_DIR (default build-bench). Exits non-zero when the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build-bench}
seconds=${1:-${SOAK_SECONDS:-180}}

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target velto_soak >/dev/null

# The library only talks to port 2101 of its caster host: the soak caster
# owns that port on the loopback of a network namespace of its own.
share=-n
[ "$(id -u)" -eq 0 ] || share=-rn
args=(--seconds "$seconds" --clients "${SOAK_CLIENTS:-100}")
[ -n "${SOAK_SEED:-}" ] && args+=(--seed "$SOAK_SEED")
exec unshare $share bash -c 'ip link set lo up && exec "$0" "$@"' "$dir/bench/velto_soak" "${args[@]}"
