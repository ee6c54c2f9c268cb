#!/usr/bin/env bash
# Runs a command in network and mount namespaces of its own: a private
# loopback (so the command may own port 2101 while other tests run in
# parallel) and a private /etc/hosts in which the library's caster name
# resolves to 127.0.0.1 and nothing else resolves.
#
#   sandbox.sh COMMAND [ARGS...]
#
# Exits 77 (a skipped test) when namespaces are not available here.
set -u
if [ -z "${VELTO_IN_SANDBOX:-}" ]; then
  flags=(--net --mount)
  [ "$(id -u)" -ne 0 ] && flags+=(--map-root-user)
  if ! unshare "${flags[@]}" true 2>/dev/null; then
    echo "sandbox: no network namespace available here; skipping" >&2
    exit 77
  fi
  VELTO_IN_SANDBOX=1 exec unshare "${flags[@]}" --propagation private -- bash "$(readlink -f "$0")" "$@"
fi

ip link set lo up 2>/dev/null || { echo "sandbox: cannot bring loopback up" >&2; exit 77; }
scratch=$(mktemp -d /tmp/velto-sandbox.XXXXXX)
printf '127.0.0.1 localhost %s\n' "${VELTO_CASTER_HOST:-localhost}" > "$scratch/hosts"
printf 'hosts: files\n' > "$scratch/nsswitch.conf"
if ! mount --bind "$scratch/hosts" /etc/hosts ||
   ! mount --bind "$scratch/nsswitch.conf" /etc/nsswitch.conf; then
  echo "sandbox: cannot set up a private /etc/hosts" >&2
  rm -rf "$scratch"
  exit 1
fi
# The mounts keep the files alive for this namespace alone; writing to
# /etc/hosts in here changes only the private copy.
rm -rf "$scratch"
exec "$@"
