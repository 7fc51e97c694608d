// The software renderer: a z-buffered rasteriser drawing a model, a grid,
// axes and the rest into a 32-bit frame. Plain C++ (no Windows headers).
#pragma once

#include <cstdint>
#include <memory>

#include "control/engine/scene.h"

namespace engine {

enum class render_mode { solid = 1, wireframe = 2, points = 3, solid_wireframe = 4 };
enum class light_mode { unlit = 0, headlight = 1, rig = 2 };
enum class grid_mode { none = 0, floor = 1, floor_and_walls = 2, floor_with_axes = 3 };

// Everything the control's members set that changes the picture.
struct view_settings {
    render_mode mode = render_mode::solid;
    bool smoothing = true;
    float crease_angle_degrees = 60.0f;
    light_mode lights = light_mode::headlight;
    bool specular = false;
    float light_scale = 1.0f;
    bool use_default_material = false;
    bool show_transparency = true;
    bool show_textures = true;
    bool show_fog = false;
    bool show_hidden_geometry = false;  // back faces drawn, hidden edges of wireframes shown
    bool show_vertices = false;
    bool show_lights = false;
    bool show_world_axis = false;
    bool show_bounding_box = false;
    grid_mode grid = grid_mode::none;
    float grid_size = 0.0f;              // spacing of grid lines; 0 = chosen from the model's size
    std::uint32_t background = 0x00FF0000;  // a COLORREF: 0x00BBGGRR
    std::uint32_t wire_colour = 0x00000000; // COLORREF of wireframe lines over solids
    const picture* background_picture = nullptr;  // drawn stretched behind the scene
};

// An orbiting camera around a target point.
struct camera {
    glm::vec3 target{0.0f};
    float distance = 5.0f;
    float yaw_degrees = 30.0f;    // around the up (Y) axis
    float pitch_degrees = 20.0f;  // above the horizon, clamped to +-89
    float fov_degrees = 45.0f;
};

// Frames a box: target at its centre, distance so it fills the view.
camera frame_bounds(const glm::vec3& bounds_min, const glm::vec3& bounds_max);

// A frame to draw into: `pixels` rows top-down, `stride` pixels apart, each
// 0x00RRGGBB (the byte order of a 32-bit DIB: blue, green, red, unused).
struct frame {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::uint32_t* pixels = nullptr;
};

// What a model turns into for drawing (normals split at the crease angle);
// made again only when the model or the smoothing settings change.
class prepared_model;
std::shared_ptr<const prepared_model> prepare_model(const model& m, bool smoothing, float crease_angle_degrees);

// Draws the scene; `prepared` may be null (no model: background, grid, axes).
void render(const prepared_model* prepared, const view_settings& settings, const camera& view, frame& target);

}  // namespace engine
