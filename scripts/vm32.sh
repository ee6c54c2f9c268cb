#!/usr/bin/env bash
# A small x86-64 virtual machine for the project's 32-bit deliverables, for
# hosts whose kernel runs no 32-bit x86 programs: inside it the i386 library
# and its tests run natively, and the Windows DLLs run under 32-bit Wine.
# It boots Debian's own kernel under qemu-system-x86_64 (KVM when there is
# one, software emulation otherwise), has no network device, and sees one
# folder of the host at the same absolute path.
#
#   scripts/vm32.sh image                       build the image once (root), print its folder
#   scripts/vm32.sh run [--timeout S] DIR -- COMMAND [ARGS...]
#                                               boot, run COMMAND as root, exit with its status
#   scripts/vm32.sh shell [DIR]                 an interactive shell in the machine, for debugging
#   scripts/vm32.sh usable                      exit 0 when runs can start here (image and qemu)
#   scripts/vm32.sh accel                       print how the machine runs here: kvm or tcg
#
# The image lives in a machine-wide cache outside the clone
# (/var/cache/velto-vm32 as root, else ~/.cache/velto-vm32; VELTO_VM32_CACHE
# overrides), in a folder named by a hash of its recipe (scripts/vm32/):
# it is built again only when the recipe changes. Every run boots a
# throw-away snapshot of it, so runs never change the image.
#
# In a run, COMMAND starts in DIR (or in the current folder, when that lies
# inside DIR) with loopback up, `localhost` resolving to 127.0.0.1, Wine's
# prefix in /root/.wine and every VELTO_* variable of the caller. Its output
# comes through as it is written; its exit status is the script's. A machine
# that has not finished after the time limit (default 1800 s,
# VELTO_VM32_TIMEOUT) is killed, and the script says so and exits 124.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
recipe=$here/vm32

if [ -n "${VELTO_VM32_CACHE:-}" ]; then
  cache=$VELTO_VM32_CACHE
elif [ "$(id -u)" -eq 0 ]; then
  cache=/var/cache/velto-vm32
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/velto-vm32
fi

say() { echo "vm32: $*" >&2; }
die() { say "$*"; exit 125; }

# The recipe's files and their contents name the image.
image_key() {
  (cd "$recipe" && sha256sum build-image.sh init packages provision.sh) | sha256sum | cut -c1-16
}
image_dir() { echo "$cache/$(image_key)"; }
image_ready() { [ -f "$(image_dir)/ready" ]; }

need_qemu() {
  command -v qemu-system-x86_64 >/dev/null \
    || die "no qemu-system-x86_64 (Debian package qemu-system-x86)"
}

# POSIX-shell quoting, for the job script the machine's /bin/sh reads.
quote() {
  local word
  for word in "$@"; do
    printf "'%s' " "${word//\'/\'\\\'\'}"
  done
}

# The processor the machine gets under KVM. A host that is itself a virtual
# machine may refuse some of the host processor's model registers (qemu then
# aborts on IA32_ARCH_CAPABILITIES, MSR 0x10a); the guest does without it.
kvm_cpu=host,-arch-capabilities

# True when KVM can run the machine here, with the kernel KERNEL: /dev/kvm
# is usable and that kernel gets as far as its first console line with it.
# Nested hosts can offer a /dev/kvm on which a guest hangs in its first
# instructions. The answer holds for this boot of the host, so it is kept
# under the host's boot id and the probe's few seconds are paid once.
kvm_usable() {
  local kernel=$1 answer probe
  [ -w /dev/kvm ] || return 1
  answer=${TMPDIR:-/tmp}/velto-vm32-kvm.$(cat /proc/sys/kernel/random/boot_id 2>/dev/null)
  if [ ! -f "$answer" ]; then
    probe=$(mktemp)
    timeout -k 2 20 qemu-system-x86_64 -accel kvm -cpu "$kvm_cpu" -m 256 -nodefaults \
      -no-user-config -display none -no-reboot -kernel "$kernel" \
      -append "console=ttyS0 panic=-1" -serial "file:$probe" </dev/null >/dev/null 2>&1
    # Written whole, then moved in: a probe cut short leaves no answer.
    if grep -q "Linux version" "$probe"; then echo kvm >"$probe.answer"; else echo tcg >"$probe.answer"; fi
    mv -f "$probe.answer" "$answer"
    rm -f "$probe"
  fi
  [ "$(cat "$answer")" = kvm ]
}

# boot CONTROL IMAGE_DIR SNAPSHOT(on|off) TIMEOUT INTERACTIVE(0|1) [SHARE]
# Boots the machine once; CONTROL holds job.sh and receives the status.
boot() {
  local control=$1 dir=$2 snapshot=$3 limit=$4 interactive=$5 share=${6:-}
  local accel=(-accel tcg,thread=multi -cpu max,-smap)
  # 32-bit Wine oopses the guest kernel at a 32-bit iret under TCG with
  # SMAP; hence -smap. With KVM the host's processor is used, less the one
  # register that nested hosts refuse.
  if kvm_usable "$dir/vmlinuz"; then accel=(-accel kvm -cpu "$kvm_cpu"); fi
  local args=(
    "${accel[@]}" -smp 2 -m 4096 -nodefaults -no-user-config -display none -no-reboot
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img"
    -append "root=/dev/vda rw console=ttyS0 quiet panic=-1 init=/sbin/velto-init"
    -drive "file=$dir/image.raw,format=raw,if=virtio,snapshot=$snapshot"
    -virtfs "local,path=$control,mount_tag=control,security_model=none,id=control"
    -serial "file:$control/console.log"
    -chardev "stdio,id=job,signal=$([ "$interactive" = 1 ] && echo off || echo on)"
    -serial chardev:job
  )
  [ -n "$share" ] && args+=(-virtfs "local,path=$share,mount_tag=share,security_model=none,id=share")
  rm -f "$control/status"
  if [ "$interactive" = 1 ]; then
    qemu-system-x86_64 "${args[@]}"
  else
    timeout -k 10 "$limit" qemu-system-x86_64 "${args[@]}" </dev/null
  fi
  local rc=$?
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    say "the machine had not finished after ${limit} s and was killed; the end of its console:"
    tail -n 15 "$control/console.log" >&2 2>/dev/null
    return 124
  fi
  if [ ! -f "$control/status" ]; then
    say "the machine stopped without a job status (qemu exit status $rc); the end of its console:"
    tail -n 30 "$control/console.log" >&2 2>/dev/null
    return 125
  fi
  return "$(cat "$control/status")"
}

# The first lines of every job: the job's output goes to the second serial
# port, which is this script's standard output. Outside a debugging shell
# it goes there through a pipe, as it would on the host: a program that
# finds a terminal behaves otherwise (Wine draws a console on it).
job_head() { # INTERACTIVE
  echo 'stty -F /dev/ttyS1 raw -echo 2>/dev/null'
  if [ "$1" = 1 ]; then
    echo 'exec </dev/ttyS1 >/dev/ttyS1 2>&1'
  else
    echo 'mkfifo /run/job-output'
    echo 'cat /run/job-output >/dev/ttyS1 &'
    echo 'copier=$!'
    echo 'exec </dev/null >/run/job-output 2>&1'
  fi
}

# The last lines: the job's status is its command's, once the output has
# reached the port (programs the command left running may hold the pipe
# open; they get two seconds).
job_tail() {
  echo 'status=$?'
  echo 'exec >/dev/null 2>&1'
  echo 'waited=0'
  echo 'while [ -n "${copier:-}" ] && kill -0 "$copier" 2>/dev/null && [ "$waited" -lt 20 ]; do'
  echo '  sleep 0.1; waited=$((waited + 1))'
  echo 'done'
  echo 'exit "$status"'
}

# What an interrupted build left behind: its chroot's mounts first (never
# delete through a bind mount of the host's /dev), then its folder.
clear_stale_builds() {
  local stale
  for stale in "$cache"/build.*; do
    [ -d "$stale" ] || continue
    awk -v dir="$stale/" 'index($2, dir) == 1 { print $2 }' /proc/mounts | sort -r |
      while read -r mounted; do umount -l "$mounted"; done
    rm -rf --one-file-system "$stale"
  done
}

build_image() {
  [ "$(id -u)" -eq 0 ] || die "building the image needs root (debootstrap, chroot)"
  need_qemu
  for tool in debootstrap:debootstrap mkfs.ext4:e2fsprogs flock:util-linux; do
    command -v "${tool%%:*}" >/dev/null || die "no ${tool%%:*} (Debian package ${tool#*:})"
  done
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  # Another run may be building the same image: wait for it, then use it.
  flock 9
  local dir
  dir=$(image_dir)
  if image_ready; then
    echo "$dir"
    return 0
  fi
  clear_stale_builds
  local started=$SECONDS work
  work=$(mktemp -d "$cache/build.XXXXXX")
  say "building the image $(basename "$dir") in $work (about 15 minutes under emulation)"
  if ! bash "$recipe/build-image.sh" "$work" >&2; then
    rm -rf "$work"
    die "the image could not be built"
  fi
  local built=$SECONDS control="$work/control"
  mkdir -p "$control"
  cp "$recipe/provision.sh" "$control/provision.sh"
  { job_head 0; echo 'sh /run/control/provision.sh'; job_tail; } >"$control/job.sh"
  say "provisioning boot: the Wine prefix ($(date +%T))"
  if ! boot "$control" "$work" off 1800 0 >&2; then
    rm -rf "$work"
    die "the provisioning boot failed"
  fi
  rm -rf "$control"
  date -u +%FT%TZ >"$work/ready"
  # Older images are of no use once their recipe has changed.
  find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name 'build.*' -exec rm -rf {} +
  mv "$work" "$dir"
  say "image ready in $((SECONDS - started)) s (build $((built - started)) s, provisioning $((SECONDS - built)) s): $dir"
  echo "$dir"
}

run_job() { # LIMIT INTERACTIVE SHARE COMMAND...
  local limit=$1 interactive=$2 share=$3
  shift 3
  need_qemu
  image_ready || die "no image for this recipe in $cache: run 'scripts/vm32.sh image' (as root) first"
  [ -d "$share" ] || die "no folder $share to share"
  share=$(cd "$share" && pwd -P)
  local workdir
  workdir=$(pwd -P)
  case "$workdir/" in "$share"/*) ;; *) workdir=$share ;; esac
  local control
  control=$(mktemp -d "${TMPDIR:-/tmp}/vm32-run.XXXXXX")
  {
    job_head "$interactive"
    echo "mkdir -p $(quote "$share")"
    echo "mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=mmap share $(quote "$share") \\"
    echo "  || { echo 'vm32: the shared folder could not be mounted'; exit 125; }"
    echo 'export HOME=/root TERM=dumb LANG=C.UTF-8 WINEPREFIX=/root/.wine WINEARCH=win32'
    local name
    for name in $(compgen -e | grep '^VELTO_'); do
      echo "export $name=$(quote "${!name}")"
    done
    echo "cd $(quote "$workdir") || exit 125"
    echo "$(quote "$@")"
    job_tail
  } >"$control/job.sh"
  boot "$control" "$(image_dir)" on "$limit" "$interactive" "$share"
  local rc=$?
  rm -rf "$control"
  return $rc
}

command=${1:-}
shift || true
case $command in
  image)
    build_image
    ;;
  usable)
    command -v qemu-system-x86_64 >/dev/null && image_ready
    ;;
  accel)
    need_qemu
    image_ready || die "no image for this recipe in $cache: run 'scripts/vm32.sh image' (as root) first"
    kvm_usable "$(image_dir)/vmlinuz" && echo kvm || echo tcg
    ;;
  run)
    limit=${VELTO_VM32_TIMEOUT:-1800}
    if [ "${1:-}" = --timeout ]; then
      limit=${2:?--timeout needs seconds}
      shift 2
    fi
    dir=${1:?usage: scripts/vm32.sh run [--timeout S] DIR -- COMMAND [ARGS...]}
    shift
    [ "${1:-}" = -- ] && shift
    [ $# -gt 0 ] || die "usage: scripts/vm32.sh run [--timeout S] DIR -- COMMAND [ARGS...]"
    run_job "$limit" 0 "$dir" "$@"
    ;;
  shell)
    run_job 0 1 "${1:-$PWD}" setsid -c bash -i
    ;;
  *)
    sed -n '9,14p' "$0" >&2
    exit 2
    ;;
esac
