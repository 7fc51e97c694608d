// The shading model as a GLSL program for Mesa's llvmpipe, and what both
// the oracle test and the render benchmark need around it: the renderer's
// camera as a GL clip transform, and a 4x multisampled frame buffer resolved
// into a plain one. Needs a current core profile context (mesa_context.h).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>

#include <glm/gtc/matrix_transform.hpp>

#include "control/engine/render/camera.h"
#include "tests/mesa_context.h"

namespace mesa_peer {

inline const char* const vertex_shader = R"(#version 330 core
uniform mat4 world_to_clip;
layout(location = 0) in vec3 position;
layout(location = 1) in vec3 normal;
layout(location = 2) in vec3 colour;
layout(location = 3) in vec2 texcoord;
layout(location = 4) in vec2 texcoord1;
layout(location = 5) in vec4 tangent;
out vec3 surface_normal;
out vec3 surface_colour;
out vec2 surface_texcoord;
out vec2 surface_texcoord1;
out vec4 surface_tangent;
out vec3 surface_position;
void main() {
    gl_Position = world_to_clip * vec4(position, 1.0);
    surface_normal = normal;
    surface_colour = colour;
    surface_texcoord = texcoord;
    surface_texcoord1 = texcoord1;
    surface_tangent = tangent;
    surface_position = position;
}
)";

inline const char* const fragment_shader = R"(#version 330 core
uniform int light_count;  // 0: unlit
uniform vec3 towards[3];
uniform vec3 light_colour[3];
uniform vec3 half_vector[3];
uniform vec3 ambient;
uniform bool specular_on;
uniform bool two_sided;
uniform bool textured;
uniform sampler2D diffuse_map;
uniform vec3 specular_colour;
uniform float shininess;
uniform vec3 emissive;
uniform float emissive_strength;  // times the emissive colour (decoded); held to 1 where not tone-mapped
uniform float opacity;
uniform bool linear_colours;  // material and vertex colours are linear (glTF's), not sRGB-encoded
// A physically based material: glTF's metallic-roughness BRDF under the same
// directional lights and the studio environment, tone-mapped (PBR Neutral).
uniform bool physical;
uniform float metallic;
uniform float roughness;
uniform vec3 to_eye;
uniform float environment;
uniform vec3 diffuse_sh[9];
uniform sampler2D studio_map;  // prefiltered levels as mipmaps, lod = roughness * (levels - 1)
uniform float studio_levels;
uniform sampler2D split_sum;   // (scale, bias) by (n.v, roughness)
uniform bool metal_rough_mapped;  // textured triangles: blue times metallic, green times roughness
uniform sampler2D metal_rough_map;
uniform bool occlusion_mapped;  // textured triangles: the environment's light times 1 + strength (red - 1)
uniform sampler2D occlusion_map;
uniform float occlusion_strength;
// Where the diffuse map is read: a set of texture coordinates and glTF's
// KHR_texture_transform (offset, rotation, scale) over glTF's uv, whose v
// runs down the picture.
uniform int diffuse_uv_set;
uniform bool diffuse_uv_moved;
uniform vec2 diffuse_uv_offset;
uniform float diffuse_uv_rotation;
uniform vec2 diffuse_uv_scale;
// A tangent-space normal map (glTF's): n = normalize(T x + B y + N z), (x, y, z)
// = normalize((2 rgb - 1) (scale, scale, 1)), B = cross(N, T) w. The tangent
// is the vertices' (x, y, z, w); with derived_tangents, the direction of +u
// on the surface, made at right angles to N, w the side of cross(N, T) on
// which +v (up the picture) lies, both from the position's and the texture
// coordinate's rates of change across the screen.
uniform bool normal_mapped;
uniform sampler2D normal_map;
uniform float normal_scale;
uniform bool derived_tangents;
in vec3 surface_normal;
in vec3 surface_colour;
in vec2 surface_texcoord;
in vec2 surface_texcoord1;
in vec4 surface_tangent;
in vec3 surface_position;
out vec4 pixel;

vec3 decode(vec3 c) {
    return mix(c / 12.92, pow((c + 0.055) / 1.055, vec3(2.4)), greaterThan(c, vec3(0.04045)));
}
vec3 encode(vec3 c) {
    return mix(c * 12.92, 1.055 * pow(c, vec3(1.0 / 2.4)) - 0.055, greaterThan(c, vec3(0.0031308)));
}
vec3 stored(vec3 c) { return linear_colours ? c : decode(c); }

const float pi = 3.14159265;
vec3 sh_diffuse(vec3 d) {
    vec3 sum = diffuse_sh[0] * 0.282095
             + diffuse_sh[1] * (0.488603 * d.y) + diffuse_sh[2] * (0.488603 * d.z) + diffuse_sh[3] * (0.488603 * d.x)
             + diffuse_sh[4] * (1.092548 * d.x * d.y) + diffuse_sh[5] * (1.092548 * d.y * d.z)
             + diffuse_sh[6] * (0.315392 * (3.0 * d.z * d.z - 1.0))
             + diffuse_sh[7] * (1.092548 * d.x * d.z) + diffuse_sh[8] * (0.546274 * (d.x * d.x - d.y * d.y));
    return max(sum, vec3(0.0));
}
vec3 studio_light(vec3 d, float r) {
    vec2 uv = vec2(0.5 + atan(d.x, -d.z) / (2.0 * pi), acos(clamp(d.y, -1.0, 1.0)) / pi);
    return textureLod(studio_map, uv, r * (studio_levels - 1.0)).rgb;
}
vec3 physical_light(vec3 base, vec3 n, float metallic, float roughness, float occlusion) {
    vec3 v = to_eye;
    float n_dot_v = max(dot(n, v), 1e-4);
    vec3 f0 = mix(vec3(0.04), base, metallic);
    vec3 c_diff = base * (1.0 - metallic);
    float r = max(roughness, 0.05);
    float alpha = r * r, a2 = alpha * alpha;
    vec3 sum = vec3(0.0);
    for (int i = 0; i < light_count; ++i) {
        vec3 l = towards[i];
        float n_dot_l = dot(n, l);
        if (n_dot_l <= 0.0) continue;
        vec3 h = normalize(l + v);
        float n_dot_h = max(dot(n, h), 0.0), v_dot_h = max(dot(v, h), 0.0);
        vec3 fresnel = f0 + (1.0 - f0) * pow(1.0 - v_dot_h, 5.0);
        float d = n_dot_h * n_dot_h * (a2 - 1.0) + 1.0;
        float distribution = a2 / (pi * d * d);
        float visibility = 0.5 / (n_dot_l * sqrt(n_dot_v * n_dot_v * (1.0 - a2) + a2) +
                                  n_dot_v * sqrt(n_dot_l * n_dot_l * (1.0 - a2) + a2));
        sum += ((1.0 - fresnel) * c_diff + fresnel * (pi * distribution * visibility)) * light_colour[i] * n_dot_l;
    }
    vec2 split = texture(split_sum, vec2(n_dot_v, clamp(roughness, 0.0, 1.0))).rg;
    sum += environment * occlusion * (c_diff * sh_diffuse(n) + studio_light(2.0 * n_dot_v * n - v, roughness) * (f0 * split.x + split.y));
    return sum;
}
vec3 neutral_tone(vec3 c) {
    const float start = 0.8 - 0.04, desaturation = 0.15;
    float x = min(c.r, min(c.g, c.b));
    float offset = x < 0.08 ? x - 6.25 * x * x : 0.04;
    c -= offset;
    float peak = max(c.r, max(c.g, c.b));
    if (peak < start) return c;
    const float d = 1.0 - start;
    float new_peak = 1.0 - d * d / (peak + d - start);
    c *= new_peak / peak;
    float g = 1.0 - 1.0 / (desaturation * (peak - new_peak) + 1.0);
    return mix(c, vec3(new_peak), g);
}

// Picture rows run top-down and v upwards: row (1 - v) * height, and the
// texture's t = 1 - v is glTF's own v.
vec2 diffuse_uv() {
    vec2 given = diffuse_uv_set == 1 ? surface_texcoord1 : surface_texcoord;
    vec2 uv = vec2(given.x, 1.0 - given.y);
    if (!diffuse_uv_moved) return uv;
    float c = cos(diffuse_uv_rotation), s = sin(diffuse_uv_rotation);
    mat3 translation = mat3(1.0, 0.0, 0.0, 0.0, 1.0, 0.0, diffuse_uv_offset.x, diffuse_uv_offset.y, 1.0);
    mat3 rotation = mat3(c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0);
    mat3 scale = mat3(diffuse_uv_scale.x, 0.0, 0.0, 0.0, diffuse_uv_scale.y, 0.0, 0.0, 0.0, 1.0);
    return (translation * rotation * scale * vec3(uv, 1.0)).xy;
}

void main() {
    vec3 texel = textured ? texture(diffuse_map, diffuse_uv()).rgb : vec3(1.0);
    if (light_count == 0) {
        pixel = vec4(clamp(surface_colour * texel + emissive, 0.0, 1.0), opacity);
        return;
    }
    vec3 n = normalize(surface_normal);
    if (normal_mapped) {
        vec3 t = normalize(surface_tangent.xyz);
        float w = surface_tangent.w;
        if (derived_tangents) {
            vec3 dp_dx = dFdx(surface_position), dp_dy = dFdy(surface_position);
            vec2 duv_dx = dFdx(surface_texcoord), duv_dy = dFdy(surface_texcoord);
            float det = duv_dx.x * duv_dy.y - duv_dy.x * duv_dx.y;
            vec3 along_u = (dp_dx * duv_dy.y - dp_dy * duv_dx.y) / det;
            vec3 along_v = (dp_dy * duv_dx.x - dp_dx * duv_dy.x) / det;
            t = normalize(along_u - n * dot(n, along_u));
            w = dot(cross(n, t), along_v) < 0.0 ? -1.0 : 1.0;
        }
        vec3 b = cross(n, t) * w;
        vec3 m = normalize((2.0 * texture(normal_map, vec2(surface_texcoord.x, 1.0 - surface_texcoord.y)).rgb - 1.0) *
                           vec3(normal_scale, normal_scale, 1.0));
        n = normalize(t * m.x + b * m.y + n * m.z);
    }
    // The back of a two-sided surface: the whole frame turns, a bump is a dent.
    if (two_sided && !gl_FrontFacing) n = -n;
    vec3 diffuse = ambient, highlight = vec3(0.0);
    for (int i = 0; i < light_count; ++i) {
        float d = dot(n, towards[i]);
        if (d <= 0.0) continue;
        diffuse += d * light_colour[i];
        if (specular_on) highlight += pow(max(0.0, dot(n, half_vector[i])), shininess) * light_colour[i];
    }
    if (physical) {
        vec2 uv = vec2(surface_texcoord.x, 1.0 - surface_texcoord.y);
        vec4 factors = textured && metal_rough_mapped ? texture(metal_rough_map, uv) : vec4(1.0);
        float occlusion = textured && occlusion_mapped
                              ? 1.0 + occlusion_strength * (texture(occlusion_map, uv).r - 1.0) : 1.0;
        vec3 shown = neutral_tone(physical_light(stored(surface_colour) * decode(texel), n, metallic * factors.b,
                                                 roughness * factors.g, occlusion) + stored(emissive) * emissive_strength);
        pixel = vec4(encode(clamp(shown, 0.0, 1.0)), opacity);
        return;
    }
    vec3 lit = stored(surface_colour) * decode(texel) * diffuse + stored(specular_colour) * highlight;
    pixel = vec4(encode(clamp(lit + min(stored(emissive) * emissive_strength, vec3(1.0)), 0.0, 1.0)), opacity);
}
)";

// World to GL clip space, from the camera's fields: a look from the eye at
// the target with +Y up, the field of view spanning the smaller side of the
// frame, the near plane where the renderer puts it. GL's window y runs up,
// the frame's rows down: rows are flipped on reading back.
inline glm::mat4 world_to_clip(const engine::camera& c, int width, int height) {
    const glm::mat4 look = glm::lookAt(engine::camera_eye(c), c.target, glm::vec3(0.0f, 1.0f, 0.0f));
    const float focal = 0.5f * float(std::min(width, height)) / std::tan(0.5f * glm::radians(c.fov_degrees));
    const float near_plane = 1e-4f * c.distance, far_plane = 1e3f * c.distance;
    glm::mat4 p(0.0f);
    p[0][0] = 2.0f * focal / float(width);
    p[1][1] = 2.0f * focal / float(height);
    p[2][2] = -(far_plane + near_plane) / (far_plane - near_plane);
    p[2][3] = -1.0f;
    p[3][2] = -2.0f * far_plane * near_plane / (far_plane - near_plane);
    return p * look;
}

// One vertex as the vertex shader reads it (locations 0 to 4).
struct gl_vertex {
    glm::vec3 position, normal, colour;
    glm::vec2 texcoord;
    glm::vec2 texcoord1{0.0f};
    glm::vec4 tangent{0.0f};  // with a normal map
};

// Points the shader's inputs at gl_vertex records in the bound array buffer.
inline void describe_gl_vertices() {
    const GLsizei stride = sizeof(gl_vertex);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(offsetof(gl_vertex, position)));
    glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(offsetof(gl_vertex, normal)));
    glVertexAttribPointer(2, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(offsetof(gl_vertex, colour)));
    glVertexAttribPointer(3, 2, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(offsetof(gl_vertex, texcoord)));
    glVertexAttribPointer(4, 2, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(offsetof(gl_vertex, texcoord1)));
    glVertexAttribPointer(5, 4, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(offsetof(gl_vertex, tangent)));
    for (GLuint i = 0; i < 6; ++i) glEnableVertexAttribArray(i);
}

// The program of the two shaders above; 0 with the compiler's words in `log`.
inline GLuint link_shading_program(std::string& log) {
    auto compile = [&](GLenum kind, const char* text) {
        const GLuint shader = glCreateShader(kind);
        glShaderSource(shader, 1, &text, nullptr);
        glCompileShader(shader);
        char words[2048] = "";
        glGetShaderInfoLog(shader, sizeof words, nullptr, words);
        log += words;
        return shader;
    };
    const GLuint program = glCreateProgram();
    const GLuint vertex = compile(GL_VERTEX_SHADER, vertex_shader);
    const GLuint fragment = compile(GL_FRAGMENT_SHADER, fragment_shader);
    glAttachShader(program, vertex);
    glAttachShader(program, fragment);
    glLinkProgram(program);
    glDeleteShader(vertex);
    glDeleteShader(fragment);
    GLint linked = 0;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked) return program;
    char words[2048] = "";
    glGetProgramInfoLog(program, sizeof words, nullptr, words);
    log += words;
    glDeleteProgram(program);
    return 0;
}

// A 4x multisampled colour and depth frame buffer, and a plain one that
// resolve() blits it into and leaves bound for reading.
class multisampled_target {
public:
    multisampled_target(int width, int height) : width_(width), height_(height) {
        GLint samples = 0;
        glGetIntegerv(GL_MAX_SAMPLES, &samples);
        if (samples < 4) return;
        glGenFramebuffers(2, framebuffers_);
        glGenRenderbuffers(3, renderbuffers_);
        glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers_[0]);
        glRenderbufferStorageMultisample(GL_RENDERBUFFER, 4, GL_RGBA8, width, height);
        glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers_[1]);
        glRenderbufferStorageMultisample(GL_RENDERBUFFER, 4, GL_DEPTH_COMPONENT32F, width, height);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[0]);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, renderbuffers_[0]);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, renderbuffers_[1]);
        const bool multisampled = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
        glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers_[2]);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[1]);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, renderbuffers_[2]);
        ready_ = multisampled && glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    }
    ~multisampled_target() {
        glDeleteRenderbuffers(3, renderbuffers_);
        glDeleteFramebuffers(2, framebuffers_);
    }
    multisampled_target(const multisampled_target&) = delete;
    multisampled_target& operator=(const multisampled_target&) = delete;

    bool ready() const { return ready_; }
    // Binds the multisampled buffer for drawing.
    void bind() const {
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[0]);
        glViewport(0, 0, width_, height_);
    }
    void resolve() const {
        glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffers_[0]);
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffers_[1]);
        glBlitFramebuffer(0, 0, width_, height_, 0, 0, width_, height_, GL_COLOR_BUFFER_BIT, GL_NEAREST);
        glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffers_[1]);
    }

private:
    int width_, height_;
    bool ready_ = false;
    GLuint framebuffers_[2] = {0, 0};      // multisampled, resolved
    GLuint renderbuffers_[3] = {0, 0, 0};  // colour and depth of the first, colour of the second
};

}  // namespace mesa_peer
