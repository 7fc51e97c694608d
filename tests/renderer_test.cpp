// The software renderer on small scenes built here, seen from fixed views.
#include "control/engine/render/renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "control/engine/formats/model_loaders.h"
#include "control/engine/model/texture_levels.h"
#include "control/engine/render/overlays.h"
#include "control/engine/render/worker_pool.h"
#include "control/engine/render/prepared_model.h"
#include "tests/render_canvas.h"

namespace {

using namespace engine;
using namespace render_canvas;

constexpr std::uint32_t blue_colorref = 0x00FF0000;  // as a pixel: 0x000000FF
constexpr std::uint32_t blue_pixel = 0x000000FF;


// Faces counter-clockwise seen from outside, two triangles each.
void add_quad(model& m, glm::vec3 a, glm::vec3 b, glm::vec3 c, glm::vec3 d, int material = -1) {
    mesh& g = m.geometry;
    const auto base = std::uint32_t(g.positions.size());
    g.positions.insert(g.positions.end(), {a, b, c, d});
    for (std::uint32_t k : {0u, 1u, 2u, 0u, 2u, 3u}) g.corners.push_back({base + k, base + k});
    g.texcoords.insert(g.texcoords.end(), {{0, 0}, {1, 0}, {1, 1}, {0, 1}});
    g.triangle_material.insert(g.triangle_material.end(), {material, material});
    compute_bounds(m);
}

// Straight at the +Z face, turned 20 degrees towards +X.
camera front_view(float pitch = 0.0f) {
    camera c;
    c.distance = 3.0f;
    c.yaw_degrees = 20.0f;
    c.pitch_degrees = pitch;
    return c;
}

view_settings plain() {
    view_settings s;
    s.background = blue_colorref;
    return s;
}

TEST(Background, ColorrefBecomesDibPixel) {
    const struct {
        std::uint32_t colorref, pixel;
    } cases[] = {{0x00FF0000, 0x000000FF}, {0x000000FF, 0x00FF0000}, {0x00123456, 0x00563412}, {0, 0}};
    for (const auto& c : cases) {
        view_settings s = plain();
        s.background = c.colorref;
        const canvas out = draw(nullptr, s, camera{});
        for (std::uint32_t p : out.pixels) ASSERT_EQ(p, c.pixel) << std::hex << c.colorref;
    }
}

TEST(Background, PictureIsStretchedOverTheColour) {
    picture p{2, 2, {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0x00FFFFFF}};  // the last one fully transparent
    view_settings s = plain();
    s.background_picture = &p;
    const canvas out = draw(nullptr, s, camera{}, 100, 100);
    EXPECT_EQ(out.at(5, 5), 0x00FF0000u);
    EXPECT_EQ(out.at(94, 5), 0x0000FF00u);
    EXPECT_EQ(out.at(5, 94), 0x000000FFu);
    EXPECT_EQ(out.at(94, 94), blue_pixel);  // the background colour shows through
}

// The default grey 0.8 under the headlight (ambient 0.2 + 0.8 cos angle), lit
// in linear light: sRGB decoded, lit, encoded again (the standard curve,
// written out here).
double headlit_grey(double degrees) {
    const double linear = std::pow((0.8 + 0.055) / 1.055, 2.4) * (0.2 + 0.8 * std::cos(glm::radians(degrees)));
    return 255 * (linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055);
}

TEST(Cube, LitFacesWhereTheyMustBe) {
    const model cube = unit_cube();
    const camera view = front_view();
    const canvas out = draw(&cube, plain(), view);
    EXPECT_NE(out.at(100, 100), blue_pixel);
    for (glm::vec2 corner : {glm::vec2(0, 0), glm::vec2(199, 0), glm::vec2(0, 199), glm::vec2(199, 199)})
        EXPECT_EQ(out.at(corner), blue_pixel);
    // Headlight: the front face 20 degrees off the view, the side face 70 degrees.
    const std::uint32_t front = out.at(pixel_of(view, {0.0f, 0.0f, 0.5f}));
    const std::uint32_t side = out.at(pixel_of(view, {0.5f, 0.0f, 0.0f}));
    EXPECT_NEAR(red(front), headlit_grey(20.0), 1.5);
    EXPECT_NEAR(red(side), headlit_grey(70.0), 1.5);
    EXPECT_EQ(red(front), blue(front));  // grey
    // The fast renderer lights in sRGB as the colours are stored.
    view_settings fast = plain();
    fast.fast_renderer = true;
    const canvas quick = draw(&cube, fast, view);
    EXPECT_NEAR(red(quick.at(pixel_of(view, {0.5f, 0.0f, 0.0f}))), 0.8 * 255 * (0.2 + 0.8 * std::cos(glm::radians(70.0))),
                1.5);
}

TEST(Cube, LightModesAndScale) {
    const model cube = unit_cube();
    const camera view = front_view();
    const glm::vec2 front = pixel_of(view, {0.0f, 0.0f, 0.5f});
    auto front_red = [&](const std::function<void(view_settings&)>& change) {
        view_settings s = plain();
        change(s);
        return red(draw(&cube, s, view).at(front));
    };
    const int headlight = front_red([](view_settings&) {});
    EXPECT_EQ(front_red([](view_settings& s) { s.lights = light_mode::unlit; }), 204);  // the grey itself
    EXPECT_NE(front_red([](view_settings& s) { s.lights = light_mode::rig; }), headlight);
    EXPECT_GT(front_red([](view_settings& s) { s.specular = true; }), headlight);
    EXPECT_EQ(front_red([](view_settings& s) { s.light_scale = 0.0f; }), 0);
    EXPECT_EQ(front_red([](view_settings& s) { s.light_scale = 2.0f; }), 255);
    EXPECT_EQ(front_red([](view_settings& s) { s.light_scale = std::nanf(""); }), headlight);
    EXPECT_EQ(front_red([](view_settings& s) {
                  s.lights = light_mode::unlit;
                  s.light_scale = 0.0f;
              }),
              204);
}

TEST(Cube, RenderModes) {
    const model cube = unit_cube();
    const camera view = front_view(25.0f);
    const glm::vec2 face_middle = pixel_of(view, {0.2f, -0.25f, 0.5f});  // off the diagonal
    const glm::vec2 edge = pixel_of(view, {-0.5f, 0.0f, 0.5f});
    const glm::vec2 corner = pixel_of(view, {-0.5f, -0.5f, 0.5f});
    view_settings s = plain();
    const canvas solid = draw(&cube, s, view);
    s.mode = render_mode::wireframe;
    const canvas wire = draw(&cube, s, view);
    s.mode = render_mode::points;
    const canvas points = draw(&cube, s, view);
    s.mode = render_mode::solid_wireframe;
    s.wire_colour = 0x000000FF;  // red lines
    const canvas both = draw(&cube, s, view);

    auto drawn = [](std::uint32_t p) { return p != blue_pixel; };
    EXPECT_NE(solid.at(face_middle), blue_pixel);
    EXPECT_EQ(wire.at(face_middle), blue_pixel);
    EXPECT_TRUE(wire.near(edge, drawn));
    EXPECT_EQ(points.at(face_middle), blue_pixel);
    EXPECT_FALSE(points.near(edge, drawn));
    EXPECT_TRUE(points.near(corner, drawn));
    EXPECT_EQ(both.at(face_middle), solid.at(face_middle));
    EXPECT_TRUE(both.near(edge, [](std::uint32_t p) { return p == 0x00FF0000; }));
    // Hidden lines stay hidden: the back edge of the bottom face lies behind the cube.
    const glm::vec2 hidden = pixel_of(view, {0.0f, -0.5f, -0.5f});
    EXPECT_EQ(wire.at(hidden), blue_pixel);
    s.mode = render_mode::wireframe;
    s.show_hidden_geometry = true;
    EXPECT_TRUE(draw(&cube, s, view).near(hidden, drawn));
}

TEST(Cube, VerticesAndBoundingBox) {
    model triangle;  // its box's far corner is not on the triangle
    add_quad(triangle, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 1, 0});
    const camera view = frame_bounds(triangle.bounds_min, triangle.bounds_max);
    const glm::vec2 box_corner = pixel_of(view, {1, 1, 0});
    const glm::vec2 vertex = pixel_of(view, {1, 0, 0});
    view_settings s = plain();
    const canvas without = draw(&triangle, s, view);
    s.show_bounding_box = true;
    s.show_vertices = true;
    const canvas with = draw(&triangle, s, view);
    EXPECT_EQ(without.at(box_corner), blue_pixel);
    EXPECT_TRUE(with.near(box_corner, [](std::uint32_t p) { return p != blue_pixel; }));
    EXPECT_NE(without.at(vertex), 0x00FFFF00u);
    EXPECT_EQ(with.at(vertex), 0x00FFFF00u);  // COLORREF 0x0000FFFF, yellow
}

// Dots are squares of dot_size_for pixels: the frame's smaller side / 100,
// at least 4 and at most 9, so that they show in a small view without
// swamping a large one.
TEST(Cube, DotsGrowWithTheViewWithinLimits) {
    EXPECT_EQ(dot_size_for(200, 200), 4);
    EXPECT_EQ(dot_size_for(320, 240), 4);
    EXPECT_EQ(dot_size_for(640, 480), 5);
    EXPECT_EQ(dot_size_for(800, 600), 6);
    EXPECT_EQ(dot_size_for(1024, 768), 8);
    EXPECT_EQ(dot_size_for(1920, 1080), 9);
    EXPECT_EQ(dot_size_for(0, 0), 4);
    model point;
    point.geometry.positions = {{0.0f, 0.0f, 0.0f}};
    point.geometry.points = {0};
    compute_bounds(point);
    camera view;
    view.yaw_degrees = view.pitch_degrees = 0.0f;
    for (const auto& [w, h, side] : {std::tuple{320, 240, 4}, std::tuple{640, 480, 5}, std::tuple{1280, 1024, 9}}) {
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        for (bool fast : {false, true}) {
            view_settings s = plain();
            s.fast_renderer = fast;
            const canvas shot = draw(&point, s, view, w, h);
            int drawn = 0, low_x = w, high_x = -1;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    if (shot.at(x, y) != blue_pixel) ++drawn, low_x = std::min(low_x, x), high_x = std::max(high_x, x);
            EXPECT_EQ(drawn, side * side);
            EXPECT_EQ(high_x - low_x + 1, side);
        }
    }
}

// What GridSize says when it leaves the picture as it was, and for the
// example cube (1 unit, the automatic spacing 0.1) what a finer grid takes.
TEST(Grid, SizesThatChangeNothingSayWhy) {
    const model cube = unit_cube();
    const auto prepared = prepare_model(cube, false, 30.0f);
    view_settings s = plain();
    s.grid = grid_mode::floor;
    scene_extent extent;
    extent.min = cube.bounds_min;
    extent.max = cube.bounds_max;
    EXPECT_FLOAT_EQ(grid_spacing(0.0f, extent), 0.1f) << "the automatic spacing";
    EXPECT_FLOAT_EQ(grid_spacing(0.05f, extent), 0.05f);
    EXPECT_FLOAT_EQ(grid_spacing(0.001f, extent), 0.1f) << "too fine: clamped to the automatic spacing";
    auto floor_lines = [&](float size) {
        std::vector<overlay_line> lines;
        add_grid(grid_mode::floor, size, extent, glm::vec3(3.0f), rgb{}, lines);
        return lines.size();
    };
    EXPECT_EQ(floor_lines(0.0f), 2u * 21);
    EXPECT_EQ(floor_lines(0.05f), 2u * 41) << "GridSize 0.05: twice as many lines as the automatic grid";
    EXPECT_EQ(floor_lines(0.005f), 2u * 401) << "the finest the cube takes";
    EXPECT_EQ(floor_lines(0.001f), floor_lines(0.0f));

    EXPECT_EQ(grid_size_note(prepared.get(), s, 0.0f), "");
    EXPECT_EQ(grid_size_note(prepared.get(), s, 0.05f), "");
    EXPECT_EQ(grid_size_note(prepared.get(), s, 0.001f),
              "GridSize 0.001 is too fine for this model: the grid would need 2000 lines across (at most 400), so "
              "it keeps the spacing 0.1");
    EXPECT_EQ(grid_size_note(prepared.get(), s, 5.0f),
              "GridSize 5 is wider than the floor around this model (2 across): the grid shows only one or two "
              "cells, mostly out of view");
    EXPECT_EQ(grid_size_note(nullptr, s, 5.0f), "") << "an empty scene's floor is 10 across";
    s.grid = grid_mode::none;
    EXPECT_EQ(grid_size_note(prepared.get(), s, 0.05f), "GridSize 0.05 is kept, but no grid is shown (GridMode 0)");
}

model one_triangle(glm::vec3 a, glm::vec3 b, glm::vec3 c) {
    model m;
    m.geometry.positions = {a, b, c};
    m.geometry.corners = {{0}, {1}, {2}};
    m.geometry.triangle_material = {-1};
    compute_bounds(m);
    return m;
}

TEST(Facing, OpenSurfacesShowTheSideTheCameraSees) {
    // Turned away from the camera, a triangle looks as it does turned
    // towards it: drawn, and lit as seen, in every light mode.
    const model away = one_triangle({-0.5f, -0.5f, 0}, {0, 0.5f, 0}, {0.5f, -0.5f, 0});
    const model towards = one_triangle({-0.5f, -0.5f, 0}, {0.5f, -0.5f, 0}, {0, 0.5f, 0});
    const camera view = front_view();
    for (light_mode lights : {light_mode::unlit, light_mode::headlight, light_mode::rig}) {
        view_settings s = plain();
        s.lights = lights;
        EXPECT_EQ(draw(&away, s, view).pixels, draw(&towards, s, view).pixels) << int(lights);
    }
    const std::uint32_t centre = draw(&away, plain(), view).at(pixel_of(view, {0, -0.1f, 0}));
    EXPECT_NEAR(red(centre), headlit_grey(20.0), 1.5);

    // From inside, a closed cube shows nothing (BadInput tests it); with a
    // face left out it shows its inside, lit. Closed is decided part by part:
    // an open triangle elsewhere leaves the cube culled.
    camera inside;
    inside.distance = 0.1f;
    model box = unit_cube();
    box.geometry.corners.resize(30);  // the +Z face, behind the camera, goes
    box.geometry.triangle_material.resize(10);
    EXPECT_GT(red(draw(&box, plain(), inside).at(100, 100)), 60);
    model cube_and_triangle = unit_cube();
    mesh& g = cube_and_triangle.geometry;
    g.positions.insert(g.positions.end(), {{5, 0, 0}, {6, 0, 0}, {5, 1, 0}});
    g.corners.insert(g.corners.end(), {{8}, {9}, {10}});
    g.triangle_material.push_back(-1);
    EXPECT_EQ(draw(&cube_and_triangle, plain(), inside).at(100, 100), blue_pixel);
}

TEST(Facing, AssimpTriangleFacingAwayIsSeen) {
    // Debian's assimp-testmodels: one triangle whose front faces away from
    // the camera that frames it.
    const std::string path = "/usr/share/assimp/models/OBJ/multiple_spaces.obj";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " missing (package assimp-testmodels)";
    model m;
    ASSERT_TRUE(load_model_file(path, m).ok);
    const canvas out = draw(&m, plain(), frame_bounds(m.bounds_min, m.bounds_max));
    int lit = 0;
    for (std::uint32_t p : out.pixels) lit += p != blue_pixel && red(p) > 60;
    EXPECT_GT(lit, 1000);
}

TEST(Overlays, GridOnTheFloorAndAxes) {
    const model cube = unit_cube();
    const camera view = front_view(30.0f);
    view_settings s = plain();
    s.grid = grid_mode::floor;
    s.grid_size = 0.25f;
    const canvas grid = draw(&cube, s, view);
    auto drawn = [](std::uint32_t p) { return p != blue_pixel; };
    // The floor lies at the cube's lowest Y, lines at multiples of the spacing.
    EXPECT_TRUE(grid.near(pixel_of(view, {0.5f, -0.5f, 0.8f}), drawn));
    EXPECT_FALSE(grid.near(pixel_of(view, {0.625f, -0.5f, 0.625f}), drawn));
    EXPECT_EQ(grid.at(100, 100), draw(&cube, plain(), view).at(100, 100));  // the cube hides it

    s.grid = grid_mode::floor_with_axes;
    const canvas floor_axes = draw(&cube, s, view);
    EXPECT_TRUE(floor_axes.near(pixel_of(view, {0.9f, -0.5f, 0.0f}), [](std::uint32_t p) { return p == 0x00FF0000; }));

    s.grid = grid_mode::none;
    s.show_world_axis = true;
    const canvas axes = draw(&cube, s, view);
    // Smoothed, a line may share its width between two pixels: mostly its colour.
    EXPECT_TRUE(axes.near(pixel_of(view, {0.8f, 0, 0}), [](std::uint32_t p) { return red(p) >= 128 && green(p) < 64; }));
    EXPECT_TRUE(axes.near(pixel_of(view, {0, 0.8f, 0}), [](std::uint32_t p) { return green(p) >= 128 && red(p) < 64; }));
}

TEST(Overlays, EmptySceneShowsBackgroundAndGrid) {
    view_settings s = plain();
    s.grid = grid_mode::floor_and_walls;
    camera view;
    const canvas out = draw(nullptr, s, view);
    int drawn = 0;
    for (std::uint32_t p : out.pixels) drawn += p != blue_pixel;
    EXPECT_GT(drawn, 500);
    EXPECT_TRUE(out.near(pixel_of(view, {1.0f, 0.0f, 1.0f}), [](std::uint32_t p) { return p != blue_pixel; }));

    const model nothing;
    const canvas empty = draw(&nothing, plain(), view);
    for (std::uint32_t p : empty.pixels) ASSERT_EQ(p, blue_pixel);
}

TEST(Overlays, RigLightsAreMarked) {
    const model cube = unit_cube();
    view_settings s = plain();
    s.show_lights = true;
    const canvas headlight = draw(&cube, s, front_view());
    s.show_lights = false;
    EXPECT_EQ(headlight.pixels, draw(&cube, s, front_view()).pixels);  // nothing to mark
    s.lights = light_mode::rig;
    const canvas unmarked = draw(&cube, s, front_view());
    s.show_lights = true;
    EXPECT_NE(unmarked.pixels, draw(&cube, s, front_view()).pixels);
}

// Unlit, facing the camera: what is drawn is the material colour itself.
struct flat_scene {
    model m;
    camera view;
    view_settings settings = plain();
    flat_scene() {
        settings.lights = light_mode::unlit;
        view.yaw_degrees = 0.0f;
        view.pitch_degrees = 0.0f;
        view.distance = 3.0f;
    }
    int add_material(glm::vec3 colour, float opacity = 1.0f, int texture = -1) {
        material mat;
        mat.diffuse = colour;
        mat.opacity = opacity;
        mat.diffuse_texture = texture;
        m.materials.push_back(mat);
        return int(m.materials.size()) - 1;
    }
    void add_square(float z, float half, int mat) {
        add_quad(m, {-half, -half, z}, {half, -half, z}, {half, half, z}, {-half, half, z}, mat);
    }
    canvas draw_it() const { return draw(&m, settings, view); }
};

TEST(Materials, TransparencyBlendsBackToFront) {
    flat_scene scene;
    scene.add_square(0.5f, 0.5f, scene.add_material({1, 0, 0}, 0.4f));  // near, listed first
    scene.add_square(0.0f, 0.8f, scene.add_material({0, 1, 0}, 0.4f));  // far
    const canvas out = scene.draw_it();
    // Green over blue: (0, 102, 153); red over that: (102, 61.2, 91.8).
    const std::uint32_t both = out.at(100, 100), far_only = out.at(pixel_of(scene.view, {0.7f, 0.7f, 0.0f}));
    EXPECT_NEAR(red(both), 102, 1);
    EXPECT_NEAR(green(both), 61.2, 1);
    EXPECT_NEAR(blue(both), 91.8, 1);
    EXPECT_EQ(far_only, 0x00006699u);
    // Each pixel blended once: the triangles' shared diagonal is not drawn twice.
    const glm::vec2 a = pixel_of(scene.view, {-0.45f, -0.45f, 0.5f}), b = pixel_of(scene.view, {0.45f, 0.45f, 0.5f});
    for (int x = int(a.x); x <= int(b.x); ++x)
        for (int y = int(b.y); y <= int(a.y); ++y) ASSERT_EQ(out.at(x, y), both) << x << "," << y;

    scene.settings.show_transparency = false;
    EXPECT_EQ(scene.draw_it().at(100, 100), 0x00FF0000u);
}

TEST(Materials, TransparentSurfacesHideNothing) {
    flat_scene scene;
    scene.add_square(0.0f, 0.5f, scene.add_material({1, 0, 0}, 0.5f));
    scene.add_square(0.5f, 0.3f, scene.add_material({0, 1, 0}));
    EXPECT_EQ(scene.draw_it().at(100, 100), 0x0000FF00u);  // but opaque ones in front hide them

    // The far edges of a see-through cube show through its near faces.
    model cube = unit_cube();
    cube.materials.push_back(material{});
    cube.materials[0].opacity = 0.5f;
    cube.geometry.triangle_material.assign(12, 0);
    view_settings s = plain();
    s.mode = render_mode::solid_wireframe;
    s.wire_colour = 0x000000FF;
    const camera view = front_view(25.0f);
    EXPECT_TRUE(draw(&cube, s, view).near(pixel_of(view, {0.0f, -0.5f, -0.5f}), [](std::uint32_t p) {
        return red(p) >= 128 && green(p) < 64;
    }));
}

TEST(Materials, TexturesSampleWithVUpwards) {
    flat_scene scene;
    scene.m.textures.push_back(picture{2, 2, {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF}});
    scene.add_square(0.0f, 0.5f, scene.add_material({1, 1, 1}, 1.0f, 0));
    scene.settings.bilinear_textures = false;
    auto at = [&](const canvas& c, float x, float y) { return c.at(pixel_of(scene.view, {x, y, 0.0f})); };
    const canvas out = scene.draw_it();
    EXPECT_EQ(at(out, -0.25f, 0.25f), 0x00FF0000u);  // the picture's top row is at v = 1
    EXPECT_EQ(at(out, 0.25f, 0.25f), 0x0000FF00u);
    EXPECT_EQ(at(out, -0.25f, -0.25f), 0x000000FFu);
    scene.settings.bilinear_textures = true;
    const std::uint32_t between = at(scene.draw_it(), 0.0f, 0.25f);  // halfway from the red texel to the green
    EXPECT_NEAR(red(between), 127.5, 4);
    EXPECT_NEAR(green(between), 127.5, 4);
    scene.settings.show_textures = false;
    EXPECT_EQ(at(scene.draw_it(), -0.25f, 0.25f), 0x00FFFFFFu);
}

// The smaller copies average colours in linear light (black and white make
// the grey that looks half as bright, 188, not 128) and values as stored; a
// side of one texel stays one texel while the other halves.
TEST(Materials, TextureCopiesAverageColoursAsLightAndValuesAsStored) {
    const picture checker{4, 2, {0xFF000000, 0xFFFFFFFF, 0xFF000000, 0xFFFFFFFF,
                                 0xFFFFFFFF, 0xFF000000, 0xFFFFFFFF, 0xFF000000}};
    picture colour = checker, data = checker;
    make_levels(colour, texel_meaning::colour);
    make_levels(data, texel_meaning::data);
    ASSERT_EQ(colour.levels.size(), 2u);
    EXPECT_EQ(std::make_pair(colour.levels[0].width, colour.levels[0].height), std::make_pair(2, 1));
    EXPECT_EQ(std::make_pair(colour.levels[1].width, colour.levels[1].height), std::make_pair(1, 1));
    EXPECT_EQ(colour.levels[1].pixels, std::vector<std::uint32_t>{0xFFBCBCBCu});
    EXPECT_EQ(data.levels[1].pixels, std::vector<std::uint32_t>{0xFF808080u});
}

TEST(Materials, DefaultMaterialAndVertexColours) {
    flat_scene scene;
    scene.add_square(0.0f, 0.5f, scene.add_material({1, 0, 0}));
    EXPECT_EQ(scene.draw_it().at(100, 100), 0x00FF0000u);
    scene.settings.use_default_material = true;
    EXPECT_EQ(scene.draw_it().at(100, 100), 0x00CCCCCCu);
    scene.settings.use_default_material = false;
    scene.m.geometry.colors.assign(4, glm::vec3(0, 0, 1));
    EXPECT_EQ(scene.draw_it().at(100, 100), 0x000000FFu);
}

TEST(Shading, FogDrawsFarPixelsTowardsTheBackground) {
    const model cube = unit_cube();
    const camera view = front_view();
    view_settings s = plain();
    s.background = 0x0000FF00;  // green
    const glm::vec2 near_point = pixel_of(view, {0.45f, 0.0f, 0.5f}), far_point = pixel_of(view, {0.5f, 0.0f, -0.45f});
    const canvas clear = draw(&cube, s, view);
    s.show_fog = true;
    const canvas fog = draw(&cube, s, view);
    auto pull = [&](glm::vec2 p) {
        return (green(fog.at(p)) - red(fog.at(p))) - (green(clear.at(p)) - red(clear.at(p)));
    };
    EXPECT_GT(pull(near_point), 0);
    EXPECT_GT(pull(far_point), pull(near_point) + 20);
}

TEST(Shading, CreaseAngleKeepsCubeFacesFlat) {
    const model cube = unit_cube();
    const camera view = front_view();
    const glm::vec2 centre = pixel_of(view, {0, 0, 0.5f}), near_corner = pixel_of(view, {-0.4f, 0.4f, 0.5f});
    view_settings s = plain();
    s.crease_angle_degrees = 60.0f;  // cube edges are 90 degrees: sharp
    const canvas sharp = draw(&cube, s, view);
    EXPECT_EQ(sharp.at(centre), sharp.at(near_corner));
    s.crease_angle_degrees = 120.0f;  // corner normals averaged over three faces
    const canvas round = draw(&cube, s, view);
    EXPECT_GT(std::abs(red(round.at(centre)) - red(round.at(near_corner))), 10);
    s.smoothing = false;
    const canvas flat = draw(&cube, s, view);
    EXPECT_EQ(flat.at(centre), flat.at(near_corner));
}

TEST(Camera, ProjectionAndSteering) {
    camera c = frame_bounds({-1, -1, -1}, {1, 1, 1});
    glm::vec2 p;
    ASSERT_TRUE(project_point(c, 300, 200, c.target, p));
    EXPECT_NEAR(p.x, 150.0f, 1e-3f);
    EXPECT_NEAR(p.y, 100.0f, 1e-3f);
    EXPECT_FALSE(project_point(c, 300, 200, camera_eye(c) + (camera_eye(c) - c.target), p));  // behind

    // Panning moves what is under the cursor with it (at the target's depth).
    const glm::vec3 spot = c.target;
    glm::vec2 before, after;
    ASSERT_TRUE(project_point(c, 300, 200, spot, before));
    pan(c, 12.0f, -7.0f, 300, 200);
    ASSERT_TRUE(project_point(c, 300, 200, spot, after));
    EXPECT_NEAR(after.x - before.x, 12.0f, 0.5f);
    EXPECT_NEAR(after.y - before.y, -7.0f, 0.5f);

    orbit(c, 10.0f, 500.0f);
    EXPECT_EQ(c.pitch_degrees, 89.0f);
    const float distance = c.distance;
    zoom(c, 0.5f);
    EXPECT_FLOAT_EQ(c.distance, distance * 0.5f);
    zoom(c, -1.0f);
    zoom(c, std::nanf(""));
    orbit(c, std::nanf(""), 0.0f);
    EXPECT_FLOAT_EQ(c.distance, distance * 0.5f);
    EXPECT_EQ(c.pitch_degrees, 89.0f);
}

TEST(BadInput, FramesThatCannotBeDrawnAreLeftAlone) {
    const model cube = unit_cube();
    const auto prepared = prepare_model(cube, true, 60.0f);
    frame none;
    render(prepared.get(), plain(), camera{}, none);
    std::vector<std::uint32_t> pixels(100, 7);
    for (frame f : {frame{10, 10, 5, pixels.data()}, frame{0, 10, 10, pixels.data()}, frame{10, -1, 10, pixels.data()},
                    frame{20000, 1, 20000, pixels.data()}}) {
        render(prepared.get(), plain(), camera{}, f);
        EXPECT_EQ(pixels, std::vector<std::uint32_t>(100, 7));
    }
    canvas one(1, 1);
    frame f = one.target();
    render(prepared.get(), plain(), camera{}, f);
    EXPECT_NE(one.at(0, 0), 0xDEADBEEFu);
}

TEST(BadInput, NanAndOutOfRangeIndicesAreSkipped) {
    model m = unit_cube();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    m.geometry.positions.push_back({nan, 0, 0});
    m.geometry.positions.push_back({1e30f, -1e30f, 1e30f});
    for (std::uint32_t k : {8u, 0u, 1u, 9u, 2u, 3u, 0u, 1u, 4000u}) m.geometry.corners.push_back({k});
    m.geometry.triangle_material.insert(m.geometry.triangle_material.end(), {7, -3, 0});
    m.geometry.lines = {8, 0, 1, 9, 5};
    m.geometry.points = {8, 9, 123456};
    view_settings s = plain();
    s.show_bounding_box = s.show_vertices = s.show_world_axis = true;
    s.grid = grid_mode::floor_with_axes;
    const canvas out = draw(&m, s, front_view());
    EXPECT_NE(out.at(100, 100), blue_pixel);  // the cube is still drawn
}

// Preparing while giving the model's triangles up, as the control does,
// makes what preparing and then giving them up makes: the model above with
// a textured, two-material quad besides, whose corners' texture coordinates
// the releasing preparation reuses on the way.
TEST(BadInput, PreparingWhileReleasingTrianglesMakesTheSameForm) {
    model m = unit_cube();
    m.materials.resize(2);
    m.materials[0].diffuse_texture = 0;
    m.textures.push_back(picture{2, 2, {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF}});
    add_quad(m, {-1, -1, 2}, {1, -1, 2}, {1, 1, 2}, {-1, 1, 2}, 0);
    m.geometry.triangle_material.back() = 1;
    m.geometry.positions.push_back({std::numeric_limits<float>::quiet_NaN(), 0, 0});
    const std::uint32_t bad = std::uint32_t(m.geometry.positions.size() - 1);
    for (std::uint32_t k : {bad, 0u, 1u}) m.geometry.corners.push_back({k});
    m.geometry.triangle_material.push_back(0);
    m.geometry.lines = {0, 6, bad, 1};
    m.geometry.points = {2, bad};
    const auto whole = prepare_model(m, true, 60.0f);
    model released = m;
    const auto taken = prepare_releasing_triangles(released, true, 60.0f);
    ASSERT_TRUE(whole && taken);
    EXPECT_TRUE(released.geometry.corners.empty() && released.geometry.triangle_material.empty());
    ASSERT_EQ(taken->vertices.size(), whole->vertices.size());
    for (std::size_t v = 0; v < whole->vertices.size(); ++v) {
        const render_vertex &a = whole->vertices[v], &b = taken->vertices[v];
        EXPECT_TRUE(a.position == b.position && a.texcoord == b.texcoord && a.normal == b.normal &&
                    a.material == b.material) << "vertex " << v;
    }
    EXPECT_EQ(taken->triangles, whole->triangles);
    EXPECT_EQ(taken->triangle_material, whole->triangle_material);
    EXPECT_EQ(taken->triangle_flags, whole->triangle_flags);
    EXPECT_EQ(taken->lines, whole->lines);
    EXPECT_EQ(taken->loose_points, whole->loose_points);
}

TEST(BadInput, GeometryAroundAndBehindTheCamera) {
    const model cube = unit_cube();
    view_settings s = plain();
    camera inside;
    inside.distance = 0.1f;
    EXPECT_EQ(draw(&cube, s, inside).at(100, 100), blue_pixel);  // only back faces: culled
    s.show_hidden_geometry = true;
    EXPECT_NE(draw(&cube, s, inside).at(100, 100), blue_pixel);

    // A floor reaching from far behind the camera to far ahead of it.
    model floor;
    add_quad(floor, {-1e4f, -1, 1e4f}, {1e4f, -1, 1e4f}, {1e4f, -1, -1e4f}, {-1e4f, -1, -1e4f});
    camera low;
    low.distance = 1.0f;
    low.pitch_degrees = 0.0f;
    s = plain();
    s.lights = light_mode::unlit;
    s.mode = render_mode::solid_wireframe;
    s.show_vertices = s.show_bounding_box = true;
    const canvas out = draw(&floor, s, low);
    EXPECT_EQ(out.at(100, 199), 0x00CCCCCCu);  // the floor under the camera
    EXPECT_EQ(out.at(100, 10), blue_pixel);    // sky

    s.mode = static_cast<render_mode>(77);  // read as solid
    s.lights = static_cast<light_mode>(-4);
    s.grid = static_cast<grid_mode>(12);
    EXPECT_EQ(draw(&floor, s, low).at(100, 199), draw(&floor, plain(), low).at(100, 199));

    camera odd;
    odd.distance = std::nanf("");
    odd.fov_degrees = -5.0f;
    odd.target = glm::vec3(std::nanf(""));
    draw(&cube, s, odd);  // read as sensible values; must not crash
}

// Bands drawn on threads give the frame one thread draws, bit for bit: a
// textured, transparent, lit model with its edges, the grid and fog, seen at
// an angle so that triangles cross the bands' borders; and a rippled sheet
// of triangles a pixel or two across, many of them on a border or between
// pixel centres, with and without anti-aliasing.
TEST(Threads, EveryNumberOfThreadsDrawsTheSamePicture) {
    model m;
    m.materials.resize(2);
    m.materials[1].opacity = 0.5f;
    m.materials[0].diffuse_texture = 0;
    m.textures.push_back(picture{2, 2, {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF}});
    add_quad(m, {-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1}, 0);
    add_quad(m, {-1, -1, 0.5f}, {1, -1, 0.5f}, {1, 1, 0.5f}, {-1, 1, 0.5f}, 1);
    model sheet;
    constexpr int across = 64, down = 56;
    auto at = [](int i, int j) {
        const float x = -0.45f + 0.9f * static_cast<float>(i) / across, y = -0.45f + 0.9f * static_cast<float>(j) / down;
        return glm::vec3(x, y, 0.1f * std::sin(15.0f * x) * std::cos(11.0f * y));
    };
    for (int j = 0; j < down; ++j)
        for (int i = 0; i < across; ++i) add_quad(sheet, at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1));
    view_settings s = plain();
    s.mode = render_mode::solid_wireframe;
    s.grid = grid_mode::floor_with_axes;
    s.show_fog = true;
    s.specular = true;
    s.lights = light_mode::rig;
    const camera c = front_view(25.0f);
    for (const model* drawn : {&m, &sheet})
        for (bool fast : {false, true}) {
            s.fast_renderer = fast;
            s.mode = drawn == &m ? render_mode::solid_wireframe : render_mode::solid;
            const canvas one = draw(drawn, s, c, 301, 257);
            const auto prepared = prepare_model(*drawn, s.smoothing, s.crease_angle_degrees);
            for (int threads : {2, 3, 8}) {
                worker_pool pool(threads);
                canvas many(301, 257);
                frame f = many.target();
                render(prepared.get(), s, c, f, &pool);
                render(prepared.get(), s, c, f, &pool);  // the pool's threads, once started, again
                EXPECT_TRUE(many.pixels == one.pixels) << threads << " threads, model " << (drawn == &m ? 1 : 2)
                                                       << (fast ? ", fast" : "");
            }
        }
}

// A new pool's first run, the frame after a model is loaded, is shared by
// all its threads, not left to the caller's while the others sleep.
TEST(Threads, EveryThreadTakesPartInANewPoolsFirstRun) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        worker_pool pool(4);
        std::mutex lock;
        std::set<std::thread::id> took_part;
        pool.run(32, [&](int) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard<std::mutex> hold(lock);
            took_part.insert(std::this_thread::get_id());
        });
        EXPECT_EQ(took_part.size(), 4u) << "attempt " << attempt;
    }
}

}  // namespace
