#!/usr/bin/env bash
# Builds the packages into out/ and checks the Debian one with lintian:
#   tx4077x-console_VERSION_ARCH.deb  the console, its manual page, the README
#   tx4077x-VERSION-win64.zip         the window, the demo window, a README
# The console is built in build-deb with Debian's build flags; the Windows
# programs come from build-win, the folder tools/test.sh builds and tests.
# Build folders are kept, so a second run only rebuilds what changed.
# TX_MAINTAINER names the package's maintainer.
set -euo pipefail
cd "$(dirname "$0")/.."
umask 022
bash tools/deps.sh dpkg-dev lintian zip unzip
jobs=$(nproc)
maintainer=${TX_MAINTAINER:-"TX4077x utility team <tx4077x@example.org>"}
version=$(sed -n 's/^project(tx4077x_fwtool VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
# The packages' dates are the commit's, so the same sources give the same bytes.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH
mkdir -p out

# --- Debian package of the console
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-deb -G Ninja -DTX_WERROR=ON -DTX_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=None \
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-deb -j "$jobs" --target tx4077x-console
commit=$(build-deb/tx4077x-console --version | sed -n 's/^commit //p')

package=tx4077x-console
arch=$(dpkg --print-architecture)
stage=build-deb/stage
doc=$stage/usr/share/doc/$package
rm -rf "$stage"
install -d "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/share/man/man1" "$doc"
install -m 0755 build-deb/tx4077x-console "$stage/usr/bin/"
strip --remove-section=.comment --remove-section=.note --strip-unneeded \
  "$stage/usr/bin/tx4077x-console"
gzip -9n <src/app/tx4077x-console.1 >"$stage/usr/share/man/man1/tx4077x-console.1.gz"
gzip -9n <README.md >"$doc/README.md.gz"
changed=$(date -u -R -d "@$SOURCE_DATE_EPOCH")
gzip -9n >"$doc/changelog.gz" <<CHANGES
$package ($version) unstable; urgency=medium

  * Built from commit $commit.

 -- $maintainer  $changed
CHANGES
cat >"$doc/copyright" <<COPYRIGHT
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: TX4077x Firmware Update Utility

Files: *
Copyright: $(date -u -d "@$SOURCE_DATE_EPOCH" +%Y) the TX4077x Firmware Update Utility authors
License: no-licence-granted
 All rights reserved. This package grants no licence to copy, change or pass
 on the program; ask its authors.
COPYRIGHT

# Library dependencies as Debian states them: dpkg-shlibdeps wants a
# debian/control beside it.
shlib=build-deb/shlibdeps
rm -rf "$shlib" && mkdir -p "$shlib/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$package" "$package" >"$shlib/debian/control"
depends=$(cd "$shlib" && dpkg-shlibdeps -O "-e$OLDPWD/$stage/usr/bin/tx4077x-console" |
  sed -n 's/^shlibs:Depends=//p')
cat >"$stage/DEBIAN/control" <<CONTROL
Package: $package
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk "$stage/usr" | cut -f1)
Depends: $depends
Section: utils
Priority: optional
Description: firmware update utility for TX4077x drive enclosures (console)
 Reads, erases, backs up and reprograms the firmware of TX4077x bridge chips
 and of the maker's storage controllers in USB and IEEE 1394 drive
 enclosures. Every exchange is one SCSI command block sent through the
 kernel's pass-through interface to the enclosure's disk or CD-ROM device;
 no driver is involved.
 .
 tx4077x-console is the utility's window without a screen: it lists the
 enclosures and runs the window's updates, backups and erases, with a JSON
 document for scripts. With --simulate it works on built-in simulated
 enclosures, to try it without hardware.
CONTROL
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
deb=out/${package}_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "== $deb"
dpkg-deb --contents "$deb"
echo "== lintian $deb"
lintian --fail-on error --info "$deb" && echo "lintian: no errors"

# --- Windows zip
cmake -S . -B build-win -G Ninja -DTX_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-win -j "$jobs" --target tx4077x tx4077x-demo
name=tx4077x-$version-win64
folder=build-zip/$name
rm -rf build-zip && mkdir -p "$folder"
cp build-win/tx4077x.exe build-win/tx4077x-demo.exe "$folder/"
sed 's/$/\r/' res/windows-readme.txt >"$folder/README.txt"  # for Notepad
zip=out/$name.zip
rm -f "$zip"
# Same bytes from the same sources: the commit's time, names in order and no
# extra fields (they hold the files' change times).
touch -d "@$SOURCE_DATE_EPOCH" "$folder" "$folder"/*
(cd build-zip && find "$name" | LC_ALL=C sort | TZ=UTC zip -X -9 -q -@ "../$zip")
echo "== $zip"
unzip -l "$zip"
