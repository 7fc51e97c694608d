#include "control/engine/formats/finish_model.h"

#include <algorithm>
#include <cmath>

#include "control/engine/finite.h"
#include "control/engine/formats/load_messages.h"
#include "control/engine/model/texture_levels.h"

namespace engine::loading {

namespace {

glm::vec3 unit_colour(const glm::vec3& c, const glm::vec3& fallback) {
    glm::vec3 result;
    for (int i = 0; i < 3; ++i) result[i] = std::clamp(finite_or(c[i], fallback[i]), 0.0f, 1.0f);
    return result;
}

void repair_materials(model& m) {
    const material defaults;
    for (material& mat : m.materials) {
        mat.ambient = unit_colour(mat.ambient, defaults.ambient);
        mat.diffuse = unit_colour(mat.diffuse, defaults.diffuse);
        mat.specular = unit_colour(mat.specular, defaults.specular);
        mat.shininess = std::clamp(finite_or(mat.shininess, defaults.shininess), 0.0f, 1024.0f);
        mat.opacity = std::clamp(finite_or(mat.opacity, 1.0f), 0.0f, 1.0f);
        mat.emissive = unit_colour(mat.emissive, defaults.emissive);
        mat.emissive_strength = std::max(finite_or(mat.emissive_strength, defaults.emissive_strength), 0.0f);
        mat.alpha_cutoff = finite_or(mat.alpha_cutoff, defaults.alpha_cutoff);
        mat.normal_scale = finite_or(mat.normal_scale, 1.0f);
        for (int* texture : {&mat.diffuse_texture, &mat.emissive_texture, &mat.normal_texture})
            if (*texture < -1 || *texture >= static_cast<int>(m.textures.size())) *texture = -1;
    }
}

// A triangle without area: its corners at one place or on one line (within
// what float coordinates can tell apart). It draws as nothing.
bool without_area(const glm::vec3& a, const glm::vec3& b, const glm::vec3& c) {
    const glm::dvec3 ab = glm::dvec3(b) - glm::dvec3(a), ac = glm::dvec3(c) - glm::dvec3(a),
                     bc = glm::dvec3(c) - glm::dvec3(b);
    const double longest = std::max({glm::dot(ab, ab), glm::dot(ac, ac), glm::dot(bc, bc)});
    const double twice_area = glm::length(glm::cross(ab, ac));
    return !(twice_area > 1e-6 * longest);
}

// What grew by doubling, or shrank here, keeps no spare room: the model is
// held for as long as it is shown. (A vector without spare room is left as it is.)
void release_spare_room(mesh& g) {
    g.positions.shrink_to_fit();
    g.texcoords.shrink_to_fit();
    g.texcoords1.shrink_to_fit();
    g.colors.shrink_to_fit();
    g.normals.shrink_to_fit();
    g.tangents.shrink_to_fit();
    g.corners.shrink_to_fit();
    g.triangle_material.shrink_to_fit();
    g.lines.shrink_to_fit();
    g.points.shrink_to_fit();
}

}  // namespace

load_outcome finish_model(model& m, std::string warning) {
    mesh& g = m.geometry;
    const std::size_t count = g.positions.size();
    if (g.corners.empty() && g.lines.empty() && g.points.empty()) {
        // Positions and nothing else: a point cloud.
        g.points.resize(count);
        for (std::size_t i = 0; i < count; ++i) g.points[i] = static_cast<std::uint32_t>(i);
    }
    if (count == 0) return failure(m, "contains no triangles, lines or points");

    std::vector<char> usable(count);
    bool all_usable = true;
    for (std::size_t i = 0; i < count; ++i) {
        usable[i] = all_finite(g.positions[i]);
        all_usable = all_usable && usable[i];
    }
    auto good = [&](std::uint32_t index) { return index < count && usable[index]; };

    const std::size_t triangles = g.corners.size() / 3;
    g.triangle_material.resize(triangles, -1);
    std::size_t kept = 0;
    for (std::size_t t = 0; t < triangles; ++t) {
        const corner* c = &g.corners[3 * t];
        if (!good(c[0].position) || !good(c[1].position) || !good(c[2].position)) continue;
        std::copy(c, c + 3, g.corners.begin() + static_cast<std::ptrdiff_t>(3 * kept));
        g.triangle_material[kept++] = g.triangle_material[t];
    }
    const std::size_t dropped_triangles = triangles - kept;
    g.corners.resize(3 * kept);
    g.triangle_material.resize(kept);

    std::size_t kept_lines = 0;
    const std::size_t lines = g.lines.size() / 2;
    for (std::size_t i = 0; i < lines; ++i) {
        if (!good(g.lines[2 * i]) || !good(g.lines[2 * i + 1])) continue;
        g.lines[2 * kept_lines] = g.lines[2 * i];
        g.lines[2 * kept_lines + 1] = g.lines[2 * i + 1];
        ++kept_lines;
    }
    g.lines.resize(2 * kept_lines);
    const std::size_t points = g.points.size();
    g.points.erase(std::remove_if(g.points.begin(), g.points.end(), [&](std::uint32_t i) { return !good(i); }),
                   g.points.end());
    const std::size_t dropped_lines = lines - kept_lines, dropped_points = points - g.points.size();

    if (g.colors.size() != count) g.colors.clear();
    if (g.normals.size() != count) g.normals.clear();
    if (g.tangents.size() != count) g.tangents.clear();
    for (glm::vec3& c : g.colors) c = unit_colour(c, glm::vec3(1.0f));

    if (!all_usable) {
        // Non-finite positions go, so that nothing that walks the positions
        // (vertex display, bounds) meets them.
        std::vector<std::uint32_t> new_index(count, no_index);
        std::size_t next = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (!usable[i]) continue;
            new_index[i] = static_cast<std::uint32_t>(next);
            g.positions[next] = g.positions[i];
            if (!g.colors.empty()) g.colors[next] = g.colors[i];
            if (!g.normals.empty()) g.normals[next] = g.normals[i];
            if (!g.tangents.empty()) g.tangents[next] = g.tangents[i];
            ++next;
        }
        g.positions.resize(next);
        if (!g.colors.empty()) g.colors.resize(next);
        if (!g.normals.empty()) g.normals.resize(next);
        if (!g.tangents.empty()) g.tangents.resize(next);
        for (corner& c : g.corners) c.position = new_index[c.position];
        for (std::uint32_t& i : g.lines) i = new_index[i];
        for (std::uint32_t& i : g.points) i = new_index[i];
    }

    for (glm::vec2& t : g.texcoords) t = glm::vec2(finite_or(t.x, 0.0f), finite_or(t.y, 0.0f));
    // A second set is read through the first one's indices: one for each, or none.
    if (g.texcoords1.size() != g.texcoords.size()) std::vector<glm::vec2>().swap(g.texcoords1);
    for (glm::vec2& t : g.texcoords1) t = glm::vec2(finite_or(t.x, 0.0f), finite_or(t.y, 0.0f));
    for (corner& c : g.corners)
        if (c.texcoord != no_index && c.texcoord >= g.texcoords.size()) c.texcoord = no_index;
    for (int& id : g.triangle_material)
        if (id < -1 || id >= static_cast<int>(m.materials.size())) id = -1;
    repair_materials(m);

    if (g.corners.empty() && g.lines.empty() && g.points.empty())
        return failure(m, "has no triangle, line or point whose coordinates are all finite numbers");
    std::string dropped;
    for (const auto& [number, noun] : {std::pair{dropped_triangles, "triangle"}, std::pair{dropped_lines, "line"},
                                       std::pair{dropped_points, "point"}}) {
        if (number == 0) continue;
        if (!dropped.empty()) dropped += ", ";
        dropped += counted(number, noun);
    }
    if (!dropped.empty()) add_warning(warning, "left out " + dropped + " with coordinates that are not finite numbers");
    if (g.lines.empty() && g.points.empty()) {
        // Only triangles: when none has an area, the picture stays empty
        // (bar wireframe edges and vertex dots), and the line says why first.
        bool any_area = false;
        for (std::size_t t = 0; t < g.triangle_count() && !any_area; ++t)
            any_area = !without_area(g.positions[g.corners[3 * t].position], g.positions[g.corners[3 * t + 1].position],
                                     g.positions[g.corners[3 * t + 2].position]);
        if (!any_area) {
            const std::size_t n = g.triangle_count();
            std::string nothing = "holds nothing that can be drawn: " +
                                  (n == 1 ? std::string("its 1 triangle has no area (its corners lie at one place or on one line)")
                                          : "its " + counted(n, "triangle") +
                                                " have no area (the corners of each lie at one place or on one line)");
            add_warning(nothing, warning);
            warning = std::move(nothing);
        }
    }
    release_spare_room(g);
    compute_bounds(m);
    make_texture_levels(m);
    return {true, {}, std::move(warning)};
}

}  // namespace engine::loading
