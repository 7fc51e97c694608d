#!/usr/bin/env bash
# Runs every benchmark built by the `benchmarks` target, one after the other.
set -euo pipefail
cd "$(dirname "$0")/.."
for bench in build/bench/*_bench.exe; do
  echo "== $(basename "$bench" .exe)"
  scripts/wine-run.sh "$bench"
  echo
done
# The viewer control's engine, built natively without sanitizers.
for bench in build-native/native/model_load_bench build-native/native/render_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  (cd "$(dirname "$bench")" && "./$(basename "$bench")")
  echo
done
