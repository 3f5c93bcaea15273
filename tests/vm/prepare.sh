#!/usr/bin/env bash
# Prepares the guest of the virtual-machine test bed under build/vm (or $TAVELO_VM_DIR): Debian's own
# kernel, unpacked from its package (not installed), and a busybox initramfs holding the modules the
# guest needs (virtio and 9p to mount the host, USB gadget, dummy_hcd and HID). Everything is cached:
# a second run does nothing unless the kernel package changed.
# Usage: tests/vm/prepare.sh   (prints the cache directory on standard output)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
vm="${TAVELO_VM_DIR:-$root/build/vm}"
mkdir -p "$vm"

"$root/scripts/install-deps" qemu-system-x86 busybox-static cpio kmod udev >&2
. "$root/scripts/apt-helpers.sh"

# The kernel package linux-image-amd64 points at, e.g. linux-image-6.1.0-57-amd64.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
pkg="$(kernel_package)"
if [ -z "$pkg" ]; then
  # A machine whose package lists were never fetched (nothing had to be installed above).
  apt_update >&2
  pkg="$(kernel_package)"
fi
[ -n "$pkg" ] || { echo "no kernel package found" >&2; exit 1; }
kdir="$vm/$pkg"
if [ ! -f "$kdir/.done" ]; then
  echo "vm: fetching $pkg" >&2
  rm -rf "$kdir" && mkdir -p "$kdir/deb"
  (cd "$kdir/deb" && apt_retry apt-get download "$pkg" >&2) || { echo "vm: could not download $pkg" >&2; exit 1; }
  dpkg-deb -x "$kdir"/deb/*.deb "$kdir/root"
  rm -rf "$kdir/deb"
  kver="$(ls "$kdir/root/lib/modules")"
  depmod -b "$kdir/root" "$kver"
  touch "$kdir/.done"
fi
kver="$(ls "$kdir/root/lib/modules")"
mods="$kdir/root/lib/modules/$kver/kernel"

# Modules in load order (insmod does not resolve dependencies). Boot: virtio and 9p; USB: HID, the host
# controller emulation and the gadget functions.
boot_mods=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache 9pnet
           9pnet_virtio 9p)
usb_mods=(hid uhid hid-generic usb-common usbcore usbhid udc-core dummy_hcd configfs libcomposite usb_f_hid)

initrd="$kdir/initrd.gz"
stamp="$(cat "$here/guest-init" "$0" | sha256sum | cut -c1-16)"
if [ ! -f "$initrd" ] || [ "$(cat "$kdir/initrd.stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "vm: building the initramfs" >&2
  ird="$(mktemp -d)"
  trap 'rm -rf "$ird"' EXIT
  mkdir -p "$ird"/{bin,dev,proc,sys,host,modules}
  cp /bin/busybox "$ird/bin/busybox"
  for m in "${boot_mods[@]}" "${usb_mods[@]}"; do
    f="$(find "$mods" -name "$m.ko" -o -name "${m//-/_}.ko" | head -n1)"
    [ -n "$f" ] || { echo "module $m not in $pkg" >&2; exit 1; }
    cp "$f" "$ird/modules/"
  done
  printf '%s\n' "${boot_mods[@]}" > "$ird/modules/boot.order"
  printf '%s\n' "${usb_mods[@]}" > "$ird/modules/usb.order"
  cp "$here/guest-init" "$ird/init"
  chmod 755 "$ird/init"
  (cd "$ird" && find . | cpio -o -H newc --quiet | gzip -1) > "$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
  echo "$stamp" > "$kdir/initrd.stamp"
fi
ln -sfn "$kdir/root/boot/vmlinuz-$kver" "$vm/vmlinuz"
ln -sfn "$initrd" "$vm/initrd.gz"
echo "$vm"
