// What each member of the viewer control does to its state, called as
// Invoke calls it: by the member table's row for the name.
#include "control/com/control_state.h"

#include "control/engine/render/camera.h"
#include "control/engine/render/renderer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using engine::grid_mode;
using engine::light_mode;
using engine::render_mode;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

const member_entry& member(const wchar_t* name) {
    const member_entry* entry = find_member(name);
    if (!entry) throw std::runtime_error("no member of that name");
    return *entry;
}

// Zero of either sign prints as 0: no member tells them apart.
double shown(double value) { return value == 0 ? 0.0 : value; }

// Every part of the state a member with numbers may change, in one line,
// so that a failing row prints what differs.
std::string describe(const control_state& c) {
    const engine::view_settings& s = c.settings;
    std::ostringstream out;
    out << "mode " << int(s.mode) << ", smoothing " << s.smoothing << ", crease " << shown(s.crease_angle_degrees)
        << ", lights " << int(s.lights) << ", specular " << s.specular << ", light scale " << s.light_scale
        << ", default material " << s.use_default_material << ", transparency " << s.show_transparency
        << ", textures " << s.show_textures << ", fog " << s.show_fog << ", hidden " << s.show_hidden_geometry
        << ", vertices " << s.show_vertices << ", light markers " << s.show_lights << ", axis "
        << s.show_world_axis << ", box " << s.show_bounding_box << ", grid " << int(s.grid) << ", grid size "
        << shown(s.grid_size) << std::hex << ", background " << s.background << ", wire " << s.wire_colour
        << ", vertex colour " << s.vertex_colour << std::dec << ", picture " << (s.background_picture != nullptr)
        << ", bilinear " << s.bilinear_textures << "; camera " << c.view.distance << " " << c.view.yaw_degrees
        << " " << c.view.pitch_degrees << "; inertia " << c.inertial_rotation << ", left " << int(c.left_button)
        << ", right " << int(c.right_button) << ", visible " << c.window_visible << ", api " << c.render_api
        << ", init '" << c.init_identifier << "' '" << c.init_folder << "'";
    return out.str();
}

// The defaults, and a state that differs from them in every field.
control_state defaults() { return control_state{}; }
control_state altered() {
    control_state c;
    engine::view_settings& s = c.settings;
    s.mode = render_mode::wireframe;
    s.smoothing = false;
    s.crease_angle_degrees = 30;
    s.lights = light_mode::rig;
    s.specular = true;
    s.light_scale = 2;
    s.use_default_material = true;
    s.show_transparency = false;
    s.show_textures = false;
    s.show_fog = true;
    s.show_hidden_geometry = true;
    s.show_vertices = true;
    s.show_lights = true;
    s.show_world_axis = true;
    s.show_bounding_box = true;
    s.grid = grid_mode::floor_and_walls;
    s.grid_size = 2.5f;
    s.background = 0x123456;
    s.wire_colour = 0x654321;
    s.vertex_colour = 0x0000FF;
    // Set, not drawn: only whether a picture is set is compared.
    s.background_picture = &c.background_picture;
    c.view.distance = 9;
    c.view.yaw_degrees = -40;
    c.inertial_rotation = true;
    c.left_button = mouse_mode::move;
    c.right_button = mouse_mode::rotate;
    c.window_visible = false;
    c.render_api = 7;
    c.init_identifier = "earlier";
    return c;
}

struct member_row {
    const wchar_t* member;
    double first, second;  // numbers; the second only for SETCOLOR
    std::function<void(control_state&)> effect;  // what the call does to a state
    bool changed;                                // apply_member's answer
};

using field = bool& (*)(control_state&);

// An on/off member: non-zero is on, zero of either sign and NaN off.
void add_switch(std::vector<member_row>& rows, const wchar_t* name, field f, bool changed) {
    for (double value : {1.0, 0.5, -1.0, inf, -inf, 0.0, -0.0, nan}) {
        const bool on = value != 0 && !std::isnan(value);
        rows.push_back({name, value, 0, [f, on](control_state& c) { f(c) = on; }, changed});
    }
}

std::vector<member_row> member_rows() {
    auto mode = [](render_mode m) { return [m](control_state& c) { c.settings.mode = m; }; };
    auto grid = [](grid_mode g) { return [g](control_state& c) { c.settings.grid = g; }; };
    auto lights = [](light_mode l) { return [l](control_state& c) { c.settings.lights = l; }; };
    auto light_scale = [](float v) { return [v](control_state& c) { c.settings.light_scale = v; }; };
    auto crease = [](float v) { return [v](control_state& c) { c.settings.crease_angle_degrees = v; }; };
    auto grid_size = [](float v) { return [v](control_state& c) { c.settings.grid_size = v; }; };
    auto background = [](std::uint32_t v) { return [v](control_state& c) { c.settings.background = v; }; };
    auto left = [](mouse_mode m) { return [m](control_state& c) { c.left_button = m; }; };
    auto right = [](mouse_mode m) { return [m](control_state& c) { c.right_button = m; }; };
    auto api = [](double v) { return [v](control_state& c) { c.render_api = v; }; };
    auto renderer = [](double v, bool fast) {
        return [v, fast](control_state& c) { c.render_api = v, c.settings.fast_renderer = fast; };
    };
    auto nothing = [](control_state&) {};

    std::vector<member_row> rows = {
        // Modes: rounded half up, clamped to their range; NaN keeps the mode.
        {L"RENDERMODE", 3, 0, mode(render_mode::points), true},
        {L"RENDERMODE", 0.4, 0, mode(render_mode::solid), true},
        {L"RENDERMODE", 0.5, 0, mode(render_mode::solid), true},
        {L"RENDERMODE", 1.5, 0, mode(render_mode::wireframe), true},
        {L"RENDERMODE", 2.49, 0, mode(render_mode::wireframe), true},
        {L"RENDERMODE", 4.5, 0, mode(render_mode::solid_wireframe), true},
        {L"RENDERMODE", -0.0, 0, mode(render_mode::solid), true},
        {L"RENDERMODE", inf, 0, mode(render_mode::solid_wireframe), true},
        {L"RENDERMODE", -inf, 0, mode(render_mode::solid), true},
        {L"RENDERMODE", nan, 0, nothing, true},
        {L"GRIDMODE", 1, 0, grid(grid_mode::floor), true},
        {L"GRIDMODE", 0.5, 0, grid(grid_mode::floor), true},
        {L"GRIDMODE", 3.7, 0, grid(grid_mode::floor_with_axes), true},
        {L"GRIDMODE", -1, 0, grid(grid_mode::none), true},
        {L"GRIDMODE", -0.0, 0, grid(grid_mode::none), true},
        {L"GRIDMODE", inf, 0, grid(grid_mode::floor_with_axes), true},
        {L"GRIDMODE", -inf, 0, grid(grid_mode::none), true},
        {L"GRIDMODE", nan, 0, nothing, true},
        {L"LIGHTMODE", 0, 0, lights(light_mode::unlit), true},
        {L"LIGHTMODE", 1.4, 0, lights(light_mode::headlight), true},
        {L"LIGHTMODE", 2.4, 0, lights(light_mode::rig), true},
        {L"LIGHTMODE", 7, 0, lights(light_mode::rig), true},
        {L"LIGHTMODE", -0.6, 0, lights(light_mode::unlit), true},
        {L"LIGHTMODE", inf, 0, lights(light_mode::rig), true},
        {L"LIGHTMODE", -inf, 0, lights(light_mode::unlit), true},
        {L"LIGHTMODE", nan, 0, nothing, true},
        // Brightness relative to the default, never to the current level;
        // 0 or less is the default, NaN is ignored.
        {L"SCALELIGHTING", 1.5, 0, light_scale(1.5f), true},
        {L"SCALELIGHTING", 17, 0, light_scale(16), true},
        {L"SCALELIGHTING", inf, 0, light_scale(16), true},
        {L"SCALELIGHTING", 0.01, 0, light_scale(1.0f / 16), true},
        {L"SCALELIGHTING", 1e-300, 0, light_scale(1.0f / 16), true},
        {L"SCALELIGHTING", 0, 0, light_scale(1), true},
        {L"SCALELIGHTING", -0.0, 0, light_scale(1), true},
        {L"SCALELIGHTING", -2, 0, light_scale(1), true},
        {L"SCALELIGHTING", -inf, 0, light_scale(1), true},
        {L"SCALELIGHTING", nan, 0, nothing, false},
        {L"CREASEANGLE", 45, 0, crease(45), true},
        {L"CREASEANGLE", 0.5, 0, crease(0.5f), true},
        {L"CREASEANGLE", 200, 0, crease(180), true},
        {L"CREASEANGLE", -5, 0, crease(0), true},
        {L"CREASEANGLE", -0.0, 0, crease(0), true},
        {L"CREASEANGLE", inf, 0, crease(180), true},
        {L"CREASEANGLE", -inf, 0, crease(0), true},
        {L"CREASEANGLE", nan, 0, nothing, false},
        // Grid spacing: 0 chooses one from the model's size.
        {L"GRIDSIZE", 0.25, 0, grid_size(0.25f), true},
        {L"GRIDSIZE", 1e300, 0, grid_size(1e30f), true},
        {L"GRIDSIZE", inf, 0, grid_size(1e30f), true},
        {L"GRIDSIZE", 1e-50, 0, grid_size(0), true},
        {L"GRIDSIZE", 0, 0, grid_size(0), true},
        {L"GRIDSIZE", -3, 0, grid_size(0), true},
        {L"GRIDSIZE", -inf, 0, grid_size(0), true},
        {L"GRIDSIZE", nan, 0, grid_size(0), true},
        // SETCOLOR: which colour, then a COLORREF clamped to 0..0xFFFFFF.
        {L"SETCOLOR", 0, 255, background(255), true},
        {L"SETCOLOR", -0.0, 7, background(7), true},
        {L"SETCOLOR", 0, 1.9, background(1), true},
        {L"SETCOLOR", 0, 0x1000000, background(0xFFFFFF), true},
        {L"SETCOLOR", 0, inf, background(0xFFFFFF), true},
        {L"SETCOLOR", 0, -5, background(0), true},
        {L"SETCOLOR", 0, -inf, background(0), true},
        {L"SETCOLOR", 0, nan, background(0), true},
        {L"SETCOLOR", 1, 0xABCDEF, [](control_state& c) { c.settings.wire_colour = 0xABCDEF; }, true},
        {L"SETCOLOR", 2, 0x010203, [](control_state& c) { c.settings.vertex_colour = 0x010203; }, true},
        {L"SETCOLOR", 3, 5, nothing, false},
        {L"SETCOLOR", 0.5, 5, nothing, false},
        {L"SETCOLOR", -1, 5, nothing, false},
        {L"SETCOLOR", nan, 5, nothing, false},
        // Button modes: 1 rotate, 2 zoom, 3 move after rounding; others ignored.
        {L"LEFTMBUTTONMODE", 1, 0, left(mouse_mode::rotate), false},
        {L"LEFTMBUTTONMODE", 2.4, 0, left(mouse_mode::zoom), false},
        {L"LEFTMBUTTONMODE", 2.5, 0, left(mouse_mode::move), false},
        {L"LEFTMBUTTONMODE", 0.6, 0, left(mouse_mode::rotate), false},
        {L"LEFTMBUTTONMODE", 0, 0, nothing, false},
        {L"LEFTMBUTTONMODE", 4, 0, nothing, false},
        {L"LEFTMBUTTONMODE", inf, 0, nothing, false},
        {L"LEFTMBUTTONMODE", -inf, 0, nothing, false},
        {L"LEFTMBUTTONMODE", nan, 0, nothing, false},
        {L"RIGHTMBUTTONMODE", 3, 0, right(mouse_mode::move), false},
        {L"RIGHTMBUTTONMODE", 1.5, 0, right(mouse_mode::zoom), false},
        {L"RIGHTMBUTTONMODE", -1, 0, nothing, false},
        {L"RIGHTMBUTTONMODE", nan, 0, nothing, false},
        // 0 quality, 1 fast after rounding; other values remembered only.
        {L"RENDERAPI", 1, 0, renderer(1, true), true},
        {L"RENDERAPI", 0.5, 0, renderer(0.5, true), true},
        {L"RENDERAPI", 0.49, 0, renderer(0.49, false), true},
        {L"RENDERAPI", 3, 0, api(3), false},
        {L"RENDERAPI", -inf, 0, api(-inf), false},
        {L"RENDERAPI", nan, 0, api(nan), false},
        {L"RESETSCENE", 0, 0, [](control_state& c) { c.view = engine::camera{}; }, true},
        {L"BKPICTURE", 0, 0, [](control_state& c) { c.settings.background_picture = nullptr; }, true},
    };
    add_switch(rows, L"SPECULARLIGHTING", [](control_state& c) -> bool& { return c.settings.specular; }, true);
    add_switch(rows, L"USEDEFAULTMATERIAL",
               [](control_state& c) -> bool& { return c.settings.use_default_material; }, true);
    add_switch(rows, L"SHOWTRANSPARENCY", [](control_state& c) -> bool& { return c.settings.show_transparency; },
               true);
    add_switch(rows, L"SHOWTEXTURES", [](control_state& c) -> bool& { return c.settings.show_textures; }, true);
    add_switch(rows, L"SHOWFOG", [](control_state& c) -> bool& { return c.settings.show_fog; }, true);
    add_switch(rows, L"SHOWHIDDENGEOMETRY",
               [](control_state& c) -> bool& { return c.settings.show_hidden_geometry; }, true);
    add_switch(rows, L"SHOWVERTEXES", [](control_state& c) -> bool& { return c.settings.show_vertices; }, true);
    add_switch(rows, L"SHOWLIGHTS", [](control_state& c) -> bool& { return c.settings.show_lights; }, true);
    add_switch(rows, L"SHOWWORLDAXIS", [](control_state& c) -> bool& { return c.settings.show_world_axis; }, true);
    add_switch(rows, L"SHOWBOUNDINGBOX", [](control_state& c) -> bool& { return c.settings.show_bounding_box; },
               true);
    add_switch(rows, L"SMOOTHING", [](control_state& c) -> bool& { return c.settings.smoothing; }, true);
    add_switch(rows, L"INERTIALROTATION", [](control_state& c) -> bool& { return c.inertial_rotation; }, false);
    add_switch(rows, L"HWINDOW", [](control_state& c) -> bool& { return c.window_visible; }, true);
    return rows;
}

std::string name_of(const wchar_t* member) { return std::string(member, member + std::wcslen(member)); }

// Each row from the defaults and from a state differing in every field, so
// that a member setting a field and one leaving it alone never look alike.
TEST(ControlState, EachMemberSetsWhatItNamesAndNothingElse) {
    const std::vector<member_row> rows = member_rows();
    for (const member_row& row : rows) {
        for (control_state (*start)() : {defaults, altered}) {
            SCOPED_TRACE(name_of(row.member) + "(" + std::to_string(row.first) + ", " + std::to_string(row.second) +
                         ") from " + (start == defaults ? "the defaults" : "the altered state"));
            control_state state = start();
            control_state expected = start();
            row.effect(expected);
            member_values values;
            values.numbers[0] = row.first;
            values.numbers[1] = row.second;
            EXPECT_EQ(apply_member(state, member(row.member), values), row.changed);
            EXPECT_EQ(describe(state), describe(expected));
        }
    }
}

TEST(ControlState, InitRemembersItsTexts) {
    control_state state;
    member_values values;
    values.texts[0] = "Quelto";
    values.texts[1] = "C:\\plug-ins\\";
    EXPECT_FALSE(apply_member(state, member(L"INIT"), values));
    EXPECT_EQ(state.init_identifier, "Quelto");
    EXPECT_EQ(state.init_folder, "C:\\plug-ins\\");
}

// A private folder for model files, removed at the end.
class scratch_folder {
public:
    scratch_folder() {
        char name[] = "/tmp/quelto_control_XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~scratch_folder() { std::filesystem::remove_all(path_); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ + "/" + name, std::ios::binary) << text;
        return path_ + "/" + name;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The message line: a failure's line stays until the next change to the
// picture, which clears it (or puts up its own); a call that changes
// nothing, or only shows or hides the window, keeps it. A load's warning
// stays with its model.
TEST(ControlState, MessageLineGoesWithTheNextChange) {
    const scratch_folder folder;
    const std::string cut = folder.write("cut.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf 1 2");
    struct row {
        const wchar_t* member;
        double number;
        std::string text;
        const char* message;        // the line afterwards, or how it begins
        const char* model_warning;  // likewise
    };
    const row rows[] = {
        {L"RENDERMODE", 2, "", "", "earlier warning"},
        {L"SHOWFOG", 1, "", "", "earlier warning"},
        {L"RENDERAPI", 1, "", "", "earlier warning"},
        {L"RENDERAPI", 2, "", "earlier failure", "earlier warning"},
        {L"SETCOLOR", 5, "", "earlier failure", "earlier warning"},
        {L"CREASEANGLE", nan, "", "earlier failure", "earlier warning"},
        {L"HWINDOW", 0, "", "earlier failure", "earlier warning"},
        {L"LOADFILE", 0, folder.path() + "/missing.obj", "missing.obj: could not be opened", ""},
        {L"LOADFILE", 0, cut, "", "cut.obj: the file ends early"},
        {L"BKPICTURE", 0, folder.path() + "/sky.png", "sky.png: ", "earlier warning"},
        {L"RESETSCENE", 0, "", "", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(name_of(r.member));
        control_state state;
        state.message = "earlier failure";
        state.model_warning = "earlier warning";
        member_values values;
        values.numbers[0] = r.number;
        values.texts[0] = r.text;
        apply_member(state, member(r.member), values);
        if (*r.message) EXPECT_EQ(state.message.rfind(r.message, 0), 0u) << state.message;
        else EXPECT_EQ(state.message, "");
        if (*r.model_warning) EXPECT_EQ(state.model_warning.rfind(r.model_warning, 0), 0u) << state.model_warning;
        else EXPECT_EQ(state.model_warning, "");
    }
}

// While a model is shown its prepared form holds the triangles, not the
// model; a change of smoothing or crease angle makes them ready again from
// there. The picture must be the one a fresh load with those settings gives,
// also for a model with triangles that cannot be drawn (a corner that is not
// a number) and corners whose texture coordinates differ at a shared place.
TEST(ControlState, ModelPreparedAgainDrawsAsAFreshLoad) {
    const scratch_folder folder;
    // A 2 x 2 picture in four colours, 24-bit BMP rows bottom-up, each padded to 8 bytes.
    const unsigned char bmp[] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0,
                                 1, 0, 24, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0};
    folder.write("four.bmp", std::string(reinterpret_cast<const char*>(bmp), sizeof bmp));
    folder.write("box.mtl", "newmtl painted\nKd 1 1 1\nmap_Kd four.bmp\n");
    const std::string model = folder.write(
        "box.obj",
        "mtllib box.mtl\nusemtl painted\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\nv nan 0 0\n"
        "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nvt 0.5 0.5\n"
        "f 1/1 4/4 3/3 2/2\nf 5/1 6/2 7/3 8/4\nf 1/5 2/2 6/3 5/4\nf 2/1 3/2 7/3 6/4\nf 3/1 4/2 8/3 7/4\n"
        "f 4/5 1/2 5/3 8/4\nf 1 2 9\n");
    auto frame_of = [](const control_state& state) {
        std::vector<std::uint32_t> pixels(96 * 72);
        engine::frame target{96, 72, 96, pixels.data()};
        engine::camera view = state.view;
        engine::orbit(view, 35, 25);
        engine::render(state.prepared.get(), state.settings, view, target);
        return pixels;
    };
    member_values load;
    load.texts[0] = model;
    control_state shown;
    apply_member(shown, member(L"LOADFILE"), load);
    ASSERT_TRUE(shown.prepared);
    EXPECT_TRUE(shown.scene.geometry.corners.empty()) << "the model holds its triangles twice";
    const std::vector<std::uint32_t> first = frame_of(shown);
    struct step {
        const wchar_t* member;
        double number;
    };
    for (const step& s : {step{L"SMOOTHING", 0}, step{L"CREASEANGLE", 10}, step{L"SMOOTHING", 1},
                          step{L"CREASEANGLE", 89}}) {
        SCOPED_TRACE(name_of(s.member) + " " + std::to_string(s.number));
        member_values values;
        values.numbers[0] = s.number;
        apply_member(shown, member(s.member), values);
        control_state fresh;
        fresh.settings = shown.settings;
        apply_member(fresh, member(L"LOADFILE"), load);
        fresh.settings = shown.settings;
        EXPECT_EQ(frame_of(shown), frame_of(fresh));
        EXPECT_TRUE(shown.scene.geometry.corners.empty());
    }
    // Back to the settings it was loaded with: the first picture again.
    member_values crease;
    crease.numbers[0] = 60;
    apply_member(shown, member(L"CREASEANGLE"), crease);
    EXPECT_EQ(frame_of(shown), first);
}

// MESSAGELINE reads the line the view shows; MESSAGECOUNT counts each line
// put up, the same text again too, but not a line that only stays up.
TEST(ControlState, MessageLineAndCountFollowEveryLinePutUp) {
    const scratch_folder folder;
    const std::string cut = folder.write("cut.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf 1 2");
    const std::string flat = folder.write("flat.obj", "v 0 0 0\nv 1 0 0\nv 2 0 0\nf 1 2 3\n");
    const std::string good = folder.write("good.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    control_state state;
    auto line = [&] {
        double number = -1;
        std::string text = "(unread)";
        EXPECT_TRUE(read_member(state, member(L"MESSAGELINE"), number, text));
        return text;
    };
    auto count = [&] {
        double number = -1;
        std::string text;
        EXPECT_TRUE(read_member(state, member(L"messagecount"), number, text));
        return number;
    };
    auto call = [&](const wchar_t* name, double number, const std::string& text = "") {
        member_values values;
        values.numbers[0] = number;
        values.texts[0] = text;
        values.count = 1;
        apply_member(state, member(name), values);
    };
    EXPECT_EQ(line(), "");
    EXPECT_EQ(count(), 0);
    call(L"LOADFILE", 0, folder.path() + "/missing.obj");
    EXPECT_EQ(line(), "missing.obj: could not be opened (missing or not readable)");
    EXPECT_EQ(count(), 1);
    call(L"LOADFILE", 0, folder.path() + "/missing.obj");
    EXPECT_EQ(count(), 2) << "the same text again";
    call(L"HWINDOW", 0);
    call(L"SETCOLOR", 7);  // no such colour: changes nothing
    EXPECT_EQ(line(), "missing.obj: could not be opened (missing or not readable)");
    EXPECT_EQ(count(), 2) << "a line that stays up counts once";
    call(L"RENDERMODE", 2);
    EXPECT_EQ(line(), "");
    call(L"LOADFILE", 0, cut);
    EXPECT_EQ(line().rfind("cut.obj: the file ends early", 0), 0u) << line();
    EXPECT_EQ(count(), 3) << "a model's warning is a line too";
    call(L"RENDERMODE", 1);
    EXPECT_EQ(line().rfind("cut.obj: the file ends early", 0), 0u) << "stays with its model";
    EXPECT_EQ(count(), 3);
    call(L"LOADFILE", 0, flat);
    EXPECT_EQ(line(), "flat.obj: holds nothing that can be drawn: its 1 triangle has no area (its corners lie at one "
                      "place or on one line)");
    EXPECT_EQ(count(), 4);
    call(L"LOADFILE", 0, good);
    EXPECT_EQ(line(), "");
    EXPECT_EQ(count(), 4);
    call(L"GRIDMODE", 1);
    call(L"GRIDSIZE", 1e-6);
    EXPECT_EQ(line().rfind("GridSize 1e-06 is too fine for this model: the grid would need ", 0), 0u) << line();
    EXPECT_EQ(count(), 5);
    call(L"GRIDSIZE", 0.1);
    EXPECT_EQ(line(), "") << "a size the grid takes";
    call(L"GRIDSIZE", 0);
    EXPECT_EQ(line(), "") << "the automatic spacing";
    EXPECT_EQ(count(), 5);
    show_message(state, "out of memory");
    EXPECT_EQ(count(), 6);
    call(L"RESETSCENE", 0);
    EXPECT_EQ(line(), "");
    EXPECT_EQ(count(), 6);

    // Read only: neither a method nor a put.
    for (const wchar_t* name : {L"MESSAGELINE", L"MESSAGECOUNT"}) {
        EXPECT_EQ(member(name).kinds, unsigned(as_property_get));
        EXPECT_EQ(find_member(static_cast<std::int32_t>(member(name).id)), &member(name));
    }
    for (int i = 0; i < member_count; ++i) EXPECT_NE(member_table[i].kinds, unsigned(as_property_get));
}

// A long line wraps at blanks, a word longer than a line is broken, and a
// line past the last allowed ends in "...". Widths here count characters.
TEST(ControlState, MessageLinesWrapAtBlanksAndBreakOverlongWords) {
    const auto characters = [](const std::string& piece) { return static_cast<int>(piece.size()); };
    using lines = std::vector<std::string>;
    EXPECT_EQ(wrapped_lines("short", 20, 6, characters), lines{"short"});
    EXPECT_EQ(wrapped_lines("", 20, 6, characters), lines{});
    EXPECT_EQ(wrapped_lines("cube.obj: could not be opened (missing or not readable)", 20, 6, characters),
              (lines{"cube.obj: could not", "be opened (missing", "or not readable)"}));
    EXPECT_EQ(wrapped_lines("C:\\very\\long\\folder\\name\\model.obj: is empty", 12, 6, characters),
              (lines{"C:\\very\\long", "\\folder\\name", "\\model.obj:", "is empty"}));
    EXPECT_EQ(wrapped_lines("one two three four five six seven", 9, 2, characters), (lines{"one two", "three..."}));
    EXPECT_EQ(wrapped_lines("abcdefghijklmnop", 5, 2, characters), (lines{"abcde", "fg..."}));
    EXPECT_EQ(wrapped_lines("  blanks   between   words  ", 8, 6, characters), (lines{"blanks", "between", "words"}));
    for (int width : {1, 2, 3, 7, 30})
        for (const std::string& piece :
             wrapped_lines("A message line, with a_very_long_file_name_without_blanks.obj, wraps.", width, 100, characters))
            EXPECT_LE(static_cast<int>(piece.size()), std::max(width, 1)) << piece;
}

}  // namespace
