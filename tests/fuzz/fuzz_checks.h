// What every model loader promises whatever its input, checked by the fuzz
// targets: an abort is a finding.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "control/engine/files/byte_source.h"
#include "control/engine/formats/model_loaders.h"

inline void check_outcome(const engine::load_outcome& outcome, const engine::model& m) {
    auto require = [](bool condition) {
        if (!condition) std::abort();
    };
    if (!outcome.ok) {
        require(!outcome.message.empty() && outcome.message.find('\n') == std::string::npos);
        require(m.empty() && m.geometry.corners.empty() && m.materials.empty() && m.textures.empty());
        return;
    }
    require(outcome.message.empty() && outcome.warning.find('\n') == std::string::npos);
    const engine::mesh& g = m.geometry;
    require(!m.empty() && g.corners.size() % 3 == 0 && g.lines.size() % 2 == 0);
    require(g.triangle_material.size() == g.triangle_count());
    require(g.colors.empty() || g.colors.size() == g.positions.size());
    require(g.normals.empty() || g.normals.size() == g.positions.size());
    require(g.texcoords1.empty() || g.texcoords1.size() == g.texcoords.size());
    require(g.tangents.empty() || g.tangents.size() == g.positions.size());
    for (const engine::material& mat : m.materials)
        for (int texture : {mat.diffuse_texture, mat.emissive_texture, mat.normal_texture})
            require(texture >= -1 && texture < static_cast<int>(m.textures.size()));
    for (const engine::corner& c : g.corners)
        require(c.position < g.positions.size() && (c.texcoord == engine::no_index || c.texcoord < g.texcoords.size()));
    for (std::uint32_t i : g.lines) require(i < g.positions.size());
    for (std::uint32_t i : g.points) require(i < g.positions.size());
    for (const glm::vec3& p : g.positions) require(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    for (int id : g.triangle_material) require(id >= -1 && id < static_cast<int>(m.materials.size()));
    for (int i = 0; i < 3; ++i) require(m.bounds_min[i] <= m.bounds_max[i]);
}

template <class T>
bool same_values(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Two loads of one file agree: the same outcome and the same model, bit for bit.
inline bool same_load(const engine::load_outcome& a, const engine::model& m, const engine::load_outcome& b,
                      const engine::model& n) {
    const engine::mesh &g = m.geometry, &h = n.geometry;
    return a.ok == b.ok && a.message == b.message && a.warning == b.warning && same_values(g.positions, h.positions) &&
           same_values(g.texcoords, h.texcoords) && same_values(g.texcoords1, h.texcoords1) &&
           same_values(g.colors, h.colors) && same_values(g.normals, h.normals) &&
           same_values(g.tangents, h.tangents) && g.corners.size() == h.corners.size() &&
           (g.corners.empty() ||
            std::memcmp(g.corners.data(), h.corners.data(), g.corners.size() * sizeof(engine::corner)) == 0) &&
           same_values(g.triangle_material, h.triangle_material) && same_values(g.lines, h.lines) &&
           same_values(g.points, h.points) && m.materials.size() == n.materials.size() &&
           m.bounds_min == n.bounds_min && m.bounds_max == n.bounds_max;
}

// A loader's input loaded whole from memory, checked, and loaded again
// through a byte source read 7 bytes at a time, as a file is read a window
// at a time: every token, line and record is cut somewhere, and the load
// must not change. `whole(model&)` and `windowed(source&, model&)` load.
template <class Whole, class Windowed>
void check_whole_and_windowed(const std::uint8_t* data, std::size_t size, const Whole& whole,
                              const Windowed& windowed) {
    engine::model m;
    const engine::load_outcome outcome = whole(m);
    check_outcome(outcome, m);
    engine::loading::byte_source source(data, size);
    source.set_window_bytes(7);
    engine::model n;
    if (!same_load(outcome, m, windowed(source, n), n)) std::abort();
}
