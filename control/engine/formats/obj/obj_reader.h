// Wavefront OBJ statements read into a mesh, in one pass over the text:
// vertices ("v", with an optional colour after x y z), texture coordinates
// ("vt"), faces, lines and points ("f", "l", "p"), and the names of the
// material libraries and materials ("mtllib", "usemtl"). Every other
// statement is read past. Internal to the loaders.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "control/engine/model/scene.h"

namespace engine::loading {

struct obj_contents {
    mesh geometry;
    // Until the loader resolves them, the triangles' materials are indices
    // into material_names (-1: none).
    std::vector<std::string> material_names;  // of "usemtl", each once, in file order
    std::vector<std::string> libraries;       // of "mtllib", each once, in file order
    // Corners whose texture coordinate the file does not have: theirs is no_index.
    std::size_t dropped_texcoords = 0;
};

// Lines end at LF, CR or CR LF; a zero byte ends what is read of its line.
// Polygons are cut into triangles (polygon_triangulation). A coordinate
// that is not a number is NaN, one that is missing is 0. False, with
// `error` set ("line 5: a face has a vertex index that is 0 or not a
// number"), when a corner cannot be read, an index names a vertex the file
// does not have, or there are more than max_triangles triangles: that is
// found before they are stored.
bool read_obj(const char* text, std::size_t size, obj_contents& out, std::string& error);

}  // namespace engine::loading
