#!/usr/bin/env bash
# Runs one Windows program under Wine, in the build tree's private 32-bit prefix
# and on a virtual X display. CTest uses it as the cross-compiling emulator.
#   QUELTO_BUILD_DIR  build tree that holds the prefix (default: the tree the
#                     current folder is in, else the repository's build/)
set -euo pipefail

scripts=$(cd "$(dirname "$0")" && pwd)

# The build tree: QUELTO_BUILD_DIR, else the tree the current folder is in
# (CTest runs tests from inside it), else the repository's own build/. A
# prefix is only ever made inside a build tree, never in a random folder.
build_dir=${QUELTO_BUILD_DIR:-}
if [ -z "$build_dir" ]; then
  d=$PWD
  while [ "$d" != / ]; do
    if [ -f "$d/CMakeCache.txt" ]; then build_dir=$d; break; fi
    d=$(dirname "$d")
  done
fi
if [ -z "$build_dir" ] && [ -f "$scripts/../build/CMakeCache.txt" ]; then
  build_dir=$(cd "$scripts/../build" && pwd)
fi
if [ -z "${WINEPREFIX:-}" ] && { [ -z "$build_dir" ] || [ ! -f "$build_dir/CMakeCache.txt" ]; }; then
  echo "wine-run.sh: no build tree found (not in one, and no $(cd "$scripts/.." && pwd)/build);" \
       "run 'make build' first, or set QUELTO_BUILD_DIR or WINEPREFIX" >&2
  exit 2
fi

# A kernel that cannot run 32-bit programs cannot start Wine at all: the program
# runs in the emulated x86_64 guest instead, which boots for it alone (about a
# minute) and sees only the files inside the repository.
if ! "$scripts/can-run-i386.sh"; then
  echo "wine-run.sh: this machine cannot run 32-bit programs, so Wine cannot start here;" \
       "running this program in an emulated x86_64 guest (scripts/emulated-guest.sh run ...)" >&2
  exec "$scripts/emulated-guest.sh" run "$0" "$@"
fi

export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="

# No display yet: start a virtual one with an explicit 24-bit depth, which
# makes screen captures read back exact colours.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" "$@"
fi

# Create the prefix once; concurrent test programs wait for the first.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi

exec wine "$@"
