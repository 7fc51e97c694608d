// render(): the passes of one frame. Vertices are transformed and lit once
// per frame; triangles that reach behind the near plane or far off screen
// are clipped in homogeneous coordinates, all others go straight to the
// rasteriser.
#include "control/engine/renderer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <vector>

#include "control/engine/overlays.h"
#include "control/engine/prepared_model.h"
#include "control/engine/rasteriser.h"
#include "control/engine/view_transform.h"

namespace engine {
namespace {

constexpr int max_frame_side = 16384;
// Triangles inside this margin around the frame need no clipping: their
// fixed-point coordinates stay well within the rasteriser's range.
constexpr float guard_pixels = 8192.0f;
constexpr int dot_size = 3;

enum : std::uint32_t { behind = 1, beyond_guard = 2, invalid = 4 };

struct screen_vertex : raster_vertex {
    std::uint32_t outside = 0;  // the flags above; 0: ready for the rasteriser
};

rgb from_colorref(std::uint32_t c) {
    return {static_cast<float>(c & 0xFF), static_cast<float>((c >> 8) & 0xFF), static_cast<float>((c >> 16) & 0xFF)};
}

std::uint32_t pixel_of(const rgb& c) {
    return static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 |
           static_cast<std::uint32_t>(c.b);
}

bool finite(const glm::vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

struct light {
    glm::vec3 towards{0.0f};  // unit vector from the scene to the light
    glm::vec3 colour{0.0f};   // intensity per channel, light_scale applied
    glm::vec3 half{0.0f};     // Blinn's half vector with the view direction
};

struct lighting {
    int count = 0;
    light lights[3];
    glm::vec3 ambient{0.0f};
};

// The default material answers the headlight with its own diffuse colour on
// a face turned to the camera: ambient + light = 1.
lighting make_lighting(light_mode mode, float scale, const view_transform& t) {
    lighting l;
    const glm::vec3 to_eye = -t.forward;
    auto add = [&](glm::vec3 towards, glm::vec3 colour) {
        light& x = l.lights[l.count++];
        x.towards = glm::normalize(towards);
        x.colour = colour * scale;
        x.half = glm::normalize(x.towards + to_eye);
        if (!finite(x.half)) x.half = x.towards;  // light straight behind the model
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

struct material_slot {
    glm::vec3 diffuse{0.8f};
    glm::vec3 specular{0.5f};
    float shininess = 32.0f;
    surface look[2];  // untextured corners, textured corners
    bool transparent[2] = {false, false};
};

struct clip_point {
    float x = 0.0f, y = 0.0f, w = 0.0f;  // homogeneous pixel coordinates
    rgb colour;
    float u = 0.0f, v = 0.0f;
};

clip_point mix(const clip_point& a, const clip_point& b, float t) {
    clip_point c;
    c.x = a.x + (b.x - a.x) * t, c.y = a.y + (b.y - a.y) * t, c.w = a.w + (b.w - a.w) * t;
    c.colour = {a.colour.r + (b.colour.r - a.colour.r) * t, a.colour.g + (b.colour.g - a.colour.g) * t,
                a.colour.b + (b.colour.b - a.colour.b) * t};
    c.u = a.u + (b.u - a.u) * t, c.v = a.v + (b.v - a.v) * t;
    return c;
}

std::int32_t to_fixed(float pixel) {
    // Rounds to the nearest 1/16 pixel; the offset keeps the cast's input positive.
    return static_cast<std::int32_t>(static_cast<double>(pixel) * subpixel_scale + 1048576.5) - 1048576;
}

// Scratch memory reused from frame to frame.
struct scratch {
    std::vector<float> depth;
    std::vector<screen_vertex> vertices;
    std::vector<rgb> back;
    std::vector<std::uint32_t> transparent;
    std::vector<std::pair<float, std::uint32_t>> order;
    std::vector<overlay_line> lines;

    template <class T>
    static void fit(std::vector<T>& v, std::size_t n) {
        if (v.capacity() > 4 * n + 4096) std::vector<T>().swap(v);  // give back what a larger model took
        v.resize(n);
    }
};

class frame_drawer {
public:
    frame_drawer(const prepared_model* p, const view_settings& s, const camera& view, frame& target, scratch& mem)
        : model_(p && p->source ? p : nullptr),
          settings_(s),
          mem_(mem),
          raster_(target.pixels, target.stride, target.width, target.height, depth_buffer(mem, target)),
          width_(target.width),
          height_(target.height),
          transform_(make_view_transform(view, target.width, target.height)) {
        read_settings();
    }

    void draw();

private:
    static float* depth_buffer(scratch& mem, const frame& target) {
        scratch::fit(mem.depth, static_cast<std::size_t>(target.width) * target.height);
        return mem.depth.data();
    }
    void read_settings();
    void make_materials();
    void vertex_stage();
    void shade_triangles(bool depth_only);
    void triangle(std::size_t t, const surface& look, bool depth_only);
    void clipped_triangle(std::size_t t, const surface& look, bool depth_only);
    void transparent_pass();
    void model_lines();
    void overlays();
    void light_markers();
    void world_line(const glm::vec3& from, const glm::vec3& to, rgb from_colour, rgb to_colour, depth_test test);
    void vertex_line(std::uint32_t a, std::uint32_t b, const rgb* colour, depth_test test);
    void vertex_dot(std::uint32_t v, const rgb* colour, depth_test test);
    clip_point clip_of(const glm::vec3& world, const rgb& colour, const glm::vec2& uv) const;
    bool drawn_from_behind(std::size_t t) const { return !cull_ || model_->triangle_open[t]; }
    rgb shade(const render_vertex& v, const glm::vec3& normal) const;

    const prepared_model* model_;
    view_settings settings_;
    scratch& mem_;
    rasteriser raster_;
    int width_, height_;
    view_transform transform_;
    lighting lighting_;
    std::vector<material_slot> slots_;  // [0] the default material, [m + 1] the model's material m
    rgb background_;
    scene_extent extent_;
    glm::vec3 centre_{0.0f};
    float radius_ = 1.0f;
    float near_ = 1e-3f;
    bool cull_ = true;        // back faces of closed parts are skipped
    bool two_sided_ = false;  // back faces are lit on their own side
};

void frame_drawer::read_settings() {
    view_settings& s = settings_;
    // Numbers cast to the enumerations may name no mode: read as the defaults.
    if (static_cast<int>(s.mode) < 1 || static_cast<int>(s.mode) > 4) s.mode = render_mode::solid;
    if (static_cast<int>(s.lights) < 0 || static_cast<int>(s.lights) > 2) s.lights = light_mode::headlight;
    if (static_cast<int>(s.grid) < 0 || static_cast<int>(s.grid) > 3) s.grid = grid_mode::none;
    s.light_scale = std::isnan(s.light_scale) ? 1.0f : std::clamp(s.light_scale, 0.0f, 16.0f);
    background_ = from_colorref(s.background);
    cull_ = !s.show_hidden_geometry;
    // Open surfaces show the side the camera sees, lit on that side.
    two_sided_ = (s.show_hidden_geometry || (model_ && model_->has_open_surfaces)) && s.lights != light_mode::unlit;

    if (model_ && model_->has_bounds) {
        extent_.min = model_->bounds_min;
        extent_.max = model_->bounds_max;
    } else {
        extent_.min = glm::vec3(-2.5f, 0.0f, -2.5f);
        extent_.max = glm::vec3(2.5f, 0.0f, 2.5f);
    }
    centre_ = 0.5f * (extent_.min + extent_.max);
    radius_ = 0.5f * glm::length(extent_.max - extent_.min);
    if (!std::isfinite(radius_) || radius_ <= 0.0f) radius_ = 0.5f * extent_.size();
    // Depth is 1 / distance, so a near plane this close costs no precision.
    // It follows the camera, not the model: one stray vertex far away must
    // not push it out past the rest.
    near_ = std::max(1e-4f * transform_.distance, 1e-30f);

    lighting_ = make_lighting(s.lights, s.light_scale, transform_);
    raster_.set_bilinear(s.bilinear_textures);
    const float distance = glm::length(transform_.eye - centre_);
    raster_.set_fog(s.show_fog, distance - radius_, distance + 2.0f * radius_, background_);
}

void frame_drawer::make_materials() {
    const model* m = model_->source;
    slots_.assign(m->materials.size() + 1, material_slot{});
    for (std::size_t i = 0; i < m->materials.size(); ++i) {
        const material& source = m->materials[i];
        material_slot& slot = slots_[i + 1];
        if (!settings_.use_default_material) {
            slot.diffuse = finite(source.diffuse) ? source.diffuse : glm::vec3(0.8f);
            slot.specular = finite(source.specular) ? source.specular : glm::vec3(0.0f);
            slot.shininess = std::isnan(source.shininess) ? 32.0f : std::clamp(source.shininess, 1.0f, 2048.0f);
        }
        const float opacity =
            settings_.use_default_material || !settings_.show_transparency || std::isnan(source.opacity)
                ? 1.0f
                : std::clamp(source.opacity, 0.0f, 1.0f);
        const picture* texture = nullptr;
        bool texture_alpha = false;
        const int index = source.diffuse_texture;
        if (settings_.show_textures && !settings_.use_default_material && index >= 0 &&
            static_cast<std::size_t>(index) < m->textures.size()) {
            const picture& p = m->textures[index];
            if (!p.empty() && p.pixels.size() >= static_cast<std::size_t>(p.width) * p.height) {
                texture = &p;
                texture_alpha = settings_.show_transparency && model_->texture_has_alpha[index];
            }
        }
        for (int textured = 0; textured < 2; ++textured) {
            surface& look = slot.look[textured];
            look.opacity = opacity;
            look.texture = textured ? texture : nullptr;
            look.texture_alpha = textured && texture_alpha;
            slot.transparent[textured] = opacity < 1.0f || look.texture_alpha;
        }
    }
}

rgb frame_drawer::shade(const render_vertex& v, const glm::vec3& normal) const {
    const material_slot& m = slots_[static_cast<std::size_t>(v.material + 1)];
    const glm::vec3 base = model_->has_vertex_colours && !settings_.use_default_material ? v.colour : m.diffuse;
    glm::vec3 c = base;
    if (lighting_.count > 0 && normal != glm::vec3(0.0f)) {
        glm::vec3 diffuse = lighting_.ambient, specular(0.0f);
        for (int i = 0; i < lighting_.count; ++i) {
            const light& l = lighting_.lights[i];
            const float d = glm::dot(normal, l.towards);
            if (d <= 0.0f) continue;
            diffuse += d * l.colour;
            if (settings_.specular) {
                const float h = glm::dot(normal, l.half);
                if (h > 0.0f) specular += std::exp2(m.shininess * std::log2(h)) * l.colour;
            }
        }
        c = base * diffuse + m.specular * specular;
    }
    return {c.r * 255.0f, c.g * 255.0f, c.b * 255.0f};
}

void frame_drawer::vertex_stage() {
    const std::vector<render_vertex>& in = model_->vertices;
    const std::size_t n = in.size();
    scratch::fit(mem_.vertices, n);
    scratch::fit(mem_.back, two_sided_ ? n : 0);
    const float low_x = -guard_pixels, high_x = static_cast<float>(width_) + guard_pixels;
    const float low_y = -guard_pixels, high_y = static_cast<float>(height_) + guard_pixels;
    for (std::size_t i = 0; i < n; ++i) {
        const render_vertex& v = in[i];
        screen_vertex& out = mem_.vertices[i];
        const glm::vec3 h = transform_.apply(v.position);
        out.outside = 0;
        if (!finite(h)) {
            out.outside = invalid;
        } else if (!(h.z >= near_)) {
            out.outside = behind;
        } else {
            out.iw = 1.0f / h.z;
            const float x = h.x * out.iw, y = h.y * out.iw;
            if (x < low_x || x > high_x || y < low_y || y > high_y) {
                out.outside = beyond_guard;
            } else {
                out.fx = to_fixed(x);
                out.fy = to_fixed(y);
            }
        }
        out.colour = shade(v, v.normal);
        out.u = v.texcoord.x;
        out.v = v.texcoord.y;
        if (two_sided_) mem_.back[i] = shade(v, -v.normal);
    }
}

inline void frame_drawer::triangle(std::size_t t, const surface& look, bool depth_only) {
    const std::uint32_t* index = &model_->triangles[3 * t];
    const screen_vertex& a = mem_.vertices[index[0]];
    const screen_vertex& b = mem_.vertices[index[1]];
    const screen_vertex& c = mem_.vertices[index[2]];
    if (a.outside | b.outside | c.outside) {
        clipped_triangle(t, look, depth_only);
        return;
    }
    const std::int64_t area = signed_area(a, b, c);
    if (area < 0) {  // front face: reversed to the rasteriser's orientation
        if (depth_only)
            raster_.fill_depth(a, c, b);
        else
            raster_.fill(a, c, b, look);
    } else if (area > 0 && drawn_from_behind(t)) {
        if (depth_only) {
            raster_.fill_depth(a, b, c);
        } else if (two_sided_) {
            raster_vertex back[3] = {a, b, c};
            for (int k = 0; k < 3; ++k) back[k].colour = mem_.back[index[k]];
            raster_.fill(back[0], back[1], back[2], look);
        } else {
            raster_.fill(a, b, c, look);
        }
    }
}

clip_point frame_drawer::clip_of(const glm::vec3& world, const rgb& colour, const glm::vec2& uv) const {
    const glm::vec3 h = transform_.apply(world);
    clip_point p;
    p.x = h.x, p.y = h.y, p.w = h.z;
    p.colour = colour;
    p.u = uv.x, p.v = uv.y;
    return p;
}

// Sutherland-Hodgman against the near plane and the guard band, then a fan.
void frame_drawer::clipped_triangle(std::size_t t, const surface& look, bool depth_only) {
    const std::uint32_t* index = &model_->triangles[3 * t];
    clip_point polygon[2][12];
    for (int k = 0; k < 3; ++k)
        if (mem_.vertices[index[k]].outside & invalid) return;
    for (int k = 0; k < 3; ++k) {
        const render_vertex& v = model_->vertices[index[k]];
        polygon[0][k] = clip_of(v.position, mem_.vertices[index[k]].colour, v.texcoord);
    }
    // The sign of det[x y w] gives the facing even with corners behind the eye.
    const clip_point* p = polygon[0];
    const double det = double(p[0].x) * (double(p[1].y) * p[2].w - double(p[2].y) * p[1].w) -
                       double(p[0].y) * (double(p[1].x) * p[2].w - double(p[2].x) * p[1].w) +
                       double(p[0].w) * (double(p[1].x) * p[2].y - double(p[2].x) * p[1].y);
    const bool front = det < 0.0;
    if (!(det != 0.0) || (!front && !drawn_from_behind(t))) return;
    if (!front && two_sided_ && !depth_only)
        for (int k = 0; k < 3; ++k) polygon[0][k].colour = mem_.back[index[k]];

    const float right = static_cast<float>(width_) + guard_pixels, bottom = static_cast<float>(height_) + guard_pixels;
    auto distance = [&](int plane, const clip_point& q) {
        switch (plane) {
            case 0:
                return q.w - near_;
            case 1:
                return q.x + guard_pixels * q.w;
            case 2:
                return right * q.w - q.x;
            case 3:
                return q.y + guard_pixels * q.w;
            default:
                return bottom * q.w - q.y;
        }
    };
    int count = 3, from = 0;
    for (int plane = 0; plane < 5 && count >= 3; ++plane) {
        const clip_point* in = polygon[from];
        clip_point* out = polygon[1 - from];
        int kept = 0;
        for (int i = 0; i < count; ++i) {
            const clip_point& a = in[i];
            const clip_point& b = in[(i + 1) % count];
            const float da = distance(plane, a), db = distance(plane, b);
            if (da >= 0.0f) out[kept++] = a;
            if ((da >= 0.0f) != (db >= 0.0f)) out[kept++] = mix(a, b, da / (da - db));
        }
        count = kept;
        from = 1 - from;
    }
    if (count < 3) return;

    raster_vertex r[12];
    for (int i = 0; i < count; ++i) {
        const clip_point& q = polygon[from][i];
        if (!(q.w > 0.0f)) return;
        r[i].iw = 1.0f / q.w;
        const float x = std::clamp(q.x * r[i].iw, -guard_pixels, right);
        const float y = std::clamp(q.y * r[i].iw, -guard_pixels, bottom);
        if (!std::isfinite(x) || !std::isfinite(y)) return;
        r[i].fx = to_fixed(x), r[i].fy = to_fixed(y);
        r[i].colour = q.colour;
        r[i].u = q.u, r[i].v = q.v;
    }
    for (int i = 1; i + 1 < count; ++i) {
        const raster_vertex& b = front ? r[i + 1] : r[i];
        const raster_vertex& c = front ? r[i] : r[i + 1];
        if (depth_only)
            raster_.fill_depth(r[0], b, c);
        else
            raster_.fill(r[0], b, c, look);
    }
}

// Opaque triangles; transparent ones are put aside for transparent_pass.
void frame_drawer::shade_triangles(bool depth_only) {
    const std::size_t count = model_->triangle_material.size();
    const int* materials = model_->triangle_material.data();
    const std::uint8_t* textured = model_->triangle_textured.data();
    mem_.transparent.clear();
    for (std::size_t t = 0; t < count; ++t) {
        const material_slot& slot = slots_[static_cast<std::size_t>(materials[t] + 1)];
        const int k = textured[t];
        if (slot.transparent[k]) {
            if (!depth_only) mem_.transparent.push_back(static_cast<std::uint32_t>(t));
            continue;
        }
        triangle(t, slot.look[k], depth_only);
    }
}

// Back to front by the distance of each triangle's centre, blended over
// what is there without hiding what lies behind.
void frame_drawer::transparent_pass() {
    mem_.order.clear();
    for (std::uint32_t t : mem_.transparent) {
        float w = 0.0f;
        for (int k = 0; k < 3; ++k) w += transform_.apply(model_->vertices[model_->triangles[3 * t + k]].position).z;
        if (std::isfinite(w)) mem_.order.emplace_back(w, t);  // the sort needs comparable keys
    }
    std::sort(mem_.order.begin(), mem_.order.end(), [](const auto& a, const auto& b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
    });
    for (const auto& entry : mem_.order) {
        const std::size_t t = entry.second;
        const material_slot& slot = slots_[static_cast<std::size_t>(model_->triangle_material[t] + 1)];
        surface look = slot.look[model_->triangle_textured[t]];
        look.blend = true;
        triangle(t, look, false);
    }
}

void frame_drawer::world_line(const glm::vec3& from, const glm::vec3& to, rgb from_colour, rgb to_colour,
                              depth_test test) {
    clip_point a = clip_of(from, from_colour, glm::vec2(0.0f)), b = clip_of(to, to_colour, glm::vec2(0.0f));
    if (!std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(a.w) || !std::isfinite(b.x) ||
        !std::isfinite(b.y) || !std::isfinite(b.w))
        return;
    // Liang-Barsky in homogeneous coordinates: near plane and guard band.
    const float right = static_cast<float>(width_) + guard_pixels, bottom = static_cast<float>(height_) + guard_pixels;
    auto planes = [&](const clip_point& q, float d[5]) {
        d[0] = q.w - near_, d[1] = q.x + guard_pixels * q.w, d[2] = right * q.w - q.x;
        d[3] = q.y + guard_pixels * q.w, d[4] = bottom * q.w - q.y;
    };
    float da[5], db[5], t0 = 0.0f, t1 = 1.0f;
    planes(a, da);
    planes(b, db);
    for (int i = 0; i < 5; ++i) {
        if (da[i] < 0.0f && db[i] < 0.0f) return;
        if (da[i] < 0.0f)
            t0 = std::max(t0, da[i] / (da[i] - db[i]));
        else if (db[i] < 0.0f)
            t1 = std::min(t1, da[i] / (da[i] - db[i]));
    }
    if (!(t0 <= t1)) return;
    auto project = [](const clip_point& q) {
        line_point p;
        p.iw = 1.0f / q.w;
        p.x = q.x * p.iw, p.y = q.y * p.iw;
        p.colour = q.colour;
        return p;
    };
    const clip_point ca = mix(a, b, t0), cb = mix(a, b, t1);
    if (!(ca.w > 0.0f) || !(cb.w > 0.0f)) return;
    raster_.line(project(ca), project(cb), test);
}

void frame_drawer::vertex_line(std::uint32_t a, std::uint32_t b, const rgb* colour, depth_test test) {
    const screen_vertex& p = mem_.vertices[a];
    const screen_vertex& q = mem_.vertices[b];
    if ((p.outside | q.outside) & invalid) return;
    const rgb& pc = colour ? *colour : p.colour;
    const rgb& qc = colour ? *colour : q.colour;
    if (p.outside | q.outside) {
        world_line(model_->vertices[a].position, model_->vertices[b].position, pc, qc, test);
        return;
    }
    constexpr float k = 1.0f / subpixel_scale;
    raster_.line({static_cast<float>(p.fx) * k, static_cast<float>(p.fy) * k, p.iw, pc},
                 {static_cast<float>(q.fx) * k, static_cast<float>(q.fy) * k, q.iw, qc}, test);
}

void frame_drawer::vertex_dot(std::uint32_t v, const rgb* colour, depth_test test) {
    const screen_vertex& p = mem_.vertices[v];
    if (p.outside) return;  // behind the camera, or far off screen
    constexpr float k = 1.0f / subpixel_scale;
    raster_.dot({static_cast<float>(p.fx) * k, static_cast<float>(p.fy) * k, p.iw, colour ? *colour : p.colour},
                dot_size, test);
}

void frame_drawer::model_lines() {
    const depth_test test = settings_.show_hidden_geometry ? depth_test::off : depth_test::on;
    const rgb wire = from_colorref(settings_.wire_colour);
    if (settings_.mode == render_mode::wireframe || settings_.mode == render_mode::solid_wireframe) {
        const rgb* colour = settings_.mode == render_mode::solid_wireframe ? &wire : nullptr;
        const std::vector<std::uint32_t>& edges = model_->edges;
        for (std::size_t i = 0; i + 1 < edges.size(); i += 2) vertex_line(edges[i], edges[i + 1], colour, test);
    }
    if (settings_.mode == render_mode::points)
        for (std::uint32_t v : model_->position_dots) vertex_dot(v, nullptr, test);
    // The model's own lines and points show in every mode.
    for (std::size_t i = 0; i + 1 < model_->lines.size(); i += 2)
        vertex_line(model_->lines[i], model_->lines[i + 1], nullptr, test);
    for (std::uint32_t v : model_->loose_points) vertex_dot(v, nullptr, test);
    if (settings_.show_vertices) {
        const rgb colour = from_colorref(settings_.vertex_colour);
        for (std::uint32_t v : model_->position_dots) vertex_dot(v, &colour, test);
    }
}

void frame_drawer::overlays() {
    // Helper lines stand out from the background: lighter on dark, darker on light.
    const float luminance = 0.3f * background_.r + 0.59f * background_.g + 0.11f * background_.b;
    const float toward = luminance < 128.0f ? 255.0f : 0.0f;
    auto tint = [&](float amount) {
        return rgb{background_.r + (toward - background_.r) * amount, background_.g + (toward - background_.g) * amount,
                   background_.b + (toward - background_.b) * amount};
    };
    std::vector<overlay_line>& lines = mem_.lines;
    lines.clear();
    add_grid(settings_.grid, settings_.grid_size, extent_, transform_.eye, tint(0.4f), lines);
    if (settings_.show_bounding_box && model_ && model_->has_bounds)
        add_box(model_->bounds_min, model_->bounds_max, tint(0.85f), lines);
    if (settings_.show_world_axis) add_world_axes(extent_, lines);
    for (const overlay_line& l : lines) world_line(l.from, l.to, l.colour, l.colour, depth_test::on);
}

// Rig lights as squares in their colour where they stand, each with a short
// line pointing at the model. The headlight sits in the eye: nothing to show.
void frame_drawer::light_markers() {
    if (!settings_.show_lights || settings_.lights != light_mode::rig) return;
    const lighting full = make_lighting(light_mode::rig, 1.0f, transform_);
    for (int i = 0; i < full.count; ++i) {
        const light& l = full.lights[i];
        const glm::vec3 brightest = l.colour / std::max({l.colour.r, l.colour.g, l.colour.b});
        const rgb colour{brightest.r * 255.0f, brightest.g * 255.0f, brightest.b * 255.0f};
        const glm::vec3 at = centre_ + l.towards * (1.6f * radius_);
        world_line(at, at - l.towards * (0.5f * radius_), colour, colour, depth_test::off);
        const glm::vec3 h = transform_.apply(at);
        if (!(h.z >= near_)) continue;
        const glm::vec2 pixel(h.x / h.z, h.y / h.z);
        raster_.dot({pixel.x, pixel.y, 1.0f / h.z, rgb{}}, 9, depth_test::off);
        raster_.dot({pixel.x, pixel.y, 1.0f / h.z, colour}, 7, depth_test::off);
    }
}

void frame_drawer::draw() {
    const picture* picture = settings_.background_picture;
    raster_.clear(pixel_of(background_), picture);
    const bool has_model = model_ != nullptr && !model_->vertices.empty();
    const bool solid = settings_.mode == render_mode::solid || settings_.mode == render_mode::solid_wireframe;
    mem_.transparent.clear();
    if (has_model) {
        make_materials();
        vertex_stage();
        // Wireframes and points hide what surfaces would hide, unless hidden geometry is shown.
        if (solid)
            shade_triangles(false);
        else if (!settings_.show_hidden_geometry)
            shade_triangles(true);
    }
    overlays();
    if (has_model) {
        transparent_pass();
        model_lines();
    }
    light_markers();
}

}  // namespace

void render(const prepared_model* prepared, const view_settings& settings, const camera& view, frame& target) {
    if (!target.pixels || target.width <= 0 || target.height <= 0 || target.stride < target.width ||
        target.width > max_frame_side || target.height > max_frame_side)
        return;
    // One scratch kept for the next frame; a second thread drawing at the
    // same time gets its own. (Not thread_local: a thread-exit destructor
    // would outlive a DLL unloaded before the thread ends.)
    static scratch kept;
    static std::atomic_flag kept_in_use = ATOMIC_FLAG_INIT;
    const bool own = kept_in_use.test_and_set(std::memory_order_acquire);
    scratch spare;
#if defined(__cpp_exceptions)
    try {
#endif
        frame_drawer drawer(prepared, settings, view, target, own ? spare : kept);
        drawer.draw();
#if defined(__cpp_exceptions)
    } catch (const std::bad_alloc&) {
        // Out of memory: the frame keeps what was drawn so far.
    }
#endif
    if (!own) kept_in_use.clear(std::memory_order_release);
}

}  // namespace engine
