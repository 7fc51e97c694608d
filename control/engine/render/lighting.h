// The lights of a frame and how a surface point answers them (Blinn-Phong,
// directional lights). lighting::shade lights the corners for the fast
// renderer; pixel_shading::shade lights every pixel for the quality one, in
// linear light, with the same lights and terms.
#pragma once

#include <cmath>

#include <glm/glm.hpp>

#include "control/engine/render/view_settings.h"
#include "control/engine/srgb.h"

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

// Light worked out at every pixel of a triangle, in linear light (the quality
// renderer): colours are decoded from sRGB, the lights summed, the result
// encoded again. The same directional lights as `lighting`; the material's
// highlight colour and sharpness, and its own light.
struct pixel_shading {
    int count = 0;
    glm::vec3 towards[3], colour[3], half[3];
    glm::vec3 ambient{0.0f};
    bool specular = false;
    glm::vec3 specular_colour{0.0f};  // linear
    float shininess = 32.0f;
    // Below this n . h the highlight is under 1/4096 and left out, which
    // spares most pixels the power.
    float faint = 0.0f;
    glm::vec3 emissive{0.0f};  // linear, added after the light

    // `base` in linear light; `normal` interpolated, not yet of unit length
    // (zero: drawn unlit). The emissive light is the caller's to add.
#if defined(__GNUC__)
    __attribute__((always_inline))
#endif
    glm::vec3 shade(const glm::vec3& base, glm::vec3 normal) const {
        const float length2 = glm::dot(normal, normal);
        if (!(length2 > 0.0f)) return base;
        normal *= 1.0f / std::sqrt(length2);
        glm::vec3 diffuse = ambient, highlight(0.0f);
        for (int i = 0; i < count; ++i) {
            const float d = glm::dot(normal, towards[i]);
            if (d <= 0.0f) continue;
            diffuse += d * colour[i];
            if (specular) {
                const float h = glm::dot(normal, half[i]);
                if (h > faint) highlight += std::exp2(shininess * std::log2(h)) * colour[i];
            }
        }
        return base * diffuse + specular_colour * highlight;
    }

    // Sets `faint` from `shininess`.
    void set_faint() { faint = shininess > 0.0f ? std::exp2(-12.0f / shininess) : 0.0f; }
};

// The lights of a mode, each multiplied by `scale`, for a camera looking
// along `forward` (a unit vector): the headlight shines along it, the rig's
// three lights stay fixed in the world.
lighting make_lighting(light_mode mode, float scale, bool specular, const glm::vec3& forward);

}  // namespace engine
