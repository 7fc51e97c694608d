#!/usr/bin/env bash
# Runs every Windows test of the build tree (CTest's mingw preset): under Wine
# where this machine runs 32-bit programs, otherwise in the emulated x86_64
# guest (scripts/emulated-guest.sh), which is built first when it is missing.
# Exits non-zero when a test fails and when the tests could not be run at all
# (no guest and none can be built, a guest that timed out): never "not run"
# with a zero status.
#
# The tests run in two lanes at once, each with a Wine prefix and a virtual X
# display of its own, so that one lane's windows never stand in front of a
# picture the other lane copies from the screen, nor take its pointer.
#
#   QUELTO_SKIP_WINDOWS_TESTS=1  skip them, for a quick local run only; says so
#                                loudly (CI never sets it)
#   QUELTO_BUILD_DIR             the build tree (default build)
#   CTEST_ARGS                   more ctest arguments for both lanes (e.g. --schedule-random)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${QUELTO_SKIP_WINDOWS_TESTS:-0}" = 1 ]; then
  cat >&2 <<'EOF'
########################################################################
##  WINDOWS TESTS SKIPPED: QUELTO_SKIP_WINDOWS_TESTS=1 is set.        ##
##  The plug-in, the viewer control, the runner and the installer     ##
##  were NOT tested. Unset it before you call a change finished.      ##
########################################################################
EOF
  exit 0
fi

build=${QUELTO_BUILD_DIR:-$PWD/build}
[ -f "$build/CMakeCache.txt" ] || { echo "windows-tests: no build tree in $build: run 'make build' first" >&2; exit 2; }

# A machine that cannot run 32-bit programs runs this same script in the
# guest, where it can. The guest has a long limit for a hung run, and CI's
# 90 minutes still hold the guest's build and the tests.
if ! scripts/can-run-i386.sh; then
  echo "windows-tests: this machine cannot run 32-bit programs, so not 32-bit Wine either;" \
       "the Windows tests run in the emulated x86_64 guest (scripts/emulated-guest.sh)" >&2
  QUELTO_EMULATED=1 QUELTO_GUEST_TIMEOUT=${QUELTO_GUEST_TIMEOUT:-2700} exec scripts/emulated-guest.sh run "$0" "$@"
fi

# The packages the package tests install (built by wixl, and with the runner
# under Wine for REFERENCE.txt), before the lanes start.
cmake --build "$build" --target msi_test_packages -- --no-print-directory -s

# The second lane: the installer test, the generated IDispatch calls and a
# few programs that are over quickly; everything else (the runner, the
# snapshots, the real control, real input, the zip package) in the first.
# Within a lane the tests run one at a time, so the lanes are split by the time
# they take (in the guest: 15 to 19 minutes each).
second_lane='^(msi_test|control_dispatch_fuzz_test|conversions_test|fake_viewer_control_test|command_actions_test)$'

# Each lane's prefix: the first lane's is the build tree's own, made once (the
# package build above has usually made it); the second lane's starts as a copy
# of it, which takes a second where making one takes minutes in the guest.
export WINEPREFIX=$build/wineprefix
# An empty registry is a prefix whose making was cut off: Wine would not make it again.
[ -s "$WINEPREFIX/system.reg" ] || { rm -rf "$WINEPREFIX"; scripts/wine-run.sh cmd /c exit >/dev/null; }
wineserver -w
second_prefix=$build/wineprefix-lane2
if [ ! -s "$second_prefix/system.reg" ]; then
  rm -rf "$second_prefix"
  cp -a "$WINEPREFIX" "$second_prefix.part" && mv "$second_prefix.part" "$second_prefix"
fi

# The lowest display number from 99 on that no X server holds and that is not $1.
free_display() {
  local n=99
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || [ "$n" = "${1:-}" ]; do n=$((n + 1)); done
  echo "$n"
}
screen=(-s "-screen 0 1280x1024x24 -nolisten tcp")
read -r -a extra <<<"${CTEST_ARGS:-}"
extra+=("$@")
# Emulated, a test takes many times as long as under Wine: the tests that set
# no time limit of their own get a longer one.
[ "${QUELTO_EMULATED:-0}" = 1 ] && extra+=(--timeout 300)

# The second lane's output is kept in the build tree, where it can be
# followed while the tests run; each lane's JUnit file there holds every test
# program's whole output, failed or not.
work=$build/windows-tests
mkdir -p "$work"
# run_lane N DISPLAY FILTER...: lane N's tests on their own virtual display.
run_lane() {
  local lane=$1 display=$2
  shift 2
  xvfb-run -n "$display" "${screen[@]}" ctest --preset mingw --output-junit "$work/lane$lane.xml" "$@" "${extra[@]}"
}
second_display=$(free_display)
WINEPREFIX=$second_prefix run_lane 2 "$second_display" -R "$second_lane" >"$work/lane2.log" 2>&1 &
second=$!
# Let the second lane's X server take its number first.
for _ in $(seq 50); do [ -e "/tmp/.X$second_display-lock" ] && break; sleep 0.1; done

echo "windows-tests: lane 1 here; lane 2 beside it, printed when done (follow it in $work/lane2.log)"
first_status=0
run_lane 1 "$(free_display "$second_display")" -E "$second_lane" 2>&1 | tee "$work/lane1.log" \
  || first_status=${PIPESTATUS[0]}
second_status=0
wait "$second" || second_status=$?
echo "---- lane 2 ----"
cat "$work/lane2.log"

# One closing line over both lanes, from CTest's summaries ("93% tests passed,
# 1 tests failed out of 14"); a lane that printed none counts as one failure.
passed=0 failed=0
for log in "$work/lane1.log" "$work/lane2.log"; do
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+$' "$log" | tail -n 1 || true)
  # A filter (CTEST_ARGS=-R ...) can leave a lane nothing to run.
  [ -z "$line" ] && grep -q '^No tests were found' "$log" && continue
  if [ -z "$line" ]; then
    failed=$((failed + 1))
    continue
  fi
  read -r lane_failed lane_total < <(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+)$/\1 \2/' <<<"$line")
  failed=$((failed + lane_failed)) passed=$((passed + lane_total - lane_failed))
done
# A lane that failed without a failed test (ctest or its display broke) fails too.
if [ "$failed" -eq 0 ] && { [ "$first_status" -ne 0 ] || [ "$second_status" -ne 0 ]; }; then failed=1; fi
echo "Windows tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
