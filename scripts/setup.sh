#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine: the mingw-w64
# i686 cross compiler, 32-bit Wine, a virtual X server and GoogleTest's sources;
# on a machine that cannot run 32-bit programs, QEMU and debootstrap as well.
# Idempotent and quiet: does nothing when everything is already there.
#
# A Debian mirror can be caught mid-sync: an index then comes down with the
# wrong size and `apt-get update` fails for it. Set-up tries the update again a
# few times, then goes on with the lists it has. When the install then fails
# (a half-synced security index for i386 leaves the i386 packages unable to
# match the amd64 ones already installed), it installs once more without the
# security suite, for this run only.
#   QUELTO_APT_TRIES  how many times apt-get update is tried (default 4)
#   QUELTO_APT_PAUSE  seconds between two tries (default 20)
#   QUELTO_APT_ETC    apt's configuration folder, whose sources are read (default /etc/apt)
set -euo pipefail

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
apt_tries=${QUELTO_APT_TRIES:-4}
apt_pause=${QUELTO_APT_PAUSE:-20}
apt_etc=${QUELTO_APT_ETC:-/etc/apt}
updated=""
# apt's options for the sources in use: none, or those without the security suite.
apt_sources=()
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say() { echo "setup: $*" >&2; }

# apt-get update, tried again while any index fails to come down. Returns 1
# when the last try still failed; the addresses that failed are in $work/failed.
apt_update() {
  local try
  for ((try = 1; ; try++)); do
    if $SUDO apt-get "$@" update -q >"$work/update.log" 2>&1 &&
       ! grep -q '^[EW]: Failed to fetch' "$work/update.log"; then
      : >"$work/failed"
      return 0
    fi
    sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$work/update.log" >"$work/failed"
    [ -s "$work/failed" ] || grep '^E:' "$work/update.log" >"$work/failed" || true
    ((try < apt_tries)) || return 1
    say "apt-get update could not fetch every index (try $try of $apt_tries; the mirror may be mid-sync); again in $apt_pause s"
    sleep "$apt_pause"
  done
}

apt_install() {
  $SUDO apt-get "$@" >"$work/install.log" 2>&1
}

# The configured sources without any *-security suite, in $work/nosec, in both
# the one-line and the deb822 format.
write_sources_without_security() {
  local dir=$work/nosec f
  mkdir -p "$dir/sources.list.d" "$dir/lists/partial"
  : >"$dir/sources.list"
  for f in "$apt_etc/sources.list" "$apt_etc"/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '!($1 ~ /^deb/ && $0 ~ /-security([[:space:]]|\/|$)/)' "$f" >"$dir/sources.list.d/${f##*/}"
  done
  for f in "$apt_etc"/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # One stanza a paragraph: drop the security suites from its Suites line, and
    # the stanza with it when no suite is left.
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         { out = ""; keep = 1; n = split($0, line, "\n")
           for (i = 1; i <= n; i++) {
             if (line[i] ~ /^Suites:/) {
               m = split(substr(line[i], 8), suite, /[[:space:]]+/); kept = ""
               for (j = 1; j <= m; j++) if (suite[j] != "" && suite[j] !~ /-security$/) kept = kept " " suite[j]
               if (kept == "") keep = 0
               line[i] = "Suites:" kept
             }
             out = out line[i] "\n"
           }
           if (keep) printf "%s\n", out }' "$f" >"$dir/sources.list.d/${f##*/}"
  done
  # apt downloads as its own user.
  chmod -R a+rX "$dir"
}

install_missing() {
  local need=() p
  for p in "$@"; do
    have_pkg "$p" || need+=("$p")
  done
  [ ${#need[@]} -eq 0 ] && return 0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  say "installing ${need[*]}"
  if [ -z "$updated" ]; then
    if ! apt_update; then
      say "going on with the package lists apt has; not fetched: $(tr '\n' ' ' <"$work/failed")"
    fi
    updated=1
  fi
  apt_install "${apt_sources[@]}" install -y -q --no-install-recommends "${need[@]}" && return 0

  if [ ${#apt_sources[@]} -eq 0 ] && grep -qs -- '-security' "$apt_etc/sources.list" "$apt_etc"/sources.list.d/*.list "$apt_etc"/sources.list.d/*.sources; then
    say "the install failed with the security suite's lists (a half-synced mirror leaves i386 and amd64 out of step); installing from the release and updates suites alone for this run"
    write_sources_without_security
    apt_sources=(-o "Dir::Etc::SourceList=$work/nosec/sources.list" -o "Dir::Etc::SourceParts=$work/nosec/sources.list.d"
                 -o "Dir::State::Lists=$work/nosec/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
    apt_update "${apt_sources[@]}" || say "going on without: $(tr '\n' ' ' <"$work/failed")"
    apt_install "${apt_sources[@]}" install -y -q --no-install-recommends "${need[@]}" && return 0
  fi

  local missing=()
  for p in "${need[@]}"; do
    have_pkg "$p" || missing+=("$p")
  done
  grep '^E:' "$work/install.log" | head -n 5 >&2 || true
  say "could not install ${missing[*]:-${need[*]}}; the package mirror may be mid-sync: try again in an hour"
  exit 1
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
# built with debootstrap and booted with QEMU. Asked only now, when 32-bit
# Wine is there to try.
if ! "$(dirname "$0")/can-run-i386.sh"; then
  install_missing qemu-system-x86 debootstrap e2fsprogs
fi
