#!/usr/bin/env bash
# The package as an author gets it: unpacked into a folder of its own, the
# control registered from it with regsvr32 in a brand-new Wine prefix, the
# runner from it listing the actions and running an example script.
#   dist_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build_dir=$1
source_dir=$2

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
for file in VasaQuelto3D.dll Quelto3dCtrl.dll quelto-runner.exe quelto-bmp2png.exe INSTALL.txt \
            examples/cube.txt examples/tour.txt examples/models/cube.obj examples/models/cube.mtl; do
  [ -f "$package/$file" ] || { echo "missing from the package: $file"; exit 1; }
done
grep -q "regsvr32 /n /i:user" "$package/INSTALL.txt" || { echo "INSTALL.txt lacks the per-user registration"; exit 1; }

export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
cd "$package"

wine regsvr32 /s Quelto3dCtrl.dll
wine reg query 'HKCR\QUELTO3D.Quelto3dCtrl.1\CLSID' 2>/dev/null | grep -q '{' \
  || { echo "the control's ProgID is not registered"; exit 1; }

list=$(wine quelto-runner.exe --list)
actions=$(printf '%s\n' "$list" | grep -c 'KP_Quelto3D_')
[ "$actions" -eq 30 ] || { echo "--list showed $actions actions"; printf '%s\n' "$list"; exit 1; }

wine quelto-runner.exe 'examples\cube.txt'
[ -f cube.bmp ] || { echo "the example wrote no cube.bmp"; exit 1; }
wine quelto-bmp2png.exe cube.bmp cube.png
[ -f cube.png ] || { echo "no cube.png"; exit 1; }

# A 640x480 snapshot: the corner shows the light background, the centre the cube.
python3 - cube.bmp <<'PY'
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
echo "package $version: installed, registered and ran its example"
