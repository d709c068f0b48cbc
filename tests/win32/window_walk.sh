#!/bin/sh
# Runs window_walk under Xvfb with twm as the window manager. Without a
# window manager Wine holds the window's thread for about two seconds
# whenever a window is hidden, which the walk's checks would take for a hung
# window. Skipped (77) without xvfb-run or twm (scripts/deps.sh installs it).
#
# Usage: window_walk.sh XVFB_RUN WINE WINEPREFIX WINDOW_WALK_EXE [ARGUMENTS...]
set -u
xvfb_run=$1 wine=$2 prefix=$3 walk=$4
shift 4
if ! command -v "$xvfb_run" >/dev/null 2>&1; then
  echo "window_walk: no xvfb-run, skipped"
  exit 77
fi
if ! command -v twm >/dev/null 2>&1; then
  echo "window_walk: no twm (scripts/deps.sh installs it), skipped"
  exit 77
fi
twmrc=$(mktemp)
trap 'rm -f "$twmrc"' EXIT
# No window waits to be placed by hand.
"$(dirname "$0")/../../scripts/twmrc.sh" "$twmrc" RandomPlacement
# A Wine prefix of its own: Wine starts its desktop once per prefix, with
# the display of whichever program needed it first, and the console tests
# beside this one have none.
"$xvfb_run" -a -s "-screen 0 1024x768x24" sh -c '
  LC_ALL=C twm -f "$1" >/dev/null 2>&1 &
  wm=$!
  sleep 0.5
  if ! kill -0 "$wm" 2>/dev/null; then
    echo "window_walk: twm did not start, skipped"
    exit 77
  fi
  twmrc=$1 prefix=$2 wine=$3 walk=$4
  shift 4
  WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= "$wine" "$walk" "$@"
  status=$?
  kill "$wm" 2>/dev/null
  exit "$status"' window_walk "$twmrc" "$prefix" "$wine" "$walk" "$@"
