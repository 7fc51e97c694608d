#!/usr/bin/env bash
# The project's main job: the command-line host puts the viewer into a window
# of its own and runs examples/demo.txt through the built plug-in, as an
# author's script runs in the authoring application. Our viewer control is
# registered first, so the window shows a real model.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p out
# A picture left from an earlier run must not pass for this one's.
rm -f out/demo.bmp out/demo.png
scripts/wine-run.sh regsvr32 /s build/control/Quelto3dCtrl.dll
scripts/wine-run.sh build/quelto-runner.exe --verbose examples/demo.txt
if [ -f out/demo.bmp ]; then
  scripts/wine-run.sh build/quelto-bmp2png.exe out/demo.bmp out/demo.png
  echo "demo: picture saved to out/demo.bmp and out/demo.png"
else
  echo "demo: no picture was written to out/demo.bmp"
  exit 1
fi
