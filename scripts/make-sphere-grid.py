#!/usr/bin/env python3
"""Writes examples/models/spheres.glb: a 5 x 5 grid of spheres of one gold
base colour whose metallic factor runs 0..1 from left to right and whose
roughness runs 0..1 from top to bottom, the usual way of showing what a
physically based renderer makes of the two values. Every sphere is the same
mesh data; each has a material of its own.
  make-sphere-grid.py [OUTPUT]"""
import json
import math
import struct
import sys

SLICES, STACKS, COUNT, SPACING = 48, 24, 5, 2.4
BASE = [1.0, 0.71, 0.29, 1.0]  # linear, gold


def sphere():
    positions, indices = [], []
    for stack in range(STACKS + 1):
        polar = math.pi * stack / STACKS
        for slice_ in range(SLICES + 1):
            around = 2 * math.pi * slice_ / SLICES
            positions.append((math.sin(polar) * math.cos(around), math.cos(polar), -math.sin(polar) * math.sin(around)))
    row = SLICES + 1
    for stack in range(STACKS):
        for slice_ in range(SLICES):
            a, b = stack * row + slice_, (stack + 1) * row + slice_
            if stack > 0:
                indices += [a, b, a + 1]
            if stack < STACKS - 1:
                indices += [a + 1, b, b + 1]
    return positions, indices


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else 'examples/models/spheres.glb'
    positions, indices = sphere()
    vertex_bytes = b''.join(struct.pack('<3f', *p) for p in positions)
    normal_bytes = vertex_bytes  # a unit sphere's normal is its position
    index_bytes = struct.pack(f'<{len(indices)}H', *indices)
    index_bytes += b'\0' * (-len(index_bytes) % 4)
    binary = vertex_bytes + normal_bytes + index_bytes
    views = [
        {'buffer': 0, 'byteOffset': 0, 'byteLength': len(vertex_bytes), 'target': 34962},
        {'buffer': 0, 'byteOffset': len(vertex_bytes), 'byteLength': len(normal_bytes), 'target': 34962},
        {'buffer': 0, 'byteOffset': 2 * len(vertex_bytes), 'byteLength': 2 * len(indices), 'target': 34963},
    ]
    accessors = [
        {'bufferView': 0, 'componentType': 5126, 'count': len(positions), 'type': 'VEC3',
         'min': [-1, -1, -1], 'max': [1, 1, 1]},
        {'bufferView': 1, 'componentType': 5126, 'count': len(positions), 'type': 'VEC3'},
        {'bufferView': 2, 'componentType': 5123, 'count': len(indices), 'type': 'SCALAR'},
    ]
    materials, meshes, nodes = [], [], []
    for row in range(COUNT):
        for column in range(COUNT):
            metallic, roughness = column / (COUNT - 1), row / (COUNT - 1)
            materials.append({'name': f'metallic {metallic:.2f} roughness {roughness:.2f}',
                              'pbrMetallicRoughness': {'baseColorFactor': BASE, 'metallicFactor': metallic,
                                                       'roughnessFactor': roughness}})
            meshes.append({'primitives': [{'attributes': {'POSITION': 0, 'NORMAL': 1}, 'indices': 2,
                                           'material': len(materials) - 1}]})
            nodes.append({'mesh': len(meshes) - 1,
                          'translation': [(column - (COUNT - 1) / 2) * SPACING, ((COUNT - 1) / 2 - row) * SPACING, 0]})
    document = {
        'asset': {'version': '2.0', 'generator': 'make-sphere-grid.py'},
        'scene': 0, 'scenes': [{'nodes': list(range(len(nodes)))}], 'nodes': nodes, 'meshes': meshes,
        'materials': materials, 'accessors': accessors, 'bufferViews': views,
        'buffers': [{'byteLength': len(binary)}],
    }
    text = json.dumps(document, separators=(',', ':')).encode()
    text += b' ' * (-len(text) % 4)
    glb = struct.pack('<III', 0x46546C67, 2, 12 + 8 + len(text) + 8 + len(binary))
    glb += struct.pack('<II', len(text), 0x4E4F534A) + text + struct.pack('<II', len(binary), 0x004E4942) + binary
    with open(out, 'wb') as f:
        f.write(glb)


if __name__ == '__main__':
    main()
