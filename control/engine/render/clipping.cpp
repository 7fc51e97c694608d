#include "control/engine/render/clipping.h"

#include <algorithm>
#include <cmath>

namespace engine {

namespace {

// Signed distance of a point from each plane; negative is outside.
float distance(const clip_volume& volume, int plane, const clip_point& q) {
    switch (plane) {
        case 0:
            return q.w - volume.near;
        case 1:
            return q.x + guard_pixels * q.w;
        case 2:
            return volume.right * q.w - q.x;
        case 3:
            return q.y + guard_pixels * q.w;
        default:
            return volume.bottom * q.w - q.y;
    }
}

}  // namespace

clip_point mix(const clip_point& a, const clip_point& b, float t) {
    clip_point c;
    c.x = a.x + (b.x - a.x) * t, c.y = a.y + (b.y - a.y) * t, c.w = a.w + (b.w - a.w) * t;
    c.colour = {a.colour.r + (b.colour.r - a.colour.r) * t, a.colour.g + (b.colour.g - a.colour.g) * t,
                a.colour.b + (b.colour.b - a.colour.b) * t};
    c.u = a.u + (b.u - a.u) * t, c.v = a.v + (b.v - a.v) * t;
    c.u1 = a.u1 + (b.u1 - a.u1) * t, c.v1 = a.v1 + (b.v1 - a.v1) * t;
    c.base = {a.base.r + (b.base.r - a.base.r) * t, a.base.g + (b.base.g - a.base.g) * t,
              a.base.b + (b.base.b - a.base.b) * t};
    c.nx = a.nx + (b.nx - a.nx) * t, c.ny = a.ny + (b.ny - a.ny) * t, c.nz = a.nz + (b.nz - a.nz) * t;
    c.tx = a.tx + (b.tx - a.tx) * t, c.ty = a.ty + (b.ty - a.ty) * t, c.tz = a.tz + (b.tz - a.tz) * t;
    c.tw = a.tw + (b.tw - a.tw) * t;
    return c;
}

double facing_determinant(const clip_point p[3]) {
    return double(p[0].x) * (double(p[1].y) * p[2].w - double(p[2].y) * p[1].w) -
           double(p[0].y) * (double(p[1].x) * p[2].w - double(p[2].x) * p[1].w) +
           double(p[0].w) * (double(p[1].x) * p[2].y - double(p[2].x) * p[1].y);
}

int clip_polygon(const clip_volume& volume, clip_point* corners, int count) {
    clip_point other[max_clipped_corners];
    clip_point* in = corners;
    clip_point* out = other;
    for (int plane = 0; plane < 5 && count >= 3; ++plane) {
        int kept = 0;
        for (int i = 0; i < count; ++i) {
            const clip_point& a = in[i];
            const clip_point& b = in[(i + 1) % count];
            const float da = distance(volume, plane, a), db = distance(volume, plane, b);
            if (da >= 0.0f) out[kept++] = a;
            if ((da >= 0.0f) != (db >= 0.0f)) out[kept++] = mix(a, b, da / (da - db));
        }
        count = kept;
        std::swap(in, out);
    }
    if (in != corners) std::copy(in, in + count, corners);
    return count;
}

bool clip_line(const clip_volume& volume, clip_point& a, clip_point& b) {
    if (!std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(a.w) || !std::isfinite(b.x) ||
        !std::isfinite(b.y) || !std::isfinite(b.w))
        return false;
    float t0 = 0.0f, t1 = 1.0f;
    for (int plane = 0; plane < 5; ++plane) {
        const float da = distance(volume, plane, a), db = distance(volume, plane, b);
        if (da < 0.0f && db < 0.0f) return false;
        if (da < 0.0f)
            t0 = std::max(t0, da / (da - db));
        else if (db < 0.0f)
            t1 = std::min(t1, da / (da - db));
    }
    if (!(t0 <= t1)) return false;
    const clip_point from = mix(a, b, t0), to = mix(a, b, t1);
    if (!(from.w > 0.0f) || !(to.w > 0.0f)) return false;
    a = from;
    b = to;
    return true;
}

bool to_raster_vertex(const clip_volume& volume, const clip_point& q, raster_vertex& out) {
    if (!(q.w > 0.0f)) return false;
    out.iw = 1.0f / q.w;
    const float x = std::clamp(q.x * out.iw, -guard_pixels, volume.right);
    const float y = std::clamp(q.y * out.iw, -guard_pixels, volume.bottom);
    if (!std::isfinite(x) || !std::isfinite(y)) return false;
    out.fx = to_fixed(x), out.fy = to_fixed(y);
    out.colour = q.colour;
    out.u = q.u, out.v = q.v;
    out.u1 = q.u1, out.v1 = q.v1;
    out.base = q.base;
    out.nx = q.nx, out.ny = q.ny, out.nz = q.nz;
    return true;
}

}  // namespace engine
