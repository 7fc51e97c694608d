#!/usr/bin/env bash
# Shows large models in the 32-bit viewer under Wine and says what each took:
# writes bumpy spheres (a binary STL of 20,000,000 triangles, 1 GB, and an
# OBJ of 10,000,000 by default) into build/big-models, then runs
# tests/big_models_test.py on the built runner and input_host, in the emulated
# guest where this machine cannot run 32-bit programs. Not part of `make
# test`: the models take minutes to write and, emulated, an hour to show.
#
#   scripts/big-models.sh [stl:TRIANGLES | obj:TRIANGLES]...
#   QUELTO_BIG_MODEL_SECONDS  how long one step may take (default 3600)
# What each model showed also goes to build/big-models/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUELTO_BUILD_DIR:-$PWD/build}
[ -f "$build/quelto-runner.exe" ] || { echo "big-models: no runner in $build: run 'make build' first" >&2; exit 2; }

if [ "${QUELTO_BIG_MODELS_WRITTEN:-}" = "" ]; then
  [ $# -gt 0 ] || set -- stl:20000000 obj:10000000
  echo "big-models: writing the models into $build/big-models" >&2
  mapfile -t models < <(python3 tests/big_model_files.py "$build/big-models" "$@")
  export QUELTO_BIG_MODELS_WRITTEN="${models[*]}"
fi
read -r -a models <<< "$QUELTO_BIG_MODELS_WRITTEN"

if ! scripts/can-run-i386.sh; then
  echo "big-models: this machine cannot run 32-bit programs; running in the emulated guest" >&2
  QUELTO_GUEST_MEMORY=${QUELTO_GUEST_MEMORY:-6G} QUELTO_GUEST_TIMEOUT=${QUELTO_GUEST_TIMEOUT:-14400} \
    exec scripts/emulated-guest.sh run "$0"
fi

export QUELTO_CONTROL_DLL="$build/control/Quelto3dCtrl.dll"
# The runner finds the control through its registration in the build tree's prefix.
QUELTO_BUILD_DIR="$build" scripts/wine-run.sh regsvr32 /s "Z:${QUELTO_CONTROL_DLL//\//\\}"
cd "$build"
# Also into a file as each model is done: a guest shows its output only at its end.
python3 -u ../tests/big_models_test.py "$PWD/../scripts/wine-run.sh" "$build/quelto-runner.exe" \
  "$build/tests/input_host.exe" "${models[@]}" 2>&1 | tee -a "$build/big-models/results.txt"
exit "${PIPESTATUS[0]}"
