#!/usr/bin/env bash
# The package as an author gets it: unpacked into a folder of its own, its
# texts read as an author reads them, the installation checked with
# `quelto-runner --check` in a brand-new Wine prefix before and after the
# control is registered from it with regsvr32, the runner from it listing the
# actions and running an example script.
#   dist_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build_dir=$1
source_dir=$2
# A time limit on every Wine call.
source "$source_dir/tests/wine_watchdog.sh"

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" "$@"
fi

cmake --build "$build_dir" --target dist >/dev/null
version=$(sed -n 's/^project(VasaQuelto3D VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
zip="$source_dir/dist/VasaQuelto3D-$version.zip"
[ -f "$zip" ] || { echo "no package at $zip"; exit 1; }

work=$(mktemp -d "$build_dir/dist-test.XXXXXX")
trap 'WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip")
package="$work/VasaQuelto3D-$version"
for file in VasaQuelto3D.dll Quelto3dCtrl.dll quelto-runner.exe quelto-bmp2png.exe INSTALL.txt GUIDE.txt REFERENCE.txt \
            examples/cube.txt examples/tour.txt examples/table.txt examples/models/cube.obj examples/models/cube.mtl \
            examples/models/table.glb; do
  [ -f "$package/$file" ] || { echo "missing from the package: $file"; exit 1; }
done
grep -q "regsvr32 /n /i:user" "$package/INSTALL.txt" || { echo "INSTALL.txt lacks the per-user registration"; exit 1; }

# INSTALL.txt names this version, and its administrator prompt (which starts
# in System32) changes to the folder the package unpacks to before regsvr32.
title=$(head -n 1 "$package/INSTALL.txt")
[ "$title" = "VasaQuelto3D $version - installation"$'\r' ] || { echo "INSTALL.txt's title: $title"; exit 1; }
if grep -n '@[A-Z_]*@' "$package/INSTALL.txt"; then echo "INSTALL.txt keeps a placeholder"; exit 1; fi
grep -qF "cd /d \"C:\\path\\to\\${package##*/}\"" "$package/INSTALL.txt" \
  || { echo "INSTALL.txt does not change to the package's folder before registering"; exit 1; }
grep -q "quelto-runner --check" "$package/INSTALL.txt" || { echo "INSTALL.txt does not mention --check"; exit 1; }

# REFERENCE.txt opens in Notepad (CR LF) and lists every action and member of
# the README's tables, which readme_tables_test holds to the code's tables.
python3 - "$package/REFERENCE.txt" "$source_dir/README.md" <<'PY'
import re, sys
data = open(sys.argv[1], 'rb').read()
assert data.count(b'\n') == data.count(b'\r\n') > 0, "REFERENCE.txt does not end its lines in CR LF"
text = data.decode('utf-8').replace('\r\n', '\n')
readme = open(sys.argv[2], encoding='utf-8').read()
actions = re.findall(r'^\| \d+ \| (KP_Quelto3D_\w+) \|', readme, re.M)
members = re.findall(r'^\| ([A-Z]+) \| (?:method|property put)', readme, re.M)
assert (len(actions), len(members)) == (30, 27), (len(actions), len(members))
listed_actions = re.findall(r'^[ \d]\d  (KP_Quelto3D_\w+) "', text, re.M)
listed_members = re.findall(r'^([A-Z]+)  (?:method|property put)', text, re.M)
assert listed_actions == actions, listed_actions
assert listed_members == members, listed_members
PY

# scripts/wine-run.sh from a folder outside any build tree uses the
# repository's build tree and its prefix; it makes no prefix where it is run.
listed=$(cd "$source_dir/examples" && env -u QUELTO_BUILD_DIR -u WINEPREFIX \
  timeout -k 10 "$wine_limit" "$source_dir/scripts/wine-run.sh" "$build_dir/quelto-runner.exe" --list | grep -c 'KP_Quelto3D_' || true)
[ "$listed" -eq 30 ] || { echo "wine-run.sh from examples/ listed $listed actions"; exit 1; }
for left in wineprefix build; do
  [ ! -e "$source_dir/examples/$left" ] || { echo "wine-run.sh made examples/$left"; exit 1; }
done

export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
cd "$package"

control_path=$(winepath -w "$package/Quelto3dCtrl.dll")

# Before the control is registered: --check fails and names the command that
# registers the one beside the runner; a script still runs, after a warning.
status=0
wine quelto-runner.exe --check >"$work/check.out" 2>&1 || status=$?
if [ "$status" -ne 5 ] || ! grep -q "^FAILED  viewer control: nothing is registered" "$work/check.out" \
   || ! grep -qF "regsvr32 \"$control_path\"" "$work/check.out"; then
  echo "--check before registering: status $status"; cat "$work/check.out"; exit 1
fi
wine quelto-runner.exe -e Init -e End 2>"$work/warning.err" \
  || { echo "a script without a registered control did not run"; cat "$work/warning.err"; exit 1; }
if ! grep -q "no viewer control is registered as QUELTO3D.Quelto3dCtrl.1" "$work/warning.err" \
   || ! grep -qF "regsvr32 \"$control_path\"" "$work/warning.err"; then
  echo "no warning about the unregistered control:"; cat "$work/warning.err"; exit 1
fi

wine regsvr32 /s Quelto3dCtrl.dll
wine reg query 'HKCR\QUELTO3D.Quelto3dCtrl.1\CLSID' 2>/dev/null | grep -q '{' \
  || { echo "the control's ProgID is not registered"; exit 1; }

status=0
wine quelto-runner.exe --check >"$work/check.out" 2>&1 || status=$?
if [ "$status" -ne 0 ] || grep -q FAILED "$work/check.out" || [ "$(grep -c '^ok  ' "$work/check.out")" -ne 9 ]; then
  echo "--check after registering: status $status"; cat "$work/check.out"; exit 1
fi

list=$(wine quelto-runner.exe --list)
actions=$(printf '%s\n' "$list" | grep -c 'KP_Quelto3D_')
[ "$actions" -eq 30 ] || { echo "--list showed $actions actions"; printf '%s\n' "$list"; exit 1; }

# The OBJ and the glTF example, each a 640x480 snapshot whose corner shows the
# light background and whose centre shows the model.
for example in cube table; do
  wine quelto-runner.exe "examples\\$example.txt" 2>"$work/$example.err"
  [ -f $example.bmp ] || { echo "the example wrote no $example.bmp"; exit 1; }
  [ ! -s "$work/$example.err" ] || { echo "examples\\$example.txt complained:"; cat "$work/$example.err"; exit 1; }
  wine quelto-bmp2png.exe $example.bmp $example.png
  [ -f $example.png ] || { echo "no $example.png"; exit 1; }
  python3 - $example.bmp <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
width, height = struct.unpack('<ii', data[18:26])
assert (width, height) == (640, 480), (width, height)
assert len(data) == 54 + 4 * width * height, len(data)
def pixel(x, y_from_top):
    at = 54 + 4 * ((height - 1 - y_from_top) * width + x)
    b, g, r = data[at:at + 3]
    return r, g, b
assert pixel(2, 2) == (240, 240, 240), pixel(2, 2)
assert pixel(width // 2, height // 2) != (240, 240, 240), "no model in the centre"
PY
done
# Each change saved at once, with no wait: the pictures show the change.
printf '%s\r\n' Init 'GridMode 0' 'Show examples\models\cube.obj' 'SaveImage shown.bmp' 'SetBKColor 255,0,0' \
  'SaveImage red.bmp' 'RenderMode 2' 'SaveImage wire.bmp' End >at-once.txt
wine quelto-runner.exe at-once.txt || { echo "the script of immediate snapshots failed"; exit 1; }
python3 - shown.bmp red.bmp wire.bmp <<'PY'
import struct, sys
def picture(name):
    data = open(name, 'rb').read()
    width, height = struct.unpack('<ii', data[18:26])
    assert len(data) == 54 + 4 * width * height, (name, len(data))
    return [tuple(data[at + 2:at - 1 if at else None:-1]) for at in range(54, len(data), 4)], width, height
(shown, w, h), (red, _, _), (wire, _, _) = (picture(name) for name in sys.argv[1:])
centre = (h // 2) * w + w // 2
assert shown[0] == (0, 0, 255) and shown[centre] != (0, 0, 255), ("Show", shown[0], shown[centre])
assert red[0] == (255, 0, 0) and red[centre] != (255, 0, 0), ("SetBKColor", red[0], red[centre])
reds = lambda pixels: sum(p == (255, 0, 0) for p in pixels)
assert reds(wire) > reds(red) + w * h // 20, ("RenderMode 2 shows the background through", reds(red), reds(wire))
PY

echo "package $version: installed, registered and ran its example"
