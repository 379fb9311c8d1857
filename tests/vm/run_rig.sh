#!/usr/bin/env bash
# Boots Debian's own kernel under QEMU with the guest test as its /init's work and checks
# the result the guest prints on its console.
#   run_rig.sh WORKDIR GUEST_PROGRAM
# WORKDIR keeps the kernel between runs. The guest's UARTs: ttyS0 the console (a file here),
# ttyS1 and ttyS2 joined to each other, ttyS3 joined to QEMU's QMP monitor; an FTDI adapter
# on xHCI whose bytes go to the ring buffer u1. Nothing touches the host's serial devices.
set -euo pipefail
work=$1
guest=$2
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v qemu-system-x86_64 >/dev/null || [ ! -x /bin/busybox ] || ! command -v cpio >/dev/null; then
  echo "qemu-system-x86, busybox-static or cpio is not installed: skipped"
  exit 77
fi
if ldd /bin/busybox >/dev/null 2>&1; then
  echo "/bin/busybox is not the static one (package busybox-static)"
  exit 1
fi
mkdir -p "$work"
kernel=$work/kernel
if [ ! -f "$kernel/vmlinuz" ]; then
  kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
  }
  pkg=$(kernel_package)
  if [ -z "$pkg" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -q >/dev/null && pkg=$(kernel_package)
  fi
  [ -n "$pkg" ] || { echo "no kernel package named by linux-image-amd64"; exit 1; }
  echo "fetching $pkg"
  rm -rf "$work/fetch" "$kernel"
  mkdir -p "$work/fetch" "$kernel.new/modules"
  (cd "$work/fetch" && apt-get download -q "$pkg")
  dpkg-deb -x "$work"/fetch/*.deb "$work/fetch/x"
  cp "$work"/fetch/x/boot/vmlinuz-* "$kernel.new/vmlinuz"
  for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    f=$(find "$work/fetch/x/lib/modules" -name "$m.ko" | head -n1)
    [ -n "$f" ] || { echo "module $m.ko not in $pkg"; exit 1; }
    cp "$f" "$kernel.new/modules/"
  done
  rm -rf "$work/fetch"
  mv "$kernel.new" "$kernel"
fi

root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,proc,sys,dev,tmp,modules}
cp /bin/busybox "$root/bin/busybox"
cp "$here/init" "$root/init"
chmod 755 "$root/init"
cp "$kernel"/modules/*.ko "$root/modules/"
cp "$guest" "$root/guest_test"
# The libraries where the program's loader looks for them (libtty.so.1 by its run path).
for lib in $(ldd "$guest" | awk '/=> \// {print $3} /^\t\// {print $1}'); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initrd.cpio"

sockets=$(mktemp -d /tmp/ttyvm.XXXXXX)
trap 'rm -rf "$sockets"' EXIT
console=$work/console.log
rm -f "$console"
status=0
timeout 600 qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nodefaults -display none -no-reboot \
  -kernel "$kernel/vmlinuz" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1" \
  -chardev file,id=con,path="${console//,/,,}" \
  -chardev socket,id=line1,path="$sockets/line",server=on,wait=off \
  -chardev socket,id=line2,path="$sockets/line" \
  -chardev socket,id=qmpg,path="$sockets/qmp",server=on,wait=off \
  -chardev socket,id=qmph,path="$sockets/qmp" \
  -serial chardev:con -serial chardev:line1 -serial chardev:line2 -serial chardev:qmpg \
  -mon chardev=qmph,mode=control \
  -device qemu-xhci,id=xhci -chardev ringbuf,id=u1,size=65536 \
  -device usb-serial,chardev=u1,id=usbser,bus=xhci.0 || status=$?
tr -d '\r' <"$console"
[ $status -eq 0 ] || { echo "QEMU ended with status $status"; exit 1; }
grep -q '^RESULT: [0-9]* passed, 0 failed' <(tr -d '\r' <"$console")
