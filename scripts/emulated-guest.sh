#!/usr/bin/env bash
# Runs a command of this repository inside an emulated x86_64 Debian machine
# (QEMU with TCG), for hosts whose kernel cannot execute 32-bit x86 programs
# and so cannot start 32-bit Wine (scripts/can-run-i386.sh tells). The guest
# mounts the repository over 9p at the same absolute path as the host, because
# the build tree and CTest's files hold absolute paths.
#
#   emulated-guest.sh build             build the cached guest unless it is there
#   emulated-guest.sh run CMD [ARG]...  run CMD in the guest, from the current
#                                       folder (which must be in the repository);
#                                       exits with CMD's status
#
#   QUELTO_GUEST_CACHE    where the guest is kept (default /var/cache/quelto-guest)
#   QUELTO_GUEST_TIMEOUT  seconds one run may take, boot included (default 3600)
#   QUELTO_GUEST_MEMORY   the guest's memory (default 4G)
#   QUELTO_GUEST_CPU      the CPU QEMU emulates (default max,-smap; see below)
#   QUELTO_GUEST_VERBOSE  1: show the guest's boot and power-off messages too
#
# Only files inside the repository are visible to the guest; the guest's own
# disk is thrown away after every run. Variables named QUELTO_*, WINE*, GTEST_*
# and CTEST_* reach the command; DISPLAY does not (the guest has its own).
set -euo pipefail

# Bump whenever what the guest is built from changes (suite, packages, the
# first-process stub): another version builds a new guest and drops the old.
GUEST_VERSION=5
SUITE=bookworm
MIRROR=http://deb.debian.org/debian
# Wine, a virtual display and xdotool for the Windows tests; ctest itself; python3 and
# zip for the package test; wixl, so that the Windows Installer packages the
# package tests install are built in the same run; the assimp models the
# viewer tests load from /usr.
# The package test runs `cmake --build --target dist`, which makes the build
# tree check itself against the cross toolchain's headers and the header-only
# libraries: without them make would take every object as out of date and
# rebuild. Then a kernel, and kmod to load its 9p modules.
GUEST_PACKAGES=(wine wine32:i386 xvfb xauth xdotool cmake make python3 zip unzip util-linux procps wixl
                assimp-testmodels
                g++-mingw-w64-i686 googletest libglm-dev libstb-dev libfast-float-dev libtinygltf-dev nlohmann-json3-dev
                linux-image-amd64 kmod)

cache=${QUELTO_GUEST_CACHE:-/var/cache/quelto-guest}
guest=$cache/v$GUEST_VERSION
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

say() { echo "emulated-guest: $*" >&2; }

build_guest() {
  [ -f "$guest/ready" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    sudo "${BASH_SOURCE[0]}" build
    return
  fi
  mkdir -p "$cache"
  exec 8>"$cache/build.lock"
  flock 8
  [ -f "$guest/ready" ] && return 0

  local work=$guest.building started=$SECONDS
  local root=$work/root log=$cache/build.log
  # The chroot's /proc is mounted while packages install: never delete through it.
  remove_work() {
    umount "$root/proc" 2>/dev/null || true
    rm -rf --one-file-system "$work"
  }
  remove_work
  trap 'remove_work' EXIT
  mkdir -p "$work"
  : >"$log"
  say "building the guest in $guest (Debian $SUITE, 5 to 8 minutes; log: $log)"

  # A mirror caught mid-sync can fail a download: a few tries, each from scratch.
  local try
  for try in 1 2 3; do
    debootstrap --variant=minbase --arch=amd64 "$SUITE" "$root" "$MIRROR" >>"$log" 2>&1 && break
    if [ "$try" -eq 3 ]; then
      tail -n 30 "$log" >&2; say "debootstrap failed 3 times; the mirror may be unreachable or mid-sync"; exit 1
    fi
    say "debootstrap failed (try $try of 3); again in 30 s"
    umount "$root/proc" 2>/dev/null || true
    rm -rf --one-file-system "$root"
    sleep 30
  done
  # The guest is a throwaway test machine without a network: the release and
  # updates suites are all it needs, and a security index caught mid-sync on
  # the mirror cannot stop its build.
  cat >"$root/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $MIRROR
Suites: $SUITE $SUITE-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  rm -f "$root/etc/apt/sources.list"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # No service may start inside the chroot.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod +x "$root/usr/sbin/policy-rc.d"
  mount -t proc proc "$root/proc"
  if ! chroot "$root" /bin/sh -ec '
      export DEBIAN_FRONTEND=noninteractive
      dpkg --add-architecture i386
      # A mirror mid-sync fails an index now and then: try again a few times.
      try=1
      while ! apt-get update -q >/tmp/update.log 2>&1 || grep -q "^[EW]: Failed to fetch" /tmp/update.log; do
        cat /tmp/update.log
        [ "$try" -lt 4 ] || { echo "apt-get update failed $try times; the mirror may be mid-sync"; exit 1; }
        try=$((try + 1)); sleep 20
      done
      apt-get install -y -q --no-install-recommends "$@"
      apt-get clean
      rm -rf /var/lib/apt/lists/*' guest-setup "${GUEST_PACKAGES[@]}" >>"$log" 2>&1; then
    tail -n 30 "$log" >&2; say "installing the guest's packages failed"; exit 1
  fi
  umount "$root/proc"
  rm -f "$root/usr/sbin/policy-rc.d" "$root/etc/resolv.conf"
  echo quelto-guest >"$root/etc/hostname"

  # The kernel starts this; what the guest does arrives with each run on the
  # control share, so changing that needs no new guest.
  cat >"$root/sbin/quelto-guest-init" <<'EOF'
#!/bin/sh
mount -t proc proc /proc 2>/dev/null
modprobe 9pnet_virtio && modprobe 9p
mkdir -p /mnt/control
if mount -t 9p -o trans=virtio,version=9p2000.L control /mnt/control; then
  exec /bin/bash /mnt/control/init
fi
echo "quelto-guest: the control share did not mount"
echo o >/proc/sysrq-trigger
sleep 60
EOF
  chmod +x "$root/sbin/quelto-guest-init"

  local kernel initrd
  kernel=$(ls "$root"/boot/vmlinuz-* | tail -n 1)
  initrd=$root/boot/initrd.img-${kernel##*/vmlinuz-}
  cp "$kernel" "$work/vmlinuz"
  cp "$initrd" "$work/initrd.img"
  # Room for what a run writes to the guest's own disk (it is discarded after).
  local used
  used=$(du -s --block-size=1M "$root" | cut -f1)
  if ! mke2fs -q -F -t ext4 -L quelto-guest -d "$root" "$work/root.ext4" "$((used + used / 4 + 1024))M" >>"$log" 2>&1; then
    tail -n 30 "$log" >&2; say "making the disk image failed"; exit 1
  fi
  rm -rf --one-file-system "$root"
  chmod 644 "$work"/vmlinuz "$work"/initrd.img "$work"/root.ext4
  printf '%s\n' "${GUEST_PACKAGES[@]}" >"$work/packages"
  touch "$work/ready"
  trap - EXIT

  rm -rf --one-file-system "$guest"
  mv "$work" "$guest"
  local old
  for old in "$cache"/v*; do
    [ "$old" = "$guest" ] || rm -rf --one-file-system "$old"
  done
  say "guest built in $((SECONDS - started)) s"
}

# The guest's first process from the stub on: mounts what a run needs, runs
# the command on the serial console, leaves its status on the control share
# and powers the machine off.
write_guest_init() {
  cat >"$1" <<'EOF'
#!/bin/bash
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export LANG=C.UTF-8 HOME=/root TERM=dumb
control=/mnt/control
power_off() {
  sync
  echo 1 >/proc/sys/kernel/sysrq
  echo o >/proc/sysrq-trigger
  sleep 60
}
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620 devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs tmpfs /run
hostname quelto-guest
# Wine looks its host name up; there is no network, only this file.
printf '127.0.0.1 localhost\n127.0.1.1 quelto-guest\n' >/etc/hosts
# The clock starts from the emulated RTC, up to a second behind the host's; a
# file made on the control share carries the host's time, and make compares
# the guest's clock with the mtimes the host writes.
touch "$control/clock" && date -s "@$(stat -c %.9Y "$control/clock")" >/dev/null

repo=$(cat "$control/repository")
mkdir -p "$repo"
# cache=loose: with the uncached modes, Wine loading a large .exe from the share
# found zeros where its code should be (a page fault at the entry point),
# though plain reads and mappings of the same file were right; through the
# page cache it loads as from a local disk. The guest keeps what it has read,
# so a file the host changes during a run may be seen as it was.
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose repository "$repo"; then
  echo "quelto-guest: the repository did not mount at $repo"
  power_off
fi

# Files written into the repository belong to whoever runs QEMU; Wine refuses a
# prefix that is not its user's, so the command runs as the repository's owner.
as_owner=()
owner=$(stat -c %u "$repo")
if [ "$owner" != 0 ]; then
  export HOME=/tmp/home
  mkdir -p "$HOME" && chown "$owner:$(stat -c %g "$repo")" "$HOME"
  as_owner=(setpriv --reuid="$owner" --regid="$(stat -c %g "$repo")" --clear-groups)
fi

echo "quelto-guest: start"
cd "$repo"
# Through a pipe, not the console itself: Wine takes a terminal for a console
# and draws each character with escape sequences.
"${as_owner[@]}" timeout -k 30 "$(cat "$control/timeout")" bash "$control/command" </dev/null 2>&1 | cat >/dev/console
status=${PIPESTATUS[0]}
echo "$status" >"$control/status"
echo "quelto-guest: end"
cd /
umount "$repo"
power_off
EOF
}

write_command() {
  local name
  printf 'cd %q || exit 125\n' "$PWD"
  for name in $(compgen -e); do
    case $name in
      QUELTO_GUEST_*) ;;
      QUELTO_*|WINE*|GTEST_*|CTEST_*) printf 'export %s=%q\n' "$name" "${!name}" ;;
    esac
  done
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
}

# The serial console, without carriage returns: the command's part to stdout,
# the boot and power-off messages to the log (and stderr when asked for).
show_console() {
  local log=$1 state=boot line
  while IFS= read -r line || [ -n "$line" ]; do
    line=${line%$'\r'}
    case $state:$line in
      # The console's own control sequences may stand before the marker.
      boot:*"quelto-guest: start") state=run ;;
      run:*"quelto-guest: end") state=end ;;
      run:*) printf '%s\n' "$line" ;;
      *)
        printf '%s\n' "$line" >>"$log"
        [ "${QUELTO_GUEST_VERBOSE:-0}" = 1 ] && printf '%s\n' "$line" >&2
        ;;
    esac
  done
}

run_in_guest() {
  [ $# -gt 0 ] || { say "usage: emulated-guest.sh run CMD [ARG]..."; exit 2; }
  case $PWD/ in
    "$repo"/*) ;;
    *) say "the guest sees only the repository $repo; run from inside it (now in $PWD)"; exit 2 ;;
  esac
  command -v qemu-system-x86_64 >/dev/null || { say "qemu-system-x86_64 is missing: run scripts/setup.sh"; exit 2; }
  build_guest

  local limit=${QUELTO_GUEST_TIMEOUT:-3600} memory=${QUELTO_GUEST_MEMORY:-4G} cpu=${QUELTO_GUEST_CPU:-max,-smap}
  local work share started=$SECONDS
  work=$(mktemp -d "${TMPDIR:-/tmp}/quelto-guest.XXXXXX")
  share=$work/share
  mkdir "$share"
  trap 'rm -rf "$work"' EXIT
  printf '%s\n' "$repo" >"$share/repository"
  # The command's own limit leaves time to boot and power off, so that a hung
  # command still reports a status; the host's limit catches a hung guest.
  echo $((limit > 300 ? limit - 180 : limit / 2)) >"$share/timeout"
  write_guest_init "$share/init"
  write_command "$@" >"$share/command"

  # Runs of one repository share its Wine prefix: one guest at a time there.
  exec 9>"${TMPDIR:-/tmp}/quelto-emulated-guest-$(printf %s "$repo" | cksum | cut -d' ' -f1).lock"
  if ! flock -n 9; then
    say "waiting for another guest run in $repo to finish"
    flock 9
  fi
  say "this machine cannot run 32-bit programs: running in an emulated x86_64 guest: $*"
  # Without SMAP: QEMU 7.2's TCG checks the stack reads of an IRET from user
  # mode as supervisor accesses, so every 32-bit Wine process dies with a page
  # fault on its first IRET when the guest kernel turns SMAP on.
  local qemu_status
  set +e
  timeout --foreground -k 30 "$limit" qemu-system-x86_64 \
    -machine q35 -accel tcg,thread=multi -smp 2 -cpu "$cpu" -m "$memory" \
    -nographic -no-reboot -nic none \
    -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
    -append "console=ttyS0 root=/dev/vda rw rootfstype=ext4 init=/sbin/quelto-guest-init quiet loglevel=3 panic=1 mitigations=off" \
    -drive "file=$guest/root.ext4,format=raw,if=virtio,snapshot=on" \
    -virtfs "local,path=$repo,mount_tag=repository,security_model=none,multidevs=remap" \
    -virtfs "local,path=$share,mount_tag=control,security_model=none" \
    </dev/null | show_console "$work/console.log"
  qemu_status=${PIPESTATUS[0]}
  set -e

  if [ -f "$share/status" ]; then
    local status
    status=$(cat "$share/status")
    say "the command exited with $status after $((SECONDS - started)) s"
    exit "$status"
  fi
  if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
    say "the guest did not finish within $limit s (QUELTO_GUEST_TIMEOUT)"
  else
    say "the guest stopped without a result (QEMU exit status $qemu_status); its last console lines:"
    tail -n 40 "$work/console.log" >&2
  fi
  exit 1
}

case ${1:-} in
  build) build_guest ;;
  run) shift; run_in_guest "$@" ;;
  *) sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "${BASH_SOURCE[0]}" >&2; exit 2 ;;
esac
