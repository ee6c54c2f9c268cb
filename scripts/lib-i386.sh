# Running i386 programs (sourced by the stages that run them). Some virtual
# machines run 64-bit user code only: their kernel refuses every i386
# program (execve fails with ENOEXEC). There, i386 Linux programs still run
# through qemu-user registered with binfmt_misc (Debian package
# qemu-user-static), but 32-bit Wine does not.

i386_binfmt=/proc/sys/fs/binfmt_misc
i386_entry=$i386_binfmt/qemu-i386

# Runs a static i386 program that does nothing; false when none can be
# built or the kernel (with whatever binfmt_misc adds) refuses it.
i386_probe_runs() {
  local dir status=1
  dir=$(mktemp -d)
  if printf 'int main(void) { return 0; }\n' | gcc -m32 -static -x c - -o "$dir/probe" >/dev/null 2>&1; then
    "$dir/probe" 2>/dev/null
    status=$?
  fi
  rm -rf "$dir"
  return $status
}

# True when the kernel itself runs i386 programs; a qemu-user registration is
# switched off for the moment of the test.
i386_native() {
  local switched=0 status
  if [ -w "$i386_entry" ] && grep -q '^enabled' "$i386_entry"; then
    echo 0 >"$i386_entry" && switched=1
  fi
  i386_probe_runs
  status=$?
  [ "$switched" -eq 1 ] && echo 1 >"$i386_entry"
  return $status
}

# Makes the kernel hand i386 programs to qemu-i386-static (root only). The
# F flag opens the emulator now, so it also serves inside namespaces.
i386_emulate() {
  i386_probe_runs && return 0
  [ -x /usr/bin/qemu-i386-static ] && [ "$(id -u)" -eq 0 ] || return 1
  [ -e "$i386_binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$i386_binfmt" 2>/dev/null || return 1
  if [ ! -e "$i386_entry" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      >"$i386_binfmt/register" 2>/dev/null || return 1
  fi
  echo 1 >"$i386_entry" 2>/dev/null
  i386_probe_runs
}
