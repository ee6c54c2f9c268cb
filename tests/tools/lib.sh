# Shared helpers of the tool tests (sourced). Expects VELTO, VELTO_CASTER
# and VELTO_SANDBOX in the environment (set by tests/tools/CMakeLists.txt). A
# script that sets NEEDS_SANDBOX=1 before sourcing is re-run inside its own
# network namespace (tests/tools/sandbox.sh), where it may own port 2101.
set -u

: "${VELTO:?path of the velto program}"
: "${VELTO_CASTER:?path of the velto-caster program}"

if [ "${NEEDS_SANDBOX:-0}" = 1 ] && [ -z "${VELTO_IN_SANDBOX:-}" ]; then
  exec bash "${VELTO_SANDBOX:?}" bash "$0" "$@"
fi

failures=0
work=$(mktemp -d /tmp/velto-tooltest.XXXXXX)
caster_pid=
trap 'stop_caster; rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

pass() { echo "ok: $*"; }

check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# Waits until FILE holds a line matching the extended regex, up to SECONDS.
wait_for_text() { # FILE REGEX SECONDS
  local file=$1 regex=$2 deadline=$((SECONDS + $3))
  while [ $SECONDS -le $deadline ]; do
    grep -Eq -- "$regex" "$file" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "timed out waiting for /$regex/ in $file:" >&2
  cat "$file" >&2 2>/dev/null
  return 1
}

# Waits for a background process to end, up to SECONDS; sets $exit_status.
wait_for_exit() { # PID SECONDS
  local pid=$1 deadline=$((SECONDS + $2))
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -le $deadline ]; do sleep 0.05; done
  if kill -0 "$pid" 2>/dev/null; then
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    exit_status=timeout
    return 1
  fi
  wait "$pid"
  exit_status=$?
  return 0
}

# Runs COMMAND with its standard output and error in OUT and ERR, killed
# after LIMIT seconds; sets $exit_status ("timeout" when killed), $took (wall
# seconds, to 0.1 s) and $peak_mb (its peak resident memory, MB).
measured() { # LIMIT OUT ERR COMMAND...
  local result
  result=$(python3 -c '
import resource, subprocess, sys, time
limit, out, err, command = float(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4:]
began = time.monotonic()
with open(out, "wb") as o, open(err, "wb") as e:
    child = subprocess.Popen(command, stdout=o, stderr=e)
    try:
        status = child.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
        status = "timeout"
took = time.monotonic() - began
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
print(status, "%.1f" % took, "%d" % peak)
' "$@")
  read -r exit_status took peak_mb <<<"$result"
}

# The peak memory a tool may reach whatever a hostile peer sends: 50 MB; in
# a build with sanitizers, whose shadow memory alone takes tens of MB, a
# bound that still catches growth without end.
memory_bound_mb=50
[ -n "${VELTO_SANITIZE:-}" ] && memory_bound_mb=200

# True when the decimal number A is at most B.
at_most() { python3 -c 'import sys; sys.exit(0 if float(sys.argv[1]) <= float(sys.argv[2]) else 1)' "$1" "$2"; }

# Starts velto-caster in the background with the given options (always
# bounded by --lifetime) and waits until it listens. Its log: $work/caster.log
start_caster() {
  stop_caster
  : > "$work/caster.log"
  "$VELTO_CASTER" --log --lifetime 120 "$@" 2>>"$work/caster.log" &
  caster_pid=$!
  wait_for_text "$work/caster.log" 'listening on 127\.0\.0\.1' 30
}

# Starts answer_caster.py, a caster that gives every request the same
# ANSWER (Python escapes allowed), or a hostile caster (a MODE of its own,
# such as --endless-table), and waits until it listens.
start_answer_caster() {
  stop_caster
  : > "$work/caster.log"
  python3 "$(dirname "${BASH_SOURCE[0]}")/answer_caster.py" "$1" 2>>"$work/caster.log" &
  caster_pid=$!
  wait_for_text "$work/caster.log" 'listening on 127\.0\.0\.1' 30
}

stop_caster() {
  if [ -n "$caster_pid" ]; then
    kill "$caster_pid" 2>/dev/null
    wait "$caster_pid" 2>/dev/null
    caster_pid=
  fi
}

finish() {
  stop_caster
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
  exit 0
}
