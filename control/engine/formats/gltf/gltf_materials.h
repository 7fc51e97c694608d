// glTF materials as the viewer's materials, and their pictures as the
// model's textures. Internal to the glTF loader.
#pragma once

#include <string>

#include "control/engine/formats/gltf/gltf_document.h"
#include "control/engine/model/scene.h"

namespace engine::gltf {

// Fills out.materials (one per material of the file, in its order) and
// out.textures (the pictures those materials use), moving the decoded
// pictures out of `file`. Returns what the picture misses, for the warning:
// textures that could not be read.
//
// Metallic-roughness becomes the viewer's Blinn-Phong reflectance:
//   diffuse   = base colour x (1 - metallic / 2)  (half a metal's colour
//               stands for the surroundings a glTF viewer reflects in it)
//   specular  = (1 - roughness)^2 x mix(0.5 grey, base colour, metallic)
//   shininess = 2 / r^4 - 2 with r = max(roughness, 0.05)
std::string convert_materials(document& file, model& out);

}  // namespace engine::gltf
