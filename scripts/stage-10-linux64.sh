#!/usr/bin/env bash
# The x86-64 shared object and its whole behavioural suite.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELTO_BUILD_TESTS=ON -DVELTO_BUILD_TOOLS=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j24 --timeout 300
