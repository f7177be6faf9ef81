# Sourced by windows_checks (tools/kernel-test-windows.sh; check, has and
# wsaid set there): the checks of tests/kernel/windows-linux-lock.sh.
lsaid() { grep -qE -- "^WINDOWS LINUX\| .*$1" <<<"$log"; }
check "windows held: a Linux console on the disk is refused, exit 4 (unavailable)" \
  has "^WINDOWS LINUX CONSOLE EXIT 4$"
check "windows held: the Linux console says the device is in use" lsaid "device in use"
check "windows held: no command of the Linux console reached the enclosure" \
  has "^WINDOWS LINUX WHILE HELD 0 commands of its own"
check "linux held: a Windows console on the disk is refused, exit 4 (unavailable)" \
  has "^WINCONSOLE LINUXHELD EXIT 4$"
check "linux held: the Windows console says the device is in use" wsaid LINUXHELD ".*device in use"
check "linux held: no command of the Windows console reached the enclosure" \
  has "^WINDOWS WHILE LINUX HELD 0 commands of its own"
check "linux held: the refused Windows backup wrote no file" has "^WINDOWS LINUXHELD FILE none$"
check "linux held: the holding Linux update then succeeds, exit 0" has "^WINDOWS LINUX HOLDER EXIT 0$"
check "linux held: the holding Linux update verified its image" \
  has "^WINDOWS LINUX HOLDER\\| result: success"
echo "windows: the Windows console refused while a Linux update held the disk, with that update:" \
  "$(awk '/^WINDOWS LINUXHELD START/ {a = $4} /^WINDOWS LINUXHELD DONE/ {printf "%.1f", $4 - a}' <<<"$log") s guest time"
