// render(): the passes of one frame. Vertices are transformed and lit once
// per frame (lighting.h); triangles that reach behind the near plane or far
// off screen are clipped (clipping.h), all others go straight to the
// rasteriser.
#include "control/engine/render/renderer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <numeric>
#include <vector>

#include "control/engine/render/clipping.h"
#include "control/engine/finite.h"
#include "control/engine/render/lighting.h"
#include "control/engine/render/overlays.h"
#include "control/engine/render/prepared_model.h"
#include "control/engine/render/rasteriser.h"
#include "control/engine/render/view_transform.h"
#include "control/engine/render/worker_pool.h"

namespace engine {
namespace {

// What the helpers are laid out around: the model's bounds, or for an empty
// scene a 5 x 5 floor around the origin.
scene_extent extent_of(const prepared_model* model) {
    scene_extent extent;
    if (model && model->source && model->has_bounds) {
        extent.min = model->bounds_min;
        extent.max = model->bounds_max;
    } else {
        extent.min = glm::vec3(-2.5f, 0.0f, -2.5f);
        extent.max = glm::vec3(2.5f, 0.0f, 2.5f);
    }
    return extent;
}

constexpr int max_frame_side = 16384;

enum : std::uint32_t { behind = 1, beyond_guard = 2, invalid = 4 };

// Where a vertex lands in the frame: all that binning and culling read, and
// most of what a triangle's corner needs (the rest comes from the prepared
// vertex when the triangle is drawn). Kept small: a frame reads it for every
// corner of every triangle.
struct screen_point {
    std::int32_t fx = 0, fy = 0;  // as raster_vertex; set when `outside` is 0
    float iw = 0.0f;
    std::uint32_t outside = 0;  // the flags above; 0: ready for the rasteriser
};

rgb from_colorref(std::uint32_t c) {
    return {static_cast<float>(c & 0xFF), static_cast<float>((c >> 8) & 0xFF), static_cast<float>((c >> 16) & 0xFF)};
}

std::uint32_t pixel_of(const rgb& c) {
    return static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 |
           static_cast<std::uint32_t>(c.b);
}

// A material's own light, linear: its emissive colour decoded, times its
// strength; held to 1 unless `unbounded` (tone-mapped materials).
constexpr float most_emissive_strength = 1e4f;
glm::vec3 emitted_light(const material& source, bool unbounded) {
    if (!all_finite(source.emissive)) return glm::vec3(0.0f);
    const float strength = std::isnan(source.emissive_strength)
                               ? 1.0f
                               : std::clamp(source.emissive_strength, 0.0f, most_emissive_strength);
    const glm::vec3 light = srgb_to_linear(glm::clamp(source.emissive, 0.0f, 1.0f)) * strength;
    return unbounded ? light : glm::min(light, glm::vec3(1.0f));
}

// A texture's placement as drawn: the second set only where the model has
// one, and a transform of finite numbers (else none).
texture_transform drawn_placement(const texture_transform& given, bool second_set) {
    texture_transform t;
    t.uv_set = given.uv_set == 1 && second_set ? 1 : 0;
    if (all_finite(given.u_row) && all_finite(given.v_row)) t.u_row = given.u_row, t.v_row = given.v_row;
    return t;
}

// One white texel: a texture that changes no colour.
const picture& white_picture() {
    static const picture white{1, 1, {0xFFFFFFFFu}};
    return white;
}

struct material_slot {
    reflectance light;
    surface look[2];  // untextured corners, textured corners
    bool transparent[2] = {false, false};
    bool unlit = false;
    pixel_shading shading;  // the looks point here when light is worked out per pixel
    glm::vec3 base_linear{0.0f};  // light.diffuse decoded
    bool physical = false;  // a physically based material, lit with `physically`
    physical_shading physically;
};

// Scratch memory reused from frame to frame.
struct scratch {
    std::vector<float> depth;
    std::vector<screen_point> points;  // one a vertex
    std::vector<rgb> colours;          // one a vertex, when corners carry colours
    std::vector<rgb> back;             // the same, lit on the back side, for two-sided faces
    std::vector<rgb> bases;            // one a vertex: its own colour in linear light, lit per pixel
    std::vector<std::pair<float, std::uint32_t>> order;
    std::vector<overlay_line> lines;
    std::vector<std::uint32_t> samples;  // four colours a pixel, anti-aliased
    std::vector<std::int32_t> spans;     // two a row, for the samples
    // Bands of the frame: per triangle the first and last band it may
    // cover; the triangles each band draws, band after band, in model order.
    std::vector<std::uint16_t> reach;
    std::vector<std::uint32_t> binned;
    std::vector<std::uint32_t> band_first;  // where each band's triangles begin in `binned`; one more at the end
    std::vector<std::uint32_t> piece_counts;
    std::vector<std::uint8_t> row_band;  // each row's band

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
          raster_(target.pixels, target.stride, target.width, target.height, depth_buffer(mem, target, !s.fast_renderer)),
          transform_(make_view_transform(view, target.width, target.height)),
          clip_(target.width, target.height, near_plane(transform_)) {
        read_settings();
        dot_size_ = dot_size_for(target.width, target.height);
        if (!s.fast_renderer) {
            scratch::fit(mem.samples, 4 * static_cast<std::size_t>(target.width) * target.height);
            scratch::fit(mem.spans, 2 * static_cast<std::size_t>(target.height));
            raster_.set_samples(mem.samples.data(), mem.spans.data());
        }
    }

    void draw(worker_pool* pool);

private:
    // Four depths a pixel with anti-aliasing, one without.
    static float* depth_buffer(scratch& mem, const frame& target, bool smooth_edges) {
        scratch::fit(mem.depth, (smooth_edges ? 4 : 1) * static_cast<std::size_t>(target.width) * target.height);
        return mem.depth.data();
    }
    // Depth is 1 / distance, so a near plane this close costs no precision.
    // It follows the camera, not the model: one stray vertex far away must
    // not push it out past the rest.
    static float near_plane(const view_transform& t) { return std::max(1e-4f * t.distance, 1e-30f); }
    void read_settings();
    void make_materials();
    void vertex_stage(worker_pool* pool);
    bool bin_triangles(worker_pool* pool, int bands);
    void vertex_range(std::size_t first, std::size_t end);
    void draw_passes();
    bool solid() const {
        return settings_.mode == render_mode::solid || settings_.mode == render_mode::solid_wireframe;
    }
    void shade_triangles(bool depth_only);
    void order_transparent();
    void overlay_lines();
    void triangle(std::size_t t, const surface& look, bool depth_only);
    void turn_to_back(raster_vertex (&corners)[3], const std::uint32_t* index) const;
    [[gnu::noinline]] void mapped_triangle(std::size_t t, const surface& look, bool front);
    void clipped_triangle(std::size_t t, const surface& look, bool depth_only);
    void transparent_pass();
    void model_lines();
    void overlays();
    void light_markers();
    void world_line(const glm::vec3& from, const glm::vec3& to, rgb from_colour, rgb to_colour, depth_test test);
    void vertex_line(std::uint32_t a, std::uint32_t b, const rgb* colour, depth_test test);
    void vertex_dot(std::uint32_t v, const rgb* colour, depth_test test);
    clip_point clip_of(const glm::vec3& world, const rgb& colour, const glm::vec2& uv) const;
    clip_point corner_of(std::uint32_t index) const;
    raster_vertex raster_corner(std::uint32_t index) const;
    bool drawn_from_behind(std::size_t t) const { return !cull_ || model_->open(t); }
    rgb vertex_colour(std::size_t index, const glm::vec3& normal) const;
    void set_shading(material_slot& slot, const glm::vec3& emitted) const;
    void set_physical(material_slot& slot, const material& source) const;
    glm::vec3 base_colour(std::size_t index) const;

    const prepared_model* model_;
    view_settings settings_;
    scratch& mem_;
    // Every pixel is written through raster_, in the order of the passes in
    // draw(): a rasteriser that sorts primitives into tiles and draws tiles
    // on threads can take its place if each tile keeps that order.
    rasteriser raster_;
    view_transform transform_;
    clip_volume clip_;
    lighting lighting_;
    std::vector<material_slot> slots_;  // [0] the default material, [m + 1] the model's material m
    rgb background_;
    scene_extent extent_;
    glm::vec3 centre_{0.0f};
    float radius_ = 1.0f;
    bool cull_ = true;        // back faces of closed parts are skipped
    bool two_sided_ = false;  // back faces are lit on their own side
    bool per_pixel_ = false;  // light worked out at every pixel, in linear light
    bool has_model_ = false;
    bool corner_colours_ = true;   // lines or dots take the vertices' colours
    bool coloured_corners_ = false;  // the vertex stage colours every vertex (mem_.colours)
    bool vertex_colours_ = false;  // the model's own vertex colours are the base
    bool second_set_ = false;      // some surface reads the second set of texture coordinates
    int dot_size_ = 4;             // dot_size_for the frame
    // Drawing one band of several: the band, and whether its triangles were
    // binned (else every triangle is tried); -1 when the frame is drawn whole.
    int band_ = -1;
    bool binned_ = false;
};

// A band's number fits in a byte of mem_.reach.
constexpr int max_bands = 255;

// How many pieces 0..count is cut into for the pool's threads: one without
// a pool, or when there is little to do.
int piece_count(const worker_pool* pool, std::size_t count) {
    constexpr std::size_t least = 16384;  // below this, a thread costs more than it saves
    return pool && count >= 2 * least
               ? static_cast<int>(std::min<std::size_t>(4 * static_cast<std::size_t>(pool->threads()), count / least))
               : 1;
}

// Runs work(piece, first, end) over 0..count cut into `pieces`, on the pool's
// threads (on the caller's alone for one piece).
template <class Work>
void for_pieces(worker_pool* pool, int pieces, std::size_t count, const Work& work) {
    auto bounds = [&](int i) { return count * static_cast<std::size_t>(i) / static_cast<std::size_t>(pieces); };
    if (pieces <= 1 || !pool) {
        for (int i = 0; i < pieces; ++i) work(i, bounds(i), bounds(i + 1));
        return;
    }
    pool->run(pieces, [&](int i) { work(i, bounds(i), bounds(i + 1)); });
}

template <class Work>
void in_pieces(worker_pool* pool, std::size_t count, const Work& work) {
    for_pieces(pool, piece_count(pool, count), count,
               [&](int, std::size_t first, std::size_t end) { work(first, end); });
}

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

    extent_ = extent_of(model_);
    centre_ = 0.5f * (extent_.min + extent_.max);
    radius_ = 0.5f * glm::length(extent_.max - extent_.min);
    if (!std::isfinite(radius_) || radius_ <= 0.0f) radius_ = 0.5f * extent_.size();

    lighting_ = make_lighting(s.lights, s.light_scale, s.specular, transform_.forward);
    per_pixel_ = !s.fast_renderer && lighting_.count > 0;
    corner_colours_ = s.mode == render_mode::wireframe || s.mode == render_mode::points ||
                      (model_ && (!model_->lines.empty() || !model_->loose_points.empty()));
    vertex_colours_ = model_ && model_->has_vertex_colours && !s.use_default_material;
    raster_.set_bilinear(s.bilinear_textures);
    raster_.set_mipmaps(!s.fast_renderer);
    const float distance = glm::length(transform_.eye - centre_);
    raster_.set_fog(s.show_fog, distance - radius_, distance + 2.0f * radius_, background_);
}

// `emitted`: the material's own light, linear.
void frame_drawer::set_shading(material_slot& slot, const glm::vec3& emitted) const {
    pixel_shading& s = slot.shading;
    s.count = lighting_.count;
    for (int i = 0; i < lighting_.count; ++i) {
        s.towards[i] = lighting_.lights[i].towards;
        s.colour[i] = lighting_.lights[i].colour;
        s.half[i] = lighting_.lights[i].half;
    }
    s.ambient = lighting_.ambient;
    s.specular = lighting_.specular;
    s.specular_colour = srgb_to_linear(glm::clamp(slot.light.specular, 0.0f, 1.0f));
    s.shininess = slot.light.shininess;
    s.set_faint();
    slot.base_linear = srgb_to_linear(glm::clamp(slot.light.diffuse, 0.0f, 1.0f));
    s.emissive = emitted;
}

// The same directional lights as the other materials; the environment
// takes the place of their ambient light.
void frame_drawer::set_physical(material_slot& slot, const material& source) const {
    slot.physical = true;
    physical_shading& p = slot.physically;
    p.count = lighting_.count;
    for (int i = 0; i < lighting_.count; ++i) {
        p.towards[i] = lighting_.lights[i].towards;
        p.colour[i] = lighting_.lights[i].colour;
    }
    p.to_eye = -transform_.forward;
    p.finish_lights();
    p.environment = studio_strength * settings_.light_scale;
    p.studio = &studio();
    p.metallic = std::isnan(source.metallic) ? 0.0f : std::clamp(source.metallic, 0.0f, 1.0f);
    p.roughness = std::isnan(source.roughness) ? 1.0f : std::clamp(source.roughness, 0.0f, 1.0f);
}

void frame_drawer::make_materials() {
    const model* m = model_->source;
    slots_.assign(m->materials.size() + 1, material_slot{});
    if (per_pixel_) {
        set_shading(slots_[0], glm::vec3(0.0f));
        for (surface& look : slots_[0].look) look.shading = &slots_[0].shading;
    }
    for (std::size_t i = 0; i < m->materials.size(); ++i) {
        const material& source = m->materials[i];
        material_slot& slot = slots_[i + 1];
        if (!settings_.use_default_material) {
            slot.light.diffuse = all_finite(source.diffuse) ? source.diffuse : glm::vec3(0.8f);
            slot.light.specular = all_finite(source.specular) ? source.specular : glm::vec3(0.0f);
            slot.light.shininess =
                std::isnan(source.shininess) ? 32.0f : std::clamp(source.shininess, 1.0f, 2048.0f);
        }
        const bool own_look = !settings_.use_default_material;
        // With transparency off, or for an opaque material, alpha counts for nothing.
        const alpha_use alpha = !own_look || !settings_.show_transparency ? alpha_use::opaque : source.alpha;
        const float opacity =
            alpha == alpha_use::opaque || std::isnan(source.opacity) ? 1.0f : std::clamp(source.opacity, 0.0f, 1.0f);
        auto texture_of = [&](int index) -> const picture* {
            if (!settings_.show_textures || !own_look || index < 0 || static_cast<std::size_t>(index) >= m->textures.size())
                return nullptr;
            const picture& p = m->textures[static_cast<std::size_t>(index)];
            return !p.empty() && p.pixels.size() >= static_cast<std::size_t>(p.width) * p.height ? &p : nullptr;
        };
        const picture* texture = texture_of(source.diffuse_texture);
        const bool texture_alpha =
            texture && (alpha == alpha_use::mask ||
                        (alpha != alpha_use::opaque && model_->texture_has_alpha[static_cast<std::size_t>(source.diffuse_texture)]));
        slot.unlit = own_look && source.unlit;
        const bool physical = own_look && source.physical && !slot.unlit && lighting_.count > 0;
        // Tone-mapped, a physically based material's own light may pass 1.
        if (per_pixel_ && !slot.unlit) set_shading(slot, own_look ? emitted_light(source, physical) : glm::vec3(0.0f));
        if (physical) set_physical(slot, source);
        const bool second_set = !m->geometry.texcoords1.empty();
        for (int textured = 0; textured < 2; ++textured) {
            surface& look = slot.look[textured];
            look.opacity = opacity;
            look.texture = textured ? texture : nullptr;
            look.texture_alpha = textured && texture_alpha;
            look.wrap_u = source.wrap_u;
            look.wrap_v = source.wrap_v;
            if (own_look && all_finite(source.emissive)) {
                const glm::vec3 e = 255.0f * (source.emissive_strength == 1.0f ? glm::clamp(source.emissive, 0.0f, 1.0f)
                                                                                 : linear_to_srgb(emitted_light(source, false)));
                look.emissive = {e.r, e.g, e.b};
                look.glow = textured ? texture_of(source.emissive_texture) : nullptr;
                look.glow_wrap_u = source.emissive_wrap_u;
                look.glow_wrap_v = source.emissive_wrap_v;
            }
            if (slot.shading.count > 0) look.shading = &slot.shading;
            if (look.shading && slot.physical) {
                look.physical = &slot.physically;
                look.metal_rough = textured ? texture_of(source.metal_rough_texture) : nullptr;
                look.metal_rough_wrap_u = source.metal_rough_wrap_u;
                look.metal_rough_wrap_v = source.metal_rough_wrap_v;
                look.occlusion = textured ? texture_of(source.occlusion_texture) : nullptr;
                look.occlusion_strength =
                    std::isnan(source.occlusion_strength) ? 1.0f : std::clamp(source.occlusion_strength, 0.0f, 1.0f);
                look.occlusion_wrap_u = source.occlusion_wrap_u;
                look.occlusion_wrap_v = source.occlusion_wrap_v;
                // Tangents are prepared only when some material has a normal map.
                look.normal_map = textured && !model_->tangents.empty() ? texture_of(source.normal_texture) : nullptr;
                look.normal_scale = std::clamp(finite_or(source.normal_scale, 1.0f), -1e3f, 1e3f);
                look.normal_wrap_u = source.normal_wrap_u;
                look.normal_wrap_v = source.normal_wrap_v;
            }
            // The other maps need the texture coordinates, which the pixel
            // loop reads with a texture: white stands in for a missing one.
            if (!look.texture && (look.glow || look.metal_rough || look.occlusion || look.normal_map))
                look.texture = &white_picture();
            if (textured) {
                look.texture_uv = drawn_placement(source.diffuse_uv, second_set);
                look.glow_uv = drawn_placement(source.emissive_uv, second_set);
                look.metal_rough_uv = drawn_placement(source.metal_rough_uv, second_set);
                look.occlusion_uv = drawn_placement(source.occlusion_uv, second_set);
                look.normal_uv = drawn_placement(source.normal_uv, second_set);
                auto placed = [](const picture* map, const texture_transform& t) {
                    return map && (t.uv_set == 1 || t.moves());
                };
                look.placed = placed(look.texture, look.texture_uv) || placed(look.glow, look.glow_uv) ||
                              placed(look.metal_rough, look.metal_rough_uv) || placed(look.occlusion, look.occlusion_uv) ||
                              placed(look.normal_map, look.normal_uv);
                second_set_ = second_set_ || (look.placed && (look.texture_uv.uv_set | look.glow_uv.uv_set |
                                                               look.metal_rough_uv.uv_set | look.occlusion_uv.uv_set |
                                                               look.normal_uv.uv_set));
            }
            if (alpha == alpha_use::mask) {
                look.alpha_cutoff = std::isnan(source.alpha_cutoff) ? 0.5f : std::max(source.alpha_cutoff, 0.0f);
                slot.transparent[textured] = false;
            } else {
                slot.transparent[textured] = opacity < 1.0f || look.texture_alpha;
            }
        }
    }
}

// The one place the vertex stage colours a vertex: its material's or its
// own colour, lit with the normal given (the back side's for two-sided faces).
glm::vec3 frame_drawer::base_colour(std::size_t index) const {
    return model_->has_vertex_colours && !settings_.use_default_material
               ? model_->vertex_colours[index]
               : slots_[static_cast<std::size_t>(model_->vertices[index].material + 1)].light.diffuse;
}

rgb frame_drawer::vertex_colour(std::size_t index, const glm::vec3& normal) const {
    const material_slot& m = slots_[static_cast<std::size_t>(model_->vertices[index].material + 1)];
    const glm::vec3 base = base_colour(index);
    // A physically based material is lit at its corners with the BRDF it is
    // lit with at every pixel (the fast renderer's approximation of it).
    const glm::vec3 c = m.unlit      ? base
                        : m.physical ? linear_to_srgb(neutral_tone(
                                           m.physically.shade(srgb_to_linear(glm::clamp(base, 0.0f, 1.0f)), normal)))
                                     : lighting_.shade(base, m.light, normal);
    return {c.r * 255.0f, c.g * 255.0f, c.b * 255.0f};
}

void frame_drawer::vertex_stage(worker_pool* pool) {
    const std::size_t n = model_->vertices.size();
    // Lit at every pixel, a vertex needs its colour only for lines and dots
    // drawn with it, and on unlit materials.
    coloured_corners_ = !per_pixel_ || corner_colours_ ||
                        std::any_of(slots_.begin(), slots_.end(), [](const material_slot& slot) { return slot.unlit; });
    scratch::fit(mem_.points, n);
    scratch::fit(mem_.colours, coloured_corners_ ? n : 0);
    scratch::fit(mem_.back, coloured_corners_ && two_sided_ ? n : 0);
    scratch::fit(mem_.bases, per_pixel_ && vertex_colours_ ? n : 0);
    in_pieces(pool, n, [this](std::size_t first, std::size_t end) { vertex_range(first, end); });
}

// Sorts the triangles into the bands they may cover, from the rows the
// rasteriser may draw them on, so that a band reads only its own triangles.
// Triangles that are culled, degenerate or on no row of the frame reach
// none; those that need clipping, all. Each band keeps the model's order,
// so a pixel comes out as if the frame were drawn whole. Two passes over
// pieces of the model: count, then place. False, with nothing placed, when
// the lists would be long (over 4M places) and the triangles take more than
// two places each on average: many cross several bands, or need clipping
// and so reach all. A large model seen from inside would otherwise need
// many bytes a triangle more; the bands then try every triangle instead.
bool frame_drawer::bin_triangles(worker_pool* pool, int bands) {
    const std::size_t count = model_->triangle_count();
    scratch::fit(mem_.reach, count);
    const int height = raster_.height();
    // Each row's band: band b holds rows height * b / bands .. height * (b + 1) / bands - 1.
    scratch::fit(mem_.row_band, static_cast<std::size_t>(height));
    for (int b = 0; b < bands; ++b)
        std::fill(mem_.row_band.begin() + height * b / bands, mem_.row_band.begin() + height * (b + 1) / bands,
                  static_cast<std::uint8_t>(b));
    const std::uint8_t* row_band = mem_.row_band.data();
    auto band_of_row = [&](int row) { return row_band[std::clamp(row, 0, height - 1)]; };
    constexpr std::uint16_t none = 0xFFFF;
    const std::uint16_t every = static_cast<std::uint16_t>(bands - 1);  // from band 0 to the last
    const int pieces = piece_count(pool, count);
    const std::size_t band_count = static_cast<std::size_t>(bands);
    mem_.piece_counts.assign(static_cast<std::size_t>(pieces) * band_count, 0);
    // Plain pointers: the stores below could otherwise alias the vectors
    // and make every read go through them again.
    const std::uint32_t* triangles = model_->triangles.data();
    const screen_point* points = mem_.points.data();
    std::uint16_t* reaches = mem_.reach.data();
    // Each piece counts on its own stack and writes its counts once: the
    // pieces' counts lie side by side, and threads adding to one cache line
    // would take turns owning it.
    for_pieces(pool, pieces, count, [&](int piece, std::size_t first, std::size_t end) {
        std::uint32_t counts[max_bands] = {};
        for (std::size_t t = first; t < end; ++t) {
            const std::uint32_t* index = triangles + 3 * t;
            const screen_point& a = points[index[0]];
            const screen_point& b = points[index[1]];
            const screen_point& c = points[index[2]];
            std::uint16_t reach = every;
            if (!(a.outside | b.outside | c.outside)) {
                const std::int64_t area = signed_area(a, b, c);
                if (area == 0 || (area > 0 && !drawn_from_behind(t))) {
                    reaches[t] = none;
                    continue;
                }
                const int top = raster_.first_pixel(std::min({a.fy, b.fy, c.fy}));
                const int bottom = raster_.last_pixel(std::max({a.fy, b.fy, c.fy}));
                if (bottom < std::max(top, 0) || top >= height) {
                    reaches[t] = none;
                    continue;
                }
                reach = static_cast<std::uint16_t>(band_of_row(top) << 8 | band_of_row(bottom));
            }
            reaches[t] = reach;
            for (int band = reach >> 8; band <= (reach & 0xFF); ++band) ++counts[band];
        }
        std::copy_n(counts, band_count, &mem_.piece_counts[static_cast<std::size_t>(piece) * band_count]);
    });
    std::uint64_t places = 0;
    for (const std::uint32_t n : mem_.piece_counts) places += n;
    if (places > std::max<std::uint64_t>(2 * static_cast<std::uint64_t>(count), 1u << 22)) return false;
    // Band by band, and within a band piece by piece: each piece's part of
    // a band starts where the pieces before it end.
    scratch::fit(mem_.band_first, band_count + 1);
    std::uint32_t total = 0;
    for (std::size_t band = 0; band < band_count; ++band) {
        mem_.band_first[band] = total;
        for (int piece = 0; piece < pieces; ++piece) {
            std::uint32_t& n = mem_.piece_counts[static_cast<std::size_t>(piece) * band_count + band];
            const std::uint32_t own = n;
            n = total;  // from here on: where the piece writes its next triangle of the band
            total += own;
        }
    }
    mem_.band_first[band_count] = total;
    scratch::fit(mem_.binned, total);
    std::uint32_t* binned = mem_.binned.data();
    for_pieces(pool, pieces, count, [&](int piece, std::size_t first, std::size_t end) {
        std::uint32_t next[max_bands];
        std::copy_n(&mem_.piece_counts[static_cast<std::size_t>(piece) * band_count], band_count, next);
        for (std::size_t t = first; t < end; ++t) {
            const std::uint16_t reach = reaches[t];
            if (reach == none) continue;
            for (int band = reach >> 8; band <= (reach & 0xFF); ++band)
                binned[next[band]++] = static_cast<std::uint32_t>(t);
        }
    });
    return true;
}

// Each vertex depends on nothing but itself: ranges may go to threads.
void frame_drawer::vertex_range(std::size_t first, std::size_t end) {
    const std::vector<render_vertex>& in = model_->vertices;
    const float low_x = -guard_pixels, high_x = clip_.right;
    const float low_y = -guard_pixels, high_y = clip_.bottom;
    for (std::size_t i = first; i < end; ++i) {
        const render_vertex& v = in[i];
        screen_point& out = mem_.points[i];
        const glm::vec3 h = transform_.apply(model_->position_of(v));
        out.outside = 0;
        if (!all_finite(h)) {
            out.outside = invalid;
        } else if (!(h.z >= clip_.near)) {
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
        if (coloured_corners_) {
            mem_.colours[i] = vertex_colour(i, v.normal);
            if (two_sided_) mem_.back[i] = vertex_colour(i, -v.normal);
        }
        if (per_pixel_ && vertex_colours_) {
            const glm::vec3 base = srgb_to_linear(glm::clamp(model_->vertex_colours[i], 0.0f, 1.0f));
            mem_.bases[i] = {base.r, base.g, base.b};
        }
    }
}

// A triangle's corner as the rasteriser takes it, the front side's.
raster_vertex frame_drawer::raster_corner(std::uint32_t index) const {
    const screen_point& p = mem_.points[index];
    const render_vertex& v = model_->vertices[index];
    raster_vertex r;
    r.fx = p.fx, r.fy = p.fy, r.iw = p.iw;
    if (coloured_corners_) r.colour = mem_.colours[index];
    const glm::vec2 uv = model_->texcoord_of(v);
    r.u = uv.x, r.v = uv.y;
    if (second_set_) {
        const glm::vec2 uv1 = model_->texcoord1_of(v);
        r.u1 = uv1.x, r.v1 = uv1.y;
    }
    if (per_pixel_) {
        if (vertex_colours_) {
            r.base = mem_.bases[index];
        } else {
            const glm::vec3& base = slots_[static_cast<std::size_t>(v.material + 1)].base_linear;
            r.base = {base.r, base.g, base.b};
        }
        r.nx = v.normal.x, r.ny = v.normal.y, r.nz = v.normal.z;
    }
    return r;
}

inline void frame_drawer::triangle(std::size_t t, const surface& look, bool depth_only) {
    const std::uint32_t* index = &model_->triangles[3 * t];
    const screen_point& pa = mem_.points[index[0]];
    const screen_point& pb = mem_.points[index[1]];
    const screen_point& pc = mem_.points[index[2]];
    if (pa.outside | pb.outside | pc.outside) {
        clipped_triangle(t, look, depth_only);
        return;
    }
    const std::int64_t area = signed_area(pa, pb, pc);
    const bool front = area < 0;
    if (!front && !(area > 0 && drawn_from_behind(t))) return;
    if (look.normal_map && !depth_only) {
        mapped_triangle(t, look, front);
        return;
    }
    raster_vertex corners[3] = {raster_corner(index[0]), raster_corner(index[1]), raster_corner(index[2])};
    const raster_vertex &a = corners[0], &b = corners[1], &c = corners[2];
    if (front) {  // reversed to the rasteriser's orientation
        if (depth_only)
            raster_.fill_depth(a, c, b);
        else
            raster_.fill(a, c, b, look);
        return;
    }
    if (!depth_only && two_sided_) turn_to_back(corners, index);
    if (depth_only)
        raster_.fill_depth(a, b, c);
    else
        raster_.fill(a, b, c, look);
}

// A two-sided face seen from behind is lit on its back: the back's colours,
// the normals turned round.
void frame_drawer::turn_to_back(raster_vertex (&corners)[3], const std::uint32_t* index) const {
    for (int k = 0; k < 3; ++k) {
        if (coloured_corners_) corners[k].colour = mem_.back[index[k]];
        corners[k].nx = -corners[k].nx, corners[k].ny = -corners[k].ny, corners[k].nz = -corners[k].nz;
    }
}

// triangle() for a surface with a normal map, kept out of it so that the
// others' triangles take no more than a test.
void frame_drawer::mapped_triangle(std::size_t t, const surface& look, bool front) {
    const std::uint32_t* index = &model_->triangles[3 * t];
    raster_vertex corners[3] = {raster_corner(index[0]), raster_corner(index[1]), raster_corner(index[2])};
    corner_tangents tangents;
    if (front) {  // reversed to the rasteriser's orientation
        for (int k = 0; k < 3; ++k) tangents.at[k] = model_->tangents[index[k ? 3 - k : 0]];
        raster_.fill(corners[0], corners[2], corners[1], look, &tangents);
        return;
    }
    // On the back the whole frame turns with the normal (the bitangent too,
    // through w), so that a normal map's bump seen from behind is a dent.
    const float side = two_sided_ ? -1.0f : 1.0f;
    if (two_sided_) turn_to_back(corners, index);
    for (int k = 0; k < 3; ++k) tangents.at[k] = side * model_->tangents[index[k]];
    raster_.fill(corners[0], corners[1], corners[2], look, &tangents);
}

clip_point frame_drawer::clip_of(const glm::vec3& world, const rgb& colour, const glm::vec2& uv) const {
    const glm::vec3 h = transform_.apply(world);
    clip_point p;
    p.x = h.x, p.y = h.y, p.w = h.z;
    p.colour = colour;
    p.u = uv.x, p.v = uv.y;
    return p;
}

// A triangle corner for clipping, with what light per pixel needs.
clip_point frame_drawer::corner_of(std::uint32_t index) const {
    const raster_vertex s = raster_corner(index);
    clip_point p = clip_of(model_->position_of(model_->vertices[index]), s.colour, glm::vec2(s.u, s.v));
    p.u1 = s.u1, p.v1 = s.v1;
    p.base = s.base;
    p.nx = s.nx, p.ny = s.ny, p.nz = s.nz;
    if (!model_->tangents.empty()) {
        const glm::vec4& t = model_->tangents[index];
        p.tx = t.x, p.ty = t.y, p.tz = t.z, p.tw = t.w;
    }
    return p;
}

// A triangle with a corner outside the guard band or behind the near plane:
// clipped, then drawn as a fan.
void frame_drawer::clipped_triangle(std::size_t t, const surface& look, bool depth_only) {
    const std::uint32_t* index = &model_->triangles[3 * t];
    for (int k = 0; k < 3; ++k)
        if (mem_.points[index[k]].outside & invalid) return;
    clip_point polygon[max_clipped_corners];
    for (int k = 0; k < 3; ++k) polygon[k] = corner_of(index[k]);
    const double det = facing_determinant(polygon);
    const bool front = det < 0.0;
    if (!(det != 0.0) || (!front && !drawn_from_behind(t))) return;
    if (!front && two_sided_ && !depth_only)
        for (int k = 0; k < 3; ++k) {
            if (coloured_corners_) polygon[k].colour = mem_.back[index[k]];
            polygon[k].nx = -polygon[k].nx, polygon[k].ny = -polygon[k].ny, polygon[k].nz = -polygon[k].nz;
            polygon[k].tx = -polygon[k].tx, polygon[k].ty = -polygon[k].ty, polygon[k].tz = -polygon[k].tz;
            polygon[k].tw = -polygon[k].tw;
        }

    const int count = clip_polygon(clip_, polygon, 3);
    if (count < 3) return;
    raster_vertex r[max_clipped_corners];
    for (int i = 0; i < count; ++i)
        if (!to_raster_vertex(clip_, polygon[i], r[i])) return;
    auto tangent = [&](int i) { return glm::vec4(polygon[i].tx, polygon[i].ty, polygon[i].tz, polygon[i].tw); };
    for (int i = 1; i + 1 < count; ++i) {
        const int second = front ? i + 1 : i, third = front ? i : i + 1;
        if (depth_only) {
            raster_.fill_depth(r[0], r[second], r[third]);
        } else {
            const corner_tangents tangents{{tangent(0), tangent(second), tangent(third)}};
            raster_.fill(r[0], r[second], r[third], look, &tangents);
        }
    }
}

// Opaque triangles; transparent ones wait for transparent_pass.
void frame_drawer::shade_triangles(bool depth_only) {
    auto draw = [&](std::size_t t) {
        const material_slot& slot = slots_[static_cast<std::size_t>(model_->material_of(t) + 1)];
        const int k = model_->textured(t);
        if (!slot.transparent[k]) triangle(t, slot.look[k], depth_only);
    };
    if (binned_) {
        const std::uint32_t* in_band = mem_.binned.data();
        const std::size_t band = static_cast<std::size_t>(band_);
        for (std::uint32_t i = mem_.band_first[band]; i < mem_.band_first[band + 1]; ++i) draw(in_band[i]);
        return;
    }
    const std::size_t count = model_->triangle_count();
    for (std::size_t t = 0; t < count; ++t) draw(t);
}

// The transparent triangles back to front by the distance of each one's
// centre, once for all bands.
void frame_drawer::order_transparent() {
    mem_.order.clear();
    // Most models have no transparent material: no pass over the triangles.
    if (std::none_of(slots_.begin(), slots_.end(),
                     [](const material_slot& slot) { return slot.transparent[0] || slot.transparent[1]; }))
        return;
    const std::size_t count = model_->triangle_count();
    for (std::size_t t = 0; t < count; ++t) {
        const material_slot& slot = slots_[static_cast<std::size_t>(model_->material_of(t) + 1)];
        if (!slot.transparent[model_->textured(t)]) continue;
        float w = 0.0f;
        for (int k = 0; k < 3; ++k) w += transform_.apply(model_->position_of(model_->vertices[model_->triangles[3 * t + k]])).z;
        if (std::isfinite(w)) mem_.order.emplace_back(w, static_cast<std::uint32_t>(t));  // the sort needs comparable keys
    }
    std::sort(mem_.order.begin(), mem_.order.end(), [](const auto& a, const auto& b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
    });
}

// Blended over what is there without hiding what lies behind.
void frame_drawer::transparent_pass() {
    for (const auto& entry : mem_.order) {
        const std::size_t t = entry.second;
        const material_slot& slot = slots_[static_cast<std::size_t>(model_->material_of(t) + 1)];
        surface look = slot.look[model_->textured(t)];
        look.blend = true;
        triangle(t, look, false);
    }
}

void frame_drawer::world_line(const glm::vec3& from, const glm::vec3& to, rgb from_colour, rgb to_colour,
                              depth_test test) {
    clip_point a = clip_of(from, from_colour, glm::vec2(0.0f)), b = clip_of(to, to_colour, glm::vec2(0.0f));
    if (!clip_line(clip_, a, b)) return;
    auto project = [](const clip_point& q) {
        line_point p;
        p.iw = 1.0f / q.w;
        p.x = q.x * p.iw, p.y = q.y * p.iw;
        p.colour = q.colour;
        return p;
    };
    raster_.line(project(a), project(b), test);
}

void frame_drawer::vertex_line(std::uint32_t a, std::uint32_t b, const rgb* colour, depth_test test) {
    const screen_point& p = mem_.points[a];
    const screen_point& q = mem_.points[b];
    if ((p.outside | q.outside) & invalid) return;
    const rgb& pc = colour ? *colour : mem_.colours[a];
    const rgb& qc = colour ? *colour : mem_.colours[b];
    if (p.outside | q.outside) {
        world_line(model_->position_of(model_->vertices[a]), model_->position_of(model_->vertices[b]), pc, qc, test);
        return;
    }
    constexpr float k = 1.0f / subpixel_scale;
    raster_.line({static_cast<float>(p.fx) * k, static_cast<float>(p.fy) * k, p.iw, pc},
                 {static_cast<float>(q.fx) * k, static_cast<float>(q.fy) * k, q.iw, qc}, test);
}

void frame_drawer::vertex_dot(std::uint32_t v, const rgb* colour, depth_test test) {
    const screen_point& p = mem_.points[v];
    if (p.outside) return;  // behind the camera, or far off screen
    constexpr float k = 1.0f / subpixel_scale;
    raster_.dot({static_cast<float>(p.fx) * k, static_cast<float>(p.fy) * k, p.iw, colour ? *colour : mem_.colours[v]},
                dot_size_, test);
}

void frame_drawer::model_lines() {
    const depth_test test = settings_.show_hidden_geometry ? depth_test::off : depth_test::on;
    const rgb wire = from_colorref(settings_.wire_colour);
    if (settings_.mode == render_mode::wireframe || settings_.mode == render_mode::solid_wireframe) {
        const rgb* colour = settings_.mode == render_mode::solid_wireframe ? &wire : nullptr;
        const std::vector<std::uint32_t>& edges = model_->edges();
        for (std::size_t i = 0; i + 1 < edges.size(); i += 2) vertex_line(edges[i], edges[i + 1], colour, test);
    }
    if (settings_.mode == render_mode::points)
        for (std::uint32_t v : model_->position_dots()) vertex_dot(v, nullptr, test);
    // The model's own lines and points show in every mode.
    for (std::size_t i = 0; i + 1 < model_->lines.size(); i += 2)
        vertex_line(model_->lines[i], model_->lines[i + 1], nullptr, test);
    for (std::uint32_t v : model_->loose_points) vertex_dot(v, nullptr, test);
    if (settings_.show_vertices) {
        const rgb colour = from_colorref(settings_.vertex_colour);
        for (std::uint32_t v : model_->position_dots()) vertex_dot(v, &colour, test);
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
}

void frame_drawer::overlay_lines() {
    for (const overlay_line& l : mem_.lines) world_line(l.from, l.to, l.colour, l.colour, depth_test::on);
}

// Rig lights as squares in their colour where they stand, each with a short
// line pointing at the model. The headlight sits in the eye: nothing to show.
void frame_drawer::light_markers() {
    if (!settings_.show_lights || settings_.lights != light_mode::rig) return;
    const lighting full = make_lighting(light_mode::rig, 1.0f, false, transform_.forward);
    for (int i = 0; i < full.count; ++i) {
        const light& l = full.lights[i];
        const glm::vec3 brightest = l.colour / std::max({l.colour.r, l.colour.g, l.colour.b});
        const rgb colour{brightest.r * 255.0f, brightest.g * 255.0f, brightest.b * 255.0f};
        const glm::vec3 at = centre_ + l.towards * (1.6f * radius_);
        world_line(at, at - l.towards * (0.5f * radius_), colour, colour, depth_test::off);
        const glm::vec3 h = transform_.apply(at);
        if (!(h.z >= clip_.near)) continue;
        const glm::vec2 pixel(h.x / h.z, h.y / h.z);
        raster_.dot({pixel.x, pixel.y, 1.0f / h.z, rgb{}}, 9, depth_test::off);
        raster_.dot({pixel.x, pixel.y, 1.0f / h.z, colour}, 7, depth_test::off);
    }
}

// What all bands share is worked out first, once: the materials, the
// vertices, the order of the transparent triangles, the overlay lines. Then
// each band draws every pass over its own rows, on the pool's threads.
void frame_drawer::draw(worker_pool* pool) {
    has_model_ = model_ != nullptr && !model_->vertices.empty();
    mem_.order.clear();
    if (has_model_) {
        make_materials();
        vertex_stage(pool);
        if (solid()) order_transparent();
        // Made once here rather than by the first band to need them, while
        // the others wait.
        if (settings_.mode != render_mode::solid && settings_.mode != render_mode::points) model_->edges();
        if (settings_.mode == render_mode::points || settings_.show_vertices) model_->position_dots();
    }
    overlays();
    const int height = raster_.height();
    // Bands of at least 32 rows, eight a thread: a model seldom fills the
    // frame evenly, and a thread that is done takes the next band while
    // another is still drawing a crowded one.
    const int bands =
        pool && pool->threads() > 1 ? std::min({8 * pool->threads(), std::max(1, height / 32), max_bands}) : 1;
    if (bands <= 1) {
        draw_passes();
        return;
    }
    const bool binned = has_model_ && (solid() || !settings_.show_hidden_geometry) && bin_triangles(pool, bands);
    // The bands with the most triangles first, so that the last to start
    // are short and the threads finish together.
    int order[max_bands];
    std::iota(order, order + bands, 0);
    if (binned)
        std::stable_sort(order, order + bands, [&](int a, int b) {
            return mem_.band_first[a + 1] - mem_.band_first[a] > mem_.band_first[b + 1] - mem_.band_first[b];
        });
    pool->run(bands, [&](int which) {
        const int band = order[which];
#if defined(__cpp_exceptions)
        try {
#endif
            frame_drawer part = *this;
            part.raster_.set_rows(height * band / bands, height * (band + 1) / bands);
            part.band_ = band;
            part.binned_ = binned;
            part.draw_passes();
#if defined(__cpp_exceptions)
        } catch (const std::bad_alloc&) {
            // Out of memory: the band keeps what was drawn so far.
        }
#endif
    });
}

void frame_drawer::draw_passes() {
    raster_.clear(pixel_of(background_), settings_.background_picture);
    if (has_model_) {
        // Wireframes and points hide what surfaces would hide, unless hidden geometry is shown.
        if (solid())
            shade_triangles(false);
        else if (!settings_.show_hidden_geometry)
            shade_triangles(true);
    }
    overlay_lines();
    if (has_model_) {
        transparent_pass();
        model_lines();
    }
    light_markers();
    raster_.resolve();
}

}  // namespace

int dot_size_for(int frame_width, int frame_height) {
    // Big enough to see at a glance in a small view, small enough that a
    // dense point cloud still shows its shape in a large one.
    const int smaller = std::max(0, std::min(frame_width, frame_height));
    return std::clamp((smaller + 50) / 100, 4, 9);
}

std::string grid_size_note(const prepared_model* prepared, const view_settings& settings, float requested) {
    return grid_spacing_note(settings.grid, requested, extent_of(prepared));
}

void render(const prepared_model* prepared, const view_settings& settings, const camera& view, frame& target,
            worker_pool* pool) {
    if (!target.pixels || target.width <= 0 || target.height <= 0 || target.stride < target.width ||
        target.width > max_frame_side || target.height > max_frame_side)
        return;
    // One scratch kept for the next frame; a second thread drawing at the
    // same time gets its own. (Not thread_local: a thread-exit destructor
    // would outlive a DLL unloaded before the thread ends.)
    static scratch kept;
    static std::atomic_flag kept_in_use = ATOMIC_FLAG_INIT;
    // Gives the kept scratch back however the frame ends, an exception of
    // any kind included: a flag left set would give every later frame
    // fresh buffers.
    struct kept_scratch {
        const bool taken = !kept_in_use.test_and_set(std::memory_order_acquire);
        ~kept_scratch() {
            if (taken) kept_in_use.clear(std::memory_order_release);
        }
    } guard;
    scratch spare;
#if defined(__cpp_exceptions)
    try {
#endif
        frame_drawer drawer(prepared, settings, view, target, guard.taken ? kept : spare);
        drawer.draw(pool);
#if defined(__cpp_exceptions)
    } catch (const std::bad_alloc&) {
        // Out of memory: the frame keeps what was drawn so far.
    }
#endif
}

}  // namespace engine
