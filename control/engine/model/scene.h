// A loaded model as the viewer control draws it. Plain C++ (no Windows
// headers): the engine builds natively too, for its tests, sanitizers,
// fuzzers and benchmark.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <glm/glm.hpp>

namespace engine {

// An RGBA picture, rows top-down, each pixel 0xAARRGGBB.
struct picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    // A model's texture: smaller copies of it, each half the one before, down
    // to 1 x 1 (texture_levels.h); empty where there are none.
    std::vector<picture> levels;
    bool empty() const { return width <= 0 || height <= 0; }
};

// How a material's alpha (its opacity times its texture's alpha) is used.
enum class alpha_use {
    automatic,  // blended where it is below 1 (OBJ and PLY)
    opaque,     // ignored
    mask,       // a pixel shows fully where it reaches alpha_cutoff, else not at all
    blend,      // blended over what lies behind
};

// Which sides of a triangle show.
enum class sides_shown {
    by_shape,  // closed parts their front, open surfaces both sides
    front,
    both,
};

// How texture coordinates outside 0..1 read a texture.
enum class texture_wrap { repeat, clamp, mirror };

// Where a material's texture is read: from which set of the mesh's texture
// coordinates, moved by an affine transform (glTF's KHR_texture_transform),
// in the mesh's own uv space (v up the picture). One per texture a material has.
struct texture_transform {
    int uv_set = 0;  // 0: mesh::texcoords, 1: mesh::texcoords1
    // The coordinate read is (dot(u_row, (u, v, 1)), dot(v_row, (u, v, 1))).
    glm::vec3 u_row{1.0f, 0.0f, 0.0f};
    glm::vec3 v_row{0.0f, 1.0f, 0.0f};

    bool moves() const { return u_row != glm::vec3(1.0f, 0.0f, 0.0f) || v_row != glm::vec3(0.0f, 1.0f, 0.0f); }
    glm::vec2 apply(float u, float v) const {
        return glm::vec2(u_row.x * u + u_row.y * v + u_row.z, v_row.x * u + v_row.y * v + v_row.z);
    }
};

struct material {
    std::string name;
    glm::vec3 ambient{0.2f};
    glm::vec3 diffuse{0.8f};
    glm::vec3 specular{0.0f};
    float shininess = 32.0f;
    float opacity = 1.0f;       // 1 opaque, 0 invisible
    int diffuse_texture = -1;   // index into model::textures, or -1
    glm::vec3 emissive{0.0f};   // light of its own, added to the lit colour
    int emissive_texture = -1;  // multiplies `emissive`; index into model::textures, or -1
    // Times `emissive` (decoded): above 1 it brightens past white where light
    // is worked out at every pixel and tone-mapped; elsewhere the product is
    // held to 1.
    float emissive_strength = 1.0f;
    texture_wrap emissive_wrap_u = texture_wrap::repeat, emissive_wrap_v = texture_wrap::repeat;
    alpha_use alpha = alpha_use::automatic;
    float alpha_cutoff = 0.5f;  // for alpha_use::mask
    sides_shown sides = sides_shown::by_shape;
    bool unlit = false;  // shows its colour as it is, whatever the lights
    texture_wrap wrap_u = texture_wrap::repeat;
    texture_wrap wrap_v = texture_wrap::repeat;
    // Physically based (glTF's metallic-roughness): with light worked out at
    // every pixel, `diffuse` is the base colour and these two say the rest;
    // `specular` and `shininess` then only serve where light is not.
    bool physical = false;
    float metallic = 0.0f;   // 0..1
    float roughness = 1.0f;  // 0..1
    // Multiplies them where light is worked out at every pixel: blue the
    // metallic, green the roughness (glTF's layout); index into
    // model::textures, or -1. Read with the texture coordinates and these wraps.
    int metal_rough_texture = -1;
    texture_wrap metal_rough_wrap_u = texture_wrap::repeat;
    texture_wrap metal_rough_wrap_v = texture_wrap::repeat;
    // How much of the surroundings' light reaches each point (red), in the
    // same way: 1 + strength x (red - 1) scales the environment's light.
    int occlusion_texture = -1;
    float occlusion_strength = 1.0f;  // 0..1
    texture_wrap occlusion_wrap_u = texture_wrap::repeat;
    texture_wrap occlusion_wrap_v = texture_wrap::repeat;
    // How each texture above (and the normal map below) is read.
    texture_transform diffuse_uv, emissive_uv, metal_rough_uv, occlusion_uv, normal_uv;
    // A tangent-space normal map (glTF's), read the same way: a texel's
    // 2 x rgb - 1, its x and y times normal_scale, tilts the normal within
    // the frame of tangent, bitangent and normal (see mesh::tangents).
    int normal_texture = -1;
    float normal_scale = 1.0f;
    texture_wrap normal_wrap_u = texture_wrap::repeat;
    texture_wrap normal_wrap_v = texture_wrap::repeat;
};

inline constexpr std::uint32_t no_index = std::numeric_limits<std::uint32_t>::max();

// One corner of a triangle: indices into the mesh's arrays.
struct corner {
    std::uint32_t position = 0;
    std::uint32_t texcoord = no_index;  // no_index: the corner has none
};

struct mesh {
    std::vector<glm::vec3> positions;
    std::vector<glm::vec2> texcoords;
    // A second set, optional: empty, or one for each of `texcoords`, read
    // through the same corner indices.
    std::vector<glm::vec2> texcoords1;
    std::vector<glm::vec3> colors;       // per position, optional (same size as positions, or empty)
    // Per position, optional: the smooth-shading normal the file gives (zero
    // where it gives none); without them the viewer works normals out.
    std::vector<glm::vec3> normals;
    // Per position, optional, for normal maps: the tangent the file gives,
    // xyz along the texture's +u and w = +1 or -1, the bitangent
    // cross(normal, tangent) x w running up the picture (+v); zero where it
    // gives none. Without them the viewer works tangents out.
    std::vector<glm::vec4> tangents;
    std::vector<corner> corners;         // three per triangle
    std::vector<int> triangle_material;  // one per triangle: index into model::materials, or -1
    std::vector<std::uint32_t> lines;    // position index pairs (OBJ "l")
    std::vector<std::uint32_t> points;   // loose points (OBJ "p", point clouds)

    std::size_t triangle_count() const { return corners.size() / 3; }
};

struct model {
    mesh geometry;
    std::vector<material> materials;
    std::vector<picture> textures;
    glm::vec3 bounds_min{0.0f};
    glm::vec3 bounds_max{0.0f};

    bool empty() const { return geometry.positions.empty(); }
};

// Sets bounds_min/bounds_max from the positions used by any primitive.
void compute_bounds(model& m);

}  // namespace engine
