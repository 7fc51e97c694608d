#include "control/com/control_state.h"

#include <algorithm>
#include <cmath>

#include "control/engine/files/file_paths.h"
#include "control/engine/formats/model_loaders.h"
#include "control/engine/render/renderer.h"

namespace {

bool on(double value) { return value != 0 && !std::isnan(value); }

// A mode number clamped to a range; NaN keeps the current mode.
template <class Mode>
Mode clamped_mode(double value, int low, int high, Mode current) {
    if (std::isnan(value)) return current;
    const double whole = std::floor(value + 0.5);
    return static_cast<Mode>(static_cast<int>(std::clamp(whole, double(low), double(high))));
}

// What a model that memory cannot hold leaves: no scene, and one line that
// says how far it got. The viewer lives in a 32-bit host, with 2 GB of
// address space for everything in it.
void drop_unfitting_model(control_state& state, const std::string& what_happened) {
    const std::string name = state.model_name;
    clear_scene(state);
    state.message = name + ": does not fit in memory: " + what_happened +
                    " (the viewer shares the 2 GB of a 32-bit program with its host)";
}

// While a model is shown, its prepared form holds its triangles, not the
// model too. To prepare it again, they come back to the model and the old
// form goes before the new one is made: a large model's two forms at once
// may not fit where one does.
void reprepare(control_state& state) {
    if (state.prepared) {
        try {
            engine::restore_triangles(state.scene, *state.prepared);
        } catch (const std::bad_alloc&) {
            state.prepared = nullptr;
            drop_unfitting_model(state, "memory ran out while making it ready to draw again");
            return;
        }
    }
    state.prepared = nullptr;
    if (state.scene.empty()) return;
    const std::size_t triangles = state.scene.geometry.triangle_count();
    state.prepared = engine::prepare_releasing_triangles(state.scene, state.settings.smoothing,
                                                         state.settings.crease_angle_degrees);
    if (!state.prepared)
        drop_unfitting_model(state, "its " + std::to_string(triangles) +
                                        " triangles were read, but memory ran out while making them ready to draw");
}

void reset_view(control_state& state) {
    state.view = state.scene.empty() ? engine::camera{}
                                     : engine::frame_bounds(state.scene.bounds_min, state.scene.bounds_max);
}

mouse_mode button_mode(double value, mouse_mode current) {
    if (std::isnan(value)) return current;
    const double whole = std::floor(value + 0.5);
    if (whole == 1) return mouse_mode::rotate;
    if (whole == 2) return mouse_mode::zoom;
    if (whole == 3) return mouse_mode::move;
    return current;  // not a mode: ignored
}

std::uint32_t colour_ref(double value) {
    if (!(value >= 0)) return 0;
    if (value > 0xFFFFFF) return 0xFFFFFF;
    return static_cast<std::uint32_t>(value);
}

}  // namespace

const std::string& shown_line(const control_state& state) {
    return state.message.empty() ? state.model_warning : state.message;
}

void show_message(control_state& state, std::string line) {
    state.message = std::move(line);
    if (!state.message.empty()) ++state.messages_shown;
}

std::vector<std::string> wrapped_lines(const std::string& text, int width, int most_lines,
                                       const std::function<int(const std::string&)>& measure) {
    std::vector<std::string> lines;
    most_lines = std::max(most_lines, 1);
    const auto fits = [&](std::size_t from, std::size_t to) {
        return width <= 0 ? to - from <= 1 : measure(text.substr(from, to - from)) <= width;
    };
    std::size_t at = 0;
    const std::size_t n = text.size();
    while (at < n && static_cast<int>(lines.size()) < most_lines) {
        while (at < n && text[at] == ' ') ++at;  // blanks where a line was broken
        if (at >= n) break;
        // The longest piece from `at` that fits, ending at a blank if one
        // can; at least one character, so that it always moves on.
        std::size_t end = at + 1;
        while (end < n && fits(at, end + 1)) ++end;
        if (end < n) {
            std::size_t blank = text.rfind(' ', end);
            if (text[end] != ' ' && blank != std::string::npos && blank > at) end = blank;
        }
        std::size_t trimmed = end;
        while (trimmed > at && text[trimmed - 1] == ' ') --trimmed;
        lines.push_back(text.substr(at, trimmed - at));
        at = end;
    }
    while (at < n && text[at] == ' ') ++at;
    if (at < n && !lines.empty()) {
        // More than fits: the last line ends in "..." within the width.
        std::string& last = lines.back();
        while (!last.empty() && width > 0 && measure(last + "...") > width) last.pop_back();
        while (!last.empty() && last.back() == ' ') last.pop_back();
        last += "...";
    }
    return lines;
}

void clear_scene(control_state& state) {
    state.scene = engine::model();
    state.prepared = nullptr;
    state.model_warning.clear();
    state.model_name.clear();
}

void load_model(control_state& state, const std::string& path) {
    clear_scene(state);
    state.model_name = engine::loading::file_name_of(path);
    engine::load_outcome outcome;
    try {
        outcome = engine::load_model_file(path, state.scene);
    } catch (const std::bad_alloc&) {
        // What was read so far is in the scene, whichever loader read it.
        drop_unfitting_model(state, "memory ran out after " + std::to_string(state.scene.geometry.triangle_count()) +
                                        " of its triangles were read");
        reset_view(state);
        return;
    }
    if (!outcome.ok) {
        state.scene = engine::model();
        state.message = outcome.message.empty() ? path + ": could not be loaded" : outcome.message;
    } else {
        state.message.clear();
        state.model_warning = outcome.warning;
    }
    reprepare(state);
    reset_view(state);
}

namespace {

bool change(control_state& state, const member_entry& member, const member_values& values) {
    const double value = values.numbers[0];
    engine::view_settings& s = state.settings;
    if (member.on_off) {
        s.*member.on_off = on(value);
        return true;
    }
    switch (member.id) {
        case member_id::init:
            state.init_identifier = values.texts[0];
            state.init_folder = values.texts[1];
            return false;
        case member_id::loadfile:
            load_model(state, values.texts[0]);
            return true;
        case member_id::resetscene:
            clear_scene(state);
            state.message.clear();
            reset_view(state);
            return true;
        case member_id::rendermode:
            s.mode = clamped_mode(value, 1, 4, s.mode);
            return true;
        case member_id::gridmode:
            s.grid = clamped_mode(value, 0, 3, s.grid);
            return true;
        case member_id::renderapi: {
            // 0 the quality renderer, 1 the fast one, after rounding; any
            // other value is only remembered.
            state.render_api = value;
            const double whole = std::floor(value + 0.5);
            if (whole != 0 && whole != 1) return false;
            s.fast_renderer = whole == 1;
            return true;
        }
        case member_id::scalelighting:
            if (std::isnan(value)) return false;
            // Relative to the default, not to the current level: the same
            // value always gives the same brightness.
            s.light_scale = value > 0 ? std::clamp(float(value), 1.0f / 16, 16.0f) : 1.0f;
            return true;
        case member_id::setcolor: {
            const std::uint32_t colour = colour_ref(values.numbers[1]);
            if (value == 0) s.background = colour;
            else if (value == 1) s.wire_colour = colour;
            else if (value == 2) s.vertex_colour = colour;
            else return false;
            return true;
        }
        case member_id::bkpicture:
            state.background_picture = engine::picture();
            state.background_picture_name.clear();
            s.background_picture = nullptr;
            if (!values.texts[0].empty()) {
                const engine::load_outcome outcome =
                    engine::load_picture_file(values.texts[0], state.background_picture);
                if (outcome.ok) {
                    s.background_picture = &state.background_picture;
                    state.background_picture_name = values.texts[0];
                } else {
                    state.message = outcome.message;
                }
            }
            return true;
        case member_id::inertialrotation:
            state.inertial_rotation = on(value);
            return false;
        case member_id::lightmode:
            s.lights = clamped_mode(value, 0, 2, s.lights);
            return true;
        case member_id::leftmbuttonmode:
            state.left_button = button_mode(value, state.left_button);
            return false;
        case member_id::rightmbuttonmode:
            state.right_button = button_mode(value, state.right_button);
            return false;
        case member_id::gridsize:
            s.grid_size = std::isnan(value) || value <= 0 ? 0.0f : float(std::min(value, 1e30));
            // A size the picture does not show says why in the message line.
            state.message = engine::grid_size_note(state.prepared.get(), s, s.grid_size);
            return true;
        case member_id::smoothing:
            s.smoothing = on(value);
            reprepare(state);
            return true;
        case member_id::creaseangle:
            if (std::isnan(value)) return false;
            s.crease_angle_degrees = float(std::clamp(value, 0.0, 180.0));
            reprepare(state);
            return true;
        case member_id::hwindow:
            state.window_visible = on(value);
            return true;
        default:  // the on/off switches, set above by the table's column
            return false;
    }
}

}  // namespace

bool apply_member(control_state& state, const member_entry& member, const member_values& values) {
    // The line about an earlier failure goes with the next change to the
    // picture, so it never stands over a picture it does not describe; a
    // change that fails puts up its own. Showing or hiding the window, or a
    // call that changes nothing, leaves the line as it is.
    std::string earlier = std::move(state.message);
    state.message.clear();
    const bool changed = change(state, member, values);
    // A line this call put up counts: its own message, or else the warning
    // of the model it loaded.
    if (!state.message.empty() || (member.id == member_id::loadfile && !state.model_warning.empty()))
        ++state.messages_shown;
    if ((!changed || member.id == member_id::hwindow) && state.message.empty()) state.message = std::move(earlier);
    return changed;
}

bool read_member(const control_state& state, const member_entry& member, double& number, std::string& text) {
    if (!(member.kinds & as_property_get)) return false;
    const engine::view_settings& s = state.settings;
    if (member.on_off) {
        number = s.*member.on_off ? 1 : 0;
        return true;
    }
    switch (member.id) {
        case member_id::rendermode: number = static_cast<int>(s.mode); break;
        case member_id::gridmode: number = static_cast<int>(s.grid); break;
        case member_id::renderapi: number = s.fast_renderer ? 1 : 0; break;  // the renderer in use
        case member_id::scalelighting: number = s.light_scale; break;
        case member_id::bkpicture: text = state.background_picture_name; break;
        case member_id::messageline: text = shown_line(state); break;
        case member_id::messagecount: number = state.messages_shown; break;
        case member_id::inertialrotation: number = state.inertial_rotation ? 1 : 0; break;
        case member_id::lightmode: number = static_cast<int>(s.lights); break;
        case member_id::leftmbuttonmode: number = static_cast<int>(state.left_button); break;
        case member_id::rightmbuttonmode: number = static_cast<int>(state.right_button); break;
        case member_id::gridsize: number = s.grid_size; break;
        case member_id::smoothing: number = s.smoothing ? 1 : 0; break;
        case member_id::creaseangle: number = s.crease_angle_degrees; break;
        case member_id::hwindow: number = state.window_visible ? 1 : 0; break;
        default: return false;
    }
    return true;
}

void drag_rotate(engine::camera& view, float dx, float dy) {
    // Dragging right turns the model right; dragging down tips it towards the viewer.
    engine::orbit(view, -dx * 0.4f, dy * 0.4f);
}

void drag_zoom(engine::camera& view, float dy, int height) {
    // Dragging down by the view's height comes about 7 times closer.
    engine::zoom(view, std::exp(-dy * 2.0f / std::max(height, 1)));
}

void steer_by_key(control_state& state, view_key key) {
    // One arrow press turns as far as a 25-pixel drag (10 degrees); one zoom
    // press changes the distance by a quarter.
    constexpr float arrow_drag = 25.0f, zoom_step = 1.25f;
    switch (key) {
        case view_key::left: drag_rotate(state.view, -arrow_drag, 0); break;
        case view_key::right: drag_rotate(state.view, arrow_drag, 0); break;
        case view_key::up: drag_rotate(state.view, 0, -arrow_drag); break;
        case view_key::down: drag_rotate(state.view, 0, arrow_drag); break;
        case view_key::zoom_in: engine::zoom(state.view, 1 / zoom_step); break;
        case view_key::zoom_out: engine::zoom(state.view, zoom_step); break;
        case view_key::home: reset_view(state); break;
    }
}
