// What the control's members change: the scene, the view settings and the
// camera, and the mouse interaction on them. No window, COM or Windows
// header here: the member logic is built and tested natively too.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/com/member_table.h"
#include "control/engine/render/camera.h"
#include "control/engine/model/scene.h"
#include "control/engine/render/view_settings.h"

namespace engine {
class prepared_model;
}

enum class mouse_mode { none = 0, rotate = 1, zoom = 2, move = 3 };

struct control_state {
    engine::model scene;
    std::shared_ptr<const engine::prepared_model> prepared;  // null while the scene is empty
    engine::view_settings settings;
    engine::camera view;
    engine::picture background_picture;
    std::string background_picture_name;  // as BKPICTURE gave it; empty while none is shown
    std::string message;  // one line shown in the view (a failed load), or empty
    // What the model shown lacks (a file that ends early, a missing texture):
    // shown while that model is, when no message stands over it.
    std::string model_warning;
    std::string model_name;  // the file name of the model shown, for messages about it
    // How many message lines have been put up since the control was made
    // (MESSAGECOUNT): each newly set line counts, one with the same text as
    // the line before too; a line that only stays up does not.
    double messages_shown = 0;

    // Remembered only.
    std::string init_identifier, init_folder;
    double render_api = 0;

    bool inertial_rotation = false;
    mouse_mode left_button = mouse_mode::rotate;
    mouse_mode right_button = mouse_mode::zoom;
    bool window_visible = true;
};

// The values of one member call, converted to what the member takes. Texts
// are 8-bit, in the ANSI code page, as the loaders take file names.
struct member_values {
    double numbers[2] = {0, 0};
    std::string texts[2];
    int count = 0;
};

// The line the view shows over the picture now (MESSAGELINE): the message,
// or else the model's warning; empty when there is none.
const std::string& shown_line(const control_state& state);

// Puts up `line` as the message and counts it (outside a member call: a
// failure while drawing or running out of memory).
void show_message(control_state& state, std::string line);

// A message line cut into lines of at most `width` (in the units `measure`
// gives for a piece of text): broken at blanks, a word longer than a line
// broken where it must. At most `most_lines` lines (at least 1); a line cut
// short ends in "...". Lines come without their breaking blanks.
std::vector<std::string> wrapped_lines(const std::string& text, int width, int most_lines,
                                       const std::function<int(const std::string&)>& measure);

// Applies a member to the state. Returns false when nothing visible changed
// (so the window needs no repaint). A change clears the message line of an
// earlier failure.
bool apply_member(control_state& state, const member_entry& member, const member_values& values);

// The value a setting has now, for a property get: a number, or for
// BKPICTURE and MESSAGELINE a text. False for a member without a value to read.
bool read_member(const control_state& state, const member_entry& member, double& number, std::string& text);

// Empties the scene: no model, nothing prepared, no warning about it.
void clear_scene(control_state& state);

// Loads a model file (an 8-bit path in the ANSI code page) and frames it;
// on failure the scene is empty and state.message says why.
void load_model(control_state& state, const std::string& path);

// Mouse drags in pixels, turned into camera moves by the engine.
void drag_rotate(engine::camera& view, float dx, float dy);
void drag_zoom(engine::camera& view, float dy, int height);

// The keys that steer the view: the arrows orbit as a short drag would, the
// zoom keys come closer or go back a step, home frames the model again as a
// load does.
enum class view_key { left, right, up, down, zoom_in, zoom_out, home };
void steer_by_key(control_state& state, view_key key);
