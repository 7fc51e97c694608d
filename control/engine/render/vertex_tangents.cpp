#include "control/engine/render/vertex_tangents.h"

#include <cmath>

#include "control/engine/finite.h"

namespace engine {
namespace {

// v at unit length, or zero when it has no direction.
glm::vec3 unit_or_zero(const glm::vec3& v) {
    const float length = glm::length(v);
    return length > 0.0f && std::isfinite(length) ? v / length : glm::vec3(0.0f);
}

// t's part at right angles to the unit (or zero) normal n, at unit length.
glm::vec3 across(const glm::vec3& t, const glm::vec3& n) { return unit_or_zero(t - n * glm::dot(n, t)); }

// Some unit vector at right angles to n.
glm::vec3 any_across(const glm::vec3& n) {
    const glm::vec3 axis = std::fabs(n.x) < 0.9f ? glm::vec3(1.0f, 0.0f, 0.0f) : glm::vec3(0.0f, 1.0f, 0.0f);
    return across(axis, n);
}

}  // namespace

void make_vertex_tangents(prepared_model& p) {
    const model& m = *p.source;
    // Per material + 1 (the default material has no maps).
    std::vector<char> mapped(m.materials.size() + 1, 0);
    for (std::size_t i = 0; i < m.materials.size(); ++i) {
        const int texture = m.materials[i].normal_texture;
        mapped[i + 1] = texture >= 0 && static_cast<std::size_t>(texture) < m.textures.size() &&
                        !m.textures[static_cast<std::size_t>(texture)].empty();
    }
    auto is_mapped = [&](int material) { return mapped[static_cast<std::size_t>(material + 1)] != 0; };
    bool any = false;
    for (const render_vertex& v : p.vertices) any = any || is_mapped(v.material);
    if (!any) return;

    const mesh& g = m.geometry;
    p.tangents.assign(p.vertices.size(), glm::vec4(0.0f));
    // Sums per vertex: xyz the triangles' +u, w their votes for the handedness.
    const std::size_t triangles = p.triangle_count();
    for (std::size_t t = 0; t < triangles; ++t) {
        if (!is_mapped(p.material_of(t))) continue;
        const std::uint32_t* index = &p.triangles[3 * t];
        const render_vertex* v[3] = {&p.vertices[index[0]], &p.vertices[index[1]], &p.vertices[index[2]]};
        const glm::vec3 e1 = p.position_of(*v[1]) - p.position_of(*v[0]);
        const glm::vec3 e2 = p.position_of(*v[2]) - p.position_of(*v[0]);
        const glm::vec2 uv0 = p.texcoord_of(*v[0]);
        const glm::vec2 d1 = p.texcoord_of(*v[1]) - uv0, d2 = p.texcoord_of(*v[2]) - uv0;
        const float det = d1.x * d2.y - d2.x * d1.y;
        if (!(det != 0.0f) || !std::isfinite(det)) continue;  // no area in texture space
        const glm::vec3 along_u = unit_or_zero((e1 * d2.y - e2 * d1.y) / det);
        const glm::vec3 along_v = unit_or_zero((e2 * d1.x - e1 * d2.x) / det);
        const float area = glm::length(glm::cross(e1, e2));
        if (along_u == glm::vec3(0.0f) || !std::isfinite(area)) continue;
        for (int k = 0; k < 3; ++k) {
            const float side = glm::dot(glm::cross(v[k]->normal, along_u), along_v);
            p.tangents[index[k]] += glm::vec4(along_u * area, side * area);
        }
    }
    const bool given = g.tangents.size() == g.positions.size();
    for (std::size_t i = 0; i < p.vertices.size(); ++i) {
        const render_vertex& v = p.vertices[i];
        glm::vec4& out = p.tangents[i];
        if (!is_mapped(v.material)) {
            out = glm::vec4(0.0f);
            continue;
        }
        if (given) {
            const glm::vec4& file = g.tangents[v.position];
            const glm::vec3 t = all_finite(glm::vec3(file)) && std::isfinite(file.w) && file.w != 0.0f ? across(glm::vec3(file), v.normal) : glm::vec3(0.0f);
            if (t != glm::vec3(0.0f)) {
                out = glm::vec4(t, file.w < 0.0f ? -1.0f : 1.0f);
                continue;
            }
        }
        glm::vec3 t = across(glm::vec3(out), v.normal);
        if (t == glm::vec3(0.0f)) t = any_across(v.normal);
        out = glm::vec4(t, out.w < 0.0f ? -1.0f : 1.0f);
    }
}

}  // namespace engine
