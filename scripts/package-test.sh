#!/usr/bin/env bash
# Installs what scripts/package.sh made in dist/ as a user would, checks that
# it works, and removes it again:
#   - the .deb with apt (as root): --version, a plan on sample folders, the
#     window under Xvfb reading its hand pointer from /usr/share/tandrel,
#     and a purge that leaves none of the package's files;
#   - the setup program under Wine, in a prefix of its own: an older version
#     first, then this one over it (one entry, this version), the files, the
#     Start-menu shortcut, the uninstall entry, --version, the window, and a
#     silent uninstall that leaves no file and no key;
#   - the zip: exactly its five files, and its tandrel-cli.exe runs.
# Saves a picture of each window in build/package/screenshots.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
start=$(date +%s)
fail() { echo "package-test: $*" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/default/CMakeCache.txt)
deb=dist/tandrel_${version}_$(dpkg --print-architecture).deb
zip=dist/tandrel-$version-win64.zip
setup=dist/tandrel-$version-win64-setup.exe
for f in "$deb" "$zip" "$setup"; do [[ -f $f ]] || fail "no $f (run scripts/package.sh)"; done
(cd dist && sha256sum --quiet -c SHA256SUMS) || fail "dist/SHA256SUMS does not match"
shots=build/package/screenshots
mkdir -p "$shots"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/one/sub" "$work/two"
echo a >"$work/one/only-in-one.txt"
echo b >"$work/two/only-in-two.txt"
echo new >"$work/one/sub/both.txt"
echo old >"$work/two/both.txt" && touch -d '2020-01-01' "$work/two/both.txt"
expected_plan="$work/one/only-in-one.txt	 could be copied to	$work/two/
$work/two/only-in-two.txt	 could to be copied to	$work/one/
$work/one/sub/both.txt	 could overwrite an older	$work/two/both.txt"

# Waits for a top-level window captioned exactly "Tandrel" on $DISPLAY.
wait_for_window() {
  for _ in $(seq 100); do
    xdotool search --onlyvisible --name '^Tandrel$' >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

echo "== .deb: install"
[[ $(id -u) -eq 0 ]] || fail "the .deb is installed with apt-get: run as root"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
[[ $(tandrel-cli --version) == "tandrel-cli $version"* ]] || fail "tandrel-cli --version: $(tandrel-cli --version)"
[[ $(tandrel-cli plan "$work/one" "$work/two") == "$expected_plan" ]] || fail "tandrel-cli plan gave other rows"
man -w tandrel-cli >/dev/null || fail "no man page for tandrel-cli"

echo "== .deb: the window"
# The window opens its hand pointer at start-up; strace shows which file it
# opened, and that the open succeeded.
export WORK=$work SHOTS=$shots
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  strace -f -qq -e trace=openat -o "$WORK/trace" /usr/bin/tandrel & pid=$!
  '"$(declare -f wait_for_window)"'
  wait_for_window || { kill $pid; exit 1; }
  sleep 0.5
  import -window root "$SHOTS/deb-window.png"
  # Still up after showing itself; strace ends with the window it started.
  window=$(pgrep -P $pid -x tandrel) || exit 1
  kill "$window"; wait $pid || true' || fail "the installed window did not show"
grep -E 'openat\(.*"/usr/bin/\.\./share/tandrel/HAND-M\.CUR", O_RDONLY.*= [0-9]+$' "$work/trace" >/dev/null ||
  fail "the window did not open /usr/share/tandrel/HAND-M.CUR"

echo "== .deb: purge"
dpkg -L tandrel >"$work/files"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tandrel >/dev/null
while IFS= read -r path; do
  [[ -e $path ]] || continue
  # A folder may stay when another package owns it too, never empty and ours.
  [[ -d $path ]] && dpkg -S "$path" >/dev/null 2>&1 && continue
  [[ -d $path && -n $(ls -A "$path") ]] && continue
  fail "left behind after purge: $path"
done <"$work/files"

echo "== setup program under Wine"
export WINEPREFIX=$root/build/wine-install-prefix WINEDEBUG=-all
# No Mono or Gecko prompts, and no Linux menu entries for the shortcut.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
rm -rf "$WINEPREFIX"
wineboot --init >/dev/null 2>&1
home="$WINEPREFIX/drive_c/users/$(id -un)"
installed="$home/AppData/Local/Programs/Tandrel"
shortcut="$home/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Tandrel.lnk"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tandrel'
reg_value() { wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { $1 = $2 = ""; sub(/^ +/, ""); print }'; }
run_wine() { wine "$@"; wineserver -w; }

# An older version, made from the same files, to be upgraded.
makensis -V1 -DVERSION=0.0.1 -DFILES="$root/build/package/win64" -DICON="$root/packaging/icons/tandrel.ico" \
  -DOUTFILE="$work/old-setup.exe" packaging/windows/tandrel.nsi
run_wine "$work/old-setup.exe" /S
[[ $(reg_value DisplayVersion) == 0.0.1 ]] || fail "the older version did not install"
run_wine "$setup" /S

[[ $(cd "$installed" && ls | sort | tr '\n' ' ') == "HAND-M.CUR LICENSE tandrel-cli.exe tandrel.exe uninstall.exe " ]] ||
  fail "installed files: $(ls "$installed")"
[[ -f $shortcut ]] || fail "no Start-menu shortcut"
[[ $(reg_value DisplayVersion) == "$version" ]] || fail "DisplayVersion is $(reg_value DisplayVersion)"
[[ $(reg_value DisplayName) == Tandrel && $(reg_value Publisher) == "The Tandrel authors" ]] ||
  fail "DisplayName or Publisher wrong"
prog='C:\users\'"$(id -un)"'\AppData\Local\Programs\Tandrel'
[[ $(reg_value UninstallString) == "\"$prog\\uninstall.exe\"" ]] || fail "UninstallString: $(reg_value UninstallString)"
[[ $(reg_value QuietUninstallString) == "\"$prog\\uninstall.exe\" /S" ]] || fail "QuietUninstallString wrong"
[[ $(reg_value DisplayIcon) == "$prog\\tandrel.exe,0" ]] || fail "DisplayIcon: $(reg_value DisplayIcon)"
[[ $(reg_value EstimatedSize) =~ ^0x[0-9a-f]+$ && $(reg_value EstimatedSize) != 0x0 ]] || fail "EstimatedSize wrong"
[[ $(wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' | grep -ci tandrel) == 1 ]] ||
  fail "more than one uninstall entry after the upgrade"
[[ $(wine "$installed/tandrel-cli.exe" --version | tr -d '\r') == "tandrel-cli $version"* ]] ||
  fail "installed tandrel-cli.exe --version"

# Wine's desktop takes the display of the first program that needs one:
# end the prefix's processes so that the window's gets Xvfb.
wineserver -k || true
export INSTALLED=$installed
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  wine "$INSTALLED/tandrel.exe" & pid=$!
  '"$(declare -f wait_for_window)"'
  wait_for_window || { wineserver -k; exit 1; }
  sleep 1
  import -window root "$SHOTS/setup-window.png"
  wineserver -k; wait $pid || true' || fail "the installed tandrel.exe showed no window"

# The uninstaller copies itself to the temporary folder and returns at once;
# wineserver -w waits for the copy.
run_wine "$installed/uninstall.exe" /S
[[ ! -e $installed ]] || fail "left behind after uninstall: $(ls -A "$installed")"
[[ ! -e $shortcut ]] || fail "the Start-menu shortcut stayed"
! wine reg query "$key" >/dev/null 2>&1 || fail "the uninstall key stayed"

echo "== zip"
[[ $(unzip -Z1 "$zip" | sort | tr '\n' ' ') == "HAND-M.CUR LICENSE README.txt tandrel-cli.exe tandrel.exe " ]] ||
  fail "the zip holds: $(unzip -Z1 "$zip" | tr '\n' ' ')"
unzip -q "$zip" -d "$work/zip"
[[ $(wine "$work/zip/tandrel-cli.exe" --version | tr -d '\r') == "tandrel-cli $version"* ]] ||
  fail "the zip's tandrel-cli.exe --version"
wineserver -k || true

echo "package-test: all passed in $(($(date +%s) - start)) s"
