#!/usr/bin/env bash
# Checks the packages tools/package.sh left in out/ as a user would meet them:
# installs the Debian package with dpkg -i, runs the installed console on the
# simulated enclosures (a listing, and an update with an image from the
# installed tx4077x-make-image), finds the manual pages, checks the group
# tx4077x, what the udev rule matches and the bash completion, compares
# `cmake --install` with the package, removes the package again; then looks
# into the Windows zip. Needs root (or
# sudo) for dpkg. A tx4077x-console package installed before is left
# installed, at the version checked here.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh jq unzip
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
version=$(sed -n 's/^project(tx4077x_fwtool VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=out/tx4077x-console_${version}_$(dpkg --print-architecture).deb
zip=out/tx4077x-$version-win64.zip
for f in "$deb" "$zip"; do
  [ -f "$f" ] || { echo "package-check: no $f (run tools/package.sh first)" >&2; exit 1; }
done
tmp=$(mktemp -d)
fail() { echo "package-check: $*" >&2; exit 1; }

# Another engineer's apt or dpkg may hold the lock for a while: wait for it.
dpkg_() {
  local try out
  for try in $(seq 60); do
    if out=$($SUDO dpkg "$@" 2>&1); then echo "$out"; return 0; fi
    grep -q 'lock' <<<"$out" || { echo "$out" >&2; return 1; }
    sleep 5
  done
  echo "$out" >&2
  return 1
}

was_installed=0
dpkg-query -W -f='${Status}' tx4077x-console 2>/dev/null | grep -q "install ok installed" &&
  was_installed=1
cleanup() {
  rm -rf "$tmp"
  [ "$was_installed" -eq 1 ] || dpkg_ --purge tx4077x-console >/dev/null 2>&1 || true
}
trap cleanup EXIT

echo "== dpkg -i $deb"
dpkg_ -i "$deb"
[ "$(command -v tx4077x-console)" = /usr/bin/tx4077x-console ] ||
  fail "tx4077x-console is not /usr/bin/tx4077x-console after installing"
status=0
(cd "$tmp" && tx4077x-console --simulate --json >doc.json 2>stderr.txt) || status=$?
[ "$status" -eq 0 ] || fail "tx4077x-console --simulate --json exited $status: $(cat "$tmp/stderr.txt")"
# The listing of the simulated enclosures: every entry named and identified,
# the TX40775 one offering a programming run of the standard procedure.
jq -e '
  .formatVersion == 1 and .exitStatus == 0 and .listNotice == null and
  (.entries | length) >= 8 and
  all(.entries[]; (.text | length) > 0 and (.chip.name | length) > 0 and .chip.type > 0) and
  any(.entries[]; (.text | test("TX40775")) and .offers.program.offered and
                  .offers.program.procedure == "standard serial flash")
' "$tmp/doc.json" >/dev/null || fail "unexpected listing: $(jq -c '.' "$tmp/doc.json" | head -c 2000)"
echo "installed tx4077x-console --simulate --json: $(jq '.entries | length' "$tmp/doc.json") entries"
tx4077x-console --version | sed 's/^/  /'
grep -qx "version $version" <(tx4077x-console --version) || fail "--version does not say version $version"
for program in tx4077x-console tx4077x-make-image; do
  page=$(man -w $program) || fail "man finds no page for $program"
  warnings=$(MANWIDTH=80 man --warnings $program 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "the manual page ($page) renders with warnings: $warnings"
  echo "manual page: $page"
done

# An installed user tries an update on the simulated TX40775.
entry=$(jq '[.entries[].text | test("TX40775")] | index(true)' "$tmp/doc.json")
(cd "$tmp" && tx4077x-make-image 1 1 fw.bin >/dev/null &&
  tx4077x-console --simulate --run "$entry" --expect-chip TX40775 --image fw.bin >update.txt) ||
  fail "the simulated update failed: $(cat "$tmp/update.txt")"
grep -q "^result: success" "$tmp/update.txt" || fail "the simulated update says: $(cat "$tmp/update.txt")"
echo "simulated update with tx4077x-make-image's image: $(grep "^result:" "$tmp/update.txt")"

# The group the udev rule names: a system group.
gid=$(getent group tx4077x | cut -d: -f3) || fail "no group tx4077x after installing"
[ "$gid" -lt 1000 ] || fail "group tx4077x is not a system group (gid $gid)"
echo "group tx4077x: gid $gid"
# What the installed rule matches, on a made-up sysfs (the kernel test runs it
# on a real one): USB and IEEE 1394 disks and CD-ROM units, nothing else.
rule=/usr/lib/udev/rules.d/70-tx4077x.rules
sys=$tmp/sys
node() {  # sg node, SCSI type, then the devices above it: path:subsystem ...
  local sg=$1 type=$2 path=$sys/devices part; shift 2
  for part in "$@" "scsi0:scsi" "0:0:0:0:scsi" "scsi_generic/$sg:scsi_generic"; do
    path=$path/${part%:*}
    mkdir -p "$path" "$sys/bus/${part##*:}"
    touch "$path/uevent"
    ln -sfn "$sys/bus/${part##*:}" "$path/subsystem"
  done
  echo "$type" >"$(dirname "$(dirname "$path")")/type"
  mkdir -p "$sys/class/scsi_generic" && ln -s "$path" "$sys/class/scsi_generic/$sg"
}
node sg0 0 pci:pci usb1:usb 1-1:usb      # USB disk
node sg1 5 pci:pci usb2:usb 2-1:usb      # USB CD-ROM unit
node sg2 14 pci:pci fw0:firewire         # IEEE 1394 disk (reduced block commands)
node sg3 0 pci:pci ata1:ata              # internal disk
node sg4 1 pci:pci usb3:usb 3-1:usb      # USB tape
matched=$(TX_SYSFS=$sys sh tests/kernel/udev-rule.sh "$rule" | tr '\n' ';')
[ "$matched" = "UDEV RULE sg0 tx4077x 0660;UDEV RULE sg1 tx4077x 0660;UDEV RULE sg2 tx4077x 0660;" ] ||
  fail "$rule matches: $matched"
echo "udev rule: USB and IEEE 1394 disks and CD-ROM units to tx4077x; internal disk and tape left alone"

# Completion: option names from the installed console's --help, file names
# for a file argument.
completed=$(cd "$tmp" && bash -c '
  . /usr/share/bash-completion/completions/tx4077x-console
  complete -p tx4077x-console >/dev/null || exit 1
  c() { COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=(); _tx4077x_console; echo "${COMPREPLY[*]}"; }
  c tx4077x-console --simu; c tx4077x-console --image fw.')
[ "$completed" = $'--simulate\nfw.bin' ] || fail "completion gives: $completed"
echo "bash completion: --simu -> --simulate, --image fw. -> fw.bin"

# cmake --install puts the same files where the package does (which adds
# only Debian's copyright and changelog, and compresses).
obj=$(ls -d build-deb/tx4077x-"$version"/obj-*)
DESTDIR=$tmp/stage cmake --install "$obj" --prefix /usr >/dev/null
staged=$(cd "$tmp/stage" && find . -type f -o -type l | sed 's/^\.//' | sort)
packaged=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's/^\.//; s/\.gz$//' |
  grep -v -x -E "/usr/share/doc/tx4077x-console/(copyright|changelog)" | sort)
[ "$staged" = "$packaged" ] ||
  fail "cmake --install and the package differ: $(diff <(echo "$staged") <(echo "$packaged") | tr '\n' ' ')"
echo "cmake --install: the package's $(wc -l <<<"$staged") files"
if [ "$was_installed" -eq 1 ]; then
  echo "== tx4077x-console was installed before: left installed at $version"
else
  echo "== dpkg --purge tx4077x-console"
  dpkg_ --purge tx4077x-console
  [ ! -e /usr/bin/tx4077x-console ] || fail "/usr/bin/tx4077x-console is still there after removal"
fi

# The zip holds the three programs, the licence and the README, in one
# folder. The programs must start on a bare Windows: they may import only the
# system's own DLLs.
echo "== $zip"
name=tx4077x-$version-win64
entries=$(unzip -Z1 "$zip" | grep -v '/$' | sort | tr '\n' ' ')
[ "$entries" = "$name/LICENSE.txt $name/README.txt $name/tx4077x-console.exe $name/tx4077x-demo.exe $name/tx4077x.exe " ] ||
  fail "the zip holds $entries"
unzip -q "$zip" -d "$tmp"
for exe in tx4077x.exe tx4077x-demo.exe tx4077x-console.exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$tmp/$name/$exe" | sed -n 's/^\tDLL Name: //p' | sort -u)
  others=$(grep -v -i -x -E 'kernel32|user32|gdi32|comdlg32|shell32|setupapi|advapi32|ole32|comctl32|msvcrt|api-ms-win-crt-[a-z0-9-]+' \
    <<<"$(sed 's/\.dll$//I' <<<"$dlls")" || true)
  [ -z "$others" ] || fail "$exe needs DLLs Windows does not have: $others"
  echo "$exe imports: $(tr '\n' ' ' <<<"$dlls")"
done
for text in README.txt LICENSE.txt; do
  grep -q $'\r$' "$tmp/$name/$text" || fail "$text has no Windows line ends"
done
cmp -s <(tr -d '\r' <"$tmp/$name/LICENSE.txt") LICENSE || fail "LICENSE.txt is not the LICENSE"
grep -q "Program it anyway" "$tmp/$name/README.txt" || fail "README.txt does not say Run asks first"
echo "package-check: all good"
