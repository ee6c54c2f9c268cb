# Running 32-bit x86 programs (sourced by the stages that run them): the
# i386 library's test suite and the Windows DLLs under 32-bit Wine. Some
# machines run 64-bit user code only: their kernel refuses every i386
# program (execve fails with ENOEXEC). There, both run in the 32-bit test
# machine of scripts/vm32.sh, a small VM whose kernel runs them natively.

i386_vm=scripts/vm32.sh

# True when the kernel itself runs i386 programs. A qemu-user registration
# in binfmt_misc (left by other software) is switched off for the moment of
# the probe, so that it cannot pass for the kernel.
i386_native() {
  local entry=/proc/sys/fs/binfmt_misc/qemu-i386 switched=0 dir status=1
  if [ -w "$entry" ] && grep -q '^enabled' "$entry"; then
    echo 0 >"$entry" && switched=1
  fi
  dir=$(mktemp -d)
  if printf 'int main(void) { return 0; }\n' | gcc -m32 -static -x c - -o "$dir/probe" >/dev/null 2>&1; then
    "$dir/probe" 2>/dev/null
    status=$?
  fi
  rm -rf "$dir"
  [ "$switched" -eq 1 ] && echo 1 >"$entry"
  return $status
}

# True when the caller asked for the 32-bit test machine even where the
# kernel runs i386 programs itself (VELTO_32BIT_IN_VM=1): the way to test the
# machine, and the emulated timing, on such a host.
i386_vm_wanted() {
  [ "${VELTO_32BIT_IN_VM:-0}" = 1 ]
}

# Decides where 32-bit programs run: sets i386_where to "native" or "vm",
# or returns 1 with the reason in i386_why.
i386_choose() {
  i386_where="" i386_why=""
  if ! i386_vm_wanted && i386_native; then
    i386_where=native
  elif bash "$i386_vm" usable; then
    i386_where=vm
  else
    i386_why="this machine's kernel runs no i386 programs"
    i386_vm_wanted && i386_why="VELTO_32BIT_IN_VM=1 asks for the 32-bit test machine"
    i386_why+=", and the 32-bit test machine is not ready (as root: scripts/vm32.sh image; it needs qemu-system-x86 and debootstrap)"
    return 1
  fi
}

# Under the VM's software emulation every step takes several times as long:
# the factor that the tests' "at once" bounds allow (VELTO_TEST_SLOW_HOST).
i386_slow_factor() {
  if [ "$i386_where" = vm ] && [ "$(bash "$i386_vm" accel)" = tcg ]; then echo 4; else echo 1; fi
}

# i386_run DIR COMMAND [ARGS...]: runs COMMAND where i386_choose said, as
# root in the VM, with DIR (which must hold everything COMMAND touches)
# shared at the same path. VELTO_* variables pass through.
i386_run() {
  local dir=$1
  shift
  if [ "$i386_where" = vm ]; then
    bash "$i386_vm" run --timeout "${I386_RUN_TIMEOUT:-1800}" "$dir" -- "$@"
  else
    "$@"
  fi
}
