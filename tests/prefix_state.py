#!/usr/bin/env python3
"""What a Wine prefix holds, for telling what an installation added and what
its removal left behind.

  prefix_state.py snapshot PREFIX OUT.json
      every registry key and value (from the hives Wine keeps in the prefix;
      run `wineserver -w` first so they are written) and every file and
      folder under drive_c
  prefix_state.py added BEFORE.json AFTER.json
      prints what AFTER has that BEFORE has not, one entry a line
  prefix_state.py leftovers BEFORE.json REMOVED.json INSTALLED.json...
      prints what the installations added and is still there after removal,
      what else is new, and what is gone; fails on what an installation
      added and left, unless Wine itself leaves it (KNOWN_WINE_LEFTOVERS),
      and on files that were there before and are gone

Registry entries read `HKLM\\key` for a key and `HKLM\\key\\\\"name"=data` for a
value (`@` for the default value); files read `C:\\path` (folders end in `\\`).
"""
import json
import os
import re
import sys

HIVES = {'system.reg': 'HKLM', 'user.reg': 'HKCU'}

# What Wine's msiexec leaves after a removal: the empty folder of cached
# packages and the empty keys it lists installed products under, all of which
# every Windows has anyway. Each pattern is matched against whole entries
# (keys, never values); anything else left is a fault.
KNOWN_WINE_LEFTOVERS = [
    r'C:\\windows\\Installer\\',
    r'(HKCU\\Software\\Microsoft|HKLM\\Software\\Classes)\\Installer(\\(Features|Products|UpgradeCodes))?',
    r'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer'
    r'(\\UpgradeCodes|\\UserData(\\S-1-5-[0-9-]+(\\(Components|Products))?)?)?',
]

# Values Wine writes again as it starts, with the day's date (its display
# driver's): a prefix used after midnight differs there from one made
# before, and no installation wrote them. Matched against whole entries.
WINE_REWRITTEN_VALUES = [
    r'HKLM\\System\\CurrentControlSet\\Control\\Class\\\{[0-9A-F-]+\}\\[0-9]+\\\\"DriverDate(Data)?"=.*',
]


def read_hive(path, root):
    entries = set()
    key = None
    pending = None  # a value written over several lines, each but the last ending in "\\"
    with open(path, encoding='utf-8', errors='surrogateescape') as hive:
        for raw in hive:
            line = raw.rstrip('\n')
            if pending is not None:
                line = pending + line.strip()
                pending = None
            if line.startswith('['):
                # [Software\\Classes\\X] 1733672345: the name, without the
                # time of the last write.
                key = root + '\\' + line[1:line.rindex(']')].replace('\\\\', '\\')
                # Wine writes out only keys with values or without subkeys:
                # the keys above them are there all the same.
                parts = key.split('\\')
                entries.update('\\'.join(parts[:n]) for n in range(2, len(parts) + 1))
            elif key is not None and line[:1] in ('"', '@'):
                if line.endswith('\\'):
                    pending = line[:-1]
                else:
                    entries.add(key + '\\\\' + line)
    return entries


def snapshot(prefix):
    registry = set()
    for file_name, root in HIVES.items():
        registry |= read_hive(os.path.join(prefix, file_name), root)
    files = set()
    drive = os.path.join(prefix, 'drive_c')
    # Symbolic links (the user's folders Wine links to the Unix home) are
    # listed, never followed.
    for folder, subfolders, names in os.walk(drive):
        relative = os.path.relpath(folder, drive)
        base = 'C:\\' if relative == '.' else 'C:\\' + relative.replace('/', '\\') + '\\'
        for sub in subfolders:
            files.add(base + sub + '\\')
        for name in names:
            files.add(base + name)
    return {'registry': sorted(registry), 'files': sorted(files)}


def load(path):
    with open(path, encoding='utf-8', errors='surrogateescape') as f:
        state = json.load(f)
    return set(state['registry']) | set(state['files'])


def wine_leaves(entry):
    return any(re.fullmatch(pattern, entry, re.I) for pattern in KNOWN_WINE_LEFTOVERS)


def main(args):
    command = args[0]
    if command == 'snapshot':
        with open(args[2], 'w', encoding='utf-8', errors='surrogateescape') as out:
            json.dump(snapshot(args[1]), out, indent=0)
        return 0
    if command == 'added':
        before, after = load(args[1]), load(args[2])
        for entry in sorted(after - before):
            print(entry)
        return 0
    if command == 'leftovers':
        before, removed = load(args[1]), load(args[2])
        added = {entry for entry in set().union(*(load(path) for path in args[3:])) - before
                 if not any(re.fullmatch(pattern, entry, re.I) for pattern in WINE_REWRITTEN_VALUES)}
        left = sorted(added & removed)
        faults = [entry for entry in left if not wine_leaves(entry)]
        for entry in left:
            print(('LEFT BEHIND  ' if entry in faults else 'wine leaves  ') + entry)
        for entry in sorted(removed - added - before):
            print('new, not from an installation  ' + entry)
        # Registry values Wine rewrites as it runs come and go; files of the
        # author's must never go.
        lost = sorted(before - removed)
        for entry in lost:
            print(('LOST  ' if entry.startswith('C:') else 'changed  ') + entry)
        return 1 if faults or any(entry.startswith('C:') for entry in lost) else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
