# Sourced by the guest init at its end ($g the first gadget's configfs
# folder): the production station with two gadget enclosures attached at
# once, dummy_hcd loaded again with two controllers, against the same
# station with one. Each enclosure is fresh, so each run programs.
echo "STATION2 START $(cut -d' ' -f1 /proc/uptime)"
echo "" > $g/UDC 2>/dev/null
for p in $(pidof enclosure); do kill $p; done
sleep 1
rmmod dummy_hcd && modprobe dummy_hcd num=2 || echo "STATION2 NO SECOND CONTROLLER"
g2=/sys/kernel/config/usb_gadget/tx2
mkdir -p $g2 $g2/strings/0x409 $g2/configs/c.1 $g2/functions/ffs.tx2
cat $g/idVendor > $g2/idVendor
cat $g/idProduct > $g2/idProduct
echo Tavrion > $g2/strings/0x409/manufacturer
echo "TX40775 Disk" > $g2/strings/0x409/product
echo GADGET5 > $g2/strings/0x409/serialnumber
ln -s $g2/functions/ffs.tx2 $g2/configs/c.1/
mkdir -p /dev/ffs-tx2
mount -t functionfs tx2 /dev/ffs-tx2
st_plug() {  # gadget folder, functionfs folder, controller, log
  /enclosure serve $2 tx40775-pmc > /tmp/$4.log 2>&1 &
  local n=0
  while ! grep -q "^ENCLOSURE READY" /tmp/$4.log && [ $n -lt 50 ]; do sleep 0.2; n=$((n + 1)); done
  echo $3 > $1/UDC || echo "STATION2 BIND FAILED $3"
}
st_disks() { for d in /sys/block/sd*; do readlink -f $d; done | grep -c dummy_hcd; }
st_run() {  # name, enclosures attached
  local n=0 t0 t1 pid
  while [ "$(st_disks)" -lt $2 ] && [ $n -lt 30 ]; do sleep 1; n=$((n + 1)); done
  sleep 1
  t0=$(cut -d' ' -f1 /proc/uptime)
  /console --wait --repeat --record /tmp/$1.jsonl --run 0 --expect-chip TX40775 \
    --image /image.bin > /tmp/$1.out 2>&1 &
  pid=$!
  n=0
  # The record file appears only with the first line.
  while [ "$(cat /tmp/$1.jsonl 2>/dev/null | grep -c '"enclosure"')" -lt $2 ] && [ $n -lt 1500 ]; do
    sleep 0.2; n=$((n + 1))
  done
  t1=$(cut -d' ' -f1 /proc/uptime)
  kill -TERM $pid
  wait $pid
  echo "STATION2 $1 EXIT $? took $(awk -v a=$t0 -v b=$t1 'BEGIN {printf "%.1f", b - a}') s"
  sed "s/^/STATION2 $1| /" /tmp/$1.out
  sed "s/^/STATION2 $1 RECORD /" /tmp/$1.jsonl
}
st_plug $g /dev/ffs-tx dummy_udc.0 st-one
st_run ONE 1
echo "STATION2 ONE PROGRAMMED $(grep -c '^ENCLOSURE CMD .* WriteFlash ' /tmp/st-one.log)"
echo "" > $g/UDC
for p in $(pidof enclosure); do kill $p; done
sleep 1
st_plug $g /dev/ffs-tx dummy_udc.0 st-two-a
st_plug $g2 /dev/ffs-tx2 dummy_udc.1 st-two-b
st_run TWO 2
echo "STATION2 TWO PROGRAMMED $(grep -c '^ENCLOSURE CMD .* WriteFlash ' /tmp/st-two-a.log) $(grep -c '^ENCLOSURE CMD .* WriteFlash ' /tmp/st-two-b.log)"
echo "" > $g/UDC
echo "" > $g2/UDC
for p in $(pidof enclosure); do kill $p; done
echo "STATION2 DONE $(cut -d' ' -f1 /proc/uptime)"
