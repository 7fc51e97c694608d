// Drawing a model with the engine's renderer into pixels a test can read,
// and where a world point lands on them.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "control/engine/render/renderer.h"

namespace render_canvas {

using namespace engine;

struct canvas {
    int width, height;
    std::vector<std::uint32_t> pixels;
    explicit canvas(int w = 200, int h = 200) : width(w), height(h), pixels(std::size_t(w) * h, 0xDEADBEEF) {}
    frame target() { return frame{width, height, width, pixels.data()}; }
    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
    std::uint32_t at(glm::vec2 p) const { return at(int(p.x), int(p.y)); }
    // Whether some pixel within one of p matches (lines may land a pixel off).
    bool near(glm::vec2 p, const std::function<bool(std::uint32_t)>& match) const {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int x = int(p.x) + dx, y = int(p.y) + dy;
                if (x >= 0 && y >= 0 && x < width && y < height && match(at(x, y))) return true;
            }
        return false;
    }
};

inline int red(std::uint32_t p) { return (p >> 16) & 0xFF; }
inline int green(std::uint32_t p) { return (p >> 8) & 0xFF; }
inline int blue(std::uint32_t p) { return p & 0xFF; }

inline canvas draw(const model* m, const view_settings& s, const camera& c, int w = 200, int h = 200) {
    canvas out(w, h);
    frame f = out.target();
    const auto prepared = m ? prepare_model(*m, s.smoothing, s.crease_angle_degrees) : nullptr;
    render(prepared.get(), s, c, f);
    return out;
}

inline glm::vec2 pixel_of(const camera& c, glm::vec3 world, int w = 200, int h = 200) {
    glm::vec2 p(-1.0f);
    EXPECT_TRUE(project_point(c, w, h, world, p));
    return p;
}

// A unit cube around the origin with its eight corners shared.
inline model unit_cube() {
    model m;
    mesh& g = m.geometry;
    for (int i = 0; i < 8; ++i)
        g.positions.push_back({i & 1 ? 0.5f : -0.5f, i & 2 ? 0.5f : -0.5f, i & 4 ? 0.5f : -0.5f});
    const std::uint32_t faces[6][4] = {{0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4},
                                       {2, 6, 7, 3}, {0, 2, 3, 1}, {4, 5, 7, 6}};
    for (const auto& f : faces)
        for (std::uint32_t k : {f[0], f[1], f[2], f[0], f[2], f[3]}) g.corners.push_back({k});
    g.triangle_material.assign(12, -1);
    compute_bounds(m);
    return m;
}

}  // namespace render_canvas
