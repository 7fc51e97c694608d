// Wavefront MTL material libraries: the fields the viewer draws with
// (Ka, Kd, Ks, Ns, d or Tr, map_Kd's file name, and the physically based
// Pr and Pm). Internal to the loaders.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "control/engine/model/scene.h"

namespace engine::loading {

struct library_material {
    material look;                     // its name, colours, shininess and opacity; no texture yet
    std::string diffuse_texture_name;  // of map_Kd, without its options; "" for none
};

// Appends the library's materials ("newmtl name", the name possibly empty)
// in file order. What a
// material leaves out: black colours, shininess 1, opaque; a diffuse 0.6
// where it has a map_Kd but no Kd, so that the picture shows. Values that
// are not numbers leave the field as it was.
void read_mtl(const char* text, std::size_t size, std::vector<library_material>& out);

}  // namespace engine::loading
