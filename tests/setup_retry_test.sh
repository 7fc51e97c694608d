#!/usr/bin/env bash
# scripts/setup.sh against a mirror caught mid-sync: stand-ins for apt-get,
# dpkg and dpkg-query on PATH fail the index update and the install the way
# Debian's tools do, and the test checks what set-up tries, says and returns.
#   setup_retry_test.sh SOURCE_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# setup.sh beside a can-run-i386.sh that says yes, so the package list does
# not depend on this machine.
mkdir -p "$work/scripts" "$work/bin"
cp "$source_dir/scripts/setup.sh" "$work/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$work/scripts/can-run-i386.sh"

# The stand-ins. $STATE/update-failures: how many updates still fail;
# $STATE/install: "ok", "fails-with-security" or "fails".
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STATE/calls"
parts=""
for arg; do case $arg in Dir::Etc::SourceParts=*) parts=${arg#*=} ;; esac; done
case " $* " in
  *" update "*)
    # Only the security suite's index is mid-sync.
    left=$(cat "$STATE/update-failures")
    if [ "$left" -gt 0 ] && cat "${parts:-$QUELTO_APT_ETC/sources.list.d}"/* | grep -q -- -security; then
      echo $((left - 1)) >"$STATE/update-failures"
      echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi
    exit 0 ;;
  *" install "*)
    if [ -n "$parts" ]; then
      cat "$parts"/* >"$STATE/sources-used"
    fi
    case $(cat "$STATE/install") in
      fails) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
      fails-with-security)
        [ -n "$parts" ] || { echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100; } ;;
    esac
    for arg; do case $arg in -*|install|Dir::*) ;; *) touch "$STATE/installed/$arg" ;; esac; done
    exit 0 ;;
esac
EOF
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for last; do :; done
[ -e "$STATE/installed/$last" ] && printf 'install ok installed'
exit 0
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/bin/sh
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work"/bin/* "$work/scripts/can-run-i386.sh"

# Debian 12's own sources: deb822 with the security suite in a stanza of its
# own, and a one-line list beside it.
mkdir -p "$work/apt/sources.list.d"
cat >"$work/apt/sources.list.d/debian.sources" <<'EOF'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
printf 'deb http://deb.debian.org/debian-security bookworm-security main\ndeb http://example.org/extra bookworm main\n' \
  >"$work/apt/sources.list.d/extra.list"

# run_setup UPDATE_FAILURES INSTALL: runs set-up from scratch; its stderr in $work/err.
run_setup() {
  export STATE=$work/state
  rm -rf "$STATE"; mkdir -p "$STATE/installed"
  echo "$1" >"$STATE/update-failures"
  echo "$2" >"$STATE/install"
  : >"$STATE/calls"
  PATH=$work/bin:$PATH QUELTO_APT_TRIES=4 QUELTO_APT_PAUSE=0 QUELTO_APT_ETC=$work/apt \
    "$work/scripts/setup.sh" 2>"$work/err"
}
count() { grep -c -- "$1" "$2" || true; }

# An index that fails twice comes down on the third update; the install runs once, as configured.
run_setup 2 ok; status=$?
[ "$status" -eq 0 ] || fail "a mirror that recovers: exit $status"
[ "$(count ' update' "$STATE/calls")" -eq 3 ] || fail "a mirror that recovers: $(count ' update' "$STATE/calls") updates, not 3"
[ "$(count 'again in' "$work/err")" -eq 2 ] || fail "a mirror that recovers: retries not said: $(cat "$work/err")"
grep -q 'Dir::' "$STATE/calls" && fail "a mirror that recovers: installed with other sources"

# The security index never comes down and the install fails with the lists
# apt has: set-up says so in one line and installs without the security suite.
run_setup 99 fails-with-security; status=$?
[ "$status" -eq 0 ] || fail "security suite mid-sync: exit $status: $(cat "$work/err")"
[ "$(count ' update' "$STATE/calls")" -eq 5 ] || fail "security suite mid-sync: $(count ' update' "$STATE/calls") updates, not 4, then 1 without it"
[ "$(count 'suites alone for this run' "$work/err")" -eq 1 ] || fail "security suite mid-sync: not said: $(cat "$work/err")"
grep -q -- '-security' "$STATE/sources-used" && fail "security suite mid-sync: still in the sources: $(cat "$STATE/sources-used")"
grep -q '^Suites: bookworm bookworm-updates$' "$STATE/sources-used" || fail "security suite mid-sync: the release suites went too"
grep -q '^deb http://example.org/extra bookworm main$' "$STATE/sources-used" || fail "security suite mid-sync: another source went too"
[ "$(count '^Types:' "$STATE/sources-used")" -eq 1 ] || fail "security suite mid-sync: an empty stanza was left"
grep -q -- '-security' "$work/apt/sources.list.d/debian.sources" || fail "the machine's own sources were changed"

# Nothing installs either way: one line names what is missing and the mirror, and the exit is non-zero.
run_setup 99 fails; status=$?
[ "$status" -ne 0 ] || fail "nothing installable: exit 0"
tail -n 1 "$work/err" | grep -q 'could not install cmake .*wixl; the package mirror may be mid-sync' \
  || fail "nothing installable: last line: $(tail -n 1 "$work/err")"

# Everything there already: a second run calls no apt-get at all.
run_setup 0 ok
: >"$STATE/calls"
PATH=$work/bin:$PATH QUELTO_APT_PAUSE=0 QUELTO_APT_ETC=$work/apt "$work/scripts/setup.sh" 2>"$work/err" \
  || fail "all installed: exit non-zero: $(cat "$work/err")"
[ -s "$STATE/calls" ] && fail "all installed: apt-get was called: $(cat "$STATE/calls")"

[ "$failures" -eq 0 ] && echo "setup retry: 4 passed, 0 failed"
exit "$failures"
