#include "control/engine/render/rasteriser.h"

#include "control/engine/render/lighting.h"

#include <algorithm>
#include <cmath>
#include <vector>

// The pixel loop's helpers are worth their call only inlined.
#if defined(__GNUC__)
#define QUELTO_ALWAYS_INLINE __attribute__((always_inline))
#else
#define QUELTO_ALWAYS_INLINE
#endif

namespace engine {
namespace {

// floor for values well within int's range; std::floor is a library call
// without SSE4.1.
inline int floor_int(float t) {
    const int i = static_cast<int>(t);
    return i - (static_cast<float>(i) > t);
}

inline std::uint32_t to_byte(float value) {
    // max first: it turns NaN into 0.
    return static_cast<std::uint32_t>(std::min(255.0f, std::max(0.0f, value)) + 0.5f);
}

inline std::uint32_t pack(float r, float g, float b) { return to_byte(r) << 16 | to_byte(g) << 8 | to_byte(b); }

inline float channel(std::uint32_t pixel, int shift) { return static_cast<float>((pixel >> shift) & 0xFF); }

struct texel {
    float r, g, b, a;  // 0..1
};

inline texel unpack_texel(std::uint32_t p) {
    constexpr float k = 1.0f / 255.0f;
    return {channel(p, 16) * k, channel(p, 8) * k, channel(p, 0) * k, channel(p, 24) * k};
}

// sRGB-encoded 0..1 to linear light and back (to 0..255), through tables:
// textures are decoded and every lit pixel encoded.
struct srgb_tables {
    float encode[8193];
    float decode_byte[256];  // a stored 8-bit channel

    srgb_tables() {
        for (int i = 0; i < 256; ++i) decode_byte[i] = srgb_to_linear(static_cast<float>(i) / 255.0f);
        for (int i = 0; i <= 8192; ++i) encode[i] = 255.0f * linear_to_srgb(static_cast<float>(i) / 8192.0f);
    }
    glm::vec3 linear_of_pixel(std::uint32_t p) const {
        return glm::vec3(decode_byte[(p >> 16) & 0xFF], decode_byte[(p >> 8) & 0xFF], decode_byte[p & 0xFF]);
    }
    float encoded_of(float linear) const {
        return encode[static_cast<int>(std::min(1.0f, std::max(0.0f, linear)) * 8192.0f + 0.5f)];
    }
};

const srgb_tables& srgb() {
    static const srgb_tables tables;
    return tables;
}

// floor of any float, through floor_int where that is exact.
inline float floor_of(float t) {
    return std::fabs(t) < 8388608.0f ? static_cast<float>(floor_int(t)) : std::floor(t);
}

// A coordinate brought into [0, 1] by the wrap mode (repeat gives [0, 1));
// anything non-finite reads as 0.
inline float wrapped(float t, texture_wrap mode) {
    float f;
    switch (mode) {
        case texture_wrap::clamp: f = std::min(1.0f, std::max(0.0f, t)); break;
        case texture_wrap::mirror:
            f = t - 2.0f * floor_of(0.5f * t);  // [0, 2)
            if (f > 1.0f) f = 2.0f - f;
            break;
        default: f = t - floor_of(t); return f >= 0.0f && f < 1.0f ? f : 0.0f;
    }
    return f >= 0.0f && f <= 1.0f ? f : 0.0f;
}

// A neighbouring texel's column or row: around the picture when it repeats,
// else the edge's own.
inline int neighbour(int i, int size, texture_wrap mode) {
    if (i >= 0 && i < size) return i;
    if (mode == texture_wrap::repeat) return i < 0 ? i + size : i - size;
    return i < 0 ? 0 : size - 1;
}

// (a * (256 - w) + b * w) / 256 for each of the four 8-bit channels at
// once, w 0..256: two channels a multiply, 16 bits apart.
inline std::uint32_t mix_pixels(std::uint32_t a, std::uint32_t b, std::uint32_t w) {
    const std::uint32_t v = 256 - w;
    const std::uint32_t red_blue = (((a & 0x00FF00FFu) * v + (b & 0x00FF00FFu) * w + 0x00800080u) >> 8) & 0x00FF00FFu;
    const std::uint32_t alpha_green =
        ((((a >> 8) & 0x00FF00FFu) * v + ((b >> 8) & 0x00FF00FFu) * w + 0x00800080u)) & 0xFF00FF00u;
    return red_blue | alpha_green;
}

// The texture's 0xAARRGGBB at (u, v): the nearest texel, or the four around
// it weighted in steps of 1/256, as GL filters 8-bit textures.
QUELTO_ALWAYS_INLINE inline std::uint32_t sample(const picture& t, float u, float v, bool bilinear,
                                                 texture_wrap wrap_u, texture_wrap wrap_v) {
    const float x = wrapped(u, wrap_u) * static_cast<float>(t.width);
    const float y = (1.0f - wrapped(v, wrap_v)) * static_cast<float>(t.height);  // rows run top-down, v upwards
    const std::uint32_t* p = t.pixels.data();
    if (!bilinear) {
        const int ix = std::min(static_cast<int>(x), t.width - 1);
        const int iy = std::min(static_cast<int>(y), t.height - 1);
        return p[static_cast<std::size_t>(iy) * t.width + ix];
    }
    const float sx = x - 0.5f, sy = y - 0.5f;
    const int fx = floor_int(sx), fy = floor_int(sy);
    const auto wx = static_cast<std::uint32_t>((sx - static_cast<float>(fx)) * 256.0f + 0.5f);
    const auto wy = static_cast<std::uint32_t>((sy - static_cast<float>(fy)) * 256.0f + 0.5f);
    const int x0 = neighbour(fx, t.width, wrap_u), y0 = neighbour(fy, t.height, wrap_v);
    const int x1 = neighbour(fx + 1, t.width, wrap_u);
    const int y1 = neighbour(fy + 1, t.height, wrap_v);
    const std::uint32_t* row0 = p + static_cast<std::size_t>(y0) * t.width;
    const std::uint32_t* row1 = p + static_cast<std::size_t>(y1) * t.width;
    return mix_pixels(mix_pixels(row0[x0], row0[x1], wx), mix_pixels(row1[x0], row1[x1], wx), wy);
}

// How far the texture coordinates move from a pixel to the next one across
// and to the one below.
struct uv_slope {
    float du_dx, dv_dx, du_dy, dv_dy;
};

// The texture at (u, v) for a pixel over which the coordinates move by
// `slope`: GL's LINEAR_MIPMAP_LINEAR. The level of detail is log2 of the
// longer of the pixel's two sides in texels; the two copies (texture_levels.h)
// around it are read as sample() reads the picture and blended by where it
// lies between them. A pixel no larger than a texel, a picture without
// copies, no slope or nearest-texel reading: sample() alone.
QUELTO_ALWAYS_INLINE inline std::uint32_t sample_levels(const picture& t, float u, float v, bool bilinear,
                                                        texture_wrap wrap_u, texture_wrap wrap_v,
                                                        const uv_slope* slope) {
    if (slope == nullptr || !bilinear || t.levels.empty()) return sample(t, u, v, bilinear, wrap_u, wrap_v);
    const float w = static_cast<float>(t.width), h = static_cast<float>(t.height);
    const float ax = slope->du_dx * w, ay = slope->dv_dx * h, bx = slope->du_dy * w, by = slope->dv_dy * h;
    const float longer = std::max(ax * ax + ay * ay, bx * bx + by * by);  // squared
    if (!(longer > 1.0f)) return sample(t, u, v, bilinear, wrap_u, wrap_v);  // NaN too
    const std::size_t smallest = t.levels.size();
    const float detail = std::min(0.5f * std::log2(longer), static_cast<float>(smallest));
    const auto level = static_cast<std::size_t>(detail);
    const picture& nearer = level == 0 ? t : t.levels[level - 1];
    const std::uint32_t a = sample(nearer, u, v, bilinear, wrap_u, wrap_v);
    if (level >= smallest) return a;
    const std::uint32_t b = sample(t.levels[level], u, v, bilinear, wrap_u, wrap_v);
    return mix_pixels(a, b, static_cast<std::uint32_t>((detail - static_cast<float>(level)) * 256.0f + 0.5f));
}

// The normal a tangent-space normal map's texel gives:
// normalize(T x + B y + N z) with (x, y, z) = normalize((2 rgb - 1) x
// (scale, scale, 1)), N the unit normal, T the unit tangent and B =
// cross(N, T) x w. Without a usable tangent or normal, the normal as it is.
inline glm::vec3 mapped_normal(const glm::vec3& normal, const glm::vec3& tangent, float w, std::uint32_t texel,
                               float scale) {
    const float n2 = glm::dot(normal, normal), t2 = glm::dot(tangent, tangent);
    if (!(n2 > 0.0f) || !(t2 > 0.0f) || !(n2 < 1e30f) || !(t2 < 1e30f)) return normal;
    const glm::vec3 n = normal * (1.0f / std::sqrt(n2)), t = tangent * (1.0f / std::sqrt(t2));
    const glm::vec3 b = glm::cross(n, t) * w;
    constexpr float k = 2.0f / 255.0f;
    const glm::vec3 m((channel(texel, 16) * k - 1.0f) * scale, (channel(texel, 8) * k - 1.0f) * scale,
                      channel(texel, 0) * k - 1.0f);
    return t * m.x + b * m.y + n * m.z;  // left for shading to bring to unit length
}

// Four samples per pixel in a rotated grid, in 1/16 pixel from its centre.
constexpr int sample_offsets[4][2] = {{-2, -6}, {6, -2}, {2, 6}, {-6, 2}};

// Four samples' values side by side (GCC and Clang vector extensions).
template <class T>
struct lanes_of;
template <>
struct lanes_of<std::int32_t> {
    typedef std::int32_t type __attribute__((vector_size(16)));
};
template <>
struct lanes_of<std::int64_t> {
    typedef std::int64_t type __attribute__((vector_size(32)));
};
template <>
struct lanes_of<float> {
    typedef float type __attribute__((vector_size(16)));
};
template <class T>
using lanes = typename lanes_of<T>::type;

template <class T, class U>
inline lanes<T> load_lanes(const U* at) {
    lanes<T> v;
    __builtin_memcpy(&v, at, sizeof v);  // rows of samples need not be 16-byte aligned
    return v;
}
template <class U, class Lanes>
inline void store_lanes(U* at, const Lanes& v) {
    __builtin_memcpy(at, &v, sizeof v);
}
// Each lane of `on` (all bits set or none) picks from a, else b.
inline lanes<std::int32_t> select(const lanes<std::int32_t>& on, const lanes<std::int32_t>& a,
                                  const lanes<std::int32_t>& b) {
    return (a & on) | (b & ~on);
}

// Lines on a surface pass the depth test if they are at most this much
// (relative) farther than it: enough for an edge sampled half a pixel off.
constexpr float line_depth_bias = 1.0f / 128.0f;

struct gradient {
    float at_start, dx, dy;
};

}  // namespace

rasteriser::rasteriser(std::uint32_t* pixels, int stride, int width, int height, float* depth)
    : pixels_(pixels), stride_(stride), width_(width), height_(height), depth_(depth) {}

void rasteriser::set_fog(bool on, float start, float end, rgb colour) {
    fog_ = on && end > start && std::isfinite(start) && std::isfinite(end);
    fog_start_ = start;
    fog_scale_ = fog_ ? 1.0f / (end - start) : 0.0f;
    fog_colour_ = colour;
}

void rasteriser::clear(std::uint32_t colour, const picture* stretched) {
    if (row_begin_ >= row_end_) return;
    const bool use_picture = stretched && !stretched->empty();
    if (samples_) {
        // Samples are cleared row by row as drawing reaches them (touch()),
        // and resolve() fills what nothing reached: most of a frame's samples
        // are never written at all.
        clear_colour_ = colour;
        picture_under_ = use_picture;
        if (use_picture) clear_pixels(colour, stretched);
        for (int y = row_begin_; y < row_end_; ++y) span_[2 * y] = width_, span_[2 * y + 1] = -1;
        return;
    }
    std::fill(depth_ + static_cast<std::size_t>(row_begin_) * width_, depth_ + static_cast<std::size_t>(row_end_) * width_,
              0.0f);
    clear_pixels(colour, stretched);
}

// The samples of columns first..last of row y as clear() leaves them: the
// background's colour (the pixel's, under a picture) and no depth.
void rasteriser::clear_samples(int y, int first, int last) {
    const std::size_t at = 4 * (static_cast<std::size_t>(y) * width_ + first), count = 4 * static_cast<std::size_t>(last - first + 1);
    std::fill_n(depth_ + at, count, 0.0f);
    std::uint32_t* out = samples_ + at;
    if (!picture_under_) {
        std::fill_n(out, count, clear_colour_);
        return;
    }
    const std::uint32_t* in = pixels_ + static_cast<std::size_t>(y) * stride_;
    for (int x = first; x <= last; ++x, out += 4) std::fill_n(out, 4, in[x]);
}

inline void rasteriser::touch(int y, int first, int last) {
    std::int32_t& low = span_[2 * y];
    std::int32_t& high = span_[2 * y + 1];
    if (low > high) {
        clear_samples(y, first, last);
        low = first, high = last;
        return;
    }
    if (first < low) clear_samples(y, first, low - 1), low = first;
    if (last > high) clear_samples(y, high + 1, last), high = last;
}

void rasteriser::clear_pixels(std::uint32_t colour, const picture* stretched) {
    const bool use_picture = stretched && !stretched->empty() &&
                             stretched->pixels.size() >= static_cast<std::size_t>(stretched->width) * stretched->height;
    if (!use_picture) {
        for (int y = row_begin_; y < row_end_; ++y) std::fill_n(pixels_ + static_cast<std::size_t>(y) * stride_, width_, colour);
        return;
    }
    // Bilinear stretch, edges clamped; columns worked out once.
    const picture& p = *stretched;
    struct tap {
        int i0, i1;
        float a;
    };
    auto taps = [](int out, int in) {
        std::vector<tap> t(out);
        const float scale = static_cast<float>(in) / static_cast<float>(out);
        for (int i = 0; i < out; ++i) {
            const float s = std::clamp((static_cast<float>(i) + 0.5f) * scale - 0.5f, 0.0f, static_cast<float>(in - 1));
            const int i0 = static_cast<int>(s);
            t[i] = {i0, std::min(i0 + 1, in - 1), s - static_cast<float>(i0)};
        }
        return t;
    };
    const std::vector<tap> columns = taps(width_, p.width);
    const std::vector<tap> rows = taps(height_, p.height);
    const rgb under{channel(colour, 16), channel(colour, 8), channel(colour, 0)};
    for (int y = row_begin_; y < row_end_; ++y) {
        const std::uint32_t* r0 = p.pixels.data() + static_cast<std::size_t>(rows[y].i0) * p.width;
        const std::uint32_t* r1 = p.pixels.data() + static_cast<std::size_t>(rows[y].i1) * p.width;
        const float ay = rows[y].a;
        std::uint32_t* out = pixels_ + static_cast<std::size_t>(y) * stride_;
        for (int x = 0; x < width_; ++x) {
            const tap& c = columns[x];
            float v[4];
            for (int k = 0; k < 4; ++k) {
                const int shift = 8 * k;
                const float top =
                    channel(r0[c.i0], shift) + (channel(r0[c.i1], shift) - channel(r0[c.i0], shift)) * c.a;
                const float bottom =
                    channel(r1[c.i0], shift) + (channel(r1[c.i1], shift) - channel(r1[c.i0], shift)) * c.a;
                v[k] = top + (bottom - top) * ay;
            }
            const float alpha = v[3] * (1.0f / 255.0f);
            out[x] = pack(under.r + (v[2] - under.r) * alpha, under.g + (v[1] - under.g) * alpha,
                          under.b + (v[0] - under.b) * alpha);
        }
    }
}

void rasteriser::fill(const raster_vertex& a, const raster_vertex& b, const raster_vertex& c, const surface& s,
                      const corner_tangents* tangents) {
    const bool textured = s.texture != nullptr && !s.texture->empty();
    // Variants of the pixel loop: textured or not, blended or not, fogged or
    // not, lit at every pixel or coloured at the corners.
    auto lit_or_not = [&](auto textured_c, auto blend_c, auto fog_c) {
        constexpr bool t = decltype(textured_c)::value, bl = decltype(blend_c)::value, f = decltype(fog_c)::value;
        if (!s.shading)
            fill_sized<false, t, bl, f, false>(a, b, c, s);
        else if constexpr (t)
            s.normal_map && tangents ? fill_sized<false, t, bl, f, true, true>(a, b, c, s, tangents)
                                     : fill_sized<false, t, bl, f, true>(a, b, c, s);
        else
            fill_sized<false, t, bl, f, true>(a, b, c, s);
    };
    auto fogged_or_not = [&](auto textured_c, auto blend_c) {
        fog_ ? lit_or_not(textured_c, blend_c, std::true_type{}) : lit_or_not(textured_c, blend_c, std::false_type{});
    };
    auto blended_or_not = [&](auto textured_c) {
        s.blend ? fogged_or_not(textured_c, std::true_type{}) : fogged_or_not(textured_c, std::false_type{});
    };
    textured ? blended_or_not(std::true_type{}) : blended_or_not(std::false_type{});
}

void rasteriser::fill_depth(const raster_vertex& a, const raster_vertex& b, const raster_vertex& c) {
    fill_sized<true, false, false, false, false>(a, b, c, surface{});
}

template <bool DepthOnly, bool Textured, bool Blend, bool Fog, bool Lit, bool Mapped>
void rasteriser::fill_sized(const raster_vertex& a, const raster_vertex& b, const raster_vertex& c, const surface& s,
                            const corner_tangents* tangents) {
    // Edge values stay within 32 bits while the triangle spans under 1024 pixels.
    constexpr std::int32_t small = 1024 * 16;
    const std::int32_t w = std::max({a.fx, b.fx, c.fx}) - std::min({a.fx, b.fx, c.fx});
    const std::int32_t h = std::max({a.fy, b.fy, c.fy}) - std::min({a.fy, b.fy, c.fy});
    if (w < small && h < small)
        fill_span<std::int32_t, DepthOnly, Textured, Blend, Fog, Lit, Mapped>(a, b, c, s, tangents);
    else
        fill_span<std::int64_t, DepthOnly, Textured, Blend, Fog, Lit, Mapped>(a, b, c, s, tangents);
}

template <class Edge, bool DepthOnly, bool Textured, bool Blend, bool Fog, bool Lit, bool Mapped>
void rasteriser::fill_span(const raster_vertex& v0, const raster_vertex& v1, const raster_vertex& v2,
                           const surface& s, const corner_tangents* tangents) {
    // Pixel (x, y) is covered when its centre (16x + 8, 16y + 8) is inside;
    // with anti-aliasing, when one of its four samples is, and then only the
    // samples inside take its colour.
    const std::int32_t min_fx = std::min({v0.fx, v1.fx, v2.fx}), max_fx = std::max({v0.fx, v1.fx, v2.fx});
    const std::int32_t min_fy = std::min({v0.fy, v1.fy, v2.fy}), max_fy = std::max({v0.fy, v1.fy, v2.fy});
    const bool aa = samples_ != nullptr;
    const int x_begin = std::max(0, first_pixel(min_fx));
    const int x_end = std::min(width_ - 1, last_pixel(max_fx));
    const int y_top = first_pixel(min_fy);
    const int y_begin = std::max(row_begin_, y_top);
    const int y_end = std::min(row_end_ - 1, last_pixel(max_fy));
    if (x_begin > x_end || y_begin > y_end) return;
    const std::int64_t area = signed_area(v0, v1, v2);
    if (area <= 0) return;

    // Edge functions, each >= 0 inside. Top and left edges own their pixels
    // (the others are biased by -1), so a shared edge is drawn exactly once.
    const std::int64_t sample_x = std::int64_t(x_begin) * 16 + 8, sample_y = std::int64_t(y_begin) * 16 + 8;
    Edge row[3], step_x[3], step_y[3], at_sample[3][4], reach[3];
    const raster_vertex* from[3] = {&v1, &v2, &v0};
    const raster_vertex* to[3] = {&v2, &v0, &v1};
    for (int i = 0; i < 3; ++i) {
        const std::int64_t dx = std::int64_t(to[i]->fx) - from[i]->fx, dy = std::int64_t(to[i]->fy) - from[i]->fy;
        const bool top_left = dy < 0 || (dy == 0 && dx > 0);
        row[i] = static_cast<Edge>(dx * (sample_y - from[i]->fy) - dy * (sample_x - from[i]->fx) - (top_left ? 0 : 1));
        step_x[i] = static_cast<Edge>(-dy * 16);
        step_y[i] = static_cast<Edge>(dx * 16);
        reach[i] = 0;
        for (int k = 0; k < 4; ++k) {
            at_sample[i][k] = static_cast<Edge>(-dy * sample_offsets[k][0] + dx * sample_offsets[k][1]);
            reach[i] = std::max(reach[i], at_sample[i][k]);
        }
    }

    // Attributes over 1/distance interpolate linearly in the pixel grid.
    const float x0 = static_cast<float>(v0.fx) * (1.0f / subpixel_scale),
                y0 = static_cast<float>(v0.fy) * (1.0f / subpixel_scale);
    const float dx1 = static_cast<float>(v1.fx - v0.fx) * (1.0f / subpixel_scale),
                dy1 = static_cast<float>(v1.fy - v0.fy) * (1.0f / subpixel_scale);
    const float dx2 = static_cast<float>(v2.fx - v0.fx) * (1.0f / subpixel_scale),
                dy2 = static_cast<float>(v2.fy - v0.fy) * (1.0f / subpixel_scale);
    const float inverse_area = (subpixel_scale * subpixel_scale) / static_cast<float>(area);
    // Planes start at the triangle's own top row, not the band's, and each
    // row's values are worked out from there, never carried over from the
    // row above: a pixel is the same whichever band draws it.
    const float off_x = static_cast<float>(x_begin) + 0.5f - x0, off_y = static_cast<float>(y_top) + 0.5f - y0;
    auto plane = [&](float a0, float a1, float a2) {
        const float dadx = ((a1 - a0) * dy2 - (a2 - a0) * dy1) * inverse_area;
        const float dady = ((a2 - a0) * dx1 - (a1 - a0) * dx2) * inverse_area;
        return gradient{a0 + dadx * off_x + dady * off_y, dadx, dady};
    };
    const gradient iw = plane(v0.iw, v1.iw, v2.iw);
    lanes<float> sample_depth_step;
    lanes<Edge> sample_edge[3];
    for (int k = 0; k < 4; ++k) {
        sample_depth_step[k] = (iw.dx * static_cast<float>(sample_offsets[k][0]) +
                                iw.dy * static_cast<float>(sample_offsets[k][1])) * (1.0f / subpixel_scale);
        for (int i = 0; i < 3; ++i) sample_edge[i][k] = at_sample[i][k];
    }
    gradient r{}, g{}, b{}, u{}, v{}, u_second{}, v_second{}, nx{}, ny{}, nz{};
    if constexpr (Lit) {
        r = plane(v0.base.r * v0.iw, v1.base.r * v1.iw, v2.base.r * v2.iw);
        g = plane(v0.base.g * v0.iw, v1.base.g * v1.iw, v2.base.g * v2.iw);
        b = plane(v0.base.b * v0.iw, v1.base.b * v1.iw, v2.base.b * v2.iw);
        nx = plane(v0.nx * v0.iw, v1.nx * v1.iw, v2.nx * v2.iw);
        ny = plane(v0.ny * v0.iw, v1.ny * v1.iw, v2.ny * v2.iw);
        nz = plane(v0.nz * v0.iw, v1.nz * v1.iw, v2.nz * v2.iw);
    } else if constexpr (!DepthOnly) {
        r = plane(v0.colour.r * v0.iw, v1.colour.r * v1.iw, v2.colour.r * v2.iw);
        g = plane(v0.colour.g * v0.iw, v1.colour.g * v1.iw, v2.colour.g * v2.iw);
        b = plane(v0.colour.b * v0.iw, v1.colour.b * v1.iw, v2.colour.b * v2.iw);
    }
    if constexpr (Textured) {
        u = plane(v0.u * v0.iw, v1.u * v1.iw, v2.u * v2.iw);
        v = plane(v0.v * v0.iw, v1.v * v1.iw, v2.v * v2.iw);
        if (s.placed) {
            u_second = plane(v0.u1 * v0.iw, v1.u1 * v1.iw, v2.u1 * v2.iw);
            v_second = plane(v0.v1 * v0.iw, v1.v1 * v1.iw, v2.v1 * v2.iw);
        }
    }
    gradient tx{}, ty{}, tz{}, tw{};
    if constexpr (Mapped) {
        const glm::vec4 t0 = tangents->at[0] * v0.iw, t1 = tangents->at[1] * v1.iw, t2 = tangents->at[2] * v2.iw;
        tx = plane(t0.x, t1.x, t2.x), ty = plane(t0.y, t1.y, t2.y);
        tz = plane(t0.z, t1.z, t2.z), tw = plane(t0.w, t1.w, t2.w);
    }
    // The tangent at the pixel (over distance, as the normal), with Mapped.
    float ptx = 0, pty = 0, ptz = 0, ptw = 0;
    const picture* texture = s.texture;
    const bool texture_alpha = s.texture_alpha;
    const float opacity = s.opacity;
    const bool bilinear = bilinear_;
    const float cutoff = s.alpha_cutoff;
    const bool masked = cutoff >= 0.0f;
    const rgb emissive = s.emissive;
    const bool emits = emissive.r > 0.0f || emissive.g > 0.0f || emissive.b > 0.0f;
    const picture* glow = Textured && emits && s.glow && !s.glow->empty() ? s.glow : nullptr;
    const bool placed = s.placed;
    const srgb_tables& lut = srgb();
    const bool mipmaps = mipmaps_;
    // d(u)/dx of u = (u / w) / (1 / w) at a pixel, from the planes' steps:
    // (step of u/w - u x step of 1/w) x w.
    auto slope_at = [&](const gradient& pu, const gradient& pv, float tu, float tv, float distance)
                        QUELTO_ALWAYS_INLINE {
        return uv_slope{(pu.dx - tu * iw.dx) * distance, (pv.dx - tv * iw.dx) * distance,
                        (pu.dy - tu * iw.dy) * distance, (pv.dy - tv * iw.dy) * distance};
    };

    // The pixel's colour and opacity, from the interpolated values at its
    // centre; false where a cut-out leaves it out.
    auto colour_of = [&](float distance, float pr, float pg, float pb, float pu, float pv, float pu1, float pv1,
                         float pnx, float pny, float pnz, float& cr, float& cg, float& cb, float& alpha) QUELTO_ALWAYS_INLINE {
        cr = pr * distance, cg = pg * distance, cb = pb * distance;
        alpha = opacity;
        // A texture read at the pixel: at the first set as it is, or where
        // the surface places it.
        // Seen from afar, through the texture's smaller copies: the slope is
        // the set's, turned and scaled as the coordinates are.
        auto read = [&](const picture& p, const texture_transform& at, texture_wrap wrap_u, texture_wrap wrap_v)
                        QUELTO_ALWAYS_INLINE {
            const bool second = placed && at.uv_set == 1;
            const float tu = (second ? pu1 : pu) * distance, tv = (second ? pv1 : pv) * distance;
            uv_slope slope{};
            if (mipmaps) slope = second ? slope_at(u_second, v_second, tu, tv, distance) : slope_at(u, v, tu, tv, distance);
            if (!placed) return sample_levels(p, tu, tv, bilinear, wrap_u, wrap_v, mipmaps ? &slope : nullptr);
            const glm::vec2 uv = at.apply(tu, tv);
            if (mipmaps)
                slope = {at.u_row.x * slope.du_dx + at.u_row.y * slope.dv_dx, at.v_row.x * slope.du_dx + at.v_row.y * slope.dv_dx,
                         at.u_row.x * slope.du_dy + at.u_row.y * slope.dv_dy, at.v_row.x * slope.du_dy + at.v_row.y * slope.dv_dy};
            return sample_levels(p, uv.x, uv.y, bilinear, wrap_u, wrap_v, mipmaps ? &slope : nullptr);
        };
        if constexpr (Lit) {
            glm::vec3 base(cr, cg, cb), own_light(1.0f);
            float metal_factor = 1.0f, rough_factor = 1.0f, occlusion = 1.0f;
            if constexpr (Textured) {
                if (s.metal_rough) {
                    const std::uint32_t m = read(*s.metal_rough, s.metal_rough_uv, s.metal_rough_wrap_u, s.metal_rough_wrap_v);
                    metal_factor = channel(m, 0) * (1.0f / 255.0f), rough_factor = channel(m, 8) * (1.0f / 255.0f);
                }
                if (s.occlusion) {
                    const std::uint32_t o = read(*s.occlusion, s.occlusion_uv, s.occlusion_wrap_u, s.occlusion_wrap_v);
                    occlusion = 1.0f + s.occlusion_strength * (channel(o, 16) * (1.0f / 255.0f) - 1.0f);
                }
                const std::uint32_t t = read(*texture, s.texture_uv, s.wrap_u, s.wrap_v);
                base *= lut.linear_of_pixel(t);
                if (texture_alpha) alpha *= channel(t, 24) * (1.0f / 255.0f);
                if (s.glow && !s.glow->empty())
                    own_light = lut.linear_of_pixel(read(*s.glow, s.glow_uv, s.glow_wrap_u, s.glow_wrap_v));
            }
            glm::vec3 normal = glm::vec3(pnx, pny, pnz) * distance;
            if constexpr (Mapped) {
                const std::uint32_t m = read(*s.normal_map, s.normal_uv, s.normal_wrap_u, s.normal_wrap_v);
                normal = mapped_normal(normal, glm::vec3(ptx, pty, ptz) * distance, ptw * distance, m, s.normal_scale);
            }
            const glm::vec3 lit =
                s.physical ? neutral_tone(s.physical->shade(base, normal, s.physical->metallic * metal_factor,
                                                            s.physical->roughness * rough_factor, occlusion) +
                                          s.shading->emissive * own_light)
                           : s.shading->shade(base, normal) + s.shading->emissive * own_light;
            cr = lut.encoded_of(lit.r), cg = lut.encoded_of(lit.g), cb = lut.encoded_of(lit.b);
        } else if constexpr (Textured) {
            const texel t = unpack_texel(read(*texture, s.texture_uv, s.wrap_u, s.wrap_v));
            cr *= t.r, cg *= t.g, cb *= t.b;
            if (texture_alpha) alpha *= t.a;
            if (glow) {
                const texel e = unpack_texel(read(*glow, s.glow_uv, s.glow_wrap_u, s.glow_wrap_v));
                cr += emissive.r * e.r, cg += emissive.g * e.g, cb += emissive.b * e.b;
            } else if (emits) {
                cr += emissive.r, cg += emissive.g, cb += emissive.b;
            }
        } else if (emits) {
            cr += emissive.r, cg += emissive.g, cb += emissive.b;
        }
        if (masked) {
            if (alpha < cutoff) return false;
            alpha = 1.0f;
        }
        if constexpr (Fog) {
            const float f = std::min(1.0f, std::max(0.0f, (distance - fog_start_) * fog_scale_));
            cr += (fog_colour_.r - cr) * f, cg += (fog_colour_.g - cg) * f, cb += (fog_colour_.b - cb) * f;
        }
        return true;
    };
    auto blended = [&](std::uint32_t under, float cr, float cg, float cb, float alpha) {
        const float ur = channel(under, 16), ug = channel(under, 8), ub = channel(under, 0);
        return pack(ur + (cr - ur) * alpha, ug + (cg - ug) * alpha, ub + (cb - ub) * alpha);
    };

    for (int y = y_begin; y <= y_end; ++y) {
        const float down = static_cast<float>(y - y_top);
        float z = iw.at_start + iw.dy * down;
        float pr = 0, pg = 0, pb = 0, pu = 0, pv = 0, pu1 = 0, pv1 = 0, pnx = 0, pny = 0, pnz = 0;
        if constexpr (!DepthOnly)
            pr = r.at_start + r.dy * down, pg = g.at_start + g.dy * down, pb = b.at_start + b.dy * down;
        if constexpr (Textured) {
            pu = u.at_start + u.dy * down, pv = v.at_start + v.dy * down;
            pu1 = u_second.at_start + u_second.dy * down, pv1 = v_second.at_start + v_second.dy * down;
        }
        if constexpr (Lit)
            pnx = nx.at_start + nx.dy * down, pny = ny.at_start + ny.dy * down, pnz = nz.at_start + nz.dy * down;
        if constexpr (Mapped)
            ptx = tx.at_start + tx.dy * down, pty = ty.at_start + ty.dy * down, ptz = tz.at_start + tz.dy * down,
            ptw = tw.at_start + tw.dy * down;
        Edge e0 = row[0], e1 = row[1], e2 = row[2];
        std::uint32_t* pixel_row = pixels_ + static_cast<std::size_t>(y) * stride_;
        const std::size_t first_of_row = static_cast<std::size_t>(y) * width_;
        if (aa) touch(y, x_begin, x_end);
        bool entered = false;
        for (int x = x_begin; x <= x_end; ++x) {
            if (aa) {
                // Four samples, each with its own depth. Where even the
                // sample farthest along an edge is outside it, none is in:
                // that region is a triangle too, so once a row has left it,
                // the rest of the row is out.
                if (((e0 + reach[0]) | (e1 + reach[1]) | (e2 + reach[2])) < 0) {
                    if (entered) break;
                    goto next_pixel;
                }
                entered = true;
                // The four samples side by side: inside all three edges and
                // nearer than what is there.
                const lanes<Edge> inside = ((e0 + sample_edge[0]) | (e1 + sample_edge[1]) | (e2 + sample_edge[2])) >= 0;
                float* depths = depth_ + 4 * (first_of_row + x);
                const lanes<float> sample_depth = z + sample_depth_step;
                const lanes<float> there = load_lanes<float>(depths);
                const lanes<std::int32_t> passing =
                    __builtin_convertvector(inside, lanes<std::int32_t>) & (sample_depth > there);
                if (passing[0] | passing[1] | passing[2] | passing[3]) {
                    std::uint32_t* colours = samples_ + 4 * (first_of_row + x);
                    const lanes<std::int32_t> new_depths =
                        select(passing, reinterpret_cast<const lanes<std::int32_t>&>(sample_depth),
                               reinterpret_cast<const lanes<std::int32_t>&>(there));
                    if constexpr (DepthOnly) {
                        store_lanes(depths, new_depths);
                    } else {
                        float cr, cg, cb, alpha;
                        if (colour_of(1.0f / z, pr, pg, pb, pu, pv, pu1, pv1, pnx, pny, pnz, cr, cg, cb, alpha)) {
                            if constexpr (Blend) {
                                for (int k = 0; k < 4; ++k)
                                    if (passing[k]) colours[k] = blended(colours[k], cr, cg, cb, alpha);
                            } else {
                                const lanes<std::int32_t> packed = lanes<std::int32_t>{} + static_cast<std::int32_t>(pack(cr, cg, cb));
                                store_lanes(colours, select(passing, packed, load_lanes<std::int32_t>(colours)));
                                store_lanes(depths, new_depths);
                            }
                        }
                    }
                }
            } else if ((e0 | e1 | e2) >= 0) {
                entered = true;
                float* depth = depth_ + first_of_row + x;
                if (z > *depth) {
                    if constexpr (DepthOnly) {
                        *depth = z;
                    } else {
                        float cr, cg, cb, alpha;
                        if (colour_of(1.0f / z, pr, pg, pb, pu, pv, pu1, pv1, pnx, pny, pnz, cr, cg, cb, alpha)) {
                            if constexpr (Blend) {
                                pixel_row[x] = blended(pixel_row[x], cr, cg, cb, alpha);
                            } else {
                                pixel_row[x] = pack(cr, cg, cb);
                                *depth = z;
                            }
                        }
                    }
                }
            } else if (entered) {
                break;  // a triangle is convex: once out, the rest of the row is out
            }
        next_pixel:
            e0 += step_x[0], e1 += step_x[1], e2 += step_x[2];
            z += iw.dx;
            if constexpr (!DepthOnly) pr += r.dx, pg += g.dx, pb += b.dx;
            if constexpr (Textured) pu += u.dx, pv += v.dx, pu1 += u_second.dx, pv1 += v_second.dx;
            if constexpr (Lit) pnx += nx.dx, pny += ny.dx, pnz += nz.dx;
            if constexpr (Mapped) ptx += tx.dx, pty += ty.dx, ptz += tz.dx, ptw += tw.dx;
        }
        row[0] += step_y[0], row[1] += step_y[1], row[2] += step_y[2];
    }
}

std::uint32_t rasteriser::fogged(rgb c, float iw) const {
    if (fog_ && iw > 0.0f) {
        const float f = std::min(1.0f, std::max(0.0f, (1.0f / iw - fog_start_) * fog_scale_));
        c.r += (fog_colour_.r - c.r) * f, c.g += (fog_colour_.g - c.g) * f, c.b += (fog_colour_.b - c.b) * f;
    }
    return pack(c.r, c.g, c.b);
}

void rasteriser::plot(int x, int y, float iw, const rgb& colour, depth_test test, int coverage) {
    if (x < 0 || y < row_begin_ || x >= width_ || y >= row_end_ || coverage <= 0) return;
    const std::size_t at = static_cast<std::size_t>(y) * width_ + x;
    if (!samples_) {
        if (test == depth_test::on && !(iw >= depth_[at] * (1.0f - line_depth_bias))) return;
        pixels_[static_cast<std::size_t>(y) * stride_ + x] = fogged(colour, iw);
        return;
    }
    // The samples a partial coverage takes, in an order that spreads them.
    static constexpr int order[4] = {0, 2, 1, 3};
    touch(y, x, x);
    const std::uint32_t packed = fogged(colour, iw);
    for (int i = 0; i < coverage && i < 4; ++i) {
        const int k = order[i];
        if (test == depth_test::on && !(iw >= depth_[4 * at + k] * (1.0f - line_depth_bias))) continue;
        samples_[4 * at + k] = packed;
    }
}

void rasteriser::resolve() {
    if (!samples_) return;
    for (int y = row_begin_; y < row_end_; ++y) {
        const int low = span_[2 * y], high = span_[2 * y + 1];
        std::uint32_t* out = pixels_ + static_cast<std::size_t>(y) * stride_;
        if (!picture_under_) {  // under a picture, clear() has put it there already
            if (low > high) {
                std::fill_n(out, width_, clear_colour_);
                continue;
            }
            std::fill_n(out, low, clear_colour_);
            std::fill(out + high + 1, out + width_, clear_colour_);
        }
        const std::uint32_t* in = samples_ + 4 * (static_cast<std::size_t>(y) * width_ + low);
        for (int x = low; x <= high; ++x, in += 4) {
            if (in[0] == in[1] && in[0] == in[2] && in[0] == in[3]) {  // inside a surface: most pixels
                out[x] = in[0];
                continue;
            }
            std::uint32_t pixel = 0;
            for (int shift = 0; shift <= 16; shift += 8) {
                const std::uint32_t sum = ((in[0] >> shift) & 0xFF) + ((in[1] >> shift) & 0xFF) +
                                          ((in[2] >> shift) & 0xFF) + ((in[3] >> shift) & 0xFF);
                pixel |= ((sum + 2) >> 2) << shift;
            }
            out[x] = pixel;
        }
    }
}

void rasteriser::line(line_point a, line_point b, depth_test test) {
    if (!std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(b.x) || !std::isfinite(b.y)) return;
    // Clip to the frame (Liang-Barsky), so that a line reaching far outside
    // costs nothing for its invisible part.
    const float dx = b.x - a.x, dy = b.y - a.y;
    float t0 = 0.0f, t1 = 1.0f;
    auto clip = [&](float p, float q) {  // keeps the part where p * t <= q
        if (p == 0.0f) return q >= 0.0f;
        const float t = q / p;
        if (p < 0.0f)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        return t0 <= t1;
    };
    const float w = static_cast<float>(width_), h = static_cast<float>(height_);
    if (!clip(-dx, a.x) || !clip(dx, w - a.x) || !clip(-dy, a.y) || !clip(dy, h - a.y)) return;
    auto at = [&](float t) {
        line_point p;
        p.x = a.x + dx * t, p.y = a.y + dy * t, p.iw = a.iw + (b.iw - a.iw) * t;
        p.colour = {a.colour.r + (b.colour.r - a.colour.r) * t, a.colour.g + (b.colour.g - a.colour.g) * t,
                    a.colour.b + (b.colour.b - a.colour.b) * t};
        return p;
    };
    const line_point p = at(t0), q = at(t1);
    // One pixel per column (or row) whose centre the line crosses.
    const bool x_major = std::fabs(q.x - p.x) >= std::fabs(q.y - p.y);
    const float major0 = x_major ? p.x : p.y, major1 = x_major ? q.x : q.y;
    const float lo = std::min(major0, major1), hi = std::max(major0, major1);
    const int first = static_cast<int>(std::ceil(lo - 0.5f)), last = static_cast<int>(std::floor(hi - 0.5f));
    const float span = major1 - major0;
    if (first > last || span == 0.0f) {
        // Shorter than a pixel: one pixel where it lies.
        const line_point m = at(0.5f * (t0 + t1));
        plot(static_cast<int>(std::floor(m.x)), static_cast<int>(std::floor(m.y)), m.iw, m.colour, test);
        return;
    }
    const float limit = x_major ? h : w;
    for (int i = first; i <= last; ++i) {
        const float t = (static_cast<float>(i) + 0.5f - major0) / span;
        const float minor = x_major ? p.y + (q.y - p.y) * t : p.x + (q.x - p.x) * t;
        const int m = static_cast<int>(std::floor(std::min(std::max(minor, 0.0f), limit - 0.5f)));
        const rgb c{p.colour.r + (q.colour.r - p.colour.r) * t, p.colour.g + (q.colour.g - p.colour.g) * t,
                    p.colour.b + (q.colour.b - p.colour.b) * t};
        const float iw = p.iw + (q.iw - p.iw) * t;
        // Anti-aliased, the line's one pixel width is shared between the two
        // pixels it crosses, by how far it runs from each one's centre.
        int main_share = 4, side = m;
        if (samples_) {
            const float off = minor - (static_cast<float>(m) + 0.5f);
            main_share = static_cast<int>(std::lround(4.0f * (1.0f - std::fabs(off))));
            side = off < 0.0f ? m - 1 : m + 1;
        }
        if (x_major) {
            plot(i, m, iw, c, test, main_share);
            plot(i, side, iw, c, test, 4 - main_share);
        } else {
            plot(m, i, iw, c, test, main_share);
            plot(side, i, iw, c, test, 4 - main_share);
        }
    }
}

void rasteriser::dot(const line_point& p, int size, depth_test test) {
    if (!(std::fabs(p.x) < 1e7f) || !(std::fabs(p.y) < 1e7f)) return;
    const int cx = static_cast<int>(std::floor(p.x)), cy = static_cast<int>(std::floor(p.y));
    const int from = -(size - 1) / 2, to = size / 2;
    for (int y = cy + from; y <= cy + to; ++y)
        for (int x = cx + from; x <= cx + to; ++x) plot(x, y, p.iw, p.colour, test);
}

}  // namespace engine
