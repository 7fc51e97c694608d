#include "control/engine/model/polygon_triangulation.h"

#include <cmath>

namespace engine {

namespace {

float cross(const glm::vec2& a, const glm::vec2& b, const glm::vec2& c) {
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

// Inside or on the edges of the counter-clockwise triangle abc.
bool inside(const glm::vec2& p, const glm::vec2& a, const glm::vec2& b, const glm::vec2& c) {
    return cross(a, b, p) >= 0 && cross(b, c, p) >= 0 && cross(c, a, p) >= 0;
}

void fan(std::uint32_t first, std::uint32_t count, const std::vector<std::uint32_t>& next,
         std::vector<std::uint32_t>& triangles) {
    std::uint32_t b = next[first];
    for (std::uint32_t i = 2; i < count; ++i) {
        const std::uint32_t c = next[b];
        triangles.insert(triangles.end(), {first, b, c});
        b = c;
    }
}

}  // namespace

void polygon_triangulator::triangulate(const std::vector<glm::vec3>& corners, std::vector<std::uint32_t>& triangles) {
    const std::uint32_t n = static_cast<std::uint32_t>(corners.size());
    if (n < 3) return;
    if (n == 3) {
        triangles.insert(triangles.end(), {0u, 1u, 2u});
        return;
    }
    next_.resize(n);
    previous_.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        next_[i] = (i + 1) % n;
        previous_[i] = (i + n - 1) % n;
    }

    // Newell's normal; the polygon is flattened along its largest component,
    // with the two other axes ordered so that it runs counter-clockwise.
    glm::vec3 normal(0.0f);
    for (std::uint32_t i = 0; i < n; ++i) {
        const glm::vec3& a = corners[i];
        const glm::vec3& b = corners[next_[i]];
        normal += glm::vec3((a.y - b.y) * (a.z + b.z), (a.z - b.z) * (a.x + b.x), (a.x - b.x) * (a.y + b.y));
    }
    const glm::vec3 size = glm::abs(normal);
    if (!(size.x + size.y + size.z > 0.0f) || !std::isfinite(size.x + size.y + size.z) || budget_ == 0) {
        fan(0, n, next_, triangles);  // no plane (a line, a point, NaN): nothing to keep the shape of
        return;
    }
    int u = 0, v = 1;  // z largest
    float sign = normal.z;
    if (size.x >= size.y && size.x >= size.z) u = 1, v = 2, sign = normal.x;
    else if (size.y >= size.z) u = 2, v = 0, sign = normal.y;
    if (sign < 0) std::swap(u, v);
    flat_.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) flat_[i] = glm::vec2(corners[i][u], corners[i][v]);

    std::uint32_t remaining = n;
    std::uint32_t current = 0;
    std::uint32_t misses = 0;
    while (remaining > 3) {
        // Every corner looked at costs one, so that rounds without an ear
        // are paid for too.
        if (budget_ == 0) {
            fan(current, remaining, next_, triangles);
            return;
        }
        --budget_;
        const std::uint32_t a = previous_[current], b = current, c = next_[current];
        bool ear = cross(flat_[a], flat_[b], flat_[c]) > 0;
        // No other corner may lie in the ear; corners at the same place as
        // one of its own (where a hole is bridged) do not count.
        for (std::uint32_t k = next_[c]; ear && k != a && budget_ > 0; k = next_[k]) {
            --budget_;
            const glm::vec2& p = flat_[k];
            if (p == flat_[a] || p == flat_[b] || p == flat_[c]) continue;
            ear = !inside(p, flat_[a], flat_[b], flat_[c]);
        }
        if (budget_ == 0) continue;  // the test was cut short: fan from here
        // A whole round without an ear (self-intersecting or degenerate):
        // the corner is cut anyway, so that every polygon gives n - 2.
        if (ear || misses >= remaining) {
            triangles.insert(triangles.end(), {a, b, c});
            next_[a] = c;
            previous_[c] = a;
            --remaining;
            misses = 0;
            current = a;  // the neighbours' ear status changed
        } else {
            ++misses;
            current = c;
        }
    }
    triangles.insert(triangles.end(), {previous_[current], current, next_[current]});
}

}  // namespace engine
