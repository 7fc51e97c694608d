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
    bool empty() const { return width <= 0 || height <= 0; }
};

struct material {
    std::string name;
    glm::vec3 ambient{0.2f};
    glm::vec3 diffuse{0.8f};
    glm::vec3 specular{0.0f};
    float shininess = 32.0f;
    float opacity = 1.0f;       // 1 opaque, 0 invisible
    int diffuse_texture = -1;   // index into model::textures, or -1
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
    std::vector<glm::vec3> colors;       // per position, optional (same size as positions, or empty)
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
