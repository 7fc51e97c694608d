#include "control/engine/render/studio_environment.h"

#include "control/engine/render/physical_shading.h"

#include <algorithm>
#include <cmath>

namespace engine {
namespace {

constexpr float pi = 3.14159265358979f;
constexpr int level_count = 6;
constexpr int first_width = 128;  // level 0: 128 x 64, the last 4 x 2

float smoothstep(float edge0, float edge1, float x) {
    const float t = std::clamp((x - edge0) / (edge1 - edge0), 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

// A soft-edged round panel: 1 within `inner` degrees of `centre`, 0 beyond `outer`.
float panel(const glm::vec3& d, const glm::vec3& centre, float inner, float outer) {
    return smoothstep(std::cos(glm::radians(outer)), std::cos(glm::radians(inner)), glm::dot(d, centre));
}

glm::vec3 direction_of(float u, float v) {
    const float theta = v * pi, phi = (u - 0.5f) * 2.0f * pi;
    return {std::sin(theta) * std::sin(phi), std::cos(theta), -std::sin(theta) * std::cos(phi)};
}

// Low-discrepancy points of the unit square, the same on every machine.
glm::vec2 hammersley(std::uint32_t i, std::uint32_t count) {
    std::uint32_t bits = i;
    bits = (bits << 16u) | (bits >> 16u);
    bits = ((bits & 0x55555555u) << 1u) | ((bits & 0xAAAAAAAAu) >> 1u);
    bits = ((bits & 0x33333333u) << 2u) | ((bits & 0xCCCCCCCCu) >> 2u);
    bits = ((bits & 0x0F0F0F0Fu) << 4u) | ((bits & 0xF0F0F0F0u) >> 4u);
    bits = ((bits & 0x00FF00FFu) << 8u) | ((bits & 0xFF00FF00u) >> 8u);
    return {static_cast<float>(i) / static_cast<float>(count), static_cast<float>(bits) * 2.3283064365386963e-10f};
}

// A half vector drawn from the GGX distribution of roughness alpha (alpha =
// roughness squared) around the normal n.
glm::vec3 ggx_half_vector(const glm::vec2& xi, const glm::vec3& n, float alpha) {
    const float phi = 2.0f * pi * xi.x;
    const float cos_theta = std::sqrt((1.0f - xi.y) / (1.0f + (alpha * alpha - 1.0f) * xi.y));
    const float sin_theta = std::sqrt(std::max(0.0f, 1.0f - cos_theta * cos_theta));
    const glm::vec3 up = std::fabs(n.y) < 0.999f ? glm::vec3(0.0f, 1.0f, 0.0f) : glm::vec3(1.0f, 0.0f, 0.0f);
    const glm::vec3 tangent = glm::normalize(glm::cross(up, n));
    const glm::vec3 bitangent = glm::cross(n, tangent);
    return glm::normalize(tangent * (sin_theta * std::cos(phi)) + bitangent * (sin_theta * std::sin(phi)) +
                          n * cos_theta);
}

// The room reflected by roughness r at every texel of a level (r = 0: the
// room itself), with the usual assumption that the viewer looks along the normal.
studio_environment::level prefiltered(int width, float roughness) {
    studio_environment::level out;
    out.width = width, out.height = width / 2;
    out.texels.resize(static_cast<std::size_t>(out.width) * out.height);
    const float alpha = roughness * roughness;
    const std::uint32_t samples = roughness == 0.0f ? 1u : width >= 64 ? 256u : 512u;
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            const glm::vec3 n = direction_of((static_cast<float>(x) + 0.5f) / static_cast<float>(out.width),
                                             (static_cast<float>(y) + 0.5f) / static_cast<float>(out.height));
            glm::vec3 sum(0.0f);
            float weight = 0.0f;
            if (samples == 1u) {
                sum = studio_radiance(n), weight = 1.0f;
            } else {
                for (std::uint32_t i = 0; i < samples; ++i) {
                    const glm::vec3 h = ggx_half_vector(hammersley(i, samples), n, alpha);
                    const glm::vec3 l = 2.0f * glm::dot(n, h) * h - n;
                    const float n_dot_l = glm::dot(n, l);
                    if (n_dot_l <= 0.0f) continue;
                    sum += studio_radiance(l) * n_dot_l;
                    weight += n_dot_l;
                }
            }
            out.texels[static_cast<std::size_t>(y) * out.width + x] =
                glm::vec4(weight > 0.0f ? sum / weight : glm::vec3(0.0f), 0.0f);
        }
    return out;
}

void sh_basis(const glm::vec3& d, float y[9]) {
    y[0] = 0.282095f;
    y[1] = 0.488603f * d.y, y[2] = 0.488603f * d.z, y[3] = 0.488603f * d.x;
    y[4] = 1.092548f * d.x * d.y, y[5] = 1.092548f * d.y * d.z;
    y[6] = 0.315392f * (3.0f * d.z * d.z - 1.0f);
    y[7] = 1.092548f * d.x * d.z, y[8] = 0.546274f * (d.x * d.x - d.y * d.y);
}

// Lambert's reflection of the room, from its unfiltered picture: projected
// onto the harmonics, convolved with the clamped cosine, over pi.
void project_diffuse(const studio_environment::level& room, glm::vec3 out[9]) {
    double sums[9][3] = {};
    for (int y = 0; y < room.height; ++y) {
        const float v = (static_cast<float>(y) + 0.5f) / static_cast<float>(room.height);
        const float solid_angle = (2.0f * pi / static_cast<float>(room.width)) * (pi / static_cast<float>(room.height)) *
                                  std::sin(v * pi);
        for (int x = 0; x < room.width; ++x) {
            const glm::vec3 d = direction_of((static_cast<float>(x) + 0.5f) / static_cast<float>(room.width), v);
            const glm::vec3 radiance = glm::vec3(room.texels[static_cast<std::size_t>(y) * room.width + x]) * solid_angle;
            float basis[9];
            sh_basis(d, basis);
            for (int i = 0; i < 9; ++i)
                for (int c = 0; c < 3; ++c) sums[i][c] += double(basis[i]) * radiance[c];
        }
    }
    const float band[9] = {1.0f, 2.0f / 3.0f, 2.0f / 3.0f, 2.0f / 3.0f, 0.25f, 0.25f, 0.25f, 0.25f, 0.25f};
    for (int i = 0; i < 9; ++i)
        out[i] = glm::vec3(float(sums[i][0]), float(sums[i][1]), float(sums[i][2])) * band[i];
}

std::vector<glm::vec2> split_sum_table() {
    constexpr int n = studio_environment::lut_size;
    constexpr std::uint32_t samples = 512;
    std::vector<glm::vec2> table(static_cast<std::size_t>(n) * n);
    const glm::vec3 normal(0.0f, 0.0f, 1.0f);
    for (int row = 0; row < n; ++row) {
        const float roughness = (static_cast<float>(row) + 0.5f) / n, alpha = roughness * roughness;
        for (int column = 0; column < n; ++column) {
            const float n_dot_v = (static_cast<float>(column) + 0.5f) / n;
            const glm::vec3 v(std::sqrt(1.0f - n_dot_v * n_dot_v), 0.0f, n_dot_v);
            float scale = 0.0f, bias = 0.0f;
            for (std::uint32_t i = 0; i < samples; ++i) {
                const glm::vec3 h = ggx_half_vector(hammersley(i, samples), normal, alpha);
                const float v_dot_h = glm::dot(v, h);
                const glm::vec3 l = 2.0f * v_dot_h * h - v;
                if (l.z <= 0.0f || h.z <= 0.0f) continue;
                // The sample's weight: the BRDF's F-free part times n . l over the sampling density.
                const float g = smith_visibility(l.z, n_dot_v, alpha) * 4.0f * std::max(v_dot_h, 0.0f) * l.z / h.z;
                const float fresnel = std::pow(1.0f - std::max(v_dot_h, 0.0f), 5.0f);
                scale += (1.0f - fresnel) * g;
                bias += fresnel * g;
            }
            table[static_cast<std::size_t>(row) * n + column] = glm::vec2(scale, bias) / static_cast<float>(samples);
        }
    }
    return table;
}

studio_environment make_studio() {
    studio_environment e;
    for (int k = 0, width = first_width; k < level_count; ++k, width /= 2)
        e.levels.push_back(prefiltered(width, static_cast<float>(k) / (level_count - 1)));
    project_diffuse(e.levels[0], e.diffuse_sh);
    e.lut = split_sum_table();
    return e;
}

// Four floats side by side (GCC and Clang vector extensions).
typedef float four __attribute__((vector_size(16)));

four texel_at(const glm::vec4* row, int column) {
    four t;
    __builtin_memcpy(&t, row + column, sizeof t);
    return t;
}

// u in 0..1 and v in 0..1 (as studio_coordinates gives them): columns wrap
// round, rows stop at the poles.
four bilinear(const studio_environment::level& l, const glm::vec2& uv) {
    const float x = uv.x * static_cast<float>(l.width) - 0.5f, y = uv.y * static_cast<float>(l.height) - 0.5f;
    const int ix = static_cast<int>(x + 1.0f) - 1, iy = static_cast<int>(y + 1.0f) - 1;  // floor, from -1 up
    const float ax = x - static_cast<float>(ix), ay = y - static_cast<float>(iy);
    const int c0 = ix < 0 ? l.width - 1 : std::min(ix, l.width - 1), c1 = ix + 1 >= l.width ? 0 : ix + 1;
    const int r0 = std::clamp(iy, 0, l.height - 1), r1 = std::clamp(iy + 1, 0, l.height - 1);
    const glm::vec4* top = &l.texels[static_cast<std::size_t>(r0) * l.width];
    const glm::vec4* bottom = &l.texels[static_cast<std::size_t>(r1) * l.width];
    const four t0 = texel_at(top, c0), b0 = texel_at(bottom, c0);
    const four upper = t0 + (texel_at(top, c1) - t0) * ax, lower = b0 + (texel_at(bottom, c1) - b0) * ax;
    return upper + (lower - upper) * ay;
}

// atan2 and acos to within about 1e-5 radians, far below a texel of the
// room's largest picture (0.05 radians), without the library's exactness.
float fast_atan2(float y, float x) {
    const float ax = std::fabs(x), ay = std::fabs(y);
    const float big = std::max(ax, ay);
    if (big == 0.0f) return 0.0f;
    const float t = std::min(ax, ay) / big, t2 = t * t;
    float a = t * (0.99997726f + t2 * (-0.33262347f + t2 * (0.19354346f + t2 * (-0.11643287f +
                                                                                 t2 * (0.05265332f - t2 * 0.01172120f)))));
    if (ay > ax) a = 1.57079637f - a;
    if (x < 0.0f) a = pi - a;
    return y < 0.0f ? -a : a;
}
float fast_acos(float x) {
    const float ax = std::fabs(x);
    const float r = std::sqrt(1.0f - ax) *
                    (1.5707963050f + ax * (-0.2145988016f + ax * (0.0889789874f + ax * (-0.0501743046f +
                     ax * (0.0308918810f + ax * (-0.0170881256f + ax * (0.0066700901f - ax * 0.0012624911f)))))));
    return x < 0.0f ? pi - r : r;
}

}  // namespace

glm::vec3 studio_radiance(const glm::vec3& d) {
    const float floor_light = 0.12f, wall = 0.45f, ceiling = 0.6f;
    float light = d.y < 0.0f ? glm::mix(wall, floor_light, smoothstep(0.0f, 0.4f, -d.y))
                             : glm::mix(wall, ceiling, smoothstep(0.0f, 0.7f, d.y));
    light += 2.0f * smoothstep(std::cos(glm::radians(45.0f)), std::cos(glm::radians(25.0f)), d.y);   // overhead box
    light += 3.0f * panel(d, glm::normalize(glm::vec3(0.8f, 0.35f, 0.5f)), 12.0f, 22.0f);           // key, right
    light += 1.2f * panel(d, glm::normalize(glm::vec3(-0.85f, 0.2f, 0.3f)), 14.0f, 26.0f);          // fill, left
    return glm::vec3(light);
}

glm::vec2 studio_coordinates(const glm::vec3& d) {
    const float u = 0.5f + fast_atan2(d.x, -d.z) * (0.5f / pi);
    const float v = fast_acos(std::clamp(d.y, -1.0f, 1.0f)) * (1.0f / pi);
    return {std::clamp(u, 0.0f, 1.0f), std::clamp(v, 0.0f, 1.0f)};
}

glm::vec3 studio_environment::specular(const glm::vec3& direction, float roughness) const {
    const float lod = std::clamp(roughness, 0.0f, 1.0f) * static_cast<float>(levels.size() - 1);
    const int k0 = static_cast<int>(lod), k1 = std::min(k0 + 1, static_cast<int>(levels.size()) - 1);
    const glm::vec2 uv = studio_coordinates(direction);
    four light = bilinear(levels[static_cast<std::size_t>(k0)], uv);
    const float between = lod - static_cast<float>(k0);
    if (between != 0.0f) light += (bilinear(levels[static_cast<std::size_t>(k1)], uv) - light) * between;
    return glm::vec3(light[0], light[1], light[2]);
}

glm::vec3 studio_environment::diffuse(const glm::vec3& n) const {
    float basis[9];
    sh_basis(n, basis);
    glm::vec3 sum(0.0f);
    for (int i = 0; i < 9; ++i) sum += diffuse_sh[i] * basis[i];
    return glm::max(sum, glm::vec3(0.0f));
}

glm::vec2 studio_environment::brdf(float n_dot_v, float roughness) const {
    const float x = std::clamp(n_dot_v, 0.0f, 1.0f) * lut_size - 0.5f;
    const float y = std::clamp(roughness, 0.0f, 1.0f) * lut_size - 0.5f;
    const int x0 = std::clamp(static_cast<int>(std::floor(x)), 0, lut_size - 1), x1 = std::min(x0 + 1, lut_size - 1);
    const int y0 = std::clamp(static_cast<int>(std::floor(y)), 0, lut_size - 1), y1 = std::min(y0 + 1, lut_size - 1);
    const float ax = std::clamp(x - static_cast<float>(x0), 0.0f, 1.0f), ay = std::clamp(y - static_cast<float>(y0), 0.0f, 1.0f);
    auto at = [&](int c, int r) { return lut[static_cast<std::size_t>(r) * lut_size + c]; };
    return glm::mix(glm::mix(at(x0, y0), at(x1, y0), ax), glm::mix(at(x0, y1), at(x1, y1), ax), ay);
}

const studio_environment& studio() {
    static const studio_environment made = make_studio();
    return made;
}

}  // namespace engine
