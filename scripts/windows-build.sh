#!/usr/bin/env bash
# Cross-builds tandrel-cli.exe and the tests for Windows with MinGW-w64
# (preset "mingw", build/mingw) and runs the tests under Wine. Installs
# nothing: it needs cmake, ninja, g++-mingw-w64-x86-64-posix and wine.
# A Linux build of tandrel-cli (build/default) is made first when missing,
# so that the two plans can be compared.
#
# Usage: scripts/windows-build.sh        (TANDREL_JOBS sets the parallelism, 2)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${TANDREL_JOBS:-2}

if [[ ! -x build/default/src/cli/tandrel-cli ]]; then
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$jobs" --target tandrel-cli
fi

cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"

# What ships must run without any DLL of the compiler beside it.
for exe in build/mingw/src/cli/tandrel-cli.exe build/mingw/src/app/win32/tandrel.exe; do
  [[ -f $exe ]] || continue
  if x86_64-w64-mingw32-objdump -p "$exe" | grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
    echo "windows-build: $exe needs a DLL of the compiler" >&2
    exit 1
  fi
done

# Make Wine's prefix once, before tests start in parallel.
export WINEPREFIX="$root/build/mingw/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot --init >/dev/null 2>&1 || true

ctest --preset mingw -j "$jobs" --output-on-failure
