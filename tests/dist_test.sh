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
            examples/models/table.glb examples/spheres.txt examples/spheres.png examples/models/spheres.glb; do
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
cd "$package"

# Three runners started at once are the first programs of the new prefix: each
# gets its window (no "invalid window handle" while the prefix and its desktop
# come up). With no control registered yet, each says so, names the command
# that registers the one beside it, and ends with status 6: no viewer.
# The Wine server is started first: Wine programs that start it at the same
# moment race for its socket folder, and the loser ends with status 1 before
# any program of ours runs ("wine: chdir to /tmp/wine-.../server-...").
mkdir -p "$WINEPREFIX"
wineserver -p 60
for i in 1 2 3; do
  (status=0; wine quelto-runner.exe -e Init -e "SaveImage first-$i.bmp" >"$work/first-$i.err" 2>&1 || status=$?
   echo "$status" >"$work/first-$i.status") &
done
wait
control_path=$(winepath -w "$package/Quelto3dCtrl.dll")
for i in 1 2 3; do
  status=$(cat "$work/first-$i.status")
  if [ "$status" -ne 6 ] || ! grep -q "no viewer control is registered as QUELTO3D.Quelto3dCtrl.1" "$work/first-$i.err" \
     || ! grep -qF "regsvr32 \"$control_path\"" "$work/first-$i.err" \
     || ! grep -q "^-e:1: no viewer came up, so the script stops here" "$work/first-$i.err" || [ -e "first-$i.bmp" ]; then
    echo "runner $i of 3 started at once in a new prefix, before registering: status $status"
    cat "$work/first-$i.err"; exit 1
  fi
done

# Before the control is registered: --check fails and names the command that
# registers the one beside the runner.
status=0
wine quelto-runner.exe --check >"$work/check.out" 2>&1 || status=$?
if [ "$status" -ne 5 ] || ! grep -q "^FAILED  viewer control: nothing is registered" "$work/check.out" \
   || ! grep -qF "regsvr32 \"$control_path\"" "$work/check.out"; then
  echo "--check before registering: status $status"; cat "$work/check.out"; exit 1
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

# The OBJ and the glTF examples, each a 640x480 snapshot whose corner shows the
# light background and whose centre shows the model.
for example in cube table spheres; do
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
# The picture the package shows of the sphere grid is what its example draws
# now (a shading change that leaves it stale fails here: remake it by running
# examples\spheres.txt and converting spheres.bmp with quelto-bmp2png).
python3 - spheres.bmp examples/spheres.png <<'PY'
import struct, sys, zlib
def bmp(name):
    data = open(name, 'rb').read()
    width, height = struct.unpack('<ii', data[18:26])
    rows = [data[54 + 4 * width * y:54 + 4 * width * (y + 1)] for y in range(height)][::-1]
    return width, height, [bytes(row[x + 2 - c] for x in range(0, len(row), 4) for c in range(3)) for row in rows]
def png(name):
    data = open(name, 'rb').read()
    assert data[:8] == b'\x89PNG\r\n\x1a\n', name
    at, idat = 8, b''
    while at < len(data):
        length, kind = struct.unpack('>I4s', data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b'IHDR':
            width, height, depth, colour = struct.unpack('>IIBB', body[:10])
            assert (depth, colour) in ((8, 2), (8, 6)), (depth, colour)
            channels = 3 if colour == 2 else 4
        elif kind == b'IDAT':
            idat += body
        at += 12 + length
    raw, stride, rows, previous = zlib.decompress(idat), width * channels, [], bytearray(width * channels)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b, c = previous[i], previous[i - channels] if i >= channels else 0
            if kind == 1: line[i] = (line[i] + a) & 255
            elif kind == 2: line[i] = (line[i] + b) & 255
            elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(v for x in range(width) for v in line[x * channels:x * channels + 3]))
        previous = line
    return width, height, rows
drawn, shown = bmp(sys.argv[1]), png(sys.argv[2])
assert drawn[:2] == shown[:2], ('sizes', drawn[:2], shown[:2])
differences = [abs(p - q) for a, b in zip(drawn[2], shown[2]) for p, q in zip(a, b)]
mean, far = sum(differences) / len(differences), sum(d > 16 for d in differences) / len(differences)
assert mean <= 1.0 and far <= 0.005, f'examples/spheres.png is stale: mean difference {mean:.2f}, {100 * far:.2f} % off by more than 16'
PY
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

# An author's first hour, from the package: a script in UTF-8 (as Notepad
# saves it) with names beyond ASCII, parameters written as people write them,
# models that load as nothing or not at all, and a window nearly as high as
# the screen. The warnings come first, with file:line; then each of the
# viewer's message lines, with the line that led to it; the picture shows the
# model on the background in every corner, under a name with its accent.
mkdir -p modèles
cp examples/models/cube.obj "modèles/cube_é.obj"
cp examples/models/cube.mtl modèles/
printf 'v 0 0 0\nv 1 0 0\nv 2 0 0\nf 1 2 3\n' >flat.obj
printf '{"asset": {"version": "1.0"}, "scene": "s", "scenes": {"s": {"nodes": []}}}' >old.gltf
printf '%s\r\n' '# What an author meets in the first hour' Init 'SetBKColor 0 128 255' \
  'Show "examples\models\cube.obj"' 'Show  examples\models\cube.obj' 'Show examples\models\cube.obj   # the box' \
  'Show flat.obj' 'Show old.gltf' 'Show modèles\cube_é.obj' 'GridSize 0.000001' 'SetBKColor 0,128,255' 'wait 300' \
  'SaveImage Zürich.bmp' End >first-hour.txt
status=0
wine quelto-runner.exe --size 1280x990 first-hour.txt 2>"$work/first-hour.err" || status=$?
python3 - "$status" "$work/first-hour.err" Zürich.bmp <<'PY'
import re, struct, sys
status, err = int(sys.argv[1]), open(sys.argv[2], encoding='cp1252').read()
assert status == 0, (status, err)
lines = err.splitlines()
warnings = [l for l in lines if ': warning: ' in l]
assert [l.split(':')[1] for l in warnings] == ['3', '4', '5', '6'], err
viewer = {int(l.split(':')[1]): l for l in lines if ': viewer: ' in l}
assert sorted(viewer) == [4, 5, 6, 7, 8, 10], err
assert 'nothing that can be drawn' in viewer[7] and 'glTF 1.0' in viewer[8], err
assert len(lines) == len(warnings) + len(viewer), err
data = open(sys.argv[3], 'rb').read()
width, height = struct.unpack('<ii', data[18:26])
assert (width, height) == (1280, 990) and len(data) == 54 + 4 * width * height, (width, height, len(data))
def pixel(x, y_from_top):
    at = 54 + 4 * ((height - 1 - y_from_top) * width + x)
    return tuple(data[at:at + 3][::-1])
for corner in [(0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1)]:
    assert pixel(*corner) == (0, 128, 255), (corner, pixel(*corner))
assert pixel(width // 2, height // 2) != (0, 128, 255), "no model in the centre"
PY

# Mistakes are all reported at once, before anything runs; a character the
# ANSI code page lacks names its line; a window size the screen cannot hold
# is refused. Each is bad input (2).
printf '%s\r\n' Init 'Shwo cube.obj' 'RenderMod 2' 'wait soon' 'SaveImage 模型.bmp' End >mistakes.txt
status=0
wine quelto-runner.exe mistakes.txt 2>"$work/mistakes.err" || status=$?
for line in 2 3 4 5; do
  grep -q "^mistakes.txt:$line: " "$work/mistakes.err" \
    || { echo "mistakes.txt:$line not reported (status $status):"; cat "$work/mistakes.err"; exit 1; }
done
[ "$status" -eq 2 ] || { echo "mistakes.txt: status $status"; exit 1; }
status=0
wine quelto-runner.exe -e "SaveImage 模型.bmp" 2>"$work/e.err" || status=$?
[ "$status" -eq 2 ] && grep -q '^-e:1: "模" (U+6A21) cannot be handed to the plug-in' "$work/e.err" \
  || { echo "-e with a character the ANSI code page lacks: status $status"; cat "$work/e.err"; exit 1; }
status=0
wine quelto-runner.exe --size 1281x700 -e Init 2>"$work/size.err" || status=$?
[ "$status" -eq 2 ] && grep -q "which is 1280x1024 pixels" "$work/size.err" \
  || { echo "--size wider than the screen: status $status"; cat "$work/size.err"; exit 1; }

# No viewer, no success: Init given a handle that is no window, and a
# SaveImage while no viewer is up, end with status 6 and say what to do.
for script in '-e "Init 12345" -e "SaveImage none.bmp"' '-e "SaveImage early.bmp"'; do
  status=0
  eval "wine quelto-runner.exe $script" 2>"$work/none.err" || status=$?
  [ "$status" -eq 6 ] && grep -Eq "not a window handle|empty picture" "$work/none.err" \
    || { echo "$script: status $status"; cat "$work/none.err"; exit 1; }
done
status=0
wine quelto-bmp2png.exe missing.bmp missing.png 2>"$work/bmp2png.err" || status=$?
[ "$status" -ne 0 ] && grep -q 'cannot read "missing.bmp"' "$work/bmp2png.err" \
  || { echo "quelto-bmp2png on a missing file: status $status"; cat "$work/bmp2png.err"; exit 1; }

echo "package $version: installed, registered and ran its example"
