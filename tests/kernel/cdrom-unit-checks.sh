# Sourced by tools/kernel-test.sh once the serial log is read (check, has,
# said and runs set there): the checks of tests/kernel/cdrom-unit.sh.
read -r _ _ _ cd_sr cd_dev _ < <(grep "^GADGET CDROM UNIT" <<<"$log" || echo "- - - - -")
cd_sg=$(sed -n 's/^GADGET CDROM UNIT .* sg=\(sg[0-9]*\)$/\1/p' <<<"$log")
cd_entry() {  # the listing (run $1) has a TX40775 entry at the CD-ROM unit's node
  awk -v run="$1: " 'index($0, run) == 1 {sub(run, ""); if (/^entry /) {e = /TX40775/} else if (e) print}' \
    <<<"$runs" | grep -F "path:    /dev/$cd_sr#$cd_dev" >/dev/null
}
check "cd-rom unit: sr binds LUN 1 beside the disk, type 5, removable ($(grep -m1 "^GADGET CDROM UNIT" <<<"$log" | cut -d' ' -f4-))" \
  has "^GADGET CDROM UNIT sr[0-9]+ 11:[0-9]+ type 5 removable 1 beside sd[a-z]+ driver=sr sg=sg[0-9]+$"
check "cd-rom unit: TEST UNIT READY answered medium not present, the sense served ($(sed -n 's/^GADGET CDROM ATTACH //p' <<<"$log"))" \
  eval 'has "^GADGET CDROM ATTACH .*00---check-no-medium x" && has "^GADGET CDROM ATTACH .*03-RequestSense-good-sense x"'
check "udev rule: the CD-ROM unit's sg node ($cd_sg) to the group tx4077x, mode 0660" \
  has "^GADGET CDROM UDEV RULE ${cd_sg:-none} tx4077x 0660$"
check "cd-rom unit, linux: a member of tx4077x lists the TX40775 at /dev/$cd_sr (the CD-ROM class)" \
  eval 'has "^CONSOLE CDLIST EXIT 0$" && cd_entry CDLIST'
check "cd-rom unit, linux: the update through the sr unit as a member of tx4077x succeeds, exit 0" \
  eval 'has "^CONSOLE CDPROGRAM EXIT 0$" && said CDPROGRAM "result: success"'
check "cd-rom unit, linux: the flash read back through it holds the image" \
  eval 'has "^CONSOLE CDREAD EXIT 0$" && has "^GADGET CDROM READBACK equal$"'
check "cd-rom unit, linux: $(sed -n 's/^GADGET CDROM SENT //p' <<<"$log")" \
  has "^GADGET CDROM SENT [1-9][0-9]* WriteFlash through the CD-ROM unit, 0 through the disk$"
if has "^WINCONSOLE CDLIST EXIT"; then
  cd_wruns=$(awk '/^WINCONSOLE [A-Z]+ EXIT/ {run = $2} /^WINCONSOLE\| / {print run ": " substr($0, 13)}' <<<"$log")
  cd_wsaid() { grep -qE -- "^$1: $2" <<<"$cd_wruns"; }
  read -r _ _ _ cd_wsr cd_wdev < <(grep "^WINDOWS CDROM UNIT" <<<"$log" || echo "- - - - -")
  check "windows, cd-rom unit: listed with --device \\\\.\\Y: ($cd_wsr), the TX40775" \
    eval 'has "^WINCONSOLE CDLIST EXIT 0$" && cd_wsaid CDLIST "entry 0: .*TX40775"'
  check "windows, cd-rom unit: its drive letter alone, by the sr node's numbers ($(sed -n 's/^CDLIST:   drives:  //p' <<<"$cd_wruns" | head -1))" \
    cd_wsaid CDLIST "  drives:  Y$"
  check "windows, cd-rom unit: the backup through \\\\.\\Y: exits 0, the factory flash" \
    eval 'has "^WINCONSOLE CDBACKUP EXIT 0$" && has "^WINDOWS CDROM BEFORE differs$"'
  check "windows, cd-rom unit: the update through DeviceIoControl on the sr node succeeds, exit 0" \
    eval 'has "^WINCONSOLE CDPROGRAM EXIT 0$" && cd_wsaid CDPROGRAM "result: success"'
  check "windows, cd-rom unit: the flash read back through \\\\.\\Y: holds the image" \
    eval 'has "^WINCONSOLE CDREAD EXIT 0$" && has "^WINDOWS CDROM READBACK equal$"'
  check "windows, cd-rom unit: $(sed -n 's/^WINDOWS CDROM SENT \([^;]*\);.*/\1/p' <<<"$log")" \
    has "^WINDOWS CDROM SENT [1-9][0-9]* WriteFlash through the CD-ROM unit, 0 through the disk;"
  check "windows, cd-rom unit: the run's lock file is the sr node's ($(sed -n 's/^WINDOWS CDROM LOCK FILES //p' <<<"$log"))" \
    has "^WINDOWS CDROM LOCK FILES .*tx4077x-${cd_wdev/:/-}\\.lock"
  check "windows, cd-rom unit: a Linux console on the held sr node is refused, exit 4, device in use" \
    eval 'has "^CONSOLE CDHELD EXIT 4$" && said CDHELD ".*device in use"'
  check "windows, cd-rom unit: no command of that Linux console reached the held unit (the disk of the same chip: $(sed -n 's/.*CD-ROM unit; \(.*\) the disk of the same chip$/\1/p' <<<"$log"))" \
    has "^WINDOWS CDROM WHILE HELD 0 \(\) commands of the Linux console reached the CD-ROM unit;"
  echo "windows, cd-rom unit: $(sed -n 's/^WINDOWS CDROM SENT [^;]*; //p' <<<"$log")"
fi
echo "cd-rom unit rows: $(awk '/^GADGET CDROM START/ {a = $4} /^GADGET CDROM DONE/ {printf "%.1f", $4 - a}' <<<"$log") s guest time"
