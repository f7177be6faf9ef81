# Sourced by tools/kernel-test.sh: the Windows console under Wine in the same
# guest, against the gadget enclosure (guest steps: tests/kernel/windows-console.sh).
#
# "prepare" finds the Windows build (TX_WIN_BUILD, default build-win; when it
# is named and not built, the test fails; when the default is absent the
# Windows checks are skipped with one line), readies its Wine prefix and sets
# the qemu options: the host's root shared read-only and memory for Wine.
# No KVM: on this kind of machine /dev/kvm exists but a guest under it never
# reaches its init (checked with qemu 7.2), so qemu emulates as before.
win_exe=""
qemu_memory=512
qemu_extra=""
if [ "${1:-}" = prepare ]; then
  win_build=${TX_WIN_BUILD:-build-win}
  if [ -f "$win_build/tx4077x-console.exe" ]; then
    win_build=$(realpath "$win_build")
    win_exe="$win_build/tx4077x-console.exe"
  elif [ -n "${TX_WIN_BUILD:-}" ]; then
    fail "no $win_build/tx4077x-console.exe: build the Windows targets first"
  else
    echo "Windows console checks SKIPPED: no $win_build/tx4077x-console.exe"
  fi
  if [ -n "$win_exe" ]; then
    command -v wine >/dev/null || fail "the Windows checks need wine (tools/deps.sh installs it)"
    # The prefix is made here, where it takes seconds; the guest links to it.
    (. tools/wine-env.sh "$win_build" && { wineserver -k 2>/dev/null || true; })
    win_prefix="$win_build/wineprefix"
    # The guest lays tmpfs over /tmp: a prefix there would be hidden.
    case "$win_prefix" in /tmp/*) fail "the Wine prefix must not live under /tmp ($win_prefix)";; esac
    qemu_memory=1536
    # Wine's first start alone takes one to three minutes under emulation.
    [ -n "${TX_KERNEL_TEST_SECONDS:-}" ] || limit=1200
    qemu_extra="-virtfs local,path=/,mount_tag=hostroot,readonly=on,security_model=none,multidevs=remap"
  fi
fi

# The guest's script, the console and where the prefix lives, into the initramfs.
windows_guest_files() {
  cp tests/kernel/windows-console.sh "$1/windows-console.sh"
  cp tests/kernel/windows-linux-lock.sh "$1/windows-linux-lock.sh"
  cp "$win_exe" "$1/tx4077x-console.exe"
  printf 'WIN_EXE=/tmp/tx4077x-console.exe\nWIN_PREFIX=%s\n' "$win_prefix" > "$1/windows.env"
}

# Judged from the serial log, with kernel-test.sh's check and has.
windows_checks() {
  local wruns
  wruns=$(awk '/^WINCONSOLE [A-Z]+ EXIT/ {run = $2} /^WINCONSOLE\| / {print run ": " substr($0, 13)}' <<<"$log")
  wsaid() { grep -qE -- "^$1: $2" <<<"$wruns"; }
  check "windows: Wine runs the console in the guest (--version exits 0)" has "^WINCONSOLE VERSION EXIT 0$"
  check "windows: the fresh enclosure is a usb-storage disk" has "^WINDOWS DISK sd[a-z]+$"
  check "windows: a listing without --device says why it is empty (what SetupDi answered)" \
    wsaid LIST "Windows lists no disk or CD-ROM interface \(disk interfaces: .*SetupDi"
  check "windows: listed with --device \\\\.\\X:, the TX40775" wsaid LISTNAMED "entry 0: .*TX40775"
  check "windows: its drive letter is X (IOCTL_STORAGE_GET_DEVICE_NUMBER matched)" \
    wsaid LISTNAMED "  drives:  X$"
  check "windows: backup-only run through \\\\.\\X: exits 0" has "^WINCONSOLE BACKUP EXIT 0$"
  check "windows: the factory flash read through Wine is not the image" has "^WINDOWS BEFORE differs$"
  check "windows: the update through DeviceIoControl succeeds, exit 0" has "^WINCONSOLE PROGRAM EXIT 0$"
  check "windows: the update says success" wsaid PROGRAM "result: success \(standard serial flash\)"
  check "windows: read-back run exits 0" has "^WINCONSOLE READBACK EXIT 0$"
  check "windows: the flash read back through Wine holds the image" has "^WINDOWS READBACK equal$"
  check "windows: a second Windows console on the held device: exit 1, device in use" \
    wsaid SECOND ".*is in use by another program \(device in use\)"
  check "windows: nothing reached the enclosure from the second Windows console" \
    has "^WINDOWS WHILE HELD 0 commands"
  . tests/kernel/windows-linux-lock-checks.sh
  check "windows: unplugged while programming: the run fails and says so" \
    wsaid UNPLUGGED "result: failed"
  check "windows: unplugged while programming: exit 5, the flash needs attention" \
    has "^WINCONSOLE UNPLUGGED EXIT 5$"
  check "windows: plugged in again, the next update succeeds" has "^WINCONSOLE AGAIN EXIT 0$"
  check "windows: after it the flash holds the image" has "^WINDOWS AGAIN equal$"
  check "windows: an enclosure stalled past the time-out: the backup fails, exit 1" \
    has "^WINCONSOLE STALLED EXIT 1$"
  check "windows: the stall was served (14 s on the second ReadFlash)" has "^WINDOWS ENCLOSURE STALL ReadFlash 14 s$"
  check "windows: the failed backup wrote no file" has "^WINDOWS STALLED FILE none$"
  check "windows: after the stall the flash reads as it was, exit 0" has "^WINCONSOLE AFTERSTALL EXIT 0$"
  check "windows: after the stall the flash is the old one" has "^WINDOWS AFTER STALL old$"
  local t0 t1 wcmds
  read -r _ _ _ t0 t1 wcmds _ < <(grep "^WINDOWS UPDATE TOOK" <<<"$log" || echo "- - - 0 0 0")
  echo "windows figures: Wine start $(awk '/^WINDOWS WINE UP/ {printf "%.1f", $5 - $4}' <<<"$log") s;" \
    "update $(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.1f", b - a}') s, $wcmds commands on the wire;" \
    "$(grep "^WINDOWS COMMANDS" <<<"$log" | cut -d' ' -f3-)"
}
