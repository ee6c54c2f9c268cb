#!/usr/bin/env bash
# The Python and .NET bindings against libVeltoClient64.so and velto-caster
# (from build/, as stage 10 builds it), inside a private network namespace
# (tests/tools/sandbox.sh) where the bindings' tests own port 2101.
#   - Python: the tests run from the source tree with the python3 first on
#     PATH, loading the library from the library search path; then again
#     with Debian's /usr/bin/python3 against the package pip-installed into
#     a virtual environment from what `cmake --install` wrote, loading the
#     library from VELTO_LIBRARY.
#   - .NET: Velto.cs as installed, compiled with Mono's mcs (C# 7.2) with the
#     tests and with the example; the tests run with mono, the example
#     against a caster.
#
# Without Python, Mono or namespaces the stage says what it skipped and
# passes, unless VELTO_REQUIRE_ALL_STAGES=1 (CI), where it fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

skip() {
  if [ "${VELTO_REQUIRE_ALL_STAGES:-0}" = 1 ]; then
    echo "stage-55-bindings: FAILED, cannot run: $1 (VELTO_REQUIRE_ALL_STAGES=1)" >&2
    exit 1
  fi
  echo "stage-55-bindings: SKIPPED: $1"
  exit 0
}

command -v python3 >/dev/null && [ -x /usr/bin/python3 ] \
  || skip "no python3; the Python binding was not tested"
/usr/bin/python3 -c 'import ensurepip, venv' 2>/dev/null \
  || skip "no venv for /usr/bin/python3 (Debian package python3-venv); the bindings were not tested"
command -v mcs >/dev/null && command -v mono >/dev/null \
  || skip "no Mono (Debian packages mono-mcs, mono-runtime); the bindings were not tested"
bash tests/tools/sandbox.sh true 2>/dev/null || skip "no private network namespace here; the bindings were not tested"

echo "--- building libVeltoClient64.so and velto-caster"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELTO_BUILD_TESTS=ON -DVELTO_BUILD_TOOLS=ON >/dev/null || exit 1
cmake --build build -j2 --target VeltoClient velto-caster >/dev/null || exit 1

work=$root/build/bindings-test
rm -rf "$work"
mkdir -p "$work"
echo "--- installing the bindings (cmake --install, component development)"
cmake --install build --prefix "$work/prefix" --component development >/dev/null || exit 1
installed=$work/prefix/share/veltoclient

echo "--- pip install into a virtual environment of /usr/bin/python3"
/usr/bin/python3 -m venv --system-site-packages "$work/venv" || exit 1
"$work/venv/bin/pip" install --quiet --no-index --no-build-isolation "$installed/python" || exit 1

echo "--- compiling the .NET tests and example with mcs"
# TRACE as MSBuild projects define it, so that the binding's Trace calls are
# compiled in and a failing trace listener is part of what is tested.
mcs -langversion:7.2 -warnaserror -define:TRACE -out:"$work/VeltoTests.exe" \
  "$installed/dotnet/Velto.cs" bindings/dotnet/tests/VeltoTests.cs >/dev/null || exit 1
mcs -langversion:7.2 -warnaserror -out:"$work/VeltoExample.exe" \
  "$installed/dotnet/Velto.cs" "$installed/dotnet/example/VeltoExample.cs" >/dev/null || exit 1

export VELTO_STAGE_WORK=$work VELTO_CASTER=$root/build/tools/velto-caster
timeout 600 bash tests/tools/sandbox.sh bash -s <<'INNER'
set -u
status=0
run() { # DESCRIPTION COMMAND...: a bounded run whose failure fails the stage
  local what=$1
  shift
  echo "--- $what"
  local start=$SECONDS
  timeout 240 "$@" || { echo "FAILED: $what"; status=1; }
  echo "--- $what: $((SECONDS - start)) s"
}
work=$VELTO_STAGE_WORK
library=$PWD/build/libVeltoClient64.so

run "Python tests, $(python3 --version) first on PATH, from the source tree" \
  env PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=$PWD/bindings/python LD_LIBRARY_PATH=$PWD/build \
  python3 -m unittest discover -v -s bindings/python/tests
# From the virtual environment's directory, so that only the installed
# package can be imported.
if env -C "$work" "$work/venv/bin/python" -c 'import velto; print(velto.__file__)' | grep -q "^$work/venv/"; then
  run "Python tests, /usr/bin/python3 ($(/usr/bin/python3 --version)), package installed with pip" \
    env -C "$work" PYTHONDONTWRITEBYTECODE=1 VELTO_LIBRARY="$library" \
    "$work/venv/bin/python" -m unittest discover -v -s "$PWD/bindings/python/tests"
else
  echo "FAILED: the virtual environment does not import its installed velto package"
  status=1
fi
run ".NET tests (mono $(mono --version | sed -n '1s/.*version \([^ ]*\).*/\1/p'))" \
  env LD_LIBRARY_PATH=$PWD/build mono "$work/VeltoTests.exe" "$VELTO_CASTER"

echo "--- .NET example against velto-caster"
"$VELTO_CASTER" --lifetime 60 2>"$work/example-caster.log" &
caster=$!
for _ in $(seq 100); do grep -q listening "$work/example-caster.log" && break; sleep 0.05; done
if VELTO_LIBRARY=$library timeout 60 mono "$work/VeltoExample.exe" RTCM3_DEMO 2 >"$work/example.out" 2>&1 \
   && grep -q '^status Streaming' "$work/example.out" && grep -q '^received [1-9]' "$work/example.out"; then
  echo "ok: the example streamed: $(tail -1 "$work/example.out")"
else
  echo "FAILED: the .NET example"
  cat "$work/example.out"
  status=1
fi
kill "$caster" 2>/dev/null
wait "$caster" 2>/dev/null
exit $status
INNER
if [ $? -ne 0 ]; then
  echo "stage-55-bindings: FAILED"
  exit 1
fi
echo "stage-55-bindings: passed"
