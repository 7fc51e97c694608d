// The lights of a frame and how a surface point answers them (Blinn-Phong,
// directional lights). The renderer shades at the vertices and the rasteriser
// interpolates the colours; shade() is the one place the lighting model is
// written, so that shading per pixel would call it with interpolated normals.
#pragma once

#include <glm/glm.hpp>

#include "control/engine/view_settings.h"

namespace engine {

struct light {
    glm::vec3 towards{0.0f};  // unit vector from the scene to the light
    glm::vec3 colour{0.0f};   // intensity per channel, light_scale applied
    glm::vec3 half{0.0f};     // Blinn's half vector with the view direction
};

// How a material reflects light (the renderer's defaults for a model without materials).
struct reflectance {
    glm::vec3 diffuse{0.8f};
    glm::vec3 specular{0.5f};
    float shininess = 32.0f;
};

struct lighting {
    int count = 0;  // 0: unlit, surfaces show their own colour
    light lights[3];
    glm::vec3 ambient{0.0f};
    bool specular = false;  // highlights added

    // The colour (0..1 per channel, unclamped) a surface point of colour
    // `base` shows; a zero normal (lines, loose points) is drawn unlit.
    glm::vec3 shade(const glm::vec3& base, const reflectance& material, const glm::vec3& normal) const;
};

// The lights of a mode, each multiplied by `scale`, for a camera looking
// along `forward` (a unit vector): the headlight shines along it, the rig's
// three lights stay fixed in the world.
lighting make_lighting(light_mode mode, float scale, bool specular, const glm::vec3& forward);

}  // namespace engine
