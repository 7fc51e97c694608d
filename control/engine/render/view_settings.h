// What the control's members set that changes the picture, and how the
// renderer reads each value. Plain C++ (no Windows headers).
#pragma once

#include <cstdint>

namespace engine {

struct picture;

enum class render_mode { solid = 1, wireframe = 2, points = 3, solid_wireframe = 4 };
enum class light_mode { unlit = 0, headlight = 1, rig = 2 };
enum class grid_mode { none = 0, floor = 1, floor_and_walls = 2, floor_with_axes = 3 };

// Everything the control's members set that changes the picture.
struct view_settings {
    render_mode mode = render_mode::solid;
    bool smoothing = true;
    float crease_angle_degrees = 60.0f;
    light_mode lights = light_mode::headlight;
    bool specular = false;
    float light_scale = 1.0f;
    bool use_default_material = false;
    bool show_transparency = true;
    bool show_textures = true;
    bool show_fog = false;
    bool show_hidden_geometry = false;  // back faces of closed parts drawn, hidden edges of wireframes shown
    bool show_vertices = false;
    bool show_lights = false;
    bool show_world_axis = false;
    bool show_bounding_box = false;
    grid_mode grid = grid_mode::none;
    float grid_size = 0.0f;              // spacing of grid lines; 0 = chosen from the model's size
    std::uint32_t background = 0x00FF0000;  // a COLORREF: 0x00BBGGRR
    std::uint32_t wire_colour = 0x00000000; // COLORREF of wireframe lines over solids
    const picture* background_picture = nullptr;  // drawn stretched behind the scene
    std::uint32_t vertex_colour = 0x0000FFFF;     // COLORREF of the dots show_vertices draws
    bool bilinear_textures = true;                // false: nearest texel
    // The fast renderer: light worked out at the corners and interpolated,
    // in sRGB; otherwise at every pixel, in linear light.
    bool fast_renderer = false;
};

// How the settings are read (values outside these ranges are clamped, never fatal):
// - light_scale multiplies every light, ambient included: 1 is the default
//   brightness, 0 black, 2 twice as bright; clamped to 0..16, NaN reads as 1.
//   It has no effect on unlit drawing, which shows the material colours as they are.
// - crease_angle_degrees: 0..180 (NaN reads as 60); where two faces meet at a
//   larger angle between their normals the edge stays sharp.
// - grid_size: <= 0 or NaN chooses a round spacing (1, 2 or 5 times a power of
//   ten) near a tenth of the model's size; a spacing that would need more than
//   400 lines per side is widened.
// - light modes: unlit shows material and vertex colours; headlight is one
//   white directional light shining along the view; rig is three directional
//   lights (key, fill, back) fixed in the world, so turning the view shows the
//   model from differently lit sides. The quality renderer lights every pixel,
//   the fast one (fast_renderer) the corners.
// - materials: the default material is a light grey (0.8) with a grey specular;
//   a model's vertex colours replace its materials' diffuse colour.
// - fog: linear in distance from the camera, from the front of the model's
//   bounding sphere (clear) to one radius behind its back (the background colour).
// - modes: wireframe draws each triangle edge once in the model's lit colours,
//   solid_wireframe the solid with edges in wire_colour, points a dot per
//   position; hidden edges and points stay hidden unless show_hidden_geometry.
//   A model's own lines and points are drawn in every mode. Enumerators
//   outside the lists above read as solid, headlight and no grid.
// - faces: a closed part of a model (each edge joining two of its triangles
//   running in opposite directions) shows its front faces only; an open
//   surface shows both sides, each lit as seen from the camera.
// - transparency: material opacity below 1, and textures with alpha, are
//   blended back to front after the opaque triangles (off: drawn opaque).
// - textures: the material's diffuse map multiplies its colour, repeated
//   outside 0..1, v running upwards in the picture (as in OBJ files).
// - helper lines (grid, bounding box) are tinted from the background towards
//   white on dark backgrounds, towards black on light ones.

}  // namespace engine
