// The orbiting camera: framing, mouse steering and projection.
#include "control/engine/render/camera.h"

#include <algorithm>
#include <cmath>

#include "control/engine/finite.h"
#include "control/engine/render/view_transform.h"

namespace engine {
namespace {

float usable_fov(float degrees) { return std::clamp(finite_or(degrees, 45.0f), 1.0f, 170.0f); }
float usable_pitch(float degrees) { return std::clamp(finite_or(degrees, 0.0f), -89.0f, 89.0f); }
float usable_distance(float distance) { return std::clamp(finite_or(distance, 5.0f), 1e-6f, 1e15f); }

// Unit vector from the target towards the eye.
glm::vec3 backward(const camera& view) {
    const float yaw = glm::radians(finite_or(view.yaw_degrees, 0.0f));
    const float pitch = glm::radians(usable_pitch(view.pitch_degrees));
    return {std::cos(pitch) * std::sin(yaw), std::sin(pitch), std::cos(pitch) * std::cos(yaw)};
}

glm::vec3 usable_target(const camera& view) {
    return all_finite(view.target) ? view.target : glm::vec3(0.0f);
}

float focal_pixels(const camera& view, int frame_width, int frame_height) {
    const float side = static_cast<float>(std::max(1, std::min(frame_width, frame_height)));
    return 0.5f * side / std::tan(0.5f * glm::radians(usable_fov(view.fov_degrees)));
}

}  // namespace

glm::vec3 camera_eye(const camera& view) {
    return usable_target(view) + usable_distance(view.distance) * backward(view);
}

view_transform make_view_transform(const camera& view, int frame_width, int frame_height) {
    view_transform t;
    t.eye = camera_eye(view);
    t.forward = -backward(view);
    t.right = glm::normalize(glm::cross(t.forward, glm::vec3(0.0f, 1.0f, 0.0f)));
    t.up = glm::cross(t.right, t.forward);
    t.focal = focal_pixels(view, frame_width, frame_height);
    t.distance = usable_distance(view.distance);
    const float cx = 0.5f * static_cast<float>(frame_width);
    const float cy = 0.5f * static_cast<float>(frame_height);
    // X = focal * (d . right) + cx * W, Y = -focal * (d . up) + cy * W, W = d . forward, d = p - eye.
    const glm::vec3 ax = t.focal * t.right + cx * t.forward;
    const glm::vec3 ay = -t.focal * t.up + cy * t.forward;
    t.row_x = glm::vec4(ax, -glm::dot(ax, t.eye));
    t.row_y = glm::vec4(ay, -glm::dot(ay, t.eye));
    t.row_w = glm::vec4(t.forward, -glm::dot(t.forward, t.eye));
    return t;
}

camera frame_bounds(const glm::vec3& bounds_min, const glm::vec3& bounds_max) {
    camera view;
    const glm::vec3 centre = 0.5f * (bounds_min + bounds_max);
    float radius = 0.5f * glm::length(bounds_max - bounds_min);
    if (!all_finite(centre) || !std::isfinite(radius))
        return view;
    if (radius <= 0.0f) radius = 1.0f;
    view.target = centre;
    // The bounding sphere fits the smaller side of the frame, with a margin.
    view.distance = 1.1f * radius / std::sin(0.5f * glm::radians(view.fov_degrees));
    return view;
}

void orbit(camera& view, float yaw_delta_degrees, float pitch_delta_degrees) {
    if (!std::isfinite(yaw_delta_degrees) || !std::isfinite(pitch_delta_degrees)) return;
    // Kept within one turn so that a long spin loses no precision.
    view.yaw_degrees = std::remainder(finite_or(view.yaw_degrees, 0.0f) + yaw_delta_degrees, 360.0f);
    view.pitch_degrees = usable_pitch(finite_or(view.pitch_degrees, 0.0f) + pitch_delta_degrees);
}

void zoom(camera& view, float factor) {
    if (!std::isfinite(factor) || factor <= 0.0f) return;
    view.distance = usable_distance(usable_distance(view.distance) * factor);
}

void pan(camera& view, float dx_pixels, float dy_pixels, int frame_width, int frame_height) {
    if (!std::isfinite(dx_pixels) || !std::isfinite(dy_pixels)) return;
    const view_transform t = make_view_transform(view, frame_width, frame_height);
    const float units_per_pixel = usable_distance(view.distance) / t.focal;
    view.target = usable_target(view) - t.right * (dx_pixels * units_per_pixel) + t.up * (dy_pixels * units_per_pixel);
}

bool project_point(const camera& view, int frame_width, int frame_height, const glm::vec3& world, glm::vec2& pixel) {
    const glm::vec3 h = make_view_transform(view, frame_width, frame_height).apply(world);
    if (!(h.z > 0.0f)) return false;
    pixel = glm::vec2(h.x / h.z, h.y / h.z);
    return std::isfinite(pixel.x) && std::isfinite(pixel.y);
}

}  // namespace engine
