#!/usr/bin/env python3
"""Writes the large models the viewer is shown with: a bumpy sphere of at most
N triangles (and close to it) as a binary STL (every triangle with its own three corners, as
STL has them) or as an indexed OBJ.

    big_model_files.py FOLDER stl:20000000 obj:10000000 ...

Prints each file's path and triangle count. A file that is already there
with the same name is kept (the name holds the count)."""

import math
import os
import struct
import sys


def sphere_rows(triangles):
    """Stacks of the sphere: rows of packed positions, pole to pole."""
    # 4 s (s - 1) triangles for s stacks of 2 s slices, one a quad at the
    # poles: at most the number asked for.
    stacks = max(3, int((1 + math.sqrt(1 + triangles)) / 2))
    slices = 2 * stacks
    for i in range(stacks + 1):
        theta = math.pi * i / stacks
        count = 1 if i in (0, stacks) else slices
        row = []
        for j in range(count):
            phi = 2 * math.pi * j / slices
            r = 1.0 + 0.04 * math.sin(7 * theta) * math.sin(9 * phi)
            row.append((r * math.sin(theta) * math.cos(phi), r * math.cos(theta), -r * math.sin(theta) * math.sin(phi)))
        yield row


def row_triangles(upper, lower, slices):
    """Triangles between two rows, as (row, column) corners, counter-clockwise
    seen from outside."""
    for j in range(slices):
        k = (j + 1) % slices
        top_a, top_b = (0, 0 if len(upper) == 1 else j), (0, 0 if len(upper) == 1 else k)
        bottom_a, bottom_b = (1, 0 if len(lower) == 1 else j), (1, 0 if len(lower) == 1 else k)
        if len(upper) > 1:
            yield top_a, bottom_a, top_b
        if len(lower) > 1:
            yield top_b, bottom_a, bottom_b


def write_stl(path, triangles):
    count = 0
    with open(path + ".partial", "wb") as out:
        out.write(b"big model for the viewer".ljust(80, b" ") + struct.pack("<I", 0))
        previous = None
        for row in sphere_rows(triangles):
            packed = [struct.pack("<3f", *p) for p in row]
            if previous is not None:
                slices = max(len(previous), len(packed))
                rows = (previous, packed)
                chunk = [b"".join((b"\0" * 12, rows[a[0]][a[1]], rows[b[0]][b[1]], rows[c[0]][c[1]], b"\0\0"))
                         for a, b, c in row_triangles(previous, packed, slices)]
                count += len(chunk)
                out.write(b"".join(chunk))
            previous = packed
        out.seek(80)
        out.write(struct.pack("<I", count))
    os.replace(path + ".partial", path)
    return count


def write_obj(path, triangles):
    count = 0
    with open(path + ".partial", "w") as out:
        out.write("# big model for the viewer\n")
        previous_first = previous_size = None
        written = 0
        for row in sphere_rows(triangles):
            out.write("".join(f"v {x:.6f} {y:.6f} {z:.6f}\n" for x, y, z in row))
            first = written + 1
            written += len(row)
            if previous_first is not None:
                slices = max(previous_size, len(row))
                starts = (previous_first, first)
                faces = [f"f {starts[a[0]] + a[1]} {starts[b[0]] + b[1]} {starts[c[0]] + c[1]}\n"
                         for a, b, c in row_triangles([0] * previous_size, row, slices)]
                count += len(faces)
                out.write("".join(faces))
            previous_first, previous_size = first, len(row)
    os.replace(path + ".partial", path)
    return count


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for wanted in sys.argv[2:]:
        kind, triangles = wanted.split(":")
        path = os.path.join(folder, f"sphere-{triangles}.{kind}")
        if not os.path.exists(path):
            (write_stl if kind == "stl" else write_obj)(path, int(triangles))
        print(path)


if __name__ == "__main__":
    main()
