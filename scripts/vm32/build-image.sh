#!/usr/bin/env bash
# Builds the root file system, kernel and initrd of the 32-bit test machine
# into DIR (as root): debootstrap, the packages of ./packages installed in a
# chroot, the init script of ./init as PID 1, then an ext4 image made from
# the tree without a loop mount. Called by `scripts/vm32.sh image`, which
# provisions the result (the Wine prefix) and moves it into its cache.
#   build-image.sh DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build-image.sh DIR}
mirror=${VELTO_VM32_MIRROR:-http://deb.debian.org/debian}
root=$out/root
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

step() { echo "vm32 image: $* ($(date +%T))"; }

step "debootstrap bookworm (minbase)"
debootstrap --variant=minbase --include=ca-certificates bookworm "$root" "$mirror" >"$out/debootstrap.log" 2>&1 \
  || { tail -n 20 "$out/debootstrap.log"; exit 1; }

# The chroot needs the kernel's file systems for the package scripts, and
# must start no services.
cleanup() {
  for mounted in dev/pts dev sys proc; do umount -l "$root/$mounted" 2>/dev/null || true; done
}
trap cleanup EXIT
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"

# The initrd carries only what finds the root file system on a virtio disk.
mkdir -p "$root/etc/initramfs-tools/conf.d"
echo MODULES=list >"$root/etc/initramfs-tools/conf.d/velto-vm32"
printf '%s\n' virtio_pci virtio_blk ext4 >"$root/etc/initramfs-tools/modules"

packages=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$here/packages" | tr '\n' ' ')
step "installing into the chroot: $packages"
chroot "$root" dpkg --add-architecture i386
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
chroot "$root" apt-get update -q >"$out/apt.log" 2>&1 || { tail -n 20 "$out/apt.log"; exit 1; }
# shellcheck disable=SC2086
chroot "$root" apt-get install -y -q --no-install-recommends $packages >>"$out/apt.log" 2>&1 \
  || { tail -n 30 "$out/apt.log"; exit 1; }
chroot "$root" apt-get clean
rm -rf "$root"/var/lib/apt/lists/*
rm -f "$root/usr/sbin/policy-rc.d" "$root/etc/resolv.conf"
cleanup
trap - EXIT

# debootstrap writes no hosts file. The test builds' caster is `localhost`,
# which must be 127.0.0.1 and nothing else.
printf '127.0.0.1\tlocalhost\n::1\tip6-localhost ip6-loopback\n' >"$root/etc/hosts"
echo vm32 >"$root/etc/hostname"
install -m 755 "$here/init" "$root/sbin/velto-init"

kernel=$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n 1)
cp "$kernel" "$out/vmlinuz"
cp "$root/boot/initrd.img-${kernel##*/vmlinuz-}" "$out/initrd.img"
step "root file system: $(du -sh "$root" | cut -f1); making the ext4 image"
mkfs.ext4 -q -F -L vm32 -d "$root" "$out/image.raw" 4G
rm -rf --one-file-system "$root"
step "image made"
