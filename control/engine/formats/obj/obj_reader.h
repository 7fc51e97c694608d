// Wavefront OBJ statements read into a mesh, in one pass over the text:
// vertices ("v", with an optional colour after x y z), texture coordinates
// ("vt"), faces, lines and points ("f", "l", "p"), and the names of the
// material libraries and materials ("mtllib", "usemtl"). Every other
// statement is read past. Internal to the loaders.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "control/engine/files/byte_source.h"
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
// The text is `source` from `begin` to `end`, read a window at a time: a
// line is held whole up to max_line_bytes; of a longer one, the corners of
// a face, line or point statement are read on as they come, and of any
// other statement what the first max_line_bytes hold (its name, its numbers).
bool read_obj(byte_source& source, std::uint64_t begin, std::uint64_t end, obj_contents& out, std::string& error);

inline constexpr std::size_t max_line_bytes = std::size_t(1) << 20;

}  // namespace engine::loading
