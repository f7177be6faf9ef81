#!/usr/bin/env bash
# Builds the packages into out/ and checks the Debian one with lintian:
#   tx4077x-console_VERSION_ARCH.deb  dpkg-buildpackage with debian/: what the
#                                     CMake install rules install
#   tx4077x-VERSION-win64.zip         the window, the demo window, the console,
#                                     LICENSE.txt and README.txt
# The Windows programs come from build-win, the folder tools/test.sh builds
# and tests, kept so a second run only rebuilds what changed. The version is
# the CMake project's.
set -euo pipefail
cd "$(dirname "$0")/.."
umask 022
bash tools/deps.sh dpkg-dev debhelper lintian zip unzip
jobs=$(nproc)
version=$(sed -n 's/^project(tx4077x_fwtool VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
# The packages' dates are the commit's, so the same sources give the same bytes.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH
mkdir -p out

# --- Debian package: debian/ with debhelper, from the CMake install rules.
# dpkg-buildpackage wants a clean tree, so it runs in a copy of the sources
# (what git tracks, and new files it does not ignore: no build folders).
package=tx4077x-console
arch=$(dpkg --print-architecture)
copy=build-deb/tx4077x-$version
rm -rf build-deb && mkdir -p "$copy"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$copy"
  # The copy has no git: name the commit the way the build would.
  TX_BUILD_COMMIT=$(git rev-parse --short=12 HEAD)
  git diff --quiet HEAD -- || TX_BUILD_COMMIT+=-dirty
  export TX_BUILD_COMMIT
else
  tar --exclude='./build*' --exclude=./out -cf - . | tar -xf - -C "$copy"
fi
(cd "$copy" && DEB_BUILD_OPTIONS="parallel=$jobs" dpkg-buildpackage -us -uc -b)
deb=out/${package}_${version}_${arch}.deb
rm -f out/${package}_*.deb
cp "build-deb/${package}_${version}_${arch}.deb" "$deb"
echo "== $deb"
dpkg-deb --contents "$deb"
echo "== lintian --pedantic"
lintian --pedantic --info --fail-on error,warning,info,pedantic \
  "build-deb/tx4077x_${version}_${arch}.changes" && echo "lintian: clean"

# --- Windows zip
cmake -S . -B build-win -G Ninja -DTX_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-win -j "$jobs" --target tx4077x tx4077x-demo tx4077x-console
name=tx4077x-$version-win64
folder=build-zip/$name
rm -rf build-zip && mkdir -p "$folder"
cp build-win/tx4077x.exe build-win/tx4077x-demo.exe build-win/tx4077x-console.exe "$folder/"
for text in res/windows-readme.txt:README.txt LICENSE:LICENSE.txt; do
  sed 's/$/\r/' "${text%%:*}" >"$folder/${text#*:}"  # for Notepad
done
zip=out/$name.zip
rm -f "$zip"
# Same bytes from the same sources: the commit's time, names in order and no
# extra fields (they hold the files' change times).
touch -d "@$SOURCE_DATE_EPOCH" "$folder" "$folder"/*
(cd build-zip && find "$name" | LC_ALL=C sort | TZ=UTC zip -X -9 -q -@ "../$zip")
echo "== $zip"
unzip -l "$zip"
