// Polygons of model files cut into triangles: ear clipping in the plane that
// fits the polygon best, so that concave polygons keep their shape.
#pragma once

#include <cstdint>
#include <vector>

#include <glm/glm.hpp>

namespace engine {

class polygon_triangulator {
public:
    // Ear clipping costs up to the cube of a polygon's corner count. The
    // budget counts corners looked at over all polygons of one file; once it
    // is spent, the rest is cut as fans (about half a second at most).
    static constexpr std::uint64_t default_budget = std::uint64_t(1) << 26;

    explicit polygon_triangulator(std::uint64_t budget = default_budget) : budget_(budget) {}

    // Appends n - 2 triangles for n >= 3 corners, as triples of indices into
    // `corners`, in the polygon's own winding. Degenerate and
    // self-intersecting polygons still give n - 2 triangles.
    void triangulate(const std::vector<glm::vec3>& corners, std::vector<std::uint32_t>& triangles);

private:
    std::uint64_t budget_;
    std::vector<glm::vec2> flat_;
    std::vector<std::uint32_t> next_, previous_;
};

}  // namespace engine
