# Sourced by the guest init, or earlier by tests/kernel/windows-console.sh
# while Wine is up ($g the gadget's configfs folder): an enclosure that
# answers the third WriteFlash of an update CHECK CONDITION, unexecuted, and
# the REQUEST SENSE after it ILLEGAL REQUEST, command sequence error
# (05/2C/00), which the kernel hands on without a retry (a HARDWARE ERROR it
# would retry for usb-storage). The Linux console and, where Wine runs, the
# Windows console each update a fresh one; the Linux console then reads
# each flash back, so both are judged alike.
[ -z "${cc_done:-}" ] || return 0
cc_done=1
echo "CHECKCOND START $(cut -d' ' -f1 /proc/uptime)"
cc_plug() {  # the enclosure log's name
  echo "" > $g/UDC 2>/dev/null
  for p in $(pidof enclosure); do kill $p; done
  sleep 1
  echo GADGETC > $g/strings/0x409/serialnumber
  TX_ENCLOSURE_CHECK="FF 04 11;3;05/2C/00" /enclosure serve /dev/ffs-tx tx40775-pmc > /tmp/$1.log 2>&1 &
  local n=0 d
  while ! grep -q "^ENCLOSURE READY" /tmp/$1.log && [ $n -lt 50 ]; do sleep 0.2; n=$((n + 1)); done
  echo dummy_udc.0 > $g/UDC || echo "CHECKCOND BIND FAILED"
  ccdisk=""
  n=0
  while [ -z "$ccdisk" ] && [ $n -lt 30 ]; do
    for d in /sys/block/sd*; do readlink -f $d | grep -q dummy_hcd && ccdisk=$(basename $d); done
    [ -n "$ccdisk" ] || { sleep 1; n=$((n + 1)); }
  done
  sleep 1
  [ ! -d "${h:-/none}/tmp/prefix/dosdevices" ] || ln -sfn /dev/${ccdisk:-none} $h/tmp/prefix/dosdevices/x::
}
cc_judge() {  # name, enclosure log
  /console --device /dev/$ccdisk --rd --backup-only --backup-file /tmp/$1.bin > /tmp/$1-read.out 2>&1
  local size=$(stat -c %s /image.bin) flash=unreadable
  if [ -e /tmp/$1.bin ]; then
    flash=neither
    cmp -s -n $size /image.bin /tmp/$1.bin && flash=new
    cmp -s /tmp/before.bin /tmp/$1.bin && flash=old
  fi
  echo "CHECKCOND $1 FLASH $flash; $(grep -c ' injected$' /tmp/$2.log) injected, $(grep -c 'sense 05/2C/00$' /tmp/$2.log) sense served, $(grep -c '^ENCLOSURE CMD .* WriteFlash ' /tmp/$2.log) WriteFlash executed"
}
cc_plug cclinux
/console --device /dev/$ccdisk --expect-chip TX40775 --image /image.bin > /tmp/cclinux.out 2>&1
echo "CHECKCOND LINUX EXIT $?"
sed "s/^/CHECKCOND LINUX| /" /tmp/cclinux.out
cc_judge LINUX cclinux
if type wconsole >/dev/null 2>&1; then
  cc_plug ccwindows
  wconsole CHECKCOND --device '\\.\X:' --expect-chip TX40775 --image 'Z:\tmp\image.bin'
  cc_judge WINDOWS ccwindows
fi
echo "" > $g/UDC
for p in $(pidof enclosure); do kill $p; done
echo "CHECKCOND DONE $(cut -d' ' -f1 /proc/uptime)"
