#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine: the mingw-w64
# i686 cross compiler, 32-bit Wine, a virtual X server and GoogleTest's sources.
# Idempotent and quiet: does nothing when everything is already there.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Cross build and Wine; the header-only libraries the viewer control uses; the
# native sanitizer and fuzzer build (clang); real model files for its tests;
# Mesa's off-screen renderer for the renderer benchmark.
for p in cmake make g++-mingw-w64-i686 mingw-w64-tools xvfb xauth googletest wine wine32:i386 python3 \
         libglm-dev libstb-dev libtinyobjloader-dev clang libclang-rt-14-dev assimp-testmodels \
         libosmesa6-dev zip unzip; do
  have_pkg "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "setup: installing ${need[*]}" >&2
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
