#!/usr/bin/env bash
# The 32-bit test machine's runner, as the stages rely on it: a command's
# output (both streams) and exit status come back, it runs as root in the
# shared folder at the host's path with localhost at 127.0.0.1, i386
# programs run natively and Wine's prefix is ready; and a machine that does
# not finish is killed within its time limit.
set -u
cd "$(dirname "$0")/../.."
root=$PWD
failed=0
pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; failed=1; }

share=$(mktemp -d /tmp/vm32-check.XXXXXX)
trap 'rm -rf "$share"' EXIT
printf 'int main(void) { return 0; }\n' | gcc -m32 -static -x c - -o "$share/i386-probe" \
  || fail "no static i386 probe could be built (gcc -m32)"
cat >"$share/job.sh" <<'JOB'
echo "out: $(uname -m) uid $(id -u) in $PWD"
echo "err: to standard error" >&2
getent hosts localhost | head -n 1
./i386-probe && echo "i386: ran"
[ -f "$WINEPREFIX/system.reg" ] && echo "wine: prefix ready"
echo written >written
exit 7
JOB

start=$SECONDS
output=$(cd "$share" && bash "$root/scripts/vm32.sh" run --timeout 600 "$share" -- sh job.sh 2>&1)
status=$?
echo "    (one boot: $((SECONDS - start)) s)"
[ "$status" -eq 7 ] && pass "the command's exit status comes back (7)" \
  || fail "the command's exit status comes back: got $status"
for line in "out: x86_64 uid 0 in $share" "err: to standard error" "i386: ran" "wine: prefix ready"; do
  grep -qxF -- "$line" <<<"$output" && pass "output: $line" || fail "output lacks: $line"
done
grep -Eqx '127\.0\.0\.1[[:space:]]+localhost' <<<"$output" && pass "localhost is 127.0.0.1" \
  || fail "localhost is not 127.0.0.1 first"
[ "$(cat "$share/written" 2>/dev/null)" = written ] && pass "the shared folder is writable at the same path" \
  || fail "the shared folder is not writable at the same path"
[ "$failed" -eq 0 ] || printf '    output was:\n%s\n' "$output" | sed 's/^/    /'

start=$SECONDS
output=$(bash scripts/vm32.sh run --timeout 20 "$share" -- sleep 600 2>&1)
status=$?
took=$((SECONDS - start))
if [ "$status" -eq 124 ] && [ "$took" -le 35 ] && grep -q 'was killed' <<<"$output"; then
  pass "a machine that does not finish is killed at its limit (20 s: ended after $took s, status 124)"
else
  fail "a machine that does not finish is killed at its limit: status $status after $took s: $output"
fi
exit $failed
