#!/usr/bin/env python3
"""Writes the hostile model set: small files that try to make the viewer
reach off the machine or unpack to gigabytes. Each is under 1 MB, with its
pictures under 1 MB.

    make_hostile_models.py FOLDER

The files are kept in tests/corpus/hostile; run this again only to change them.
"""
import base64
import json
import os
import struct
import sys
import zlib


def png(width, height, grey=128):
    """A grey PNG (8-bit, one channel) of one colour: tiny for its pixels."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    row = b"\0" + bytes([grey]) * width
    packer = zlib.compressobj(9)
    data = b"".join(packer.compress(row) for _ in range(height)) + packer.flush()
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


QUAD = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"


def obj_using(materials):
    text = QUAD
    for name in materials:
        text += f"usemtl {name}\nf 1/1 2/2 3/3 4/4\n"
    return text


def gltf(doc, binary=b""):
    """A glTF with its buffer (if any) as a data URI."""
    if binary:
        doc["buffers"] = [{"byteLength": len(binary),
                           "uri": "data:application/octet-stream;base64," + base64.b64encode(binary).decode()}]
    doc["asset"] = {"version": "2.0"}
    return json.dumps(doc, separators=(",", ":"))


def triangle_gltf(extra_images=()):
    """One textured triangle; its material's picture is each of `extra_images` in turn."""
    positions = struct.pack("<9f", 0, 0, 0, 1, 0, 0, 0, 1, 0)
    texcoords = struct.pack("<6f", 0, 0, 1, 0, 0, 1)
    doc = {
        "scenes": [{"nodes": [0]}], "nodes": [{"mesh": 0}],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1}, "material": 0}]}],
        "bufferViews": [{"buffer": 0, "byteLength": 36}, {"buffer": 0, "byteOffset": 36, "byteLength": 24}],
        "accessors": [{"bufferView": 0, "componentType": 5126, "type": "VEC3", "count": 3,
                       "min": [0, 0, 0], "max": [1, 1, 0]},
                      {"bufferView": 1, "componentType": 5126, "type": "VEC2", "count": 3}],
        "images": [{"uri": uri} for uri in extra_images],
        "textures": [{"source": i} for i in range(len(extra_images))],
        "materials": [{"pbrMetallicRoughness": {"baseColorTexture": {"index": i}}} for i in range(len(extra_images))]
                     or [{}],
    }
    return doc, positions + texcoords


def write(folder, name, content):
    mode = "wb" if isinstance(content, bytes) else "w"
    with open(os.path.join(folder, name), mode, newline="" if mode == "w" else None) as out:
        out.write(content)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)

    # Names off the machine, in an OBJ, its libraries and a glTF.
    write(folder, "network_names.obj",
          "mtllib \\\\evil-host\\share\\lib.mtl\nmtllib //evil-host/share/lib2.mtl\n"
          "mtllib http://evil-host/lib3.mtl\nmtllib network_names.mtl\n" + obj_using(["unc", "url", "device", "long"]))
    write(folder, "network_names.mtl",
          "newmtl unc\nmap_Kd \\\\evil-host\\share\\skin.png\nnewmtl url\nmap_Kd file:///C:/Windows/win.ini\n"
          "newmtl device\nmap_Kd \\\\.\\COM1\nnewmtl long\nmap_Kd \\\\?\\UNC\\evil-host\\share\\skin.png\n")
    doc, binary = triangle_gltf()
    doc["buffers"] = [{"byteLength": len(binary), "uri": "//evil-host/share/triangle.bin"}]
    doc["asset"] = {"version": "2.0"}
    write(folder, "network_buffer.gltf", json.dumps(doc))
    doc, binary = triangle_gltf(["%5C%5Cevil-host%5Cshare%5Cskin.png", "file://evil-host/skin.png"])
    write(folder, "network_pictures.gltf", gltf(doc, binary))

    # Accessors without a buffer view read as zeros: 21 million positions
    # placed twice, and a sparse accessor of 20 million with one value.
    doc = {"scenes": [{"nodes": [0, 1]}], "nodes": [{"mesh": 0}, {"mesh": 0, "translation": [1, 0, 0]}],
           "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
           "accessors": [{"componentType": 5126, "type": "VEC3", "count": 21000000, "min": [0, 0, 0], "max": [0, 0, 0]}]}
    write(folder, "zero_filled.gltf", gltf(doc))
    sparse = struct.pack("<I3f", 7, 1, 2, 3)
    doc = {"scenes": [{"nodes": [0]}], "nodes": [{"mesh": 0}],
           "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
           "bufferViews": [{"buffer": 0, "byteLength": 4}, {"buffer": 0, "byteOffset": 4, "byteLength": 12}],
           "accessors": [{"componentType": 5126, "type": "VEC3", "count": 20000000, "min": [0, 0, 0], "max": [1, 2, 3],
                          "sparse": {"count": 1, "indices": {"bufferView": 0, "componentType": 5125},
                                     "values": {"bufferView": 1}}}]}
    write(folder, "sparse_zero.gltf", gltf(doc, sparse))

    # One mesh of 7938 triangles placed by 2000 nodes: 16 million triangles
    # out of 80 KB of data.
    side = 64
    positions = b"".join(struct.pack("<3f", x, y, 0) for y in range(side) for x in range(side))
    indices = b"".join(struct.pack("<6H", y * side + x, y * side + x + 1, (y + 1) * side + x,
                                   y * side + x + 1, (y + 1) * side + x + 1, (y + 1) * side + x)
                       for y in range(side - 1) for x in range(side - 1))
    doc = {"scenes": [{"nodes": list(range(2000))}],
           "nodes": [{"mesh": 0, "translation": [i % 50, i // 50, 0]} for i in range(2000)],
           "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}],
           "bufferViews": [{"buffer": 0, "byteLength": len(positions)},
                           {"buffer": 0, "byteOffset": len(positions), "byteLength": len(indices)}],
           "accessors": [{"bufferView": 0, "componentType": 5126, "type": "VEC3", "count": side * side,
                          "min": [0, 0, 0], "max": [side - 1, side - 1, 0]},
                         {"bufferView": 1, "componentType": 5123, "type": "SCALAR", "count": len(indices) // 2}]}
    write(folder, "instanced.gltf", gltf(doc, positions + indices))

    # A picture of 8192 x 8192 pixels in 65 KB, named six ways by one library.
    write(folder, "bomb.png", png(8192, 8192))
    spellings = ["bomb.png", "./bomb.png", ".\\bomb.png", "sub/../bomb.png", "C:\\elsewhere\\bomb.png",
                 "/elsewhere/./bomb.png"]
    write(folder, "pixel_bomb.mtl", "".join(f"newmtl m{i}\nmap_Kd {name}\n" for i, name in enumerate(spellings)))
    write(folder, "pixel_bomb.obj", "mtllib pixel_bomb.mtl\n" + obj_using([f"m{i}" for i in range(len(spellings))]))

    # 30000 images naming one small picture in different spellings (the
    # material shows the last), and twelve pictures of 4096 x 4096 pixels in
    # the file itself.
    write(folder, "small.png", png(4, 4, 200))
    names = ["small.png", "./small.png", "a/../small.png", "./a/./../small.png", "small%2Epng"]
    doc, binary = triangle_gltf([names[0]])
    doc["images"] = [{"uri": names[i % len(names)]} for i in range(30000)]
    doc["textures"] = [{"source": 29999}]
    write(folder, "picture_count.gltf", gltf(doc, binary))
    embedded = "data:image/png;base64," + base64.b64encode(png(4096, 4096)).decode()
    doc, binary = triangle_gltf([embedded] * 12)
    write(folder, "embedded_bombs.gltf", gltf(doc, binary))

    for name in sorted(os.listdir(folder)):
        size = os.path.getsize(os.path.join(folder, name))
        assert size < 1 << 20, (name, size)


if __name__ == "__main__":
    main()
