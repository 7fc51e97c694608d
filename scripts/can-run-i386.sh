#!/usr/bin/env bash
# Exits 0 when this machine runs 32-bit x86 programs itself, as 32-bit Wine
# needs, and 1 when it cannot: a kernel without 32-bit compat mode (some
# paravirtualised guests) refuses every i386 program with "Exec format error".
# There the Windows programs run in scripts/emulated-guest.sh instead.
# Anything short of that proof counts as able, so that machines where Wine
# works never take the emulated path.
set -u

# An i386 program handed to a user-mode emulator through binfmt_misc would
# start, but Wine hangs under it: such a machine cannot run Wine either.
for entry in /proc/sys/fs/binfmt_misc/*; do
  case ${entry##*/} in register|status) continue ;; esac
  [ -r "$entry" ] && grep -qx enabled "$entry" || continue
  # The ELF header of a 32-bit little-endian i386 executable or shared object.
  grep -qE '^magic 7f454c46010101.{18}0[23]000300' "$entry" && exit 1
done

# Wine's own 32-bit server is the program that has to start.
probe=/usr/lib/wine/wineserver32
[ -x "$probe" ] || exit 0
"$probe" --version >/dev/null 2>&1
# 126: the kernel refused to execute it.
[ $? -ne 126 ]
