# The Windows console (tx4077x-console.exe, its own Win32 host) under Wine
# against a fresh gadget enclosure: every command block goes DeviceIoControl
# -> Wine -> SG_IO -> usb-storage -> the FunctionFS gadget -> the simulated
# bridge. Sourced by the guest init once the Linux checks are done, with $g
# the gadget's configfs folder; /windows.env names the host's paths (WIN_EXE,
# WIN_PREFIX). Wine and its libraries come from the host's root, shared
# read-only over 9p; tmpfs takes what Wine writes.
. /windows.env
echo "WINDOWS START $(cut -d' ' -f1 /proc/uptime)"
for m in virtio_pci 9pnet_virtio 9p; do modprobe $m || echo "MODPROBE FAILED $m"; done
h=/host
mkdir -p $h /dev/shm
mount -t tmpfs shm /dev/shm
if ! mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot $h; then
  echo "WINDOWS NO HOST ROOT"
  return 0 2>/dev/null || exit 0
fi
mount --rbind /dev $h/dev
mount -t proc proc $h/proc
mount --rbind /sys $h/sys
mount -t tmpfs tmp $h/tmp
mount -t tmpfs run $h/run
mkdir -p /run/lock $h/run/lock && chmod 1777 /run/lock && mount --bind /run/lock $h/run/lock
# The prefix: its registry copied, its files linked to the host's copy (with
# its update stamp, or Wine spends a minute and a half updating it).
chroot $h sh -c "mkdir -p /tmp/prefix && cp -a '$WIN_PREFIX'/*.reg '$WIN_PREFIX'/.update-timestamp \
  '$WIN_PREFIX'/dosdevices /tmp/prefix/ && cp -as '$WIN_PREFIX/drive_c' /tmp/prefix/drive_c" ||
  echo "WINDOWS PREFIX FAILED"
cp /image.bin $h/tmp/image.bin
cp /tx4077x-console.exe "$h$WIN_EXE"
wenv="HOME=/tmp WINEPREFIX=/tmp/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml="
wout() { tr -d '\r' < $h/tmp/$1.out | sed "s/^/WINCONSOLE| /"; }
wconsole() {  # name, then the console's arguments (Windows paths)
  local name=$1; shift
  chroot $h env $wenv wine "$WIN_EXE" "$@" > $h/tmp/$name.out 2>&1
  echo "WINCONSOLE $name EXIT $?"
  wout $name
}
# Started in the background: wjob is its process (chroot, env and wine exec
# into the Windows program).
wstart() {
  local name=$1; shift
  chroot $h env $wenv wine "$WIN_EXE" "$@" > $h/tmp/$name.out 2>&1 &
  wjob=$!
}
wend() { wait $wjob; echo "WINCONSOLE $1 EXIT $?"; wout $1; }
wire() { grep -c '^ENCLOSURE CMD' /tmp/wenclosure.log; }
# Waits until the enclosure has answered one more command named $1.
await() {
  local before=$(grep -c "^ENCLOSURE CMD .* $1 " /tmp/wenclosure.log) n=0
  while [ "$(grep -c "^ENCLOSURE CMD .* $1 " /tmp/wenclosure.log)" -le "$before" ] && [ $n -lt 600 ]; do
    sleep 0.1; n=$((n + 1))
  done
}
gadget_disk() {
  wdisk=""
  local n=0 d
  while [ -z "$wdisk" ] && [ $n -lt 30 ]; do
    for d in /sys/block/sd*; do readlink -f $d | grep -q dummy_hcd && wdisk=$(basename $d); done
    [ -n "$wdisk" ] || { sleep 1; n=$((n + 1)); }
  done
  sleep 1
  # Drive X: is the enclosure: x:: the device Wine opens for \\.\X:, x: its
  # volume's folder.
  ln -sfn /dev/${wdisk:-none} $h/tmp/prefix/dosdevices/x::
}

# A fresh enclosure, as a Windows user would plug it in. Its drive letter
# exists before Wine starts: Wine's drive list does not see one added later.
echo GADGETW > $g/strings/0x409/serialnumber
/enclosure serve /dev/ffs-tx tx40775-pmc > /tmp/wenclosure.log 2>&1 &
wserver=$!
n=0
while ! grep -q "^ENCLOSURE READY" /tmp/wenclosure.log && [ $n -lt 50 ]; do sleep 0.2; n=$((n + 1)); done
echo dummy_udc.0 > $g/UDC || echo "WINDOWS BIND FAILED"
gadget_disk
echo "WINDOWS DISK ${wdisk:--}"
mkdir -p $h/tmp/x $h/tmp/y
ln -s /tmp/x $h/tmp/prefix/dosdevices/x:
ln -s /tmp/y $h/tmp/prefix/dosdevices/y:   # the CD-ROM unit's drive (cdrom-unit.sh)
t0=$(cut -d' ' -f1 /proc/uptime)
chroot $h env $wenv wineserver -p
wconsole VERSION --version
echo "WINDOWS WINE UP $t0 $(cut -d' ' -f1 /proc/uptime)"

X='\\.\X:'
wconsole LIST
wconsole LISTNAMED --list --device $X --rd --backup-only --backup-file 'Z:\tmp\wlist.bin'
wconsole BACKUP --device $X --rd --backup-only --backup-file 'Z:\tmp\wbefore.bin'
. /windows-linux-lock.sh
# The update, stopped once it programs: a second Windows console (the named
# mutex) and then a Linux console (the disk's lock file) try the device.
w0=$(wire)
t1=$(cut -d' ' -f1 /proc/uptime)
wstart PROGRAM --device $X --expect-chip TX40775 --image 'Z:\tmp\image.bin'
await WriteFlash
kill -STOP $wjob
w1=$(wire); sleep 0.5
while [ "$(wire)" != "$w1" ]; do w1=$(wire); sleep 0.5; done
wconsole SECOND --device $X --rd --backup-only --backup-file 'Z:\tmp\wsecond.bin'
w2=$(wire)
echo "WINDOWS WHILE HELD $((w2 - w1)) commands reached it from a second Windows console"
linux_while_windows_holds
kill -CONT $wjob
wend PROGRAM
echo "WINDOWS UPDATE TOOK $t1 $(cut -d' ' -f1 /proc/uptime) $(( $(wire) - w0 )) commands"
wconsole READBACK --device $X --rd --backup-only --backup-file 'Z:\tmp\wafter.bin'
size=$(stat -c %s /image.bin)
same() { cmp -s -n $size $h/tmp/image.bin $h/tmp/$1.bin && echo equal || echo differs; }
echo "WINDOWS BEFORE $(same wbefore)"
echo "WINDOWS READBACK $(same wafter)"
windows_while_linux_holds

# Unplugged while it programs (the gadget unbound), plugged in again: the
# flash is then old or new once an update ends.
wstart UNPLUGGED --device $X --expect-chip TX40775 --image 'Z:\tmp\image.bin'
await WriteFlash
echo "" > $g/UDC
wend UNPLUGGED
echo dummy_udc.0 > $g/UDC
gadget_disk
echo "WINDOWS REPLUGGED ${wdisk:--}"
wconsole AGAIN --device $X --expect-chip TX40775 --image 'Z:\tmp\image.bin'
wconsole AGAINREAD --device $X --rd --backup-only --backup-file 'Z:\tmp\wagain.bin'
echo "WINDOWS AGAIN $(same wagain)"

# Another enclosure, plugged in fresh, that answers its second ReadFlash
# only after 14 s, past the request's time-out (10 s for data from the
# device): the backup fails, writes no file, and the flash stays as it was.
echo "" > $g/UDC
kill $wserver 2>/dev/null
wait $wserver 2>/dev/null
cat /tmp/wenclosure.log >> /tmp/wenclosure-all.log
TX_ENCLOSURE_STALL="ReadFlash 2 14" /enclosure serve /dev/ffs-tx tx40775-pmc > /tmp/wenclosure.log 2>&1 &
wserver=$!
n=0
while ! grep -q "^ENCLOSURE READY" /tmp/wenclosure.log && [ $n -lt 50 ]; do sleep 0.2; n=$((n + 1)); done
echo dummy_udc.0 > $g/UDC || echo "WINDOWS BIND FAILED"
gadget_disk
wconsole STALLED --device $X --rd --backup-only --backup-file 'Z:\tmp\wstalled.bin'
grep "^ENCLOSURE STALL" /tmp/wenclosure.log | sed 's/^/WINDOWS /'
[ -e $h/tmp/wstalled.bin ] && echo "WINDOWS STALLED FILE written" || echo "WINDOWS STALLED FILE none"
gadget_disk
wconsole AFTERSTALL --device $X --rd --backup-only --backup-file 'Z:\tmp\wafterstall.bin'
cmp -s $h/tmp/wbefore.bin $h/tmp/wafterstall.bin && echo "WINDOWS AFTER STALL old" || echo "WINDOWS AFTER STALL changed"
cat /tmp/wenclosure.log >> /tmp/wenclosure-all.log
mv /tmp/wenclosure-all.log /tmp/wenclosure.log
echo "WINDOWS COMMANDS $(wire) in all, $(grep -c '^ENCLOSURE CMD .* check$' /tmp/wenclosure.log) answered CHECK CONDITION: $(awk '/^ENCLOSURE CMD/{print $4}' /tmp/wenclosure.log | sort | uniq -c | awk '{printf "%s%s x%s", s, $2, $1; s=", "}')"
dmesg | grep -iE "usb 4-|sd[a-z]+|reset|abort" | tail -8 | sed 's/^/WINDOWS DMESG /'

. /cdrom-unit.sh
. /check-condition.sh
chroot $h env $wenv wineserver -k
echo "" > $g/UDC
kill $wserver 2>/dev/null
wait $wserver 2>/dev/null
echo "WINDOWS DONE $(cut -d' ' -f1 /proc/uptime)"
