// sRGB's transfer curve (IEC 61966-2-1), 0..1 both ways. The model's colours
// are sRGB-encoded display values, as OBJ, PLY and STL files give theirs;
// the glTF reader encodes its linear factors and vertex colours with it, and
// the renderer decodes all of them for light worked out in linear light.
#pragma once

#include <cmath>

#include <glm/glm.hpp>

namespace engine {

inline float srgb_to_linear(float c) {
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}
inline float linear_to_srgb(float c) {
    return c <= 0.0031308f ? c * 12.92f : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
}
inline glm::vec3 srgb_to_linear(const glm::vec3& c) {
    return glm::vec3(srgb_to_linear(c.r), srgb_to_linear(c.g), srgb_to_linear(c.b));
}
inline glm::vec3 linear_to_srgb(const glm::vec3& c) {
    return glm::vec3(linear_to_srgb(c.r), linear_to_srgb(c.g), linear_to_srgb(c.b));
}

}  // namespace engine
