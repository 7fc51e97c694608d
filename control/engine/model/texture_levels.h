// Smaller copies of a model's textures (mipmaps): a surface seen from afar
// covers many texels with each pixel, and reading the one or four nearest
// of them shimmers as the surface turns; the renderer reads the copy whose
// texels are about a pixel in size instead, and blends two such copies.
#pragma once

#include "control/engine/model/scene.h"

namespace engine {

// How a texture's texels are averaged into the smaller copies.
enum class texel_meaning {
    colour,  // sRGB-encoded colours: averaged in linear light, as light adds up
    data,    // values (roughness, metallic, occlusion, normals): averaged as stored
};

// Fills `p.levels`: each copy half the size of the one before (an odd row or
// column's last texel left out), down to 1 x 1. Memory running out leaves
// the picture without copies: it is then read as before, nothing is lost.
void make_levels(picture& p, texel_meaning meaning);

// Every texture of the model, by what its materials use it for: colour
// where any material reads it as base or emissive colour, data otherwise.
void make_texture_levels(model& m);

// Texels the copies of a picture of this many texels take together, at most:
// the picture budget counts them with the picture.
inline constexpr std::size_t level_texels(std::size_t texels) { return texels / 3 + 1; }

}  // namespace engine
