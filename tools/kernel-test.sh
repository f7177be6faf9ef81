#!/usr/bin/env bash
# The Linux host in a real kernel. This machine's own kernel has no SCSI or
# USB, so qemu (software emulation, no KVM needed) boots Debian's kernel with a
# busybox initramfs, emulated USB enclosures (usb-storage with a disk and a
# CD-ROM, uas with a disk) and scsi_debug; tx-guest-probe runs the host's
# discovery and pass-through against them and the serial log is judged here.
#
#   bash tools/kernel-test.sh [BUILD_DIR]     (BUILD_DIR holds tx-guest-probe)
#
# Fails on any failed check; skips (exit 0, one "SKIPPED:" line) only where
# the machine cannot run it: no package can be installed or downloaded.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
probe="$build/tx-guest-probe"
cache="$build/kernel-cache"   # the kernel package, kept between runs
limit=${TX_KERNEL_TEST_SECONDS:-600}

skip() { echo "kernel test SKIPPED: $*"; exit 0; }
fail() { echo "kernel test FAILED: $*"; exit 1; }
[ -x "$probe" ] || fail "no $probe: build first"

need=(qemu-system-x86 busybox-static cpio kmod)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq \
      --no-install-recommends "${missing[@]}"; } >/dev/null 2>&1 ||
    skip "cannot install ${missing[*]}"
fi

mkdir -p "$cache"
if ! ls "$cache"/linux-image-*.deb >/dev/null 2>&1; then
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/{print $2; exit}')
  [ -n "$pkg" ] || { apt-get update -qq >/dev/null 2>&1 || true;
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/{print $2; exit}'); }
  [ -n "$pkg" ] || skip "no Debian kernel package known to apt"
  (cd "$cache" && apt-get download "$pkg" >/dev/null 2>&1) || skip "cannot download $pkg"
fi

work=$(mktemp -d /tmp/tx-kernel.XXXXXX)
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

dpkg-deb -x "$cache"/linux-image-*.deb "$work/k"
kver=$(ls "$work/k/lib/modules")
kmods="$work/k/lib/modules/$kver"
depmod -b "$work/k" "$kver"

# The initramfs: busybox, the probe, and the modules with their dependencies.
root="$work/root"
mkdir -p "$root"/{bin,proc,sys,dev,tmp,mnt/usb,lib/modules/$kver}
cp "$(command -v busybox)" "$root/bin/busybox"
cp "$probe" "$root/probe"
wanted="ehci-pci xhci-pci usb-storage uas sd_mod sr_mod sg scsi_debug crc32c_generic ext4"
declare -A seen=()
add_module() {
  local file
  file=$(awk -v m="$1" -F: '{n=$1; sub(".*/", "", n); sub("\\.ko.*", "", n); gsub("-", "_", n);
         t=m; gsub("-", "_", t); if (n == t) {print $1; exit}}' "$kmods/modules.dep")
  [ -n "$file" ] || return 0   # built into the kernel
  [ -z "${seen[$file]:-}" ] || return 0
  seen[$file]=1
  mkdir -p "$root/lib/modules/$kver/$(dirname "$file")"
  cp "$kmods/$file" "$root/lib/modules/$kver/$file"
  local dep
  for dep in $(awk -v f="$file" -F: '$1 == f {print $2}' "$kmods/modules.dep"); do
    dep=$(basename "$dep"); add_module "${dep%%.ko*}"
  done
}
for m in $wanted; do add_module "$m"; done
depmod -b "$root" "$kver" 2>/dev/null

cat > "$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
echo "GUEST UP $(cut -d' ' -f1 /proc/uptime)"
for m in ehci-pci xhci-pci usb-storage uas sd_mod sr_mod sg crc32c_generic ext4; do
  modprobe $m || echo "MODPROBE FAILED $m"
done
modprobe scsi_debug dev_size_mb=8 || echo "MODPROBE FAILED scsi_debug"
n=0
while [ $n -lt 60 ]; do
  [ "$(ls -d /sys/block/sd* 2>/dev/null | wc -l)" -ge 3 ] && [ -e /sys/block/sr0 ] && break
  sleep 1; n=$((n + 1))
done
sleep 2
bot=""
for d in /sys/block/sd*; do [ -e "$d/device/max_sectors" ] && bot=$(basename "$d"); done
echo "DEVICES UP $(cut -d' ' -f1 /proc/uptime) usb-storage=$bot"
[ -n "$bot" ] && { mount -t ext4 /dev/$bot /mnt/usb || { echo "MOUNT FAILED"; dmesg | tail -5; }; }
/probe checks > /tmp/checks.out 2>&1
rc=$?
cat /tmp/checks.out
echo "CHECKS EXIT $rc"
umount /mnt/usb 2>/dev/null
# The outside unplugs the usb-storage enclosure on seeing "UNPLUG".
path=$(sed -n 's/^UNPLUG //p' /tmp/checks.out)
n=0
while [ -e /sys/block/$bot ] && [ $n -lt 60 ]; do sleep 1; n=$((n + 1)); done
echo "UNPLUGGED after ${n}s"
/probe unplug "$path"
echo "GUEST DONE $(cut -d' ' -f1 /proc/uptime)"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initrd.gz"

truncate -s 16M "$work/bot.img" "$work/uas.img"
busybox mke2fs -F "$work/bot.img" >/dev/null 2>&1

mkfifo "$work/mon.in" "$work/mon.out"
start=$(date +%s)
qemu-system-x86_64 -m 512 -smp 1 -display none -no-reboot -nic none \
  -kernel "$work/k/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 panic=-1 quiet" \
  -serial "file:$work/serial.log" -chardev "pipe,id=mon,path=$work/mon" -mon chardev=mon \
  -device usb-ehci,id=ehci -device usb-bot,id=bot,bus=ehci.0 \
  -drive if=none,id=botdisk,file="$work/bot.img",format=raw \
  -device scsi-hd,bus=bot.0,lun=0,drive=botdisk \
  -drive if=none,id=botcd,media=cdrom -device scsi-cd,bus=bot.0,lun=1,drive=botcd \
  -device qemu-xhci,id=xhci -device usb-uas,id=uas,bus=xhci.0 \
  -drive if=none,id=uasdisk,file="$work/uas.img",format=raw -device scsi-hd,bus=uas.0,drive=uasdisk \
  >"$work/qemu.log" 2>&1 &
qemu_pid=$!
cat "$work/mon.out" >/dev/null &
exec 3>"$work/mon.in"

unplugged=0
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ $unplugged -eq 0 ] && grep -q "^UNPLUG " "$work/serial.log" 2>/dev/null; then
    echo "device_del bot" >&3
    unplugged=1
  fi
  [ $(( $(date +%s) - start )) -lt "$limit" ] || { cat "$work/serial.log"; fail "no end after ${limit}s"; }
  sleep 1
done
qemu_pid=""
exec 3>&-
elapsed=$(( $(date +%s) - start ))

tr -d '\r' < "$work/serial.log" | grep -E "^(MOUNT|\[|GUEST|DEVICES|DEVICE|CHECK|CHECKS|UNPLUG|PROBE|MODPROBE|tx4077x:)" || true
echo "kernel $kver, qemu wall time ${elapsed}s"
log=$(tr -d '\r' < "$work/serial.log")
grep -q "^GUEST DONE" <<<"$log" || { cat "$work/qemu.log"; fail "the guest did not finish"; }
[ "$(grep -c "^PROBE DONE failed=0" <<<"$log")" -eq 2 ] || fail "a check failed or did not run"
if grep -q ": FAIL" <<<"$log"; then fail "a check failed"; fi
echo "kernel test passed: $(grep -c "^CHECK .*: ok" <<<"$log") checks"
