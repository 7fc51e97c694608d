#!/usr/bin/env bash
# Runs every benchmark built by the `benchmarks` target, one after the other.
set -euo pipefail
cd "$(dirname "$0")/.."
for bench in build/bench/*_bench.exe; do
  echo "== $(basename "$bench" .exe)"
  scripts/wine-run.sh "$bench"
  echo
done
