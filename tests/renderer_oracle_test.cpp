// The software renderer against Mesa's llvmpipe (through OSMesa), drawing
// the same scenes: the GLSL program below is the executable statement of
// the shading model, and GL's rasteriser, depth test, blending and 4x
// multisampling stand for ours. Both sides start from the same model data;
// nothing of the GL side comes from the renderer's output.
//
// The shading model, as the shaders implement it:
// - Colours (material, vertex and texel colours, and the frame) are sRGB
//   encoded, 0..1. Lighting happens in linear light: decode with sRGB's
//   piecewise curve (c <= 0.04045: c / 12.92, else ((c + 0.055) / 1.055)^2.4),
//   light, encode with its inverse, round to 8 bits.
// - base = decode(material diffuse, or the vertex colour where the model
//   has vertex colours), times decode(texel) on textured triangles. A model
//   without materials is 0.8 grey with a 0.5 grey highlight of shininess 32.
// - n = the normal interpolated perspective-correctly, made unit length at
//   each pixel; negated on the back of a two-sided (open) surface.
// - lit = base * (ambient + sum max(0, n.L) C)
//       + decode(specular) * sum [n.L > 0] max(0, n.H)^shininess C,
//   the highlight only with view_settings::specular on; L, C (light_scale
//   applied), H (Blinn's half vector, one per light and frame) and ambient
//   as make_lighting gives them.
// - pixel = encode(clamp(lit + decode(emissive), 0, 1)).
// - A physically based material (glTF metallic-roughness): glTF's BRDF
//   (Lambert, GGX, height-correlated Smith, Schlick with f0 = mix(0.04,
//   base, metallic)) under the same lights, each of irradiance pi C, plus
//   the studio environment (its harmonics for diffuse light, its
//   prefiltered levels read with textureLod at roughness x 5 along the
//   reflected view, times f0 x scale + bias from the split-sum table), the
//   view along the camera's axis; then PBR Neutral tone mapping, encode.
//   The environment's data are the renderer's own, read by GL's filtering.
// - A glTF file's texture may be read through its second set of texture
//   coordinates, and moved by KHR_texture_transform: uv' = T R S uv in
//   glTF's uv (v down the picture), R turning counter-clockwise as the
//   picture is seen. Emissive light is times its strength; above 1 it shows
//   only through the tone mapping, elsewhere it is held to 1.
// - A normal texture (physically based materials): before the lighting,
//   n = normalize(T x + B y + N z) with (x, y, z) the texel's 2 rgb - 1, x and
//   y times its scale, T the interpolated tangent made unit length, B =
//   cross(N, T) w; on the back of a two-sided surface the result is negated.
// - Unlit: the stored colour as it is, nothing decoded.
// - A glTF file's colour factors and vertex colours (COLOR_0) are linear
//   already: the GL side takes the file's numbers and does not decode them,
//   while the renderer draws the model as the glTF reader made it.
// - Transparent surfaces come after the opaque ones, back to front, depth
//   tested but not written, blended on the stored 8-bit values:
//   under + (colour - under) * opacity.
// - Edges take four coverage samples per pixel, the colour once per pixel.
//
// The comparison: the mean absolute difference per channel over the pixels
// either picture covers (the background is equal by construction and would
// only dilute it) at most 1.5 of 255, and at most 0.5 % of the frame's pixels
// off by more than 16 in some channel (edges, where sample positions differ).
// A failed comparison leaves PNG files of both pictures and their difference
// in the working folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "control/engine/formats/model_loaders.h"
#include "control/engine/model/texture_levels.h"
#include "control/engine/render/lighting.h"
#include "control/engine/render/physical_shading.h"
#include "control/engine/render/view_transform.h"
#include "tests/gltf_builder.h"
#include "tests/mesa_shading.h"
#include "tests/render_canvas.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

// OSMesa keeps the frame buffer it makes for a context's memory to the end
// of the process: not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libOSMesa.so\n"; }

namespace {

using namespace engine;

constexpr int width = 320, height = 240;
constexpr std::uint32_t background = 0x00402818;  // COLORREF: dark blue, met by no surface here

// A scene drawn by both sides. `two_sided`: the model is an open surface,
// seen and lit from either side (a closed one shows its front faces only).
struct scene {
    std::string name;
    model m;
    view_settings settings;
    camera view;
    bool two_sided = false;
    // The renderer draws this instead of `m` where set (a glTF file as the
    // reader made it); `m` then holds the file's own linear colours.
    const model* ours = nullptr;
    bool linear_colours = false;
    // How a material's diffuse map is read, as a glTF file's
    // KHR_texture_transform says it (glTF's uv, v down the picture).
    struct file_placement {
        int material = -1;
        int uv_set = 0;
        glm::vec2 offset{0.0f}, scale{1.0f};
        float rotation = 0.0f;
    };
    std::vector<file_placement> placements;
};

glm::mat4 world_to_clip(const camera& c) { return mesa_peer::world_to_clip(c, width, height); }

using mesa_peer::gl_vertex;

// How one material reads to the GL side (-1: the default material).
struct gl_material {
    glm::vec3 diffuse{0.8f}, specular{0.5f}, emissive{0.0f};
    float shininess = 32.0f, opacity = 1.0f;
    int texture = -1;
    bool physical = false;
    float metallic = 0.0f, roughness = 1.0f;
    int metal_rough = -1;
    int occlusion = -1;
    float occlusion_strength = 1.0f;
    float emissive_strength = 1.0f;
    scene::file_placement placement;
    bool placed = false;
    int normal_map = -1;
    float normal_scale = 1.0f;
};

gl_material material_of(const scene& s, int index) {
    gl_material out;
    if (index < 0) return out;
    const material& source = s.m.materials[std::size_t(index)];
    out.diffuse = source.diffuse;
    out.specular = source.specular;
    out.emissive = source.emissive;
    out.shininess = source.shininess;
    out.opacity = s.settings.show_transparency ? source.opacity : 1.0f;
    out.texture = s.settings.show_textures ? source.diffuse_texture : -1;
    out.physical = source.physical;
    out.metallic = source.metallic;
    out.roughness = source.roughness;
    out.metal_rough = s.settings.show_textures ? source.metal_rough_texture : -1;
    out.occlusion = s.settings.show_textures ? source.occlusion_texture : -1;
    out.occlusion_strength = source.occlusion_strength;
    out.emissive_strength = source.emissive_strength;
    for (const scene::file_placement& p : s.placements)
        if (p.material == index) out.placement = p, out.placed = true;
    out.normal_map = s.settings.show_textures && source.physical ? source.normal_texture : -1;
    out.normal_scale = source.normal_scale;
    return out;
}

// Mesa's picture of a scene: a 4x multisampled frame buffer resolved into
// a plain one and read back as 0x00RRGGBB pixels, rows top-down.
class mesa_reference {
public:
    mesa_reference() : context_(width, height, mesa_peer::profile::core_3_3) {
        if (!context_.ok()) return;
        program_ = mesa_peer::link_shading_program(log_);
        target_ = std::make_unique<mesa_peer::multisampled_target>(width, height);
        glGenVertexArrays(1, &vertex_array_);
        glGenBuffers(1, &vertex_buffer_);
        load_studio();
    }
    ~mesa_reference() {
        if (!context_.ok()) return;
        glDeleteTextures(2, studio_textures_);
        glDeleteBuffers(1, &vertex_buffer_);
        glDeleteVertexArrays(1, &vertex_array_);
        target_.reset();
        glDeleteProgram(program_);
    }

    // Why no picture can be drawn, or empty.
    std::string trouble() const {
        if (!context_.ok()) return "no OSMesa core profile context";
        if (!program_) return "shaders not built: " + log_;
        return target_->ready() ? "" : "no 4x multisampled frame buffer";
    }

    std::vector<std::uint32_t> draw(const scene& s) {
        const mesh& g = s.m.geometry;
        const glm::mat4 clip = world_to_clip(s.view);
        // Triangles unrolled, each corner with the normal the renderer gives it.
        const std::vector<glm::vec3> smooth = mesa_peer::area_weighted_normals(g);
        const bool vertex_colours = !g.colors.empty() && g.colors.size() == g.positions.size();
        const bool given_tangents = !g.tangents.empty();
        std::vector<gl_vertex> corners;
        std::vector<int> material_index;
        std::vector<bool> textured, normal_mapped;
        for (std::size_t t = 0; t < g.triangle_count(); ++t) {
            const corner* c = &g.corners[3 * t];
            const glm::vec3& a = g.positions[c[0].position];
            const glm::vec3 face =
                glm::normalize(glm::cross(g.positions[c[1].position] - a, g.positions[c[2].position] - a));
            const int mat = t < g.triangle_material.size() ? g.triangle_material[t] : -1;
            const gl_material look = material_of(s, mat);
            bool has_texcoords = true;
            for (int k = 0; k < 3; ++k) {
                const bool own = c[k].texcoord < g.texcoords.size();
                has_texcoords = has_texcoords && own;
                const bool second = c[k].texcoord < g.texcoords1.size();
                corners.push_back({g.positions[c[k].position], s.settings.smoothing ? smooth[c[k].position] : face,
                                   vertex_colours ? g.colors[c[k].position] : look.diffuse,
                                   own ? g.texcoords[c[k].texcoord] : glm::vec2(0.0f),
                                   second ? g.texcoords1[c[k].texcoord] : glm::vec2(0.0f),
                                   given_tangents ? g.tangents[c[k].position] : glm::vec4(0.0f)});
            }
            material_index.push_back(mat);
            textured.push_back(has_texcoords && look.texture >= 0);
            normal_mapped.push_back(has_texcoords && look.normal_map >= 0);
        }

        std::vector<GLuint> textures(s.m.textures.size());
        glGenTextures(GLsizei(textures.size()), textures.data());
        for (std::size_t i = 0; i < textures.size(); ++i) {
            const picture& p = s.m.textures[i];
            glBindTexture(GL_TEXTURE_2D, textures[i]);
            // 0xAARRGGBB in memory is B, G, R, A; the top row goes to t = 0.
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, p.width, p.height, 0, GL_BGRA, GL_UNSIGNED_BYTE, p.pixels.data());
            const GLint filter = s.settings.bilinear_textures ? GL_LINEAR : GL_NEAREST;
            // The renderer's own smaller copies, read as GL reads mipmaps.
            const bool levels = s.settings.bilinear_textures && !s.settings.fast_renderer && !p.levels.empty();
            for (std::size_t k = 0; levels && k < p.levels.size(); ++k)
                glTexImage2D(GL_TEXTURE_2D, GLint(k + 1), GL_RGBA8, p.levels[k].width, p.levels[k].height, 0, GL_BGRA,
                             GL_UNSIGNED_BYTE, p.levels[k].pixels.data());
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, levels ? GLint(p.levels.size()) : 0);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, levels ? GL_LINEAR_MIPMAP_LINEAR : filter);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
        }

        target_->bind();
        glClearColor(float(background & 0xFF) / 255, float((background >> 8) & 0xFF) / 255,
                     float((background >> 16) & 0xFF) / 255, 1.0f);
        glClearDepth(1.0);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glEnable(GL_DEPTH_TEST);
        glDepthFunc(GL_LESS);
        glEnable(GL_MULTISAMPLE);
        if (s.two_sided) {
            glDisable(GL_CULL_FACE);
        } else {
            glEnable(GL_CULL_FACE);
            glCullFace(GL_BACK);
        }

        glUseProgram(program_);
        glBindVertexArray(vertex_array_);
        glBindBuffer(GL_ARRAY_BUFFER, vertex_buffer_);
        glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(corners.size() * sizeof(gl_vertex)), corners.data(), GL_STATIC_DRAW);
    mesa_peer::describe_gl_vertices();

        // Drawn upside down, GL's rows (bottom up) come out in the frame's
        // order (top down), and its sample positions within a pixel land
        // where the renderer's are; the faces' turn reverses with them.
        const glm::mat4 upside_down = glm::scale(glm::mat4(1.0f), glm::vec3(1.0f, -1.0f, 1.0f)) * clip;
        glFrontFace(GL_CW);
        glUniformMatrix4fv(uniform("world_to_clip"), 1, GL_FALSE, glm::value_ptr(upside_down));
        const view_transform camera_axes = make_view_transform(s.view, width, height);
        const lighting lights = make_lighting(s.settings.lights, std::clamp(s.settings.light_scale, 0.0f, 16.0f),
                                              s.settings.specular, camera_axes.forward);
        glUniform1i(uniform("light_count"), lights.count);
        for (int i = 0; i < lights.count; ++i) {
            const std::string at = "[" + std::to_string(i) + "]";
            glUniform3fv(uniform("towards" + at), 1, glm::value_ptr(lights.lights[i].towards));
            glUniform3fv(uniform("light_colour" + at), 1, glm::value_ptr(lights.lights[i].colour));
            glUniform3fv(uniform("half_vector" + at), 1, glm::value_ptr(lights.lights[i].half));
        }
        glUniform3fv(uniform("ambient"), 1, glm::value_ptr(lights.ambient));
        glUniform1i(uniform("specular_on"), lights.specular);
        glUniform1i(uniform("two_sided"), s.two_sided);
        glUniform1i(uniform("linear_colours"), s.linear_colours);
        glUniform1i(uniform("diffuse_map"), 0);
        // The studio environment as the renderer has it: the same prefiltered
        // pictures, harmonics and table, read by GL's own filtering.
        const studio_environment& room = studio();
        glUniform3fv(uniform("to_eye"), 1, glm::value_ptr(-camera_axes.forward));
        glUniform1f(uniform("environment"), studio_strength * std::clamp(s.settings.light_scale, 0.0f, 16.0f));
        glUniform3fv(uniform("diffuse_sh"), 9, glm::value_ptr(room.diffuse_sh[0]));
        glUniform1f(uniform("studio_levels"), float(room.levels.size()));
        glUniform1i(uniform("studio_map"), 1);
        glUniform1i(uniform("split_sum"), 2);
        glUniform1i(uniform("metal_rough_map"), 3);
        glUniform1i(uniform("occlusion_map"), 4);
        glUniform1i(uniform("normal_map"), 5);
        glUniform1i(uniform("derived_tangents"), !given_tangents);
        glActiveTexture(GL_TEXTURE1);
        glBindTexture(GL_TEXTURE_2D, studio_textures_[0]);
        glActiveTexture(GL_TEXTURE2);
        glBindTexture(GL_TEXTURE_2D, studio_textures_[1]);
        glActiveTexture(GL_TEXTURE0);

        auto draw_triangle = [&](std::size_t t) {
            const gl_material look = material_of(s, material_index[t]);
            glUniform1i(uniform("textured"), textured[t]);
            if (textured[t]) glBindTexture(GL_TEXTURE_2D, textures[std::size_t(look.texture)]);
            glUniform3fv(uniform("specular_colour"), 1, glm::value_ptr(look.specular));
            glUniform1f(uniform("shininess"), look.shininess);
            glUniform3fv(uniform("emissive"), 1, glm::value_ptr(look.emissive));
            glUniform1f(uniform("emissive_strength"), look.emissive_strength);
            glUniform1i(uniform("diffuse_uv_set"), look.placement.uv_set);
            glUniform1i(uniform("diffuse_uv_moved"), look.placed);
            glUniform2fv(uniform("diffuse_uv_offset"), 1, glm::value_ptr(look.placement.offset));
            glUniform1f(uniform("diffuse_uv_rotation"), look.placement.rotation);
            glUniform2fv(uniform("diffuse_uv_scale"), 1, glm::value_ptr(look.placement.scale));
            glUniform1f(uniform("opacity"), look.opacity);
            glUniform1i(uniform("physical"), look.physical && lights.count > 0);
            glUniform1f(uniform("metallic"), look.metallic);
            glUniform1f(uniform("roughness"), look.roughness);
            glUniform1i(uniform("metal_rough_mapped"), look.metal_rough >= 0);
            glUniform1i(uniform("occlusion_mapped"), look.occlusion >= 0);
            glUniform1f(uniform("occlusion_strength"), look.occlusion_strength);
            glUniform1i(uniform("normal_mapped"), normal_mapped[t] && lights.count > 0);
            glUniform1f(uniform("normal_scale"), look.normal_scale);
            for (const auto& [unit, map] : {std::pair{GL_TEXTURE3, look.metal_rough},
                                            std::pair{GL_TEXTURE4, look.occlusion},
                                            std::pair{GL_TEXTURE5, look.normal_map}}) {
                if (map < 0) continue;
                glActiveTexture(GLenum(unit));
                glBindTexture(GL_TEXTURE_2D, textures[std::size_t(map)]);
                glActiveTexture(GL_TEXTURE0);
            }
            glDrawArrays(GL_TRIANGLES, GLint(3 * t), 3);
        };
        // Opaque triangles, then the transparent ones from the farthest
        // (largest sum of corner distances along the view) to the nearest.
        glDisable(GL_BLEND);
        glDepthMask(GL_TRUE);
        std::vector<std::pair<float, std::size_t>> transparent;
        for (std::size_t t = 0; t < material_index.size(); ++t) {
            if (material_of(s, material_index[t]).opacity < 1.0f) {
                float w = 0.0f;
                for (int k = 0; k < 3; ++k) w += (clip * glm::vec4(corners[3 * t + k].position, 1.0f)).w;
                transparent.emplace_back(w, t);
            } else {
                draw_triangle(t);
            }
        }
        std::sort(transparent.begin(), transparent.end(), [](const auto& a, const auto& b) {
            return a.first > b.first || (a.first == b.first && a.second < b.second);
        });
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glDepthMask(GL_FALSE);
        for (const auto& entry : transparent) draw_triangle(entry.second);
        glDepthMask(GL_TRUE);
        glDisable(GL_BLEND);

        target_->resolve();
        std::vector<std::uint32_t> out(std::size_t(width) * height);
        glReadPixels(0, 0, width, height, GL_BGRA, GL_UNSIGNED_BYTE, out.data());
        glDeleteTextures(GLsizei(textures.size()), textures.data());
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR)) << s.name;
        for (std::uint32_t& pixel : out) pixel &= 0xFFFFFF;
        return out;
    }

private:
    GLint uniform(const std::string& name) const { return glGetUniformLocation(program_, name.c_str()); }

    // The room's levels as one mipmapped float texture (u repeats, v stops
    // at the edges), and the split-sum table.
    void load_studio() {
        const studio_environment& room = studio();
        glGenTextures(2, studio_textures_);
        glBindTexture(GL_TEXTURE_2D, studio_textures_[0]);
        for (std::size_t k = 0; k < room.levels.size(); ++k)
            glTexImage2D(GL_TEXTURE_2D, GLint(k), GL_RGBA32F, room.levels[k].width, room.levels[k].height, 0, GL_RGBA,
                         GL_FLOAT, room.levels[k].texels.data());
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, GLint(room.levels.size()) - 1);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glBindTexture(GL_TEXTURE_2D, studio_textures_[1]);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RG32F, studio_environment::lut_size, studio_environment::lut_size, 0, GL_RG,
                     GL_FLOAT, room.lut.data());
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }

    mesa_peer::context context_;
    GLuint program_ = 0;
    std::string log_;
    std::unique_ptr<mesa_peer::multisampled_target> target_;
    GLuint vertex_array_ = 0, vertex_buffer_ = 0;
    GLuint studio_textures_[2] = {0, 0};
};

// Writes <name>-engine.png, <name>-mesa.png and <name>-difference.png (the
// absolute difference per channel, times 4 so that small ones show).
void save_pictures(const std::string& name, const std::vector<std::uint32_t>& ours,
                   const std::vector<std::uint32_t>& theirs) {
    auto bytes = [](const std::vector<std::uint32_t>& pixels, auto value) {
        std::vector<unsigned char> rgb;
        for (std::size_t i = 0; i < pixels.size(); ++i)
            for (int shift : {16, 8, 0}) rgb.push_back(value(i, shift));
        return rgb;
    };
    auto write = [&](const std::string& suffix, const std::vector<unsigned char>& rgb) {
        const std::string file = name + "-" + suffix + ".png";
        if (!stbi_write_png(file.c_str(), width, height, 3, rgb.data(), width * 3))
            ADD_FAILURE() << "cannot write " << file;
    };
    auto channel = [](std::uint32_t p, int shift) { return int((p >> shift) & 0xFF); };
    write("engine", bytes(ours, [&](std::size_t i, int shift) { return channel(ours[i], shift); }));
    write("mesa", bytes(theirs, [&](std::size_t i, int shift) { return channel(theirs[i], shift); }));
    write("difference", bytes(ours, [&](std::size_t i, int shift) {
              return std::min(255, 4 * std::abs(channel(ours[i], shift) - channel(theirs[i], shift)));
          }));
}

class RendererOracle : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // llvmpipe's shortcuts for mipmaps: a level of detail per 2 x 2
        // pixels, approximated, and blending of two levels only near the
        // middle between them ("brilinear"). The renderer does none of them.
        setenv("GALLIVM_PERF", "no_rho_approx,no_brilinear,no_quad_lod", 0);
        reference_ = new mesa_reference;
    }
    static void TearDownTestSuite() {
        delete reference_;
        reference_ = nullptr;
    }

    // Draws the scene on both sides and holds the pictures to the limits above.
    static void compare(const scene& s) {
        ASSERT_EQ(reference_->trouble(), "");
        // The GL camera must put every position where the renderer does.
        const glm::mat4 clip = world_to_clip(s.view);
        for (const glm::vec3& p : s.m.geometry.positions) {
            const glm::vec4 c = clip * glm::vec4(p, 1.0f);
            glm::vec2 pixel;
            ASSERT_TRUE(project_point(s.view, width, height, p, pixel));
            ASSERT_NEAR(pixel.x, (c.x / c.w + 1.0f) * 0.5f * width, 0.01f) << s.name;
            ASSERT_NEAR(pixel.y, (1.0f - c.y / c.w) * 0.5f * height, 0.01f) << s.name;
        }

        const std::vector<std::uint32_t> theirs = reference_->draw(s);
        const std::vector<std::uint32_t> ours =
            render_canvas::draw(s.ours ? s.ours : &s.m, s.settings, s.view, width, height).pixels;
        const std::uint32_t empty = (background & 0xFF) << 16 | (background & 0xFF00) | (background >> 16 & 0xFF);
        double sum[3] = {0, 0, 0};
        long covered = 0, off = 0;
        for (std::size_t i = 0; i < ours.size(); ++i) {
            const std::uint32_t a = ours[i] & 0xFFFFFF, b = theirs[i];
            if (a == empty && b == empty) continue;
            ++covered;
            int worst = 0;
            for (int k = 0; k < 3; ++k) {
                const int d = std::abs(int((a >> (16 - 8 * k)) & 0xFF) - int((b >> (16 - 8 * k)) & 0xFF));
                sum[k] += d;
                worst = std::max(worst, d);
            }
            off += worst > 16;
        }
        ASSERT_GT(covered, 0) << s.name;
        const double mean = std::max({sum[0], sum[1], sum[2]}) / double(covered);
        const double off_share = 100.0 * double(off) / double(ours.size());
        std::printf("[ oracle   ] %-28s mean difference (r, g, b) %.2f %.2f %.2f of 255 over %ld pixels; "
                    "off by > 16: %.2f %% of the frame\n",
                    s.name.c_str(), sum[0] / covered, sum[1] / covered, sum[2] / covered, covered, off_share);
        const bool close = mean <= 1.5 && off_share <= 0.5;
        if (!close) save_pictures("oracle-" + s.name, ours, theirs);
        EXPECT_LE(mean, 1.5) << s.name << ": see oracle-" << s.name << "-*.png";
        EXPECT_LE(off_share, 0.5) << s.name << ": see oracle-" << s.name << "-*.png";
    }

    // The scene seen turned by yaw and pitch, compared under the headlight
    // and under the rig, as "<name>-headlight" and "<name>-rig".
    static void compare_in_both_light_modes(scene& s, const std::string& name, float yaw, float pitch) {
        s.view = frame_bounds(s.m.bounds_min, s.m.bounds_max);
        s.view.yaw_degrees = yaw;
        s.view.pitch_degrees = pitch;
        for (light_mode lights : {light_mode::headlight, light_mode::rig}) {
            s.settings.lights = lights;
            s.name = name + (lights == light_mode::headlight ? "-headlight" : "-rig");
            compare(s);
        }
    }

    static scene base_scene(const std::string& name) {
        scene s;
        s.name = name;
        s.settings.background = background;
        return s;
    }

    static mesa_reference* reference_;
};

mesa_reference* RendererOracle::reference_ = nullptr;

// A unit sphere: `slices` around Y, `stacks` from pole to pole, one position
// at each pole, counter-clockwise seen from outside, no materials.
model uv_sphere(int slices, int stacks) {
    model m;
    mesh& g = m.geometry;
    const float pi = 3.14159265f;
    g.positions.push_back({0.0f, 1.0f, 0.0f});
    for (int i = 1; i < stacks; ++i)
        for (int j = 0; j < slices; ++j) {
            const float theta = pi * float(i) / float(stacks), phi = 2 * pi * float(j) / float(slices);
            g.positions.push_back({std::sin(theta) * std::cos(phi), std::cos(theta), -std::sin(theta) * std::sin(phi)});
        }
    g.positions.push_back({0.0f, -1.0f, 0.0f});
    auto at = [&](int i, int j) -> std::uint32_t {
        if (i == 0) return 0;
        if (i == stacks) return std::uint32_t(g.positions.size() - 1);
        return std::uint32_t(1 + (i - 1) * slices + j % slices);
    };
    for (int i = 0; i < stacks; ++i)
        for (int j = 0; j < slices; ++j) {
            const std::uint32_t triangles[2][3] = {{at(i, j), at(i + 1, j), at(i, j + 1)},
                                                   {at(i, j + 1), at(i + 1, j), at(i + 1, j + 1)}};
            for (const auto& t : triangles) {
                if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) continue;  // the poles' fans
                for (std::uint32_t k : t) g.corners.push_back({k});
                g.triangle_material.push_back(-1);
            }
        }
    compute_bounds(m);
    return m;
}

// A quad a, b, c, d (counter-clockwise seen from its front) as two
// triangles, texture coordinates 0..1 from a to c.
void add_quad(model& m, glm::vec3 a, glm::vec3 b, glm::vec3 c, glm::vec3 d, int material) {
    mesh& g = m.geometry;
    const auto base = std::uint32_t(g.positions.size());
    g.positions.insert(g.positions.end(), {a, b, c, d});
    g.texcoords.insert(g.texcoords.end(), {{0, 0}, {1, 0}, {1, 1}, {0, 1}});
    for (std::uint32_t k : {0u, 1u, 2u, 0u, 2u, 3u}) g.corners.push_back({base + k, base + k});
    g.triangle_material.insert(g.triangle_material.end(), {material, material});
    compute_bounds(m);
}

int add_material(model& m, glm::vec3 diffuse, float opacity = 1.0f, int texture = -1) {
    material mat;
    mat.diffuse = diffuse;
    mat.opacity = opacity;
    mat.diffuse_texture = texture;
    m.materials.push_back(mat);
    return int(m.materials.size()) - 1;
}

TEST_F(RendererOracle, SmoothSphereWithHighlight) {
    for (light_mode lights : {light_mode::headlight, light_mode::rig}) {
        scene s = base_scene(lights == light_mode::headlight ? "sphere-headlight" : "sphere-rig");
        s.m = uv_sphere(40, 20);
        s.settings.lights = lights;
        s.settings.specular = true;
        s.view = frame_bounds(s.m.bounds_min, s.m.bounds_max);
        s.view.distance = 1.1f / std::sin(0.5f * glm::radians(s.view.fov_degrees));  // the sphere, not its box
        compare(s);
    }
}

// A checker of 8 x 6 texels, one cell each, in two colours whose channels
// all differ: a flipped u or v (an even count of cells) swaps the colours.
// Seen at an angle from the front and from behind, where the surface is lit
// on its back; bilinear filtering (of the stored texels, decoded after)
// turns every cell into ramps that show where texel centres lie.
TEST_F(RendererOracle, CheckeredQuadFromBothSides) {
    const struct {
        const char* name;
        float yaw;
        bool bilinear;
    } views[] = {{"quad-front", 35.0f, false}, {"quad-back", 160.0f, false}, {"quad-front-bilinear", 35.0f, true}};
    for (const auto& v : views) {
        scene s = base_scene(v.name);
        picture checker{8, 6, {}};
        for (int y = 0; y < checker.height; ++y)
            for (int x = 0; x < checker.width; ++x) checker.pixels.push_back((x + y) % 2 ? 0xFFF0A030 : 0xFF3060C0);
        s.m.textures.push_back(checker);
        add_quad(s.m, {-1.2f, -0.9f, 0.0f}, {1.2f, -0.9f, 0.0f}, {1.2f, 0.9f, 0.0f}, {-1.2f, 0.9f, 0.0f},
                 add_material(s.m, glm::vec3(1.0f), 1.0f, 0));
        s.settings.bilinear_textures = v.bilinear;
        s.two_sided = true;
        s.view = frame_bounds(s.m.bounds_min, s.m.bounds_max);
        s.view.yaw_degrees = v.yaw;
        s.view.pitch_degrees = 25.0f;
        compare(s);
    }
}

// A checkered floor running far away, seen low over it: far off, a pixel
// covers many cells, which read without mipmaps would shimmer into moire;
// with them, the two copies whose texels are nearest a pixel in size are
// blended, as GL blends them.
TEST_F(RendererOracle, FloorFarAwayReadsTheSmallerCopies) {
    scene s = base_scene("floor-mipmapped");
    picture checker{64, 64, {}};
    for (int y = 0; y < checker.height; ++y)
        for (int x = 0; x < checker.width; ++x)
            checker.pixels.push_back((x / 4 + y / 4) % 2 ? 0xFFF0A030 : 0xFF3060C0);
    s.m.textures.push_back(checker);
    make_texture_levels(s.m);
    add_quad(s.m, {-4.0f, 0.0f, 4.0f}, {4.0f, 0.0f, 4.0f}, {4.0f, 0.0f, -60.0f}, {-4.0f, 0.0f, -60.0f},
             add_material(s.m, glm::vec3(1.0f), 1.0f, 0));
    for (std::size_t i = s.m.geometry.texcoords.size() - 4; i < s.m.geometry.texcoords.size(); ++i)
        s.m.geometry.texcoords[i] *= glm::vec2(2.0f, 16.0f);
    s.two_sided = true;
    s.view.target = glm::vec3(0.0f, 0.0f, -8.0f);
    s.view.distance = 14.0f;
    s.view.yaw_degrees = 0.0f;
    s.view.pitch_degrees = 12.0f;
    compare(s);
}

// Eight shared corners: smoothing would round the cube; flat shading keeps
// each face one colour, lit by the rig with highlights.
TEST_F(RendererOracle, FlatShadedCube) {
    scene s = base_scene("cube-flat");
    s.m = render_canvas::unit_cube();
    s.settings.smoothing = false;
    s.settings.lights = light_mode::rig;
    s.settings.specular = true;
    s.view = frame_bounds(s.m.bounds_min, s.m.bounds_max);
    s.view.yaw_degrees = 40.0f;
    s.view.pitch_degrees = 30.0f;
    compare(s);
}

// A half-transparent blue pane in front of an opaque orange one, reaching
// past it so that it is blended over both the pane and the background.
TEST_F(RendererOracle, TransparentPaneBeforeOpaqueOne) {
    scene s = base_scene("panes");
    add_quad(s.m, {-1, -1, -0.4f}, {1, -1, -0.4f}, {1, 1, -0.4f}, {-1, 1, -0.4f},
             add_material(s.m, {0.9f, 0.55f, 0.2f}));
    add_quad(s.m, {-0.4f, -0.5f, 0.4f}, {1.4f, -0.5f, 0.4f}, {1.4f, 1.3f, 0.4f}, {-0.4f, 1.3f, 0.4f},
             add_material(s.m, {0.2f, 0.45f, 0.9f}, 0.5f));
    s.two_sided = true;
    s.view = frame_bounds(s.m.bounds_min, s.m.bounds_max);
    s.view.yaw_degrees = 25.0f;
    s.view.pitch_degrees = 15.0f;
    compare(s);
}

// A physically based material over texture 0, one texel of base colour,
// with `map` as texture 1 for the caller to make one of its maps.
int add_mapped_physical_material(model& m, std::uint32_t base_texel, const picture& map, float metallic,
                                 float roughness) {
    m.textures.push_back(picture{1, 1, {base_texel}});
    m.textures.push_back(map);
    const int look = add_material(m, glm::vec3(1.0f), 1.0f, 0);
    material& mat = m.materials[std::size_t(look)];
    mat.physical = true;
    mat.metallic = metallic, mat.roughness = roughness;
    return look;
}

// Physically based spheres, metallic 0..1 down the rows and roughness 0..1
// across, under each light mode: the highlights' size and strength, the
// environment's reflections and the tone mapping all show.
TEST_F(RendererOracle, PhysicalSphereGrid) {
    scene s = base_scene("physical-grid");
    const model ball = uv_sphere(32, 16);
    constexpr int n = 4;
    for (int row = 0; row < n; ++row)
        for (int column = 0; column < n; ++column) {
            material mat;
            mat.physical = true;
            mat.diffuse = linear_to_srgb(glm::vec3(0.95f, 0.64f, 0.28f));
            mat.metallic = float(row) / (n - 1);
            mat.roughness = float(column) / (n - 1);
            s.m.materials.push_back(mat);
            const glm::vec3 centre(2.3f * (float(column) - 1.5f), 2.3f * (1.5f - float(row)), 0.0f);
            const auto first = std::uint32_t(s.m.geometry.positions.size());
            for (const glm::vec3& p : ball.geometry.positions) s.m.geometry.positions.push_back(centre + p);
            for (const corner& c : ball.geometry.corners) s.m.geometry.corners.push_back({first + c.position});
            s.m.geometry.triangle_material.insert(s.m.geometry.triangle_material.end(), ball.geometry.triangle_count(),
                                                  int(s.m.materials.size()) - 1);
        }
    compute_bounds(s.m);
    compare_in_both_light_modes(s, "physical-grid", 15.0f, 10.0f);
}

// A metallic-roughness map of 4 x 2 cells, roughness (green) rising across
// and metallic (blue) 0 then 1 down, with red holding neither: each cell
// shows its own sheen only when the renderer reads the channels glTF names,
// from the same texel as GL.
TEST_F(RendererOracle, MetallicRoughnessMapReadsBlueAndGreen) {
    scene s = base_scene("metal-rough-map");
    picture map{4, 2, {}};
    for (int row = 0; row < 2; ++row)
        for (int column = 0; column < 4; ++column) {
            const std::uint32_t metallic = row ? 255 : 0, roughness = 40 + 60 * std::uint32_t(column);
            map.pixels.push_back(0xFF000000u | 0x80u << 16 | roughness << 8 | metallic);
        }
    const int look = add_mapped_physical_material(s.m, 0xFFE0B070u, map, 1.0f, 1.0f);
    s.m.materials[std::size_t(look)].metal_rough_texture = 1;
    add_quad(s.m, {-1.6f, -0.8f, 0.0f}, {1.6f, -0.8f, 0.0f}, {1.6f, 0.8f, 0.0f}, {-1.6f, 0.8f, 0.0f}, look);
    compare_in_both_light_modes(s, "metal-rough-map", 30.0f, 35.0f);
}

// A box whose faces darken towards their edges and corners by an occlusion
// map at strength 0.8: only the room's light is taken away, so the
// highlight of the headlight on the face turned to it stays.
TEST_F(RendererOracle, OcclusionMappedBox) {
    scene s = base_scene("occlusion-box");
    picture map{8, 8, {}};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const int edge = std::min({x, y, 7 - x, 7 - y});
            const std::uint32_t red = 60 + 65 * std::uint32_t(std::min(edge, 3));
            map.pixels.push_back(0xFF000000u | red << 16 | 0x20u << 8 | 0x90u);
        }
    const int look = add_mapped_physical_material(s.m, 0xFFC8C8D0u, map, 0.0f, 0.45f);
    s.m.materials[std::size_t(look)].occlusion_texture = 1;
    s.m.materials[std::size_t(look)].occlusion_strength = 0.8f;
    const glm::vec3 corner[8] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                                 {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
    for (const auto& f : {std::array{4, 5, 6, 7}, std::array{1, 0, 3, 2}, std::array{5, 1, 2, 6},
                          std::array{0, 4, 7, 3}, std::array{7, 6, 2, 3}, std::array{0, 1, 5, 4}})
        add_quad(s.m, corner[f[0]], corner[f[1]], corner[f[2]], corner[f[3]], look);
    s.settings.smoothing = false;
    s.settings.bilinear_textures = true;
    compare_in_both_light_modes(s, "occlusion-box", 35.0f, 30.0f);
}

// A glTF file of two matte quads, one lit by its base colour factor, one by
// A built file whose scene is its first two nodes, as the viewer loads it.
load_outcome load_both_nodes(gltf_builder::built_file& f, model& loaded) {
    f.doc["scenes"] = {{{"nodes", {0, 1}}}};
    const std::string text = f.text();
    return load_gltf(reinterpret_cast<const unsigned char*>(text.data()), text.size(), "", loaded);
}

// COLOR_0 times the factor: the GL side draws the file's linear numbers as
// they stand, the renderer what the reader made of them.
TEST_F(RendererOracle, GltfColourFactorAndVertexColourInLinearLight) {
    const float factor[3] = {0.5f, 0.2f, 0.8f}, vertex[3] = {0.3f, 0.9f, 0.6f};
    gltf_builder::built_file f;
    const int plain = f.matte_material({factor[0], factor[1], factor[2], 1.0});
    f.node({{"mesh", f.quad_mesh(plain)}, {"translation", {-1.1, 0.0, 0.0}}});
    f.node({{"mesh", f.quad_mesh(plain, {vertex[0], vertex[1], vertex[2]})}, {"translation", {1.1, 0.0, 0.0}}});
    model loaded;
    const load_outcome outcome = load_both_nodes(f, loaded);
    ASSERT_TRUE(outcome.ok) << outcome.message;

    scene s = base_scene("gltf-linear-colours");
    s.ours = &loaded;
    s.linear_colours = true;
    const glm::vec3 base(factor[0], factor[1], factor[2]), coloured = base * glm::vec3(vertex[0], vertex[1], vertex[2]);
    add_quad(s.m, {-2.1f, -1, 0}, {-0.1f, -1, 0}, {-0.1f, 1, 0}, {-2.1f, 1, 0}, add_material(s.m, base));
    add_quad(s.m, {0.1f, -1, 0}, {2.1f, -1, 0}, {2.1f, 1, 0}, {0.1f, 1, 0}, add_material(s.m, base));
    // Once one primitive has vertex colours, every vertex carries its colour.
    s.m.geometry.colors.assign(4, base);
    s.m.geometry.colors.insert(s.m.geometry.colors.end(), 4, coloured);
    for (material& m : s.m.materials) m.physical = true, m.metallic = 0.0f, m.roughness = 1.0f;
    compare_in_both_light_modes(s, "gltf-linear", 20.0f, 10.0f);
}

// A glTF file of two quads. The left one reads a picture of 4 x 4 distinct
// texels through TEXCOORD_1, moved by an offset, a turn and a scale: the
// other set, a turn the wrong way or a v not flipped around the transform
// each read other texels. The right one glows at three times its emissive
// colour, brought back into range by the tone mapping alone.
TEST_F(RendererOracle, GltfTextureTransformOnSecondSetAndEmissiveStrength) {
    picture cells{4, 4, {}};
    std::vector<unsigned char> rgba;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const std::uint32_t r = 30 + 70 * std::uint32_t(x), g = 30 + 70 * std::uint32_t(y),
                                b = 230 - 25 * std::uint32_t(x + y);
            cells.pixels.push_back(0xFF000000u | r << 16 | g << 8 | b);
            rgba.insert(rgba.end(), {static_cast<unsigned char>(r), static_cast<unsigned char>(g),
                                     static_cast<unsigned char>(b), 255});
        }
    std::string png;
    stbi_write_png_to_func([](void* out, void* data, int size) { static_cast<std::string*>(out)->append(static_cast<char*>(data), std::size_t(size)); },
                           &png, cells.width, cells.height, 4, rgba.data(), cells.width * 4);
    scene::file_placement placement;
    placement.uv_set = 1, placement.offset = {0.3f, -0.2f}, placement.rotation = 0.6f, placement.scale = {1.7f, 1.3f};
    const std::vector<float> second_set = {0.1f, 0.8f, 0.9f, 0.9f, 0.8f, 0.1f, 0.2f, 0.2f};  // glTF's uv
    const float emissive[3] = {0.9f, 0.5f, 0.2f}, strength = 3.0f;

    gltf_builder::built_file f;
    const gltf_builder::json transform = {{"offset", {placement.offset.x, placement.offset.y}},
                                          {"rotation", placement.rotation},
                                          {"scale", {placement.scale.x, placement.scale.y}},
                                          {"texCoord", 1}};
    f.doc["materials"].push_back(
        {{"pbrMetallicRoughness",
          {{"baseColorTexture", {{"index", f.texture(png)}, {"extensions", {{"KHR_texture_transform", transform}}}}},
           {"metallicFactor", 0.0},
           {"roughnessFactor", 0.6}}}});
    f.doc["materials"].push_back(
        {{"pbrMetallicRoughness", {{"baseColorFactor", {0.1, 0.1, 0.1, 1.0}}, {"metallicFactor", 0.0}, {"roughnessFactor", 1.0}}},
         {"emissiveFactor", {emissive[0], emissive[1], emissive[2]}},
         {"extensions", {{"KHR_materials_emissive_strength", {{"emissiveStrength", strength}}}}}});
    f.node({{"mesh", f.quad_mesh(0, {}, second_set)}, {"translation", {-1.1, 0.0, 0.0}}});
    f.node({{"mesh", f.quad_mesh(1)}, {"translation", {1.1, 0.0, 0.0}}});
    model loaded;
    const load_outcome outcome = load_both_nodes(f, loaded);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(outcome.warning, "");

    scene s = base_scene("gltf-uv-placement");
    s.ours = &loaded;
    s.linear_colours = true;
    s.m.textures.push_back(cells);
    placement.material = add_material(s.m, glm::vec3(1.0f), 1.0f, 0);
    s.placements.push_back(placement);
    add_quad(s.m, {-2.1f, -1, 0}, {-0.1f, -1, 0}, {-0.1f, 1, 0}, {-2.1f, 1, 0}, placement.material);
    const int glowing = add_material(s.m, glm::vec3(0.1f));
    add_quad(s.m, {0.1f, -1, 0}, {2.1f, -1, 0}, {2.1f, 1, 0}, {0.1f, 1, 0}, glowing);
    for (std::size_t k = 0; k < 4; ++k) s.m.geometry.texcoords1.push_back({second_set[2 * k], 1.0f - second_set[2 * k + 1]});
    s.m.geometry.texcoords1.resize(s.m.geometry.texcoords.size());
    for (material& m : s.m.materials) m.physical = true, m.metallic = 0.0f, m.roughness = 1.0f;
    s.m.materials[std::size_t(placement.material)].roughness = 0.6f;
    s.m.materials[std::size_t(glowing)].emissive = glm::vec3(emissive[0], emissive[1], emissive[2]);
    s.m.materials[std::size_t(glowing)].emissive_strength = strength;
    compare_in_both_light_modes(s, "gltf-uv-placement", 20.0f, 10.0f);
}

}  // namespace

// A 4 x 4 floor under a normal map of slanted ridges, repeated twice each
// way at scale 1.5, read from a glTF file and seen at grazing angles from
// above and, two-sided, from below. Once with the file's TANGENT, turning
// from corner to corner (its interpolation shows), once without, when the
// renderer works tangents out. The GL side takes the file's numbers: its
// tangents, or +u and +v (up the picture) from the rates of change of
// position and texture coordinate across the screen. A flipped green
// channel or handedness tilts the ridges the other way.
TEST_F(RendererOracle, NormalMappedFloorAtGrazingAngles) {
    using gltf_builder::built_file;
    constexpr int side = 32;
    constexpr float pi = 3.14159265f;
    picture map{side, side, {}};
    std::vector<std::uint8_t> rgba;
    for (int row = 0; row < side; ++row)
        for (int x = 0; x < side; ++x) {
            // Height sin(2 pi (2 x + row) / side): slopes 2k across (+x) and -k up the picture (-row).
            const float k = 0.8f * std::cos(2 * pi * float(2 * x + row) / side);
            const glm::vec3 n = glm::normalize(glm::vec3(-2 * k, k, 1.0f));
            std::uint32_t texel = 0xFF000000u;
            for (int i = 0; i < 3; ++i) {
                const auto byte = std::uint8_t(std::lround(127.5f * (n[i] + 1.0f)));
                texel |= std::uint32_t(byte) << (16 - 8 * i);
                rgba.push_back(byte);
            }
            rgba.push_back(255);
            map.pixels.push_back(texel);
        }
    std::string png;
    auto append = [](void* to, void* data, int size) {
        static_cast<std::string*>(to)->append(static_cast<const char*>(data), std::size_t(size));
    };
    stbi_write_png_to_func(append, &png, side, side, 4, rgba.data(), side * 4);

    const float base[3] = {0.75f, 0.6f, 0.45f}, metallic = 0.2f, roughness = 0.4f, scale = 1.5f;
    const std::vector<float> positions = {-2, 0, 2, 2, 0, 2, 2, 0, -2, -2, 0, -2};
    const std::vector<float> up = {0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0};
    const std::vector<std::uint16_t> corners = {0, 1, 2, 0, 2, 3};
    const std::vector<float> texcoords = {0, 2, 2, 2, 2, 0, 0, 0};  // glTF's: v down the picture
    std::vector<float> tangents;
    for (int k = 0; k < 4; ++k) {
        const float turn = glm::radians(25.0f * float(k));
        tangents.insert(tangents.end(), {std::cos(turn), 0.0f, -std::sin(turn), -1.0f});
    }
    for (const bool given : {true, false}) {
        built_file f;
        const int texture = f.texture(png);
        f.doc["materials"].push_back({{"pbrMetallicRoughness",
                                       {{"baseColorFactor", {base[0], base[1], base[2], 1.0}},
                                        {"metallicFactor", metallic}, {"roughnessFactor", roughness}}},
                                      {"normalTexture", {{"index", texture}, {"scale", scale}}},
                                      {"doubleSided", true}});
        nlohmann::json attributes = {
            {"POSITION", f.accessor(built_file::bytes_of(positions), 5126, "VEC3", 4)},
            {"NORMAL", f.accessor(built_file::bytes_of(up), 5126, "VEC3", 4)},
            {"TEXCOORD_0", f.accessor(built_file::bytes_of(texcoords), 5126, "VEC2", 4)}};
        if (given) attributes["TANGENT"] = f.accessor(built_file::bytes_of(tangents), 5126, "VEC4", 4);
        const int indices = f.accessor(built_file::bytes_of(corners), 5123, "SCALAR", 6);
        f.doc["meshes"].push_back(
            {{"primitives", {{{"attributes", attributes}, {"indices", indices}, {"material", 0}}}}});
        f.node({{"mesh", 0}});
        f.doc["scenes"] = {{{"nodes", {0}}}};
        const std::string text = f.text();
        model loaded;
        const load_outcome outcome =
            load_gltf(reinterpret_cast<const unsigned char*>(text.data()), text.size(), "", loaded);
        ASSERT_TRUE(outcome.ok) << outcome.message;

        scene s = base_scene("normal-map");
        s.ours = &loaded;
        s.linear_colours = true;
        s.two_sided = true;
        s.settings.bilinear_textures = true;
        s.m.textures.push_back(map);
        const int look = add_material(s.m, glm::vec3(base[0], base[1], base[2]));
        material& mat = s.m.materials[std::size_t(look)];
        mat.physical = true, mat.metallic = metallic, mat.roughness = roughness;
        mat.normal_texture = 0, mat.normal_scale = scale;
        make_texture_levels(s.m);  // as the loader makes them for the renderer's side
        add_quad(s.m, {-2, 0, 2}, {2, 0, 2}, {2, 0, -2}, {-2, 0, -2}, look);
        for (std::size_t k = 0; k < 4; ++k) {
            s.m.geometry.texcoords[k] = {texcoords[2 * k], 1.0f - texcoords[2 * k + 1]};  // up the picture
            if (given) s.m.geometry.tangents.push_back(glm::make_vec4(&tangents[4 * k]));
        }
        const std::string name = given ? "normal-map-given" : "normal-map-derived";
        compare_in_both_light_modes(s, name + "-above", 30.0f, 16.0f);
        compare_in_both_light_modes(s, name + "-below", 210.0f, -16.0f);
    }
}
