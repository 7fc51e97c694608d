#!/usr/bin/env bash
# The project's main job: the command-line host puts the viewer into a window
# of its own and runs examples/demo.txt through the built plug-in, as an
# author's script runs in the authoring application.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p out
# A picture left from an earlier run must not pass for this one's.
rm -f out/demo.bmp
scripts/wine-run.sh build/quelto-runner.exe --verbose examples/demo.txt
if [ -f out/demo.bmp ]; then
  echo "demo: picture saved to out/demo.bmp"
else
  echo "demo: no picture was written to out/demo.bmp"
fi
