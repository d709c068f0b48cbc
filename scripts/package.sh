#!/usr/bin/env bash
# Makes the release packages into dist/ from the builds of the presets
# "default" (Linux) and "mingw" (Windows), building what is out of date:
#
#   tandrel_X.Y.Z_amd64.deb          CPack; checked with lintian,
#                                    desktop-file-validate, appstreamcli
#   tandrel-X.Y.Z-win64.zip          the two executables, HAND-M.CUR,
#                                    LICENSE and README.txt
#   tandrel-X.Y.Z-win64-setup.exe    NSIS, per-user install
#   SHA256SUMS
#
# The version is CMake's project(VERSION). Needs what scripts/deps.sh
# installs. Usage: scripts/package.sh    (TANDREL_JOBS sets the parallelism, 2)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${TANDREL_JOBS:-2}
fail() { echo "package: $*" >&2; exit 1; }

cmake --preset default >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/default/CMakeCache.txt)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no version in build/default/CMakeCache.txt"
head -n1 packaging/linux/changelog | grep -q "^tandrel ($version) " ||
  fail "packaging/linux/changelog has no entry for $version on top"
metainfo=packaging/linux/org.tandrel.tandrel.metainfo.xml
grep -o '<release version="[^"]*"' "$metainfo" | head -n1 | grep -q "\"$version\"" ||
  fail "$metainfo has no <release> for $version on top"

rm -rf dist
mkdir -p dist

echo "== Debian package"
cmake --build --preset default -j "$jobs"
rm -rf build/default/packages
(cd build/default && cpack -G DEB >/dev/null)
deb=tandrel_${version}_$(dpkg --print-architecture).deb
cp "build/default/packages/$deb" dist/
lintian --fail-on error --tag-display-limit 0 "dist/$deb"
desktop-file-validate packaging/linux/tandrel.desktop
appstreamcli validate --no-net "$metainfo" >/dev/null

echo "== Windows zip and setup program"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs" --target tandrel_win32 tandrel-cli
stage=build/package/win64
rm -rf "$stage"
mkdir -p "$stage"
# The debug information stays in the build; the user gets what runs.
x86_64-w64-mingw32-strip -o "$stage/tandrel.exe" build/mingw/src/app/win32/tandrel.exe
x86_64-w64-mingw32-strip -o "$stage/tandrel-cli.exe" build/mingw/src/cli/tandrel-cli.exe
cp src/app/resources/HAND-M.CUR "$stage/"
sed 's/$/\r/' LICENSE >"$stage/LICENSE"
sed 's/$/\r/' packaging/windows/README.txt >"$stage/README.txt"
zip -q -X -j "dist/tandrel-$version-win64.zip" \
  "$stage/tandrel.exe" "$stage/tandrel-cli.exe" "$stage/HAND-M.CUR" "$stage/LICENSE" "$stage/README.txt"
makensis -V2 -DVERSION="$version" -DFILES="$root/$stage" -DICON="$root/packaging/icons/tandrel.ico" \
  -DOUTFILE="$root/dist/tandrel-$version-win64-setup.exe" packaging/windows/tandrel.nsi

(cd dist && sha256sum -- *.deb *.zip *.exe >SHA256SUMS)
ls -l dist
