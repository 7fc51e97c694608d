// The light around a physically based material: a soft, neutral studio
// room, made in memory the first time it is needed (no file). Its specular
// light is prefiltered by roughness and read with the split-sum
// approximation (a table of the BRDF's scale and bias on f0); its diffuse
// light is kept as nine spherical-harmonic coefficients.
#pragma once

#include <vector>

#include <glm/glm.hpp>

namespace engine {

// The room itself: linear radiance seen along `direction` (a unit vector,
// +Y up). Grey throughout, so that it never tints a material: a dim floor,
// lighter walls, a wide soft box overhead and two soft panels at the sides.
glm::vec3 studio_radiance(const glm::vec3& direction);

struct studio_environment {
    // Equirectangular pictures of the room, linear, rows top-down: u runs
    // round the vertical axis (0.5 looks along -Z), v from straight up (0) to
    // straight down (1). Level k is half the size of level k - 1 and holds
    // the room reflected by roughness k / (levels - 1); between levels the
    // light is mixed linearly, within one bilinearly (u repeats, v stops at
    // the edge), as GL's textureLod reads a mipmapped texture.
    // Each texel's fourth value is 0: four floats are read and mixed at once.
    struct level {
        int width = 0, height = 0;
        std::vector<glm::vec4> texels;
    };
    std::vector<level> levels;
    // What a white Lambertian surface facing `normal` reflects: the
    // irradiance over pi, as coefficients of the real spherical harmonics
    // in the order Y00, Y1-1, Y10, Y11, Y2-2, Y2-1, Y20, Y21, Y22.
    glm::vec3 diffuse_sh[9];
    // The split-sum table: per (n . v, roughness), the scale and the bias on
    // f0 of the specular light reflected, lut_size x lut_size entries, rows by
    // roughness, both axes at texel centres (i + 0.5) / lut_size, bilinear.
    static constexpr int lut_size = 32;
    std::vector<glm::vec2> lut;

    // Prefiltered light along the reflected direction for a roughness in 0..1.
    glm::vec3 specular(const glm::vec3& direction, float roughness) const;
    glm::vec3 diffuse(const glm::vec3& normal) const;
    glm::vec2 brdf(float n_dot_v, float roughness) const;
};

// Made once, on first use, from any thread.
const studio_environment& studio();

// Where a unit direction lands in the room's pictures (u, v as above).
glm::vec2 studio_coordinates(const glm::vec3& direction);

}  // namespace engine
