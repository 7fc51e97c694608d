#!/usr/bin/env bash
# The Windows Installer package as an author meets it, in a brand-new Wine
# prefix each time:
# - for the current user, into the default folder; then the same package one
#   version later, which must replace it;
# - for every user (ALLUSERS=1), the plug-in into a plug-in folder of the
#   author's that already holds another plug-in (PLUGINDIR); then the later
#   version without PLUGINDIR, which must keep the plug-in there;
# - while one kind is installed, the other kind, which must be refused with a
#   message and change nothing.
# Each time the installed runner checks the installation (which finds the
# control through the registry entries the installer wrote) and runs the cube
# example, and `msiexec /x` must leave the registry and the files under C:\ as
# they were before, apart from what prefix_state.py says Wine itself leaves.
# Finally the installer's registry entries are compared with those the
# control's own registration (regsvr32) writes.
#   msi_test.sh BUILD_DIR PACKAGE.msi UPGRADE.msi
set -euo pipefail
build_dir=$1
msi=$2
upgrade_msi=$3
tests=$(cd "$(dirname "$0")" && pwd)
# A time limit on every Wine call.
source "$tests/wine_watchdog.sh"

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" "$@"
fi

# Built here where wixl is; a machine without it only checks that both are up
# to date.
cmake --build "$build_dir" --target msi_test_packages >/dev/null
name=$(basename "$msi" .msi)
version=${name#VasaQuelto3D-}
upgrade_version=$(basename "$upgrade_msi" .msi); upgrade_version=${upgrade_version#VasaQuelto3D-}

work=$(mktemp -d "$build_dir/msi-test.XXXXXX")
trap 'for p in "$work"/*/prefix; do WINEPREFIX="$p" wineserver -k >/dev/null 2>&1 || true; done; rm -rf "$work"' EXIT
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
clsid='{8E7A4C02-3B6D-4F1E-A5C9-2D40B7E19F63}'
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
unix_path() { local p=${1#[Cc]:\\}; printf '%s/drive_c/%s' "$WINEPREFIX" "${p//\\//}"; }
fail() { echo "$*"; exit 1; }

new_prefix() {
  export WINEPREFIX="$work/$1/prefix"
  mkdir -p "$work/$1"
  wineboot -i >/dev/null 2>&1
  wineserver -w
}
snapshot() {
  wineserver -w   # the hives are written when the last Wine process ends
  python3 "$tests/prefix_state.py" snapshot "$WINEPREFIX" "$work/$1.json"
}
# The Wine server going away under msiexec ("wine client error: ...
# Connection reset by peer") is Wine's failure, not the package's: seen once
# in the emulated guest. The kernel's last words are shown (an out-of-memory
# kill names its victim) and the same msiexec runs once more on a new server;
# what it leaves is checked as for any other run.
msiexec_quiet() {  # msiexec_quiet LOG /i|/x PACKAGE [PROPERTY=VALUE]...
  local log=$1; shift
  local status=0
  wine msiexec "$1" "$(windows_path "$2")" /qn /l*v "$(windows_path "$work/$log")" "${@:3}" \
    2>"$work/$log.err" || status=$?
  cat "$work/$log.err" >&2
  if [ "$status" -ne 0 ] && grep -q 'wine client error' "$work/$log.err"; then
    echo "msiexec $1 $(basename "$2") ${*:3}: the Wine server went away (status $status); once more"
    dmesg 2>/dev/null | tail -n 5 || true
    wineserver -w || true
    status=0
    wine msiexec "$1" "$(windows_path "$2")" /qn /l*v "$(windows_path "$work/$log")" "${@:3}" || status=$?
  fi
  if [ "$status" -ne 0 ]; then
    if [ "$(head -c 2 "$work/$log" 2>/dev/null | od -An -tx1 | tr -d ' ')" = fffe ]; then
      iconv -f utf-16 -t utf-8 "$work/$log" | tail -n 60
    else
      tail -n 60 "$work/$log" 2>/dev/null || true
    fi
    fail "msiexec $1 $(basename "$2") ${*:3}: status $status"
  fi
}
# An installation msiexec must refuse by a launch condition: the status is
# not 0, its launch conditions ended it, the package holds the message (Wine's
# msiexec /qn writes a launch condition's message nowhere; Windows' logs it),
# and nothing of ours was added.
msiexec_refused() {  # msiexec_refused STATE LOG MESSAGE_PART /i PACKAGE [PROPERTY=VALUE]...
  local state=$1 log=$2 message=$3; shift 3
  local status=0
  wine msiexec "$1" "$(windows_path "$2")" /qn /l*v "$(windows_path "$work/$log")" "${@:3}" || status=$?
  [ "$status" -ne 0 ] || fail "msiexec $1 $(basename "$2") ${*:3} was not refused"
  local text
  if [ "$(head -c 2 "$work/$log" 2>/dev/null | od -An -tx1 | tr -d ' ')" = fffe ]; then
    text=$(iconv -f utf-16 -t utf-8 "$work/$log")
  else
    text=$(cat "$work/$log")
  fi
  grep -q 'Action ended .*LaunchConditions\. Return value [03]' <<<"$text" \
    || { grep -v 'Property(' <<<"$text" | tail -n 40; fail "msiexec $1 ${*:3}: not refused by its launch conditions"; }
  grep -qaF "$message" "$2" || fail "the package does not say '$message'"
  echo "refused (status $status): msiexec $1 $(basename "$2") ${*:3}"
  snapshot "$state-refused"
  local added
  added=$(python3 "$tests/prefix_state.py" added "$work/$state.json" "$work/$state-refused.json" \
    | grep -i -e VasaQuelto3D -e Quelto3dCtrl -e "$clsid" || true)
  [ -z "$added" ] || fail "the refused installation added: $added"
}
registry_value() {  # registry_value KEY [VALUE]: the data, or nothing
  wine reg query "$1" ${2:+/v "$2"} ${2:-/ve} 2>/dev/null | tr -d '\r' | sed -n 's/^ *[^ ].*REG_SZ *//p' | head -n 1
}

# --check from the installed runner: every item ok; the control found is the
# installed one. Then the cube example, run as INSTALL.txt says: the examples
# copied to a folder of the author's, the runner started from there.
use_installation() {  # use_installation MODE INSTALLDIR [--dll PLUGIN]
  local mode=$1 install_dir=$2; shift 2
  local runner="$install_dir\\quelto-runner.exe" status=0
  wine "$runner" "$@" --check >"$work/$mode/check.out" 2>&1 || status=$?
  if [ "$status" -ne 0 ] || grep -q FAILED "$work/$mode/check.out"; then
    cat "$work/$mode/check.out"; fail "$mode: --check after installing: status $status"
  fi
  local server
  server=$(registry_value "HKCR\\CLSID\\$clsid\\InprocServer32")
  [ "${server,,}" = "${install_dir,,}\\quelto3dctrl.dll" ] \
    || fail "$mode: the control registered is '$server', not the one in $install_dir"
  local author="$work/$mode/author"
  mkdir -p "$author"
  cp -r "$(unix_path "$install_dir\\examples")" "$author/"
  (cd "$author" && wine "$runner" "$@" 'examples\cube.txt') 2>"$work/$mode/cube.err" \
    || { cat "$work/$mode/cube.err"; fail "$mode: the cube example failed"; }
  [ ! -s "$work/$mode/cube.err" ] || { cat "$work/$mode/cube.err"; fail "$mode: the cube example complained"; }
  python3 - "$author/cube.bmp" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
width, height = struct.unpack('<ii', data[18:26])
def pixel(x, y_from_top):
    at = 54 + 4 * ((height - 1 - y_from_top) * width + x)
    return tuple(data[at + 2:at - 1 if at else None:-1])
assert pixel(2, 2) == (240, 240, 240), pixel(2, 2)
assert pixel(width // 2, height // 2) != (240, 240, 240), "no cube in the centre"
PY
}

# The entry in the installed-programs list: exactly one for the product,
# with its name, version and publisher.
check_programs_entry() {  # check_programs_entry MODE STATE EXPECTED_VERSION
  python3 - "$work/before-$1.json" "$work/$2.json" "$3" "$1" <<'PY'
import json, re, sys
before, after, version, mode = sys.argv[1:]
load = lambda p: set(json.load(open(p, encoding='utf-8', errors='surrogateescape'))['registry'])
added = load(after) - load(before)
entries = {}
for entry in added:
    m = re.match(r'(HK..\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\\{[0-9A-F-]+\})\\\\"(\w+)"="(.*)"$',
                 entry, re.I)
    if m:
        entries.setdefault(m[1], {})[m[2]] = m[3]
ours = {k: v for k, v in entries.items() if v.get('DisplayName') == 'VasaQuelto3D'}
assert len(ours) == 1, (mode, 'installed-programs entries', entries)
(key, values), = ours.items()
assert (values.get('DisplayVersion'), values.get('Publisher')) == (version, 'Ivel Tarsum'), (mode, key, values)
print(f'{mode}: installed-programs entry {key}')
PY
}

# --- for the current user, default folder; then the upgrade ---
new_prefix user
snapshot before-user
msiexec_quiet user-install.log /i "$msi"
snapshot user-installed
check_programs_entry user user-installed "$version"
user_dir=$(wine cmd /c 'echo %LOCALAPPDATA%\Programs\VasaQuelto3D' | tr -d '\r')
[ -f "$(unix_path "$user_dir")/quelto-runner.exe" ] || fail "user: nothing installed into $user_dir"
# Windows puts a per-user installation's classes under HKCU\Software\Classes;
# Wine's msiexec puts them under HKLM\Software\Classes, the only place Wine's
# COM looks. Either way, in one place only.
classes_roots=$(python3 "$tests/prefix_state.py" added "$work/before-user.json" "$work/user-installed.json" \
  | grep -F "\\CLSID\\$clsid\\InprocServer32\\\\@=" | grep -o '^HK..\\Software\\Classes' || true)
[ "$(printf '%s\n' "$classes_roots" | grep -c .)" -eq 1 ] || fail "user: the control's server registered in: $classes_roots"
echo "user: the control's classes went to $classes_roots"
for text in 'msiexec /i' 'ALLUSERS=1' 'PLUGINDIR="' 'msiexec /x'; do
  grep -qF "$text" "$(unix_path "$user_dir")/INSTALL.txt" || fail "the installed INSTALL.txt does not say '$text'"
done
[ -f "$(unix_path "$user_dir")/GUIDE.txt" ] || fail "user: GUIDE.txt was not installed"
use_installation user "$user_dir"
# For every user while it is installed for this one: refused, nothing changed.
msiexec_refused user-installed user-for-all.log "is already installed for you alone" /i "$msi" ALLUSERS=1

msiexec_quiet user-upgrade.log /i "$upgrade_msi"
snapshot user-upgraded
check_programs_entry user user-upgraded "$upgrade_version"
use_installation user "$user_dir"
msiexec_quiet user-remove.log /x "$upgrade_msi"
snapshot user-removed
echo "user: after removing the upgrade, compared with the new prefix:"
python3 "$tests/prefix_state.py" leftovers "$work/before-user.json" "$work/user-removed.json" \
  "$work/user-installed.json" "$work/user-upgraded.json" || fail "user: the removal left the above behind"

# --- for every user, the plug-in into the author's plug-in folder ---
new_prefix machine
plugins="$WINEPREFIX/drive_c/Authoring/Plug-ins"
mkdir -p "$plugins"
echo "another plug-in" >"$plugins/Other.dll"
snapshot before-machine
msiexec_quiet machine-install.log /i "$msi" ALLUSERS=1 'PLUGINDIR=C:\Authoring\Plug-ins'
snapshot machine-installed
check_programs_entry machine machine-installed "$version"
machine_dir='C:\Program Files\VasaQuelto3D'
[ -f "$WINEPREFIX/drive_c/Program Files/VasaQuelto3D/quelto-runner.exe" ] || fail "machine: nothing in $machine_dir"
[ -f "$plugins/VasaQuelto3D.dll" ] || fail "machine: the plug-in is not in PLUGINDIR"
[ ! -e "$WINEPREFIX/drive_c/Program Files/VasaQuelto3D/VasaQuelto3D.dll" ] || fail "machine: a plug-in beside the runner"
python3 "$tests/prefix_state.py" added "$work/before-machine.json" "$work/machine-installed.json" \
  | grep -F "\\CLSID\\$clsid" | grep -q '^HKLM\\Software\\Classes' \
  || fail "machine: the control's classes are not under HKLM\\Software\\Classes"
use_installation machine "$machine_dir" --dll 'C:\Authoring\Plug-ins\VasaQuelto3D.dll'
# For this user alone while it is installed for every user: refused.
msiexec_refused machine-installed machine-for-user.log "is already installed for every user" /i "$msi"
# The upgrade, without PLUGINDIR: the plug-in stays in the author's folder.
msiexec_quiet machine-upgrade.log /i "$upgrade_msi" ALLUSERS=1
snapshot machine-upgraded
check_programs_entry machine machine-upgraded "$upgrade_version"
[ -f "$plugins/VasaQuelto3D.dll" ] || fail "machine: the upgrade took the plug-in out of PLUGINDIR"
[ ! -e "$WINEPREFIX/drive_c/Program Files/VasaQuelto3D/VasaQuelto3D.dll" ] \
  || fail "machine: the upgrade put the plug-in beside the runner"
use_installation machine "$machine_dir" --dll 'C:\Authoring\Plug-ins\VasaQuelto3D.dll'
msiexec_quiet machine-remove.log /x "$upgrade_msi" ALLUSERS=1
snapshot machine-removed
echo "machine: after removing, compared with the new prefix:"
python3 "$tests/prefix_state.py" leftovers "$work/before-machine.json" "$work/machine-removed.json" \
  "$work/machine-installed.json" "$work/machine-upgraded.json" \
  || fail "machine: the removal left the above behind (or removed the author's files)"

# --- the installer's registry entries are the control's own ---
# The same DLL at the same place, registered by regsvr32: the classes keys
# and values must be the ones the installer wrote, every one of them.
mkdir -p "$WINEPREFIX/drive_c/Program Files/VasaQuelto3D"
cp "$build_dir/dist-stage/$name/Quelto3dCtrl.dll" "$WINEPREFIX/drive_c/Program Files/VasaQuelto3D/"
wine regsvr32 /s "$machine_dir\\Quelto3dCtrl.dll" || fail "regsvr32 failed"
snapshot machine-regsvr32
classes() {
  python3 "$tests/prefix_state.py" added "$work/$1.json" "$work/$2.json" \
    | grep -F -e "HKLM\\Software\\Classes\\CLSID\\$clsid" -e 'HKLM\Software\Classes\QUELTO3D.' \
        -e 'HKLM\Software\Classes\TypeLib\{3646CA3F-3D0F-493D-890C-1D03D68EC078}' \
        -e 'HKLM\Software\Classes\Interface\{F80EF011-F95C-43D0-80AE-03E4762DF8E0}' || true
}
if ! diff <(classes before-machine machine-installed) <(classes machine-removed machine-regsvr32); then
  fail "the installer's registry entries (<) differ from the control's own registration (>)"
fi
echo "package $version: installed for a user and for every user, each upgraded to $upgrade_version keeping its folders, the other kind refused while one is installed, removed"
