#!/bin/sh
# Guest side of the kernel test: the wall time of one more update of the
# emulated enclosure at DEV, as root, and of a plain dd moving as many bytes
# to and from the same disk (data bytes of the update's Write* and
# SpiWriteData commands written, of all its other commands read, each rounded
# up to 4 KiB; O_DIRECT, 64 KiB blocks), and their ratio: the host's share of
# a real update. dd overwrites the disk from its start: run it only once
# nothing needs its file system any more. The dd pair runs ten times and its
# mean is taken, as the guest clock counts 10 ms steps.
#
#   sh update-timing.sh DEV IMAGE ENCLOSURE_LOG
dev=$1 image=$2 log=$3
uptime() { cut -d' ' -f1 /proc/uptime; }
before=$(grep -c '^ENCLOSURE CMD' "$log")
t0=$(uptime)
/console --device "$dev" --expect-chip TX40775 --image "$image" > /tmp/timed.out 2>&1
rc=$?
t1=$(uptime)
set -- $(awk -v skip="$before" '/^ENCLOSURE CMD/ && ++n > skip {
    if ($4 ~ /^(Write|SpiWriteData)/) out += $5; else inn += $5 }
  END { printf "%d %d", int((out + 4095) / 4096) * 4096, int((inn + 4095) / 4096) * 4096 }' "$log")
out=$1 inn=$2
d0=$(uptime)
i=0
while [ $i -lt 10 ]; do
  dd if=/dev/zero of="$dev" bs=64k count="$out" iflag=count_bytes oflag=direct 2>/dev/null
  dd if="$dev" of=/dev/null bs=64k count="$inn" iflag=count_bytes,direct 2>/dev/null
  i=$((i + 1))
done
d1=$(uptime)
awk -v t0="$t0" -v t1="$t1" -v d0="$d0" -v d1="$d1" -v rc="$rc" -v o="$out" -v n="$inn" 'BEGIN {
  u = t1 - t0; d = (d1 - d0) / 10; r = "?"
  if (d > 0) r = sprintf("%.0f", u / d)
  printf "GADGET TIMING update %.2f s (exit %s), dd %.3f s for %d bytes out and %d in, ratio %s\n",
    u, rc, d, o, n, r }'
