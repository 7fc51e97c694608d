// The orbiting camera: where it looks from, how the mouse steers it, where
// a point appears. Plain C++ (no Windows headers).
#pragma once

#include <glm/glm.hpp>

namespace engine {

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

// Where the camera stands.
glm::vec3 camera_eye(const camera& view);

// Mouse steering. orbit turns the camera around its target (pitch clamped to
// +-89); zoom multiplies the distance (factor < 1 comes closer); pan moves the
// target so that the scene follows a cursor moved by (dx, dy) pixels in a
// frame of the given size. Non-finite arguments leave the camera unchanged.
void orbit(camera& view, float yaw_delta_degrees, float pitch_delta_degrees);
void zoom(camera& view, float factor);
void pan(camera& view, float dx_pixels, float dy_pixels, int frame_width, int frame_height);

// The pixel position (x right, y down, pixel centres at .5) where a world point
// appears in a frame of the given size; false when it lies behind the camera.
// The field of view spans the smaller of the frame's two sides.
bool project_point(const camera& view, int frame_width, int frame_height, const glm::vec3& world, glm::vec2& pixel);

}  // namespace engine
