// Drawing a model with the engine's renderer into pixels a test can read,
// and where a world point lands on them.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "control/engine/renderer.h"

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

}  // namespace render_canvas
