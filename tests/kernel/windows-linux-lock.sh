# Sourced by tests/kernel/windows-console.sh (wconsole, wire, await, $wdisk,
# $X and the enclosure log /tmp/wenclosure.log set there): a Linux console
# and a Windows console under Wine on one disk, each refused while the other
# holds it. They meet at the disk's lock file under /run/lock, which the
# chroot Wine runs in shares with the guest.

# Commands of a program: opening the block node makes the kernel itself
# send a few (TEST UNIT READY, PREVENT/ALLOW MEDIUM REMOVAL, ...) before any
# lock is taken, as for any program; Wine opens it for every handle.
own_sent() {
  awk '/^ENCLOSURE CMD/ && $4 !~ /^(TestUnitReady|PreventAllowMediumRemoval|ReadCapacity10|ModeSense6|RequestSense|ReadDisk10|WriteDisk10|SynchronizeCache10)$/' \
    /tmp/wenclosure.log | wc -l
}
settled() {
  local w=$(wire); sleep 0.5
  while [ "$(wire)" != "$w" ]; do w=$(wire); sleep 0.5; done
}

# While the Windows update is stopped half-way: a Linux console on the same disk.
linux_while_windows_holds() {
  settled
  local w1=$(wire) o1=$(own_sent)
  /console --device /dev/$wdisk --rd --backup-only --backup-file /tmp/lsecond.bin > /tmp/lsecond.out 2>&1
  echo "WINDOWS LINUX CONSOLE EXIT $?"
  echo "WINDOWS LINUX WHILE HELD $(( $(own_sent) - o1 )) commands of its own reached it ($(( $(wire) - w1 )) in all)"
  sed "s/^/WINDOWS LINUX| /" /tmp/lsecond.out
}

# A Linux update stopped half-way, a Windows console meanwhile; the update
# (the image the flash holds already) then ends, verified.
windows_while_linux_holds() {
  echo "WINDOWS LINUXHELD START $(cut -d' ' -f1 /proc/uptime)"
  /console --device /dev/$wdisk --expect-chip TX40775 --image /image.bin > /tmp/lholder.out 2>&1 &
  local holder=$! w1 o1
  await WriteFlash
  kill -STOP $holder
  settled
  w1=$(wire); o1=$(own_sent)
  wconsole LINUXHELD --device $X --rd --backup-only --backup-file 'Z:\tmp\wlinuxheld.bin'
  echo "WINDOWS WHILE LINUX HELD $(( $(own_sent) - o1 )) commands of its own reached it ($(( $(wire) - w1 )) in all)"
  [ -e $h/tmp/wlinuxheld.bin ] && echo "WINDOWS LINUXHELD FILE written" || echo "WINDOWS LINUXHELD FILE none"
  kill -CONT $holder
  wait $holder
  echo "WINDOWS LINUX HOLDER EXIT $?"
  sed "s/^/WINDOWS LINUX HOLDER| /" /tmp/lholder.out
  echo "WINDOWS LINUXHELD DONE $(cut -d' ' -f1 /proc/uptime)"
}
