// Light on a physically based material (glTF's metallic-roughness model),
// in linear light: Lambert's diffuse, the GGX distribution, the
// height-correlated Smith visibility and Schlick's Fresnel with
// f0 = mix(0.04, base colour, metallic), under the frame's directional
// lights and the studio environment (studio_environment.h). The result is
// brought into 0..1 with Khronos' PBR Neutral tone mapping at exposure 1,
// which leaves colours up to about 0.8 as they are.
#pragma once

#include <algorithm>
#include <cmath>

#include <glm/glm.hpp>

#include "control/engine/render/studio_environment.h"

namespace engine {

// The environment's strength at a light scale of 1: a white matte surface
// then shows about 0.4 from the room facing a wall, 0.85 facing up.
inline constexpr float studio_strength = 0.6f;

// Below this roughness a directional light's highlight would be narrower
// than a pixel and brighter than any tone can show.
inline constexpr float least_highlight_roughness = 0.05f;

// The height-correlated Smith visibility term, G / (4 n.l n.v), for a2 the
// roughness to the fourth power, with the view's root
// sqrt((n.v)^2 (1 - a2) + a2) given: a point lit by several lights works it
// out once.
inline float smith_visibility(float n_dot_l, float n_dot_v, float a2, float view_root) {
    const float ggx_v = n_dot_l * view_root;
    const float ggx_l = n_dot_v * std::sqrt(n_dot_l * n_dot_l * (1.0f - a2) + a2);
    const float sum = ggx_v + ggx_l;
    return sum > 0.0f ? 0.5f / sum : 0.0f;
}
// The same for roughness alpha (the roughness squared).
inline float smith_visibility(float n_dot_l, float n_dot_v, float alpha) {
    const float a2 = alpha * alpha;
    return smith_visibility(n_dot_l, n_dot_v, a2, std::sqrt(n_dot_v * n_dot_v * (1.0f - a2) + a2));
}

struct physical_shading {
    int count = 0;  // directional lights
    glm::vec3 towards[3];
    glm::vec3 colour[3];  // as lighting's: a white Lambertian surface facing the light shows this much
    glm::vec3 to_eye{0.0f, 0.0f, 1.0f};  // unit, one direction for the whole frame
    // Per light, from the above (finish_lights): the half vector between it
    // and the eye, and Schlick's (1 - v.h)^5. With one view direction for
    // the frame, both are the same at every point.
    glm::vec3 half[3];
    float schlick[3] = {0.0f, 0.0f, 0.0f};
    float environment = studio_strength;  // times the light scale
    float metallic = 0.0f, roughness = 1.0f;  // the material's, before its texture
    const studio_environment* studio = nullptr;

    void finish_lights() {
        for (int i = 0; i < count; ++i) {
            half[i] = glm::normalize(towards[i] + to_eye);
            const float k = 1.0f - std::max(glm::dot(to_eye, half[i]), 0.0f), k2 = k * k;
            schlick[i] = k2 * k2 * k;
        }
    }

    // The light (linear, before tone mapping) a point of colour `base`
    // (linear) reflects; `normal` need not be of unit length (zero: unlit).
    glm::vec3 shade(const glm::vec3& base, const glm::vec3& normal) const {
        return shade(base, normal, metallic, roughness, 1.0f);
    }
    // With a point's own metallic and roughness, and the share of the
    // environment's light that reaches it (`occlusion`).
    glm::vec3 shade(const glm::vec3& base, glm::vec3 normal, float metallic, float roughness, float occlusion) const {
        const float length2 = glm::dot(normal, normal);
        if (!(length2 > 0.0f)) return base;
        const glm::vec3 n = normal * (1.0f / std::sqrt(length2));
        const glm::vec3& v = to_eye;
        const float n_dot_v = std::max(glm::dot(n, v), 1e-4f);
        const glm::vec3 f0 = glm::mix(glm::vec3(0.04f), base, metallic);
        const glm::vec3 diffuse_colour = base * (1.0f - metallic);
        const float r = std::max(roughness, least_highlight_roughness);
        const float alpha = r * r, a2 = alpha * alpha;
        const float view_root = std::sqrt(n_dot_v * n_dot_v * (1.0f - a2) + a2);
        glm::vec3 sum(0.0f);
        for (int i = 0; i < count; ++i) {
            const float n_dot_l = glm::dot(n, towards[i]);
            if (n_dot_l <= 0.0f) continue;
            const float n_dot_h = std::max(glm::dot(n, half[i]), 0.0f);
            const glm::vec3 fresnel = f0 + (1.0f - f0) * schlick[i];
            const float d = n_dot_h * n_dot_h * (a2 - 1.0f) + 1.0f;
            const float distribution = a2 / (3.14159265f * d * d);
            const float visibility = smith_visibility(n_dot_l, n_dot_v, a2, view_root);
            // The light's irradiance is pi times its colour, so that Lambert's
            // term alone shows the colour as the other materials do.
            sum += ((1.0f - fresnel) * diffuse_colour + fresnel * (3.14159265f * distribution * visibility)) *
                   (colour[i] * n_dot_l);
        }
        if (studio && environment > 0.0f) {
            const glm::vec3 reflected = 2.0f * n_dot_v * n - v;
            const glm::vec2 split = studio->brdf(n_dot_v, roughness);
            sum += (environment * occlusion) * (diffuse_colour * studio->diffuse(n) +
                                                studio->specular(reflected, roughness) * (f0 * split.x + split.y));
        }
        return sum;
    }
};

// Khronos' PBR Neutral tone mapping: colours whose largest channel is below
// 0.76 pass (but for a small offset of the darkest channel), brighter ones
// are compressed towards 1 and towards white.
inline glm::vec3 neutral_tone(glm::vec3 c) {
    constexpr float start = 0.8f - 0.04f, desaturation = 0.15f;
    const float x = std::min({c.r, c.g, c.b});
    const float offset = x < 0.08f ? x - 6.25f * x * x : 0.04f;
    c -= offset;
    const float peak = std::max({c.r, c.g, c.b});
    if (peak < start) return c;
    constexpr float d = 1.0f - start;
    const float new_peak = 1.0f - d * d / (peak + d - start);
    c *= new_peak / peak;
    const float g = 1.0f - 1.0f / (desaturation * (peak - new_peak) + 1.0f);
    return glm::mix(c, glm::vec3(new_peak), g);
}

}  // namespace engine
