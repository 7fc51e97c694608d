// Helper lines drawn with the model: grids, world axes, bounding box.
#pragma once

#include <string>
#include <vector>

#include "control/engine/render/rasteriser.h"
#include "control/engine/render/view_settings.h"

namespace engine {

struct overlay_line {
    glm::vec3 from{0.0f}, to{0.0f};
    rgb colour;
};

// The region the helpers are laid out around: the model's bounds, or a
// stand-in for an empty scene.
struct scene_extent {
    glm::vec3 min{-1.0f, 0.0f, -1.0f};
    glm::vec3 max{1.0f, 0.0f, 1.0f};
    float size() const;  // the largest side, never 0
};

// The spacing a grid uses: `requested` if it is positive and gives at most
// 400 lines across, otherwise a round value (1, 2 or 5 times a power of ten).
float grid_spacing(float requested, const scene_extent& extent);

// What a GRIDSIZE of `requested` does not do, for the message line; empty
// when the grid of `mode` is drawn `requested` apart, or for 0 or less.
std::string grid_spacing_note(grid_mode mode, float requested, const scene_extent& extent);

// Floor grid at the lowest Y; with walls, two upright grids on the sides
// away from `eye`; with axes, the X (red) and Z (blue) lines through the
// origin drawn over the floor.
void add_grid(grid_mode mode, float requested_spacing, const scene_extent& extent, const glm::vec3& eye,
              const rgb& colour, std::vector<overlay_line>& out);

// X red, Y green, Z blue from the origin, long enough to reach past the model.
void add_world_axes(const scene_extent& extent, std::vector<overlay_line>& out);

void add_box(const glm::vec3& min, const glm::vec3& max, const rgb& colour, std::vector<overlay_line>& out);

}  // namespace engine
