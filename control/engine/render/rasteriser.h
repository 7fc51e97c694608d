// Pixel work of the renderer: triangles, lines and dots into a 32-bit frame
// with a depth buffer holding 1 / distance (larger is nearer, 0 is empty).
#pragma once

#include <cstdint>

#include "control/engine/render/lighting.h"
#include "control/engine/render/physical_shading.h"
#include "control/engine/model/scene.h"

namespace engine {

// Positions carry 4 fractional bits: triangles that share an edge share its
// exact end points, so no pixel is drawn twice or left out between them.
inline constexpr int subpixel_bits = 4;
inline constexpr float subpixel_scale = 16.0f;

// A pixel coordinate in 1/16 pixel, rounded to the nearest; the offset keeps
// the cast's input positive (for coordinates above -65536).
inline std::int32_t to_fixed(float pixel) {
    return static_cast<std::int32_t>(static_cast<double>(pixel) * subpixel_scale + 1048576.5) - 1048576;
}

struct rgb {
    float r = 0.0f, g = 0.0f, b = 0.0f;  // 0..255
};

// A triangle corner in pixel space.
struct raster_vertex {
    std::int32_t fx = 0, fy = 0;  // pixel position in 1/16 pixel, y down
    float iw = 0.0f;              // 1 / distance along the view
    rgb colour;
    float u = 0.0f, v = 0.0f;  // texture coordinate, v upwards in the picture
    float u1 = 0.0f, v1 = 0.0f;  // the second set, where a surface reads it
    // For light worked out per pixel: the surface's colour in linear light
    // (0..1) and its normal in the world, the side shown's.
    rgb base;
    float nx = 0.0f, ny = 0.0f, nz = 0.0f;
};

// A normal-mapped triangle's tangents, one a corner in the order the corners
// are given: in the world (xyz) with the handedness (w), the side shown's,
// as prepared_model::tangents. Apart from raster_vertex, which every
// triangle's corners are built as, so that other surfaces pay nothing.
struct corner_tangents {
    glm::vec4 at[3];
};

// A line end or a dot in pixel space.
struct line_point {
    float x = 0.0f, y = 0.0f;  // pixels, centres at .5
    float iw = 0.0f;
    rgb colour;
};

// Twice the triangle's signed area in (1/16 pixel)^2. With y down, a
// triangle that runs counter-clockwise as seen (a front face) is negative.
// Any point type with fx and fy will do.
template <class Point>
std::int64_t signed_area(const Point& a, const Point& b, const Point& c) {
    return (std::int64_t(b.fx) - a.fx) * (std::int64_t(c.fy) - a.fy) -
           (std::int64_t(c.fx) - a.fx) * (std::int64_t(b.fy) - a.fy);
}

// How a triangle's pixels are coloured.
struct surface {
    const picture* texture = nullptr;  // multiplies the colour; must hold width * height pixels
    bool texture_alpha = false;        // the texture's alpha counts as opacity
    float opacity = 1.0f;
    bool blend = false;  // over what is there; depth tested, not written
    // At 0 or more: a pixel whose opacity is below it is left out, the others
    // drawn opaque (cut-outs such as leaves and fences).
    float alpha_cutoff = -1.0f;
    texture_wrap wrap_u = texture_wrap::repeat, wrap_v = texture_wrap::repeat;
    // Added after the texture, 0..255 per channel; times the glow texture,
    // where there is one (needs `texture`).
    rgb emissive{0.0f, 0.0f, 0.0f};
    const picture* glow = nullptr;
    texture_wrap glow_wrap_u = texture_wrap::repeat, glow_wrap_v = texture_wrap::repeat;
    // Where each texture is read: its set of texture coordinates, moved by
    // its transform. Only with `placed` set; otherwise every texture reads
    // the first set as it is.
    bool placed = false;
    texture_transform texture_uv, glow_uv, metal_rough_uv, occlusion_uv, normal_uv;
    // Set: the corners' base colours and normals are lit at every pixel
    // (emissive then comes from here, not from `emissive` above); null: the
    // corners' colours are interpolated as they are.
    const pixel_shading* shading = nullptr;
    // Set with `shading`: the material is physically based and lit by this
    // instead, its light tone-mapped (`shading` then gives only the emissive light).
    const physical_shading* physical = nullptr;
    // With `physical`: its metallic (blue) and roughness (green) times the
    // material's, read with the texture coordinates (needs `texture`).
    const picture* metal_rough = nullptr;
    texture_wrap metal_rough_wrap_u = texture_wrap::repeat, metal_rough_wrap_v = texture_wrap::repeat;
    // With `physical`: the share of the environment's light reaching a
    // point, 1 + occlusion_strength x (red - 1) (needs `texture`).
    const picture* occlusion = nullptr;
    float occlusion_strength = 1.0f;
    texture_wrap occlusion_wrap_u = texture_wrap::repeat, occlusion_wrap_v = texture_wrap::repeat;
    // With `physical`: a tangent-space normal map, its x and y times
    // normal_scale (needs `texture`, and the corners' tangents).
    const picture* normal_map = nullptr;
    float normal_scale = 1.0f;
    texture_wrap normal_wrap_u = texture_wrap::repeat, normal_wrap_v = texture_wrap::repeat;
};

enum class depth_test { off, on };

class rasteriser {
public:
    // `depth` holds width * height values, rows `width` apart.
    rasteriser(std::uint32_t* pixels, int stride, int width, int height, float* depth);

    // Linear fog by distance towards `colour`; off when end <= start.
    void set_fog(bool on, float start, float end, rgb colour);
    void set_bilinear(bool on) { bilinear_ = on; }
    // Textures seen from afar read through their smaller copies (with
    // bilinear reading only).
    void set_mipmaps(bool on) { mipmaps_ = on; }
    // Only rows first..end-1 are written (a band of the frame drawn on its
    // own thread). A pixel comes out the same whatever the band: nothing is
    // carried from one row to the next.
    // Anti-aliasing: four samples per pixel, each with its colour in
    // `colours` and its depth (the depth buffer then holds 4 * width * height
    // values); resolve() turns them into the frame's pixels.
    // `spans` holds two values a row.
    void set_samples(std::uint32_t* colours, std::int32_t* spans) { samples_ = colours, span_ = spans; }
    void resolve();
    void set_rows(int first, int end) {
        row_begin_ = first < 0 ? 0 : first;
        row_end_ = end > height_ ? height_ : end;
    }

    // Background: a colour (0x00RRGGBB), or a picture stretched over the frame
    // and laid over that colour by its alpha. Empties the depth buffer.
    void clear(std::uint32_t colour, const picture* stretched);

    // A triangle whose signed_area is positive (callers order the corners),
    // bounded within (-8192 .. frame + 8192) pixels.
    // `tangents` for a surface with a normal map, else ignored (and may be null).
    void fill(const raster_vertex& a, const raster_vertex& b, const raster_vertex& c, const surface& s,
              const corner_tangents* tangents = nullptr);
    // The first and last rows (or columns) a triangle whose corners lie
    // within low..high (in 1/16 pixel) may draw on: those whose pixel
    // centre, or with anti-aliasing one of whose samples, can be inside it.
    int first_pixel(std::int32_t low) const { return (low + (samples_ ? 0 : 7)) >> subpixel_bits; }
    int last_pixel(std::int32_t high) const { return (high - (samples_ ? 0 : 8)) >> subpixel_bits; }
    // Depth only, no colour: hidden-line removal for wireframes and points.
    void fill_depth(const raster_vertex& a, const raster_vertex& b, const raster_vertex& c);

    // One pixel wide; colour and depth interpolated along it. Lines lying on
    // a surface pass the depth test through a small bias.
    void line(line_point a, line_point b, depth_test test);
    // A square of size x size pixels centred on the point.
    void dot(const line_point& p, int size, depth_test test);

    int width() const { return width_; }
    int height() const { return height_; }

private:
    // Mapped: lit with a normal map (Lit and Textured only).
    template <class Edge, bool DepthOnly, bool Textured, bool Blend, bool Fog, bool Lit, bool Mapped>
    void fill_span(const raster_vertex& a, const raster_vertex& b, const raster_vertex& c, const surface& s,
                   const corner_tangents* tangents);
    template <bool DepthOnly, bool Textured, bool Blend, bool Fog, bool Lit, bool Mapped = false>
    void fill_sized(const raster_vertex& a, const raster_vertex& b, const raster_vertex& c, const surface& s,
                    const corner_tangents* tangents = nullptr);
    // `coverage` of the pixel's four samples take the colour (anti-aliased
    // lines); without samples, any coverage draws the pixel.
    void clear_pixels(std::uint32_t colour, const picture* stretched);
    // Makes sure samples first..last of row y are cleared for this frame.
    void touch(int y, int first, int last);
    void clear_samples(int y, int first, int last);
    void plot(int x, int y, float iw, const rgb& colour, depth_test test, int coverage = 4);
    std::uint32_t fogged(rgb c, float iw) const;

    std::uint32_t* pixels_;
    int stride_;
    int width_;
    int height_;
    float* depth_;
    bool fog_ = false;
    float fog_start_ = 0.0f;
    float fog_scale_ = 0.0f;
    rgb fog_colour_;
    bool bilinear_ = true;
    bool mipmaps_ = false;
    std::uint32_t* samples_ = nullptr;
    // Per row, the first and last column whose samples are cleared for this
    // frame (first > last: none), and what they are cleared to.
    std::int32_t* span_ = nullptr;
    std::uint32_t clear_colour_ = 0;
    bool picture_under_ = false;
    int row_begin_ = 0;
    int row_end_ = height_;
};

}  // namespace engine
