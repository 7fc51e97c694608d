# Sourced by the shell tests that start Windows programs: every wine, wineboot
# and wineserver call they make has a time limit, so that a program that hangs
# fails the test with a line that names it, well before CTest's own limit
# ends the whole test without a word about why.
#   QUELTO_WINE_LIMIT  seconds one call may take (default 400: the first Wine
#                      start of a new prefix in the emulated guest takes minutes)
wine_limit=${QUELTO_WINE_LIMIT:-400}

watched() {
  local status=0
  timeout -k 10 "$wine_limit" "$@" || status=$?
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "watchdog: '$*' did not finish within $wine_limit s and was ended" >&2
  fi
  return "$status"
}
wine() { watched wine "$@"; }
wineboot() { watched wineboot "$@"; }
wineserver() { watched wineserver "$@"; }
