#!/usr/bin/env bash
# The project's main job: the command-line host loads the built plug-in as the
# authoring application does and shows what it announces.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/wine-run.sh build/quelto-runner.exe --list
