#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine: the mingw-w64
# i686 cross compiler, 32-bit Wine, a virtual X server and GoogleTest's sources;
# on a machine that cannot run 32-bit programs, QEMU and debootstrap as well.
# Idempotent and quiet: does nothing when everything is already there.
set -euo pipefail

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
updated=""

install_missing() {
  local need=() p
  for p in "$@"; do
    have_pkg "$p" || need+=("$p")
  done
  [ ${#need[@]} -eq 0 ] && return 0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  echo "setup: installing ${need[*]}" >&2
  [ -n "$updated" ] || { $SUDO apt-get update -qq >/dev/null; updated=1; }
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}

# Cross build and Wine; xdotool, whose real pointer and keys drive the viewer
# control in the input tests; the header-only libraries the viewer control uses (glTF
# through tinygltf, numbers in text files through fast_float); the
# native sanitizer and fuzzer build (clang); real model files for its tests;
# Mesa's off-screen renderer for the renderer benchmark; wixl (msitools) for
# the Windows Installer package.
install_missing cmake make g++-mingw-w64-i686 mingw-w64-tools xvfb xauth xdotool googletest wine wine32:i386 python3 \
  libglm-dev libstb-dev libtinygltf-dev nlohmann-json3-dev libfast-float-dev clang libclang-rt-14-dev assimp-testmodels \
  libosmesa6-dev zip unzip wixl

# A kernel that cannot run 32-bit programs cannot start Wine: the Windows
# programs then run in an emulated x86_64 guest (scripts/emulated-guest.sh),
# built with debootstrap and booted with QEMU.
if ! "$(dirname "$0")/can-run-i386.sh"; then
  install_missing qemu-system-x86 debootstrap e2fsprogs
fi
