#!/usr/bin/env bash
# The Linux host in a real kernel. This machine's own kernel has no SCSI or
# USB, so qemu (software emulation, no KVM needed) boots Debian's kernel with a
# busybox initramfs, emulated USB enclosures (usb-storage with a disk and a
# CD-ROM, uas with a disk) and scsi_debug; tx-guest-probe runs the host's
# discovery and pass-through against them. Then the simulated TX40775 bridge
# (tx-guest-enclosure) goes behind the guest kernel's own USB stack: a
# FunctionFS gadget on dummy_hcd, bound by usb-storage, with a file system
# mounted from its disk; the real console (tx-guest-console) lists it and
# updates its flash through SG_IO on its sg node, as a member of the group
# tx4077x only, which the package's udev rule (applied by
# tests/kernel/udev-rule.sh) gives the sg nodes of USB disks: refused for a
# user outside it, the system disk closed to the member, one open for the whole run, a second
# console refused while the first holds the device, SIGTERM held to the
# run's end, and the commands on the wire counted against those sent; then a
# production station updates two enclosures attached one after the other. A disk
# plugged in where an unplugged one was must not be taken for it (its disk
# sequence number). The serial log is judged here.
#
#   bash tools/kernel-test.sh [BUILD_DIR]     (BUILD_DIR holds the tx-guest-* programs)
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
enclosure="$build/tx-guest-enclosure"
console="$build/tx-guest-console"
make_image="$build/tx4077x-make-image"
for program in "$probe" "$enclosure" "$console" "$make_image"; do
  [ -x "$program" ] || fail "no $program: build first"
done
. tools/kernel-test-windows.sh prepare   # the Windows console under Wine, where built

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
cp "$enclosure" "$root/enclosure"
cp "$console" "$root/console"
cp res/tx4077x.rules "$root/tx4077x.rules"
cp tests/kernel/udev-rule.sh "$root/udev-rule.sh"
cp tests/kernel/lock_nodes.sh "$root/lock_nodes.sh"
cp tests/kernel/update-timing.sh "$root/update-timing.sh"
cp tests/kernel/check-condition.sh tests/kernel/station-two.sh tests/kernel/cdrom-unit.sh "$root/"
"$make_image" 1 1 "$root/image.bin" >/dev/null   # an image for the TX40775 (type 1, sub-code 1)
mkdir -p "$root/etc"
echo "root:x:0:0:root:/:/bin/sh" > "$root/etc/passwd"
echo "tester:x:1000:1000:tester:/tmp:/bin/sh" >> "$root/etc/passwd"   # a member of tx4077x, not disk
echo "nobody:x:65534:65534:nobody:/:/bin/sh" >> "$root/etc/passwd"
printf 'root:x:0:\ndisk:x:6:\ntester:x:1000:\ntx4077x:x:999:tester\nnogroup:x:65534:\n' > "$root/etc/group"
wanted="ehci-pci xhci-pci usb-storage uas sd_mod sr_mod sg scsi_debug crc32c_generic ext4"
wanted="$wanted dummy_hcd libcomposite usb_f_fs"
[ -z "$win_exe" ] || wanted="$wanted virtio_pci 9pnet_virtio 9p"
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
[ -z "$win_exe" ] || windows_guest_files "$root"
depmod -b "$root" "$kver" 2>/dev/null

cat > "$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
chmod 1777 /tmp
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
# Another disk in its place: the outside plugs it in on seeing "REPLUG NOW".
echo "REPLUG NOW"
new=""
n=0
while [ -z "$new" ] && [ $n -lt 60 ]; do
  for d in /sys/block/sd*; do [ -e "$d/device/max_sectors" ] && new=$(basename "$d"); done
  [ -n "$new" ] || { sleep 1; n=$((n + 1)); }
done
sleep 1
echo "REPLUGGED after ${n}s as ${new:--}"
/probe replug "$path"

# The simulated bridge behind the kernel's USB stack: a FunctionFS gadget on
# dummy_hcd that usb-storage binds like any enclosure.
echo "GADGET START $(cut -d' ' -f1 /proc/uptime)"
for m in dummy_hcd libcomposite usb_f_fs; do
  modprobe $m || echo "MODPROBE FAILED $m"
done
mount -t configfs none /sys/kernel/config
g=/sys/kernel/config/usb_gadget/tx
mkdir $g $g/strings/0x409 $g/configs/c.1 $g/functions/ffs.tx
set -- $(/enclosure ids tx40775-pmc)
echo $1 > $g/idVendor
echo $2 > $g/idProduct
echo Tavrion > $g/strings/0x409/manufacturer
echo "TX40775 Disk" > $g/strings/0x409/product
echo GADGET1 > $g/strings/0x409/serialnumber
ln -s $g/functions/ffs.tx $g/configs/c.1/
mkdir -p /dev/ffs-tx /mnt/gadget
mount -t functionfs tx /dev/ffs-tx
/enclosure serve /dev/ffs-tx tx40775-pmc > /tmp/enclosure.log 2>&1 &
n=0
while ! grep -q "^ENCLOSURE READY" /tmp/enclosure.log && [ $n -lt 50 ]; do sleep 0.2; n=$((n + 1)); done
echo "GADGET VID:PID $1:$2 $(head -1 /tmp/enclosure.log)"
echo dummy_udc.0 > $g/UDC || echo "GADGET BIND FAILED"
gdisk=""
n=0
while [ -z "$gdisk" ] && [ $n -lt 30 ]; do
  for d in /sys/block/sd*; do
    readlink -f $d | grep -q dummy_hcd && gdisk=$(basename $d)
  done
  [ -n "$gdisk" ] || { sleep 1; n=$((n + 1)); }
done
sleep 1
d=$(readlink -f /sys/block/${gdisk:-none})
while [ "$d" != / ] && [ ! -e $d/bInterfaceClass ]; do d=$(dirname $d); done
driver=$(basename "$(readlink $d/driver)")
echo "GADGET DISK ${gdisk:--} $(cut -d' ' -f1 /proc/uptime) driver=${driver:--} ancestry=$(readlink -f /sys/block/${gdisk:-none} | sed 's,.*/devices/,,')"
echo "GADGET ATTACH COMMANDS $(awk '/^ENCLOSURE CMD/{print $4}' /tmp/enclosure.log | sort | uniq -c | awk '{printf "%s%s x%s", s, $2, $1; s=", "}')"
if [ -z "$gdisk" ]; then
  dmesg | tail -40 | sed 's/^/GADGET DMESG /'
else
  mke2fs -q /dev/$gdisk >/dev/null 2>&1 && mount -t ext4 /dev/$gdisk /mnt/gadget ||
    echo "GADGET MOUNT FAILED"
  # Who may use the nodes, as udev sets them: root and the group disk, then
  # the package's rule: the group tx4077x for the sg nodes of USB disks.
  for node in /dev/sg* /dev/sd*; do chgrp 6 $node; chmod 660 $node; done
  sh /udev-rule.sh /tx4077x.rules || echo "UDEV RULE FAILED"
  # The system disk (scsi_debug) stays closed to a member of tx4077x, and so
  # do the block nodes, the enclosure's own included; its sg node is open.
  sysdisk=""
  for d in /sys/block/sd*; do readlink -f $d | grep -q pseudo && sysdisk=$(basename $d); done
  for n in $(ls /sys/block/$sysdisk/device/scsi_generic) $(ls /sys/block/$gdisk/device/scsi_generic) \
           $sysdisk $gdisk; do
    su -s /bin/sh -c "exec 3<>/dev/$n" tester 2>/dev/null && echo "GADGET MEMBER OPENS $n" ||
      echo "GADGET MEMBER CANNOT OPEN $n"
  done
  echo "GADGET SYSTEM DISK ${sysdisk:--} $(ls /sys/block/$sysdisk/device/scsi_generic 2>/dev/null)"
  echo "GADGET SG $(ls /sys/block/$gdisk/device/scsi_generic 2>/dev/null) $(ls -l /dev/sg* | awk '{printf "%s %s %s; ", $10, $1, $4}')"
  console() {  # name, user, then the console's arguments
    local name=$1 user=$2; shift 2
    if [ "$user" = root ]; then /console "$@" > /tmp/console.out 2>&1
    else su -s /bin/sh -c "/console $*" "$user" > /tmp/console.out 2>&1; fi
    echo "CONSOLE $name EXIT $?"
    sed "s/^/CONSOLE| /" /tmp/console.out
  }
  wire() { grep -c '^ENCLOSURE CMD' /tmp/enclosure.log; }
  console LIST root
  console NONMEMBER nobody
  console MEMBER tester
  gdev=/dev/$gdisk
  console BACKUP tester --device $gdev --rd --backup-only --backup-file /tmp/before.bin
  # The update, as a member of tx4077x, stopped once it has programmed its first
  # block (a SIGTERM before its first erase would end it with nothing
  # written): a second console is refused meanwhile, and a SIGTERM waits for
  # its end.
  w0=$(wire)
  t0=$(cut -d' ' -f1 /proc/uptime)
  su -s /bin/sh -c "TX4077X_DEBUG=1 /console --device $gdev --expect-chip TX40775 --image /image.bin" \
    tester > /tmp/program.out 2>&1 &
  job=$!
  n=0
  while ! grep -q "^status: \." /tmp/program.out && [ $n -lt 600 ]; do sleep 0.05; n=$((n + 1)); done
  pid=$(pidof console)
  kill -STOP $pid
  # A command the update had already handed to the kernel still completes:
  # count from a log that has settled.
  w1=$(wire); sleep 0.5
  while [ "$(wire)" != "$w1" ]; do w1=$(wire); sleep 0.5; done
  console SECOND root --device $gdev --rd --backup-only --backup-file /tmp/second.bin
  console SECONDBYENTRY root --run 0 --rd --backup-only --backup-file /tmp/second.bin
  w2=$(wire)
  echo "GADGET WHILE HELD $((w2 - w1)) commands reached it"
  kill -TERM $pid
  kill -CONT $pid
  wait $job
  echo "CONSOLE PROGRAM EXIT $?"
  sed "s/^/CONSOLE| /" /tmp/program.out
  w3=$(wire)
  echo "GADGET UPDATE TOOK $t0 $(cut -d' ' -f1 /proc/uptime)"
  echo "GADGET WIRE $((w3 - w0 - (w2 - w1))) $(sed -n "s/^host: \([0-9]*\) commands to $gdisk in \([0-9]*\) opens$/\1 \2/p" /tmp/program.out)"
  console READBACK tester --device $gdev --rd --backup-only --backup-file /tmp/after.bin
  size=$(stat -c %s /image.bin)
  cmp -s -n $size /image.bin /tmp/before.bin && echo "GADGET BEFORE equal" || echo "GADGET BEFORE differs"
  cmp -s -n $size /image.bin /tmp/after.bin && echo "GADGET READBACK equal" || echo "GADGET READBACK differs"
  . /lock_nodes.sh
  /probe gadget
  # What the host sent right after each CHECK CONDITION (usb-storage asks for the sense).
  awk '/^ENCLOSURE CMD/ {if (prev ~ / check$/) print "GADGET AFTER CHECK " $3, $4, $5, $6; prev = $0}' /tmp/enclosure.log | sort -u
  echo "GADGET LARGEST TRANSFER $(awk '/^ENCLOSURE CMD/ && $5 > m {m = $5} END {print m + 0}' /tmp/enclosure.log) bytes; max_sectors now $(cat /sys/block/$gdisk/device/max_sectors)"
  echo "GADGET COMMANDS $(grep -c '^ENCLOSURE CMD' /tmp/enclosure.log) in all, $(grep -c '^ENCLOSURE CMD .* check$' /tmp/enclosure.log) answered CHECK CONDITION: $(awk '/^ENCLOSURE CMD/{print $4}' /tmp/enclosure.log | sort | uniq -c | awk '{printf "%s%s x%s", s, $2, $1; s=", "}')"
  grep -v "^ENCLOSURE CMD" /tmp/enclosure.log | sed 's/^/GADGET LOG /' | head -20
  umount /mnt/gadget
  sh /update-timing.sh $gdev /image.bin /tmp/enclosure.log   # overwrites the disk: nothing needs it after
  # A production station: two fresh enclosures attached one after the other,
  # each updated once and recorded; SIGTERM while it waits ends it (a job
  # started with & here ignores SIGINT).
  echo "" > $g/UDC
  kill $(pidof enclosure) 2>/dev/null
  sleep 1
  /console --wait --repeat --record /tmp/station.jsonl --run 0 --expect-chip TX40775 \
    --image /image.bin > /tmp/station.out 2>&1 &
  station=$!
  for n in 2 3; do
    echo GADGET$n > $g/strings/0x409/serialnumber
    /enclosure serve /dev/ffs-tx tx40775-pmc > /tmp/enclosure$n.log 2>&1 &
    server=$!
    k=0
    while ! grep -q "^ENCLOSURE READY" /tmp/enclosure$n.log && [ $k -lt 50 ]; do sleep 0.2; k=$((k + 1)); done
    echo dummy_udc.0 > $g/UDC || echo "GADGET BIND FAILED"
    k=0
    while [ "$(grep -c '"enclosure"' /tmp/station.jsonl 2>/dev/null)" -lt $((n - 1)) ] && [ $k -lt 900 ]; do
      sleep 0.2; k=$((k + 1))
    done
    echo "" > $g/UDC
    kill $server
    wait $server 2>/dev/null
    echo "GADGET STATION ENCLOSURE $n: $(grep -c '^ENCLOSURE CMD .* WriteFlash ' /tmp/enclosure$n.log) program commands, $(grep -c '"enclosure"' /tmp/station.jsonl) recorded at $(cut -d' ' -f1 /proc/uptime)"
    sleep 1
  done
  kill -TERM $station
  (sleep 20; kill -KILL $station 2>/dev/null) &
  wait $station
  echo "CONSOLE STATION EXIT $?"
  sed "s/^/CONSOLE| /" /tmp/station.out
  sed "s/^/GADGET STATION RECORD /" /tmp/station.jsonl
fi
[ ! -f /windows-console.sh ] || . /windows-console.sh
. /cdrom-unit.sh
. /check-condition.sh
. /station-two.sh
echo "GUEST DONE $(cut -d' ' -f1 /proc/uptime)"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initrd.gz"

truncate -s 16M "$work/bot.img" "$work/uas.img" "$work/bot2.img"
busybox mke2fs -F "$work/bot.img" >/dev/null 2>&1

mkfifo "$work/mon.in" "$work/mon.out"
start=$(date +%s)
qemu-system-x86_64 -m "$qemu_memory" -smp 1 -display none -no-reboot -nic none $qemu_extra \
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
replugged=0
booted=""
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ -z "$booted" ] && grep -q "^GUEST UP" "$work/serial.log" 2>/dev/null; then
    booted=$(( $(date +%s) - start ))
  fi
  if [ $unplugged -eq 0 ] && grep -q "^UNPLUG " "$work/serial.log" 2>/dev/null; then
    echo "device_del bot" >&3
    unplugged=1
  fi
  if [ $replugged -eq 0 ] && grep -q "^REPLUG NOW" "$work/serial.log" 2>/dev/null; then
    echo "drive_add 0 if=none,id=bot2disk,file=$work/bot2.img,format=raw" >&3
    echo "device_add usb-storage,id=bot2,bus=ehci.0,drive=bot2disk" >&3
    replugged=1
  fi
  [ $(( $(date +%s) - start )) -lt "$limit" ] || { cat "$work/serial.log"; fail "no end after ${limit}s"; }
  sleep 1
done
qemu_pid=""
exec 3>&-
elapsed=$(( $(date +%s) - start ))

tr -d '\r' < "$work/serial.log" | grep -E "^(MOUNT|UDEV|\[|GUEST|DEVICES|DEVICE|CHECK|CHECKS|UNPLUG|REPLUG|PROBE|MODPROBE|GADGET|CONSOLE|WINDOWS|WINCONSOLE|STATION2|tx4077x:)" || true
echo "kernel $kver, qemu wall time ${elapsed}s"
log=$(tr -d '\r' < "$work/serial.log")
grep -q "^GUEST DONE" <<<"$log" || { cat "$work/qemu.log"; fail "the guest did not finish"; }
probe_checks=$(grep -c "^CHECK .*: ok" <<<"$log")

# The console on the emulated enclosure behind the kernel's USB stack, judged
# from its exit statuses and output: "RUN: line" for each run's output lines.
runs=$(awk '/^CONSOLE [A-Z]+ EXIT/ {run = $2} /^CONSOLE\| / {print run ": " substr($0, 10)}' <<<"$log")
failed=0
passed=0
check() {  # description, then a command that succeeds when it holds
  local what=$1; shift
  if "$@"; then echo "CHECK $what: ok"; passed=$((passed + 1));
  else echo "CHECK $what: FAIL"; failed=$((failed + 1)); fi
}
has() { grep -qE -- "$1" <<<"$log"; }
sense_follows() {
  has "^GADGET AFTER CHECK 03 RequestSense [0-9]+ good$" && ! has "^GADGET AFTER CHECK ([^0]|0[^3])"
}
listed() {  # the listing's TX40775 entry shows this line
  # grep reads to the end: with -q it could leave awk writing into a closed
  # pipe, and pipefail would count that as a miss.
  awk '/^LIST: entry / {inside = /TX40775/} inside' <<<"$runs" | grep -F -- "$1" >/dev/null
}
check "gadget: usb-storage binds the emulated enclosure on dummy_hcd" \
  has "^GADGET DISK sd[a-z]+ .* driver=usb-storage ancestry=platform/dummy_hcd.*/host[0-9]+/"
check "gadget: each CHECK CONDITION is followed by REQUEST SENSE, answered" \
  sense_follows
check "console as root: listing exits 0" has "^CONSOLE LIST EXIT 0$"
check "console listing: the TX40775 entry" listed "TX40775"
check "console listing: bus USB" listed "bus:     USB"
check "console listing: its mount point" listed "mounts:  /mnt/gadget"
said() { grep -qE -- "^$1: $2" <<<"$runs"; }  # a console run's output has a line
read -r _ _ _ sysdisk syssg < <(grep "^GADGET SYSTEM DISK" <<<"$log" || echo "- - - - -")
ruled() {  # an sg node, and the group and mode the rule gave it ("" for none)
  [[ $1 == sg[0-9]* ]] && { has "^UDEV RULE $1 $2$" || { [ -z "$2" ] && ! has "^UDEV RULE $1 "; }; }
}
gadget_sg() { sed -n 's/^GADGET SG \(sg[0-9]*\) .*/\1/p' <<<"$log"; }
check "udev rule: the enclosure's sg node to the group tx4077x, mode 0660" ruled "$(gadget_sg)" "tx4077x 0660"
check "udev rule: the system disk's sg node ($syssg) left alone" ruled "$syssg" ""
check "udev rule: every sg node evaluated" eval '! has "^UDEV RULE (FAILED|.* ERROR)"'
check "a member of tx4077x opens the enclosure's sg node" has "^GADGET MEMBER OPENS $(gadget_sg)$"
check "a member of tx4077x cannot open the system disk's sg node" has "^GADGET MEMBER CANNOT OPEN $syssg$"
check "a member of tx4077x cannot open the system disk" has "^GADGET MEMBER CANNOT OPEN $sysdisk$"
check "a member of tx4077x cannot open the enclosure's block node" has "^GADGET MEMBER CANNOT OPEN sd[a-z]+$"
check "outside group tx4077x: exit 4 (unavailable)" has "^CONSOLE NONMEMBER EXIT 4$"
check "outside group tx4077x: the line names the sg node and its group" \
  said NONMEMBER "not listed: cannot open /dev/sg[0-9]+ \(sd[a-z]+\): permission denied; it is open to root and the group tx4077x"
check "a member of tx4077x, not of disk, lists the TX40775: exit 0" has "^CONSOLE MEMBER EXIT 0$"
check "a member of tx4077x sees the TX40775 entry" said MEMBER "entry [0-9]+: .*TX40775"
check "backup-only run as a member of tx4077x: exit 0" has "^CONSOLE BACKUP EXIT 0$"
check "the factory flash is not the image" has "^GADGET BEFORE differs$"
check "a second console on the held device: exit 4 (unavailable)" has "^CONSOLE SECOND EXIT 4$"
check "a second console on the held device: device in use" said SECOND ".*device in use"
check "a second console by entry number: entries leave the held device out" \
  said SECONDBYENTRY ".*entry numbers leave out a device that could not be opened"
check "nothing reached the enclosure from the second consoles" has "^GADGET WHILE HELD 0 commands"
check "the update as a member of tx4077x succeeds" said PROGRAM "result: success \(standard serial flash\)"
check "SIGTERM during the update waits for its end: says so, exit 143" \
  said PROGRAM "interrupted: SIGTERM came during the run"
check "SIGTERM during the update: exit 143" has "^CONSOLE PROGRAM EXIT 143$"
check "the update's run opened its device once" said PROGRAM "host: run on sd[a-z]+: [0-9]+ commands, 1 opens"
check "backup-only run after it: exit 0" has "^CONSOLE READBACK EXIT 0$"
check "the flash read back through the kernel holds the image" has "^GADGET READBACK equal$"
check "station: ended by SIGTERM between enclosures, exit 0" has "^CONSOLE STATION EXIT 0$"
check "station: two enclosures attached one after the other, both updated" \
  said STATION "station: 2 updated, 0 failed, 0 skipped \(ended by SIGTERM\)"
check "station: the record has one updated line per enclosure and the summary" \
  has '^GADGET STATION RECORD \{"summary":\{"updated":2,"failed":0,"skipped":0\},"endedBy":"SIGTERM"\}$'
station_wrote() { has "^GADGET STATION ENCLOSURE 2: [1-9][0-9]* program" && has "^GADGET STATION ENCLOSURE 3: [1-9][0-9]* program"; }
check "station: each enclosure received its own programming" station_wrote
updated_lines() { [ "$(grep -c '^GADGET STATION RECORD {"enclosure".*"outcome":"updated"' <<<"$log")" -eq 2 ]; }
check "station: two record lines, both updated" updated_lines
. tests/kernel/lock_nodes_checks.sh
read -r _ _ wire sent opens < <(grep "^GADGET WIRE" <<<"$log" || echo "- - 0 0 0")
within() { [ "${sent:-0}" -gt 0 ] && [ $((wire * 100)) -le $((sent * 105)) ]; }
check "commands on the wire at most 1.05 x those the update sent ($wire for ${sent:-0})" within
read -r _ _ _ t0 t1 < <(grep "^GADGET UPDATE TOOK" <<<"$log" || echo "- - - 0 0")
echo "guest figures: boot ${booted:-?} s wall ($(grep "^GUEST UP" <<<"$log") guest clock); update run $(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.1f", b - a}') s" \
  "(stopped while the second consoles ran); wire $wire for ${sent:-?} commands sent in ${opens:-?} opens by the updating console" \
  "($(awk -v w="$wire" -v s="${sent:-0}" 'BEGIN {if (s > 0) printf "%.3f", w / s; else print "?"}') per command);" \
  "$(grep "^GADGET COMMANDS" <<<"$log" | cut -d' ' -f3-)"
timing=$(grep "^GADGET TIMING" <<<"$log" || echo "GADGET TIMING none")
echo "update against dd: ${timing#GADGET TIMING }"
check "a timed update, as root, succeeds" has "^GADGET TIMING update .* \(exit 0\)"
[ -z "$win_exe" ] || windows_checks
. tests/kernel/cdrom-unit-checks.sh
. tests/kernel/check-condition-checks.sh
. tests/kernel/station-two-checks.sh
# The guest's checks: all four probe runs ended and none failed.
[ "$(grep -c "^PROBE DONE failed=0" <<<"$log")" -eq 4 ] || fail "a guest check failed or did not run"
if grep -q ": FAIL" <<<"$log"; then fail "a guest check failed"; fi
[ "$failed" -eq 0 ] || fail "$failed console check(s) failed"
echo "kernel test passed: $((probe_checks + passed)) checks"
