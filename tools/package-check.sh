#!/usr/bin/env bash
# Checks the packages tools/package.sh left in out/ as a user would meet them:
# installs the Debian package with dpkg -i, runs the installed console on the
# simulated enclosures and reads its JSON document, finds its manual page,
# removes the package again; then looks into the Windows zip. Needs root (or
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
page=$(man -w tx4077x-console) || fail "man finds no page for tx4077x-console"
warnings=$(MANWIDTH=80 man --warnings tx4077x-console 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page ($page) renders with warnings: $warnings"
echo "manual page: $page"
if [ "$was_installed" -eq 1 ]; then
  echo "== tx4077x-console was installed before: left installed at $version"
else
  echo "== dpkg --purge tx4077x-console"
  dpkg_ --purge tx4077x-console
  [ ! -e /usr/bin/tx4077x-console ] || fail "/usr/bin/tx4077x-console is still there after removal"
fi

# The zip holds the two programs and the README, in one folder. The programs
# must start on a bare Windows: they may import only the system's own DLLs.
echo "== $zip"
name=tx4077x-$version-win64
entries=$(unzip -Z1 "$zip" | grep -v '/$' | sort | tr '\n' ' ')
[ "$entries" = "$name/README.txt $name/tx4077x-demo.exe $name/tx4077x.exe " ] ||
  fail "the zip holds $entries"
unzip -q "$zip" -d "$tmp"
for exe in tx4077x.exe tx4077x-demo.exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$tmp/$name/$exe" | sed -n 's/^\tDLL Name: //p' | sort -u)
  others=$(grep -v -i -x -E 'kernel32|user32|gdi32|comdlg32|shell32|setupapi|advapi32|ole32|comctl32|msvcrt|api-ms-win-crt-[a-z0-9-]+' \
    <<<"$(sed 's/\.dll$//I' <<<"$dlls")" || true)
  [ -z "$others" ] || fail "$exe needs DLLs Windows does not have: $others"
  echo "$exe imports: $(tr '\n' ' ' <<<"$dlls")"
done
grep -q $'\r$' "$tmp/$name/README.txt" || fail "README.txt has no Windows line ends"
echo "package-check: all good"
