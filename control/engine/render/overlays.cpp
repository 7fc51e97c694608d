#include "control/engine/render/overlays.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace engine {
namespace {

constexpr int max_lines_across = 400;
constexpr rgb red{255.0f, 0.0f, 0.0f}, green{0.0f, 255.0f, 0.0f}, blue{0.0f, 0.0f, 255.0f};

// A size as a script would write it: "0.25", "1e-05".
std::string number_text(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

// The smallest of 1, 2, 5 times a power of ten that is at least `value`.
float round_up_nicely(float value) {
    const float power = std::pow(10.0f, std::floor(std::log10(value)));
    for (float step : {1.0f, 2.0f, 5.0f, 10.0f})
        if (step * power >= value * 0.9999f) return step * power;
    return 10.0f * power;
}

}  // namespace

float scene_extent::size() const {
    const glm::vec3 side = max - min;
    const float largest = std::max({side.x, side.y, side.z});
    return std::isfinite(largest) && largest > 1e-20f ? largest : 1.0f;
}

float grid_spacing(float requested, const scene_extent& extent) {
    const float size = extent.size();
    // The floor reaches half the model's size beyond it on every side.
    const float across = std::max(extent.max.x - extent.min.x, extent.max.z - extent.min.z) + size;
    if (std::isfinite(requested) && requested > 0.0f && across / requested <= max_lines_across) return requested;
    const float automatic = round_up_nicely(size / 10.0f);
    return std::max(automatic, round_up_nicely(across / max_lines_across));
}

std::string grid_spacing_note(grid_mode mode, float requested, const scene_extent& extent) {
    if (!std::isfinite(requested) || !(requested > 0.0f)) return {};  // the automatic spacing, as asked
    const std::string size = "GridSize " + number_text(requested);
    if (mode != grid_mode::floor && mode != grid_mode::floor_and_walls && mode != grid_mode::floor_with_axes)
        return size + " is kept, but no grid is shown (GridMode 0)";
    const float spacing = grid_spacing(requested, extent);
    const float across = std::max(extent.max.x - extent.min.x, extent.max.z - extent.min.z) + extent.size();
    if (spacing != requested) {
        const double lines = std::ceil(static_cast<double>(across) / requested);
        char count[32];
        std::snprintf(count, sizeof count, lines < 1e9 ? "%.0f" : "%.3g", lines);
        return size + " is too fine for this model: the grid would need " + count + " lines across (at most " +
               std::to_string(max_lines_across) + "), so it keeps the spacing " + number_text(spacing);
    }
    // Wider than the floor around the model: one line or two cross it, and
    // the cells reach far out of the picture.
    if (requested >= across)
        return size + " is wider than the floor around this model (" + number_text(across) +
               " across): the grid shows only one or two cells, mostly out of view";
    return {};
}

void add_grid(grid_mode mode, float requested_spacing, const scene_extent& extent, const glm::vec3& eye,
              const rgb& colour, std::vector<overlay_line>& out) {
    if (mode != grid_mode::floor && mode != grid_mode::floor_and_walls && mode != grid_mode::floor_with_axes) return;
    const float spacing = grid_spacing(requested_spacing, extent);
    const float margin = 0.5f * extent.size();
    if (!std::isfinite(spacing) || !(spacing > 0.0f)) return;
    // Lines at whole multiples of the spacing, so that the grid passes through the origin.
    auto snap_down = [&](float v) { return std::floor(v / spacing) * spacing; };
    auto snap_up = [&](float v) { return std::ceil(v / spacing) * spacing; };
    const float x0 = snap_down(extent.min.x - margin), x1 = snap_up(extent.max.x + margin);
    const float z0 = snap_down(extent.min.z - margin), z1 = snap_up(extent.max.z + margin);
    const float floor_y = extent.min.y;
    const float lines_x = (x1 - x0) / spacing, lines_z = (z1 - z0) / spacing;
    // Bounds too large for float steps give nonsense counts: draw nothing then.
    if (!(lines_x >= 0.0f && lines_x <= 2 * max_lines_across && lines_z >= 0.0f && lines_z <= 2 * max_lines_across))
        return;
    const int nx = static_cast<int>(std::lround(lines_x));
    const int nz = static_cast<int>(std::lround(lines_z));
    for (int i = 0; i <= nx; ++i) {
        const float x = x0 + static_cast<float>(i) * spacing;
        out.push_back({{x, floor_y, z0}, {x, floor_y, z1}, colour});
    }
    for (int i = 0; i <= nz; ++i) {
        const float z = z0 + static_cast<float>(i) * spacing;
        out.push_back({{x0, floor_y, z}, {x1, floor_y, z}, colour});
    }

    if (mode == grid_mode::floor_and_walls) {
        const float top = floor_y + std::max(spacing, snap_up(extent.max.y - floor_y + margin));
        const float lines_y = (top - floor_y) / spacing;
        const int ny = lines_y >= 0.0f && lines_y <= 2 * max_lines_across ? static_cast<int>(std::lround(lines_y)) : 0;
        // The walls stand on the far sides, so they never hide the model.
        const float wall_x = eye.x > 0.5f * (x0 + x1) ? x0 : x1;
        const float wall_z = eye.z > 0.5f * (z0 + z1) ? z0 : z1;
        for (int i = 0; i <= nz; ++i) {
            const float z = z0 + static_cast<float>(i) * spacing;
            out.push_back({{wall_x, floor_y, z}, {wall_x, top, z}, colour});
        }
        for (int i = 0; i <= nx; ++i) {
            const float x = x0 + static_cast<float>(i) * spacing;
            out.push_back({{x, floor_y, wall_z}, {x, top, wall_z}, colour});
        }
        for (int i = 1; i <= ny; ++i) {
            const float y = floor_y + static_cast<float>(i) * spacing;
            out.push_back({{wall_x, y, z0}, {wall_x, y, z1}, colour});
            out.push_back({{x0, y, wall_z}, {x1, y, wall_z}, colour});
        }
    }

    if (mode == grid_mode::floor_with_axes) {
        if (z0 <= 0.0f && 0.0f <= z1) out.push_back({{x0, floor_y, 0.0f}, {x1, floor_y, 0.0f}, red});
        if (x0 <= 0.0f && 0.0f <= x1) out.push_back({{0.0f, floor_y, z0}, {0.0f, floor_y, z1}, blue});
    }
}

void add_world_axes(const scene_extent& extent, std::vector<overlay_line>& out) {
    // From the origin past the far side of the model's bounding sphere.
    const glm::vec3 centre = 0.5f * (extent.min + extent.max);
    const float radius = 0.5f * glm::length(extent.max - extent.min);
    float length = glm::length(centre) + 1.2f * radius;
    if (!std::isfinite(length) || length <= 0.0f) length = 1.0f;
    out.push_back({glm::vec3(0.0f), {length, 0.0f, 0.0f}, red});
    out.push_back({glm::vec3(0.0f), {0.0f, length, 0.0f}, green});
    out.push_back({glm::vec3(0.0f), {0.0f, 0.0f, length}, blue});
}

void add_box(const glm::vec3& min, const glm::vec3& max, const rgb& colour, std::vector<overlay_line>& out) {
    auto corner = [&](int i) { return glm::vec3(i & 1 ? max.x : min.x, i & 2 ? max.y : min.y, i & 4 ? max.z : min.z); };
    for (int i = 0; i < 8; ++i)
        for (int bit = 1; bit < 8; bit <<= 1)
            if (!(i & bit)) out.push_back({corner(i), corner(i | bit), colour});
}

}  // namespace engine
