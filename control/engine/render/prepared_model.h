// What prepare_model derives from a model, shared by the renderer's files.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "control/engine/finite.h"
#include "control/engine/model/scene.h"

namespace engine {

// One vertex as drawn: a position with one normal, texture coordinate (of
// each set) and material. Corners that agree on all of these share a vertex, so each is
// transformed and lit once per frame. The position and the texture
// coordinate stay in the model and are read through their indices.
struct render_vertex {
    std::uint32_t position = 0;         // into the model's positions
    std::uint32_t texcoord = no_index;  // into the model's texcoords (and texcoords1); no_index: (0, 0)
    glm::vec3 normal{0.0f};  // zero for vertices only lines or loose points use: drawn unlit
    int material = -1;       // index into model::materials, -1 the default material
};

class prepared_model {
public:
    const model* source = nullptr;  // borrowed; see prepare_model
    bool has_vertex_colours = false;

    std::vector<render_vertex> vertices;
    std::vector<glm::vec3> vertex_colours;  // one a vertex with has_vertex_colours, else none
    // One a vertex when some triangle's material has a normal map, else
    // none: the unit tangent (as mesh::tangents) of the vertices of such
    // materials, zero for the others.
    std::vector<glm::vec4> tangents;
    std::vector<std::uint32_t> triangles;  // three vertex indices per triangle
    // Each triangle's material, -1 the default; kept only when they differ,
    // else every triangle has `uniform_material`.
    std::vector<int> triangle_material;
    int uniform_material = -1;
    // Per triangle, the flags below.
    std::vector<std::uint8_t> triangle_flags;
    static constexpr std::uint8_t textured_flag = 1;  // all corners carry texture coordinates
    // The triangle belongs to an open surface, drawn and lit on the side the
    // camera sees. Triangles sharing edges form a part; a part is closed
    // when each of its edges joins exactly two of its triangles running in
    // opposite directions: from outside only its front faces can show.
    static constexpr std::uint8_t open_flag = 2;
    bool has_open_surfaces = false;
    std::vector<std::uint32_t> lines;             // vertex pairs of the model's own lines
    std::vector<std::uint32_t> loose_points;      // vertices of the model's own points
    std::vector<std::uint8_t> texture_has_alpha;  // per model::textures entry: some texel is translucent

    // Bounds of the finite positions in use; has_bounds false when there are none.
    bool has_bounds = false;
    glm::vec3 bounds_min{0.0f};
    glm::vec3 bounds_max{0.0f};

    std::size_t triangle_count() const { return triangles.size() / 3; }
    int material_of(std::size_t t) const { return triangle_material.empty() ? uniform_material : triangle_material[t]; }
    int textured(std::size_t t) const { return triangle_flags[t] & textured_flag; }  // 1 or 0
    bool open(std::size_t t) const { return (triangle_flags[t] & open_flag) != 0; }

    const glm::vec3& position_of(const render_vertex& v) const { return source->geometry.positions[v.position]; }
    glm::vec2 texcoord_of(const render_vertex& v) const {
        if (v.texcoord == no_index) return glm::vec2(0.0f);
        const glm::vec2& uv = source->geometry.texcoords[v.texcoord];
        return glm::vec2(finite_or(uv.x, 0.0f), finite_or(uv.y, 0.0f));
    }
    // The second set, through the same index; the first where the model has none.
    glm::vec2 texcoord1_of(const render_vertex& v) const {
        const std::vector<glm::vec2>& second = source->geometry.texcoords1;
        if (v.texcoord >= second.size()) return texcoord_of(v);
        return glm::vec2(finite_or(second[v.texcoord].x, 0.0f), finite_or(second[v.texcoord].y, 0.0f));
    }

    // Only wireframes and dots need these, and they are as large as the
    // triangles: each is made the first time it is asked for, then kept.
    // Vertex pairs, each triangle edge once, by their positions' order.
    const std::vector<std::uint32_t>& edges() const;
    // One vertex per used position, in the positions' order.
    const std::vector<std::uint32_t>& position_dots() const;

private:
    mutable std::mutex made_on_demand_;
    mutable bool has_edges_ = false, has_dots_ = false;
    mutable std::vector<std::uint32_t> edges_, position_dots_;
};

}  // namespace engine
