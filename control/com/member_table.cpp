#include "control/com/member_table.h"

#include <cwctype>

namespace {
// A setting: set by a method call or a put, read back by a get.
constexpr unsigned setting = as_method | as_property_put | as_property_get;
using engine::view_settings;
}

// Every member takes its values as numbers or texts; values outside what a
// member understands are clamped or ignored, never fatal.
const member_entry member_table[] = {
    {"INIT", member_id::init, as_method, 2, argument_type::text, nullptr,
     "remembers the identifier and the plug-in folder it is given"},
    {"LOADFILE", member_id::loadfile, as_method, 1, argument_type::text, nullptr,
     "loads an OBJ (with MTL materials and textures), STL, PLY or glTF 2.0 (.gltf, .glb) file and frames it; "
     "a failure leaves an empty "
     "scene and a message line in the view saying what failed; a file that ends early shows what was read, and a "
     "missing texture or material library, or a model with nothing that has area, is named, in a line that "
     "stays while that model is shown"},
    {"RESETSCENE", member_id::resetscene, as_method, 0, argument_type::number, nullptr,
     "empties the scene and resets the view"},
    {"RENDERMODE", member_id::rendermode, setting, 1, argument_type::number, nullptr,
     "1 solid, 2 wireframe, 3 points, 4 solid with wireframe; clamped to 1..4"},
    {"GRIDMODE", member_id::gridmode, setting, 1, argument_type::number, nullptr,
     "0 no grid, 1 floor grid, 2 floor and back walls, 3 floor grid with axes; clamped to 0..3"},
    {"RENDERAPI", member_id::renderapi, setting, 1, argument_type::number, nullptr,
     "0 the quality renderer (light at every pixel, smooth edges; the default), 1 the fast renderer (light at the "
     "corners); rounded; other values are only remembered (a get reads the renderer in use, 0 or 1)"},
    {"SCALELIGHTING", member_id::scalelighting, setting, 1, argument_type::number, nullptr,
     "a value above 0 sets the light's brightness to that many times the default (1.5 is always one and a "
     "half times it, however often it is called; kept within 1/16..16); 0 or less restores the default"},
    {"SETCOLOR", member_id::setcolor, as_method, 2, argument_type::number, nullptr,
     "first argument 0: background colour, 1: wireframe line colour, 2: vertex dot colour; the second is a "
     "COLORREF (red + 256 green + 65536 blue); other first arguments are ignored"},
    {"BKPICTURE", member_id::bkpicture, setting, 1, argument_type::text, nullptr,
     "a BMP, PNG or JPEG file drawn stretched behind the scene; the empty text removes it"},
    {"INERTIALROTATION", member_id::inertialrotation, setting, 1, argument_type::number, nullptr,
     "non-zero: the model keeps turning after a rotate drag, slowing down, until the next click"},
    {"LIGHTMODE", member_id::lightmode, setting, 1, argument_type::number, nullptr,
     "0 unlit, 1 head light, 2 three lights fixed in the world; clamped to 0..2"},
    {"LEFTMBUTTONMODE", member_id::leftmbuttonmode, setting, 1, argument_type::number, nullptr,
     "what dragging with the left button does: 1 rotate, 2 zoom, 3 move; other values ignored"},
    {"RIGHTMBUTTONMODE", member_id::rightmbuttonmode, setting, 1, argument_type::number, nullptr,
     "the same for the right button"},
    {"GRIDSIZE", member_id::gridsize, setting, 1, argument_type::number, nullptr,
     "spacing of the grid lines in model units; 0 or less chooses one from the model's size; a spacing that "
     "changes nothing (too fine for the model, wider than its floor, or no grid shown) says why in the "
     "message line"},
    {"SPECULARLIGHTING", member_id::specularlighting, setting, 1, argument_type::number,
     &view_settings::specular, "non-zero: specular highlights"},
    {"SMOOTHING", member_id::smoothing, setting, 1, argument_type::number, nullptr,
     "non-zero: smooth shading, edges sharper than the crease angle stay sharp; 0: flat shading"},
    {"CREASEANGLE", member_id::creaseangle, setting, 1, argument_type::number, nullptr,
     "the crease angle in degrees, clamped to 0..180"},
    {"USEDEFAULTMATERIAL", member_id::usedefaultmaterial, setting, 1, argument_type::number,
     &view_settings::use_default_material,
     "non-zero: everything in a light grey default material instead of the model's own"},
    {"SHOWTRANSPARENCY", member_id::showtransparency, setting, 1, argument_type::number,
     &view_settings::show_transparency, "non-zero: transparent materials are blended; 0: drawn opaque"},
    {"SHOWTEXTURES", member_id::showtextures, setting, 1, argument_type::number,
     &view_settings::show_textures, "non-zero: texture maps are drawn"},
    {"SHOWFOG", member_id::showfog, setting, 1, argument_type::number,
     &view_settings::show_fog, "non-zero: distant parts fade into the background colour"},
    {"SHOWHIDDENGEOMETRY", member_id::showhiddengeometry, setting, 1, argument_type::number,
     &view_settings::show_hidden_geometry,
     "non-zero: the back faces of closed surfaces are drawn and hidden wireframe edges shown (an open "
     "surface always shows both sides, lit on the side the camera sees)"},
    {"SHOWVERTEXES", member_id::showvertexes, setting, 1, argument_type::number,
     &view_settings::show_vertices, "non-zero: vertices as dots"},
    {"SHOWLIGHTS", member_id::showlights, setting, 1, argument_type::number,
     &view_settings::show_lights,
     "non-zero: markers where the lights are; only the three lights of light mode 2 have a place in the "
     "world, so the head light (and unlit mode) shows none"},
    {"SHOWWORLDAXIS", member_id::showworldaxis, setting, 1, argument_type::number,
     &view_settings::show_world_axis, "non-zero: X (red), Y (green) and Z (blue) axes from the origin"},
    {"SHOWBOUNDINGBOX", member_id::showboundingbox, setting, 1, argument_type::number,
     &view_settings::show_bounding_box, "non-zero: the model's bounding box"},
    {"HWINDOW", member_id::hwindow, setting, 1, argument_type::number, nullptr,
     "non-zero shows the control's window, 0 hides it"},
};
const int member_count = static_cast<int>(sizeof member_table / sizeof member_table[0]);

const member_entry readout_table[] = {
    {"MESSAGELINE", member_id::messageline, as_property_get, 0, argument_type::text, nullptr,
     "read only: the message line the view shows now (a failure, or what the model shown lacks); empty when "
     "none"},
    {"MESSAGECOUNT", member_id::messagecount, as_property_get, 0, argument_type::number, nullptr,
     "read only: how many message lines the control has shown since it was created; each newly set line "
     "counts, also one with the same text as the line before"},
};
const int readout_count = static_cast<int>(sizeof readout_table / sizeof readout_table[0]);

namespace {

bool same_name(const char* a, const wchar_t* b) {
    // ASCII names only: anything beyond ASCII never matches.
    while (*a && *b < 128 && std::towupper(*b) == static_cast<wchar_t>(*a)) ++a, ++b;
    return !*a && !*b;
}

}  // namespace

const member_entry* find_member(const wchar_t* name) {
    if (!name) return nullptr;
    for (const member_entry& entry : member_table)
        if (same_name(entry.name, name)) return &entry;
    for (const member_entry& entry : readout_table)
        if (same_name(entry.name, name)) return &entry;
    return nullptr;
}

const member_entry* find_member(std::int32_t id) {
    for (const member_entry& entry : member_table)
        if (static_cast<std::int32_t>(entry.id) == id) return &entry;
    for (const member_entry& entry : readout_table)
        if (static_cast<std::int32_t>(entry.id) == id) return &entry;
    return nullptr;
}
