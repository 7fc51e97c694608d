// Clipping in homogeneous pixel coordinates (X, Y, W; see view_transform.h):
// what reaches behind the near plane, or far beyond the frame, is cut off
// before the rasteriser sees it. Triangles are clipped only when a corner
// lies outside; lines always are.
#pragma once

#include "control/engine/render/rasteriser.h"

namespace engine {

// Triangles inside this margin around the frame need no clipping: their
// fixed-point coordinates stay well within the rasteriser's range.
inline constexpr float guard_pixels = 8192.0f;

// Room for a triangle clipped against the five planes.
inline constexpr int max_clipped_corners = 12;

struct clip_point {
    float x = 0.0f, y = 0.0f, w = 0.0f;  // homogeneous pixel coordinates
    rgb colour;
    float u = 0.0f, v = 0.0f;
    float u1 = 0.0f, v1 = 0.0f;
    rgb base;  // linear, for light worked out per pixel
    float nx = 0.0f, ny = 0.0f, nz = 0.0f;
    float tx = 0.0f, ty = 0.0f, tz = 0.0f, tw = 0.0f;  // with a normal map
};

// What is kept: W at least `near`, pixels within the guard band around a
// frame of the given size.
struct clip_volume {
    float near;
    float right, bottom;  // the guard band's far sides; the near sides are at -guard_pixels

    clip_volume(int frame_width, int frame_height, float near_w)
        : near(near_w),
          right(static_cast<float>(frame_width) + guard_pixels),
          bottom(static_cast<float>(frame_height) + guard_pixels) {}
};

// The point at `t` along a to b, every attribute interpolated.
clip_point mix(const clip_point& a, const clip_point& b, float t);

// det[x y w] of a triangle's corners: its sign gives the facing even with
// corners behind the eye (negative: a front face).
double facing_determinant(const clip_point corners[3]);

// Sutherland-Hodgman against the near plane and the guard band: `corners`
// holds `count` corners in order and room for max_clipped_corners; returns
// how many the clipped polygon has (fewer than 3: nothing is left).
int clip_polygon(const clip_volume& volume, clip_point* corners, int count);

// Liang-Barsky against the same planes: shortens a to b to the part inside;
// false when nothing is left or an end is not a finite point.
bool clip_line(const clip_volume& volume, clip_point& a, clip_point& b);

// A clipped corner as the rasteriser takes it, held within the guard band;
// false when it cannot be projected (not in front of the eye, not finite).
bool to_raster_vertex(const clip_volume& volume, const clip_point& corner, raster_vertex& out);

}  // namespace engine
