#!/usr/bin/env bash
# The project's main job: the command-line host puts the viewer into a window
# of its own and runs examples/demo.txt through the built plug-in, as an
# author's script runs in the authoring application. Our viewer control is
# registered first, so the window shows a real model.
#   QUELTO_BUILD_DIR  build tree to take the programs from (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

# Where 32-bit programs cannot run, the whole demo runs in the emulated guest,
# which then boots once rather than once for each program.
if ! scripts/can-run-i386.sh; then
  exec scripts/emulated-guest.sh run scripts/demo.sh "$@"
fi

build=${QUELTO_BUILD_DIR:-$PWD/build}
export QUELTO_BUILD_DIR=$build
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}

# One virtual display for all of the demo. Wine's own processes (the desktop's
# explorer.exe, the services) stay a few seconds after the last program ends;
# a display that went away before them made each print "X connection to :99
# broken". The wait below lets them end while the display is still there.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" "$@"
fi
trap 'wineserver -w 2>/dev/null || true' EXIT

mkdir -p out
# A picture left from an earlier run must not pass for this one's.
rm -f out/demo.bmp out/demo.png
scripts/wine-run.sh regsvr32 /s "$build/control/Quelto3dCtrl.dll"
status=0
scripts/wine-run.sh "$build/quelto-runner.exe" --verbose examples/demo.txt || status=$?
if [ "$status" -eq 0 ] && [ -f out/demo.bmp ]; then
  scripts/wine-run.sh "$build/quelto-bmp2png.exe" out/demo.bmp out/demo.png
  echo "demo: picture saved to out/demo.bmp and out/demo.png"
else
  echo "demo: no picture was written to out/demo.bmp (the runner exited with $status)"
  exit 1
fi
