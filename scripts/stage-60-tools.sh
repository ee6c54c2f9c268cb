#!/usr/bin/env bash
# The README's demonstration, end to end: build, local caster, `velto
# table`, `velto stream` through a forced drop and the library's
# reconnection. Fails unless the status changes are exactly streaming,
# stream lost, streaming, idle. (The tools' own tests, tools_*, are ctest
# tests and run with the whole suite in stage 10.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/demo.sh --build-dir "${VELTO_TOOLS_BUILD_DIR:-build-demo}"
