#include "control/engine/render/lighting.h"

#include <cmath>

#include "control/engine/finite.h"

namespace engine {

// The default material answers the headlight with its own diffuse colour on
// a face turned to the camera: ambient + light = 1.
lighting make_lighting(light_mode mode, float scale, bool specular, const glm::vec3& forward) {
    lighting l;
    l.specular = specular;
    const glm::vec3 to_eye = -forward;
    auto add = [&](glm::vec3 towards, glm::vec3 colour) {
        light& x = l.lights[l.count++];
        x.towards = glm::normalize(towards);
        x.colour = colour * scale;
        x.half = glm::normalize(x.towards + to_eye);
        if (!all_finite(x.half)) x.half = x.towards;  // light straight behind the model
    };
    if (mode == light_mode::headlight) {
        l.ambient = glm::vec3(0.2f * scale);
        add(to_eye, glm::vec3(0.8f));
    } else if (mode == light_mode::rig) {
        l.ambient = glm::vec3(0.15f * scale);
        add({0.6f, 0.8f, 0.9f}, {0.75f, 0.72f, 0.66f});     // key: front right, above; warm
        add({-0.9f, 0.25f, 0.45f}, {0.26f, 0.29f, 0.35f});  // fill: left, low; cool
        add({-0.2f, 0.6f, -1.0f}, {0.35f, 0.35f, 0.35f});   // back: behind, above
    }
    return l;
}

glm::vec3 lighting::shade(const glm::vec3& base, const reflectance& material, const glm::vec3& normal) const {
    if (count == 0 || normal == glm::vec3(0.0f)) return base;
    glm::vec3 diffuse = ambient, highlight(0.0f);
    for (int i = 0; i < count; ++i) {
        const light& l = lights[i];
        const float d = glm::dot(normal, l.towards);
        if (d <= 0.0f) continue;
        diffuse += d * l.colour;
        if (specular) {
            const float h = glm::dot(normal, l.half);
            if (h > 0.0f) highlight += std::exp2(material.shininess * std::log2(h)) * l.colour;
        }
    }
    return base * diffuse + material.specular * highlight;
}

}  // namespace engine
