# Sourced by tests/kernel/windows-console.sh while Wine is up, or else by the
# guest init ($g the gadget's configfs folder): the bridge presenting a
# CD-ROM unit without a disc as LUN 1 beside its disk (the same chip), bound
# by sr. The Linux console, as a member of tx4077x, lists it through the
# CD-ROM class and updates the chip through the sr unit's sg node; then, on a
# fresh enclosure, the Windows console updates it through drive Y:, whose
# y:: link leads to the sr node, and a Linux console on the sr node is
# refused meanwhile. Each flash is read back through the CD-ROM unit.
[ -z "${cd_done:-}" ] || return 0
cd_done=1
echo "GADGET CDROM START $(cut -d' ' -f1 /proc/uptime)"
cd_plug() {  # the enclosure log's name
  echo "" > $g/UDC 2>/dev/null
  for p in $(pidof enclosure); do kill $p; done
  sleep 1
  echo GADGETD > $g/strings/0x409/serialnumber
  TX_ENCLOSURE_CDROM=1 /enclosure serve /dev/ffs-tx tx40775-pmc > /tmp/$1.log 2>&1 &
  local n=0 d
  while ! grep -q "^ENCLOSURE READY" /tmp/$1.log && [ $n -lt 50 ]; do sleep 0.2; n=$((n + 1)); done
  echo dummy_udc.0 > $g/UDC || echo "GADGET CDROM BIND FAILED"
  cdsr="" cdsd=""
  n=0
  while { [ -z "$cdsr" ] || [ -z "$cdsd" ]; } && [ $n -lt 30 ]; do
    for d in /sys/block/sr* /sys/block/sd*; do
      readlink -f $d | grep -q dummy_hcd || continue
      case ${d##*/} in sr*) cdsr=${d##*/};; *) cdsd=${d##*/};; esac
    done
    [ -n "$cdsr" ] && [ -n "$cdsd" ] || { sleep 1; n=$((n + 1)); }
  done
  sleep 1
}
cd_console() {  # name, user, then the console's arguments
  local name=$1 user=$2; shift 2
  su -s /bin/sh -c "/console $*" "$user" > /tmp/cd.out 2>&1
  echo "CONSOLE $name EXIT $?"
  sed "s/^/CONSOLE| /" /tmp/cd.out
}
# Commands in log $1 past its first $2 lines that a program sent to unit $3
# (LUN1 the CD-ROM unit, CMD the disk), not the kernel for an open nor the
# unit's own refusals: "N (name xK, ...)".
cd_own() {
  awk -v s=$2 -v unit=$3 'NR > s && $2 == unit {name = (unit == "LUN1") ? $5 : $4;
    if (name !~ /^(-|TestUnitReady|PreventAllowMediumRemoval|RequestSense)$/) {k++; seen[name]++}}
    END {printf "%d (", k; for (n in seen) {printf "%s%s x%d", c, n, seen[n]; c = ", "} print ")"}' $1
}
cd_same() { cmp -s -n $(stat -c %s /image.bin) /image.bin $1 && echo equal || echo differs; }
cd_plug cdlinux
echo "GADGET CDROM UNIT ${cdsr:--} $(cat /sys/block/${cdsr:-none}/dev 2>/dev/null) type $(cat /sys/block/${cdsr:-none}/device/type 2>/dev/null) removable $(cat /sys/block/${cdsr:-none}/removable 2>/dev/null) beside ${cdsd:--} driver=$(basename "$(readlink /sys/block/${cdsr:-none}/device/driver)") sg=$(ls /sys/block/${cdsr:-none}/device/scsi_generic 2>/dev/null)"
# What the kernel asked of the unit as it bound it, and how the unit answered.
echo "GADGET CDROM ATTACH $(awk '/^ENCLOSURE LUN1 CMD/ {print $4 "-" $5 "-" $7 ($8 == "" ? "" : "-" $8)}' /tmp/cdlinux.log | sort | uniq -c | awk '{printf "%s%s x%s", s, $2, $1; s=", "}')"
sh /udev-rule.sh /tx4077x.rules | sed 's/^/GADGET CDROM /'
# A plain open of the node (no O_NONBLOCK) needs a disc; the consoles' opens do not.
echo "GADGET CDROM PLAIN OPEN $( (exec 3</dev/${cdsr:-none}) 2>&1 && echo opens)"
for node in /dev/sr*; do chgrp 6 $node; chmod 660 $node; done
cd_console CDLIST tester
cd_console CDPROGRAM tester --device /dev/$cdsr --expect-chip TX40775 --image /image.bin
cd_console CDREAD tester --device /dev/$cdsr --rd --backup-only --backup-file /tmp/cdread.bin
echo "GADGET CDROM READBACK $(cd_same /tmp/cdread.bin)"
echo "GADGET CDROM SENT $(grep -c '^ENCLOSURE LUN1 CMD .* WriteFlash ' /tmp/cdlinux.log) WriteFlash through the CD-ROM unit, $(grep -c '^ENCLOSURE CMD .* WriteFlash ' /tmp/cdlinux.log) through the disk"

if type wconsole >/dev/null 2>&1; then
  # A fresh enclosure for the Windows console; drive Y: existed when Wine
  # started, its y:: link is set now.
  cd_plug cdwindows
  ln -sfn /dev/${cdsr:-none} $h/tmp/prefix/dosdevices/y::
  echo "WINDOWS CDROM UNIT ${cdsr:--} $(cat /sys/block/${cdsr:-none}/dev 2>/dev/null)"
  Y='\\.\Y:'
  # Wine's own account of the device calls of one listing.
  chroot $h env $wenv WINEDEBUG=+cdrom,+volume wine "$WIN_EXE" --list --device $Y --rd --backup-only \
    --backup-file 'Z:\tmp\cdtrace.bin' > $h/tmp/cdtrace.out 2> $h/tmp/cdtrace.err
  echo "WINCONSOLE CDLIST EXIT $?"
  wout cdtrace
  tr -d '\r' < $h/tmp/cdtrace.err | grep -E ':(cdrom|volume):' |
    sed -E 's/^[0-9a-f]+://; s/(0x)?[0-9a-fA-F]{6,}/#/g' | sort | uniq -c | sort -rn | head -24 |
    sed 's/^ */WINDOWS CDROM TRACE /'
  wconsole CDBACKUP --device $Y --rd --backup-only --backup-file 'Z:\tmp\cdwbefore.bin'
  wstart CDPROGRAM --device $Y --expect-chip TX40775 --image 'Z:\tmp\image.bin'
  n=0
  while ! grep -q "^ENCLOSURE LUN1 CMD .* WriteFlash " /tmp/cdwindows.log && [ $n -lt 600 ]; do
    sleep 0.1; n=$((n + 1))
  done
  kill -STOP $wjob
  # A command already handed to the kernel still completes: count from a
  # log that has settled.
  cd_w1=$(wc -l < /tmp/cdwindows.log); sleep 0.5
  while [ "$(wc -l < /tmp/cdwindows.log)" != "$cd_w1" ]; do cd_w1=$(wc -l < /tmp/cdwindows.log); sleep 0.5; done
  echo "WINDOWS CDROM LOCK FILES $(ls /run/lock | grep tx4077x | tr '\n' ' ')"
  cd_console CDHELD root --device /dev/$cdsr --rd --backup-only --backup-file /tmp/cdheld.bin
  # The console identifies every enclosure it finds before it picks the one
  # named, the disk of the same chip among them.
  echo "WINDOWS CDROM WHILE HELD $(cd_own /tmp/cdwindows.log $cd_w1 LUN1) commands of the Linux console reached the CD-ROM unit; $(cd_own /tmp/cdwindows.log $cd_w1 CMD) the disk of the same chip"
  kill -CONT $wjob
  wend CDPROGRAM
  wconsole CDREAD --device $Y --rd --backup-only --backup-file 'Z:\tmp\cdwafter.bin'
  echo "WINDOWS CDROM BEFORE $(cd_same $h/tmp/cdwbefore.bin)"
  echo "WINDOWS CDROM READBACK $(cd_same $h/tmp/cdwafter.bin)"
  echo "WINDOWS CDROM SENT $(grep -c '^ENCLOSURE LUN1 CMD .* WriteFlash ' /tmp/cdwindows.log) WriteFlash through the CD-ROM unit, $(grep -c '^ENCLOSURE CMD .* WriteFlash ' /tmp/cdwindows.log) through the disk; $(grep -c '^ENCLOSURE LUN1 CMD' /tmp/cdwindows.log) commands to the unit: $(awk '/^ENCLOSURE LUN1 CMD/ {print $5}' /tmp/cdwindows.log | sort | uniq -c | sort -rn | head -6 | awk '{printf "%s%s x%s", s, $2, $1; s=", "}')"
  rm -f $h/tmp/prefix/dosdevices/y::
fi
echo "" > $g/UDC
for p in $(pidof enclosure); do kill $p; done
echo "GADGET CDROM DONE $(cut -d' ' -f1 /proc/uptime)"
