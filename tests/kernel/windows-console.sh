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
# The prefix: its registry copied, its files linked to the host's copy.
chroot $h sh -c "mkdir -p /tmp/prefix && cp -a '$WIN_PREFIX'/*.reg '$WIN_PREFIX'/dosdevices /tmp/prefix/ &&
  cp -as '$WIN_PREFIX/drive_c' /tmp/prefix/drive_c" || echo "WINDOWS PREFIX FAILED"
cp /image.bin $h/tmp/image.bin
cp /tx4077x-console.exe "$h$WIN_EXE"
wenv="HOME=/tmp WINEPREFIX=/tmp/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml="
chroot $h env $wenv wineserver -p
wconsole() {  # name, then the console's arguments (Windows paths)
  local name=$1; shift
  chroot $h env $wenv wine "$WIN_EXE" "$@" > $h/tmp/wconsole.out 2>&1
  echo "WINCONSOLE $name EXIT $?"
  tr -d '\r' < $h/tmp/wconsole.out | sed "s/^/WINCONSOLE| /"
}
t0=$(cut -d' ' -f1 /proc/uptime)
wconsole VERSION --version
echo "WINDOWS WINE UP $t0 $(cut -d' ' -f1 /proc/uptime)"

# A fresh enclosure, as a Windows user would plug it in.
echo GADGETW > $g/strings/0x409/serialnumber
/enclosure serve /dev/ffs-tx tx40775-pmc > /tmp/wenclosure.log 2>&1 &
wserver=$!
n=0
while ! grep -q "^ENCLOSURE READY" /tmp/wenclosure.log && [ $n -lt 50 ]; do sleep 0.2; n=$((n + 1)); done
echo dummy_udc.0 > $g/UDC || echo "WINDOWS BIND FAILED"
wdisk=""
n=0
while [ -z "$wdisk" ] && [ $n -lt 30 ]; do
  for d in /sys/block/sd*; do readlink -f $d | grep -q dummy_hcd && wdisk=$(basename $d); done
  [ -n "$wdisk" ] || { sleep 1; n=$((n + 1)); }
done
sleep 1
echo "WINDOWS DISK ${wdisk:--}"
# Drive X: is the enclosure: x:: the device Wine opens for \\.\X:, x: its
# volume's folder.
mkdir -p $h/tmp/x
ln -s /dev/${wdisk:-none} $h/tmp/prefix/dosdevices/x::
ln -s /tmp/x $h/tmp/prefix/dosdevices/x:
wire() { grep -c '^ENCLOSURE CMD' /tmp/wenclosure.log; }

wconsole LIST
wconsole LISTNAMED --list --device '\\.\X:' --rd --backup-only --backup-file 'Z:\tmp\wlist.bin'
wconsole BACKUP --device '\\.\X:' --rd --backup-only --backup-file 'Z:\tmp\wbefore.bin'
w0=$(wire)
t1=$(cut -d' ' -f1 /proc/uptime)
wconsole PROGRAM --device '\\.\X:' --expect-chip TX40775 --image 'Z:\tmp\image.bin'
echo "WINDOWS UPDATE TOOK $t1 $(cut -d' ' -f1 /proc/uptime) $(( $(wire) - w0 )) commands"
wconsole READBACK --device '\\.\X:' --rd --backup-only --backup-file 'Z:\tmp\wafter.bin'
size=$(stat -c %s /image.bin)
cmp -s -n $size $h/tmp/image.bin $h/tmp/wbefore.bin && echo "WINDOWS BEFORE equal" || echo "WINDOWS BEFORE differs"
cmp -s -n $size $h/tmp/image.bin $h/tmp/wafter.bin && echo "WINDOWS READBACK equal" || echo "WINDOWS READBACK differs"
echo "WINDOWS COMMANDS $(wire) in all, $(grep -c '^ENCLOSURE CMD .* check$' /tmp/wenclosure.log) answered CHECK CONDITION: $(awk '/^ENCLOSURE CMD/{print $4}' /tmp/wenclosure.log | sort | uniq -c | awk '{printf "%s%s x%s", s, $2, $1; s=", "}')"

chroot $h env $wenv wineserver -k
echo "" > $g/UDC
kill $wserver 2>/dev/null
wait $wserver 2>/dev/null
echo "WINDOWS DONE $(cut -d' ' -f1 /proc/uptime)"
