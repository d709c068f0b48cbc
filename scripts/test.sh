#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default -j2
if [ -x scripts/windows-build.sh ]; then
  scripts/windows-build.sh
fi
