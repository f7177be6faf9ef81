# Sourced by the guest's init with the emulated enclosure attached ($gdisk,
# $gdev, console() and wire() set there). A run's lock covers the disk
# whichever node a console opens: a console holding its run through the sg
# node keeps out one that finds only the block node (a container given only
# /dev/sdX), and the reverse.
sgname=$(ls /sys/block/$gdisk/device/scsi_generic 2>/dev/null)
sgnode=/dev/$sgname
sgdev=$(cat /sys/class/scsi_generic/$sgname/dev 2>/dev/null)
# The disks' lock files, as on a system with /run/lock.
mkdir -p /run/lock
chmod 1777 /run/lock
# Commands of a program: opening a block node makes the kernel itself send
# a few (TEST UNIT READY, PREVENT MEDIUM REMOVAL, ...) before any lock is
# taken, as it does for any program; and the file system mounted on the disk
# reads and writes it with 10-byte blocks (its journal), which the console
# never sends.
sent() {
  awk '/^ENCLOSURE CMD/ && $4 !~ /^(TestUnitReady|PreventAllowMediumRemoval|ReadCapacity10|ModeSense6|RequestSense|ReadDisk10|WriteDisk10|SynchronizeCache10)$/' \
    /tmp/enclosure.log | wc -l
}
# The node comes back with the group and mode it had.
sggroup=$(stat -c %g $sgnode)
sgmode=$(stat -c %a $sgnode)
sg_away() { rm -f $sgnode; }
sg_back() {
  mknod $sgnode c ${sgdev%%:*} ${sgdev##*:}
  chgrp $sggroup $sgnode
  chmod $sgmode $sgnode
}
lock_case() {  # name, how the holder reaches the disk (sg or block)
  local name=$1 holder w1 w2
  [ "$2" = block ] && sg_away
  # An update (the image the flash holds already) lasts long enough to be
  # stopped while it holds the device; a backup-only run ends too soon. The
  # earlier case's output goes first, or its "entry" line would be taken for
  # this one's before the update holds the device.
  rm -f /tmp/lock.out
  /console --device $gdev --expect-chip TX40775 --image /image.bin > /tmp/lock.out 2>&1 &
  holder=$!
  n=0
  while ! grep -q "^entry " /tmp/lock.out && [ $n -lt 200 ]; do sleep 0.05; n=$((n + 1)); done
  kill -STOP $holder
  if [ "$2" = block ]; then sg_back; else sg_away; fi
  w1=$(sent); sleep 0.5
  while [ "$(sent)" != "$w1" ]; do w1=$(sent); sleep 0.5; done
  console $name root --device $gdev --rd --backup-only --backup-file /tmp/lock-second.bin
  w2=$(sent)
  echo "GADGET LOCK $name $((w2 - w1)) commands reached it"
  [ -e $sgnode ] || sg_back
  kill -CONT $holder
  wait $holder
  echo "CONSOLE ${name}HOLDER EXIT $?"
  sed "s/^/CONSOLE| /" /tmp/lock.out
}
if [ -n "$sgname" ] && [ -n "$sgdev" ]; then
  lock_case LOCKBYSG sg      # held through the sg node, the second has the block node only
  lock_case LOCKBYBLOCK block  # held through the block node, the second opens the sg node
else
  echo "GADGET LOCK no sg node for $gdisk"
fi
