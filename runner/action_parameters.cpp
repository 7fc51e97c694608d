#include "runner/action_parameters.h"

#include <cctype>

// In action-number order. Ranges and values after Init are our viewer
// control's (control/com/control_state.cpp, the start-up sequence in
// viewer/startup_sequence.cpp); the plug-in passes every value on unchanged.
const action_parameter action_parameters[] = {
    {"Init",
     "the handle of the host window to fill, as a decimal number; the viewer takes its client "
     "area. Init returns only when the viewer ends (End, or the window is destroyed): the actions "
     "after it run inside the viewer's message loop. A text that is no window handle brings no "
     "viewer up.",
     "creates the control QUELTO3D.Quelto3dCtrl.1 in that window, then INIT (method), puts "
     "GRIDMODE 2, INERTIALROTATION 0, LIGHTMODE 1, LEFTMBUTTONMODE 1, RIGHTMBUTTONMODE 2, and "
     "SETCOLOR 0, blue (method).",
     parameter_kind::window_handle},
    {"End",
     "none; anything given is ignored. Ends the viewer: its window closes and Init returns.",
     "none; the plug-in destroys the viewer's window and the control in it.",
     parameter_kind::none},
    {"Show",
     "the model file's name, passed on unchanged; a relative name is taken from the current "
     "folder. OBJ (with MTL), STL, PLY, glTF 2.0 (.gltf, .glb). A file that cannot be loaded "
     "leaves an empty scene and one line in the view saying why.",
     "LOADFILE (method).",
     parameter_kind::file_name},
    {"BKImage",
     "a BMP, PNG or JPEG file drawn stretched behind the scene; the empty text removes the "
     "picture. The placeholder is empty, but the parameter is used.",
     "BKPICTURE (property put).",
     parameter_kind::file_name},
    {"Clear",
     "none; anything given is ignored. Empties the scene and resets the view; the settings stay.",
     "RESETSCENE (method).",
     parameter_kind::none},
    {"SaveImage",
     "the file to write, up to the first |: always an uncompressed 32-bit BMP, whatever the "
     "extension. A name longer than 255 characters, or with * or ?, writes nothing.",
     "none; the plug-in copies the screen's pixels under the viewer, so windows over it are in the "
     "picture and parts off the screen are black.",
     parameter_kind::file_name},
    {"RenderMode",
     "1 solid, 2 wireframe, 3 points, 4 solid with wireframe; rounded, then clamped to 1..4. After "
     "Init: 1.",
     "RENDERMODE (method).",
     parameter_kind::number},
    {"GridMode",
     "0 no grid, 1 floor grid, 2 floor and two back walls, 3 floor grid with the X (red) and Z "
     "(blue) axes; rounded, then clamped to 0..3. After Init: 2.",
     "GRIDMODE (method).",
     parameter_kind::number},
    {"APIMode",
     "0 the quality renderer (light at every pixel, smooth edges), 1 the fast renderer (light at "
     "the corners); rounded; other values change nothing. After Init: 0.",
     "RENDERAPI (method).",
     parameter_kind::number},
    {"SetBKColor",
     "the background colour as red,green,blue, each 0..255 (rounded, clamped); a missing field "
     "reads 0. Removes the background picture first. After Init: 0,0,255 (blue).",
     "BKPICTURE with the empty text (property put), then SETCOLOR 0, red + 256 green + 65536 blue "
     "(method).",
     parameter_kind::colour},
    {"SelectRotate",
     "none; anything given is ignored. A left-button drag rotates the model, as after Init.",
     "LEFTMBUTTONMODE 1 (property put).",
     parameter_kind::none},
    {"SelectMove",
     "none; anything given is ignored. A left-button drag moves the model with the cursor.",
     "LEFTMBUTTONMODE 3 (property put).",
     parameter_kind::none},
    {"Resize",
     "none; anything given is ignored. Fits the viewer to the host window's client area after that "
     "changed size.",
     "none; the plug-in resizes the viewer's windows.",
     parameter_kind::none},
    {"InertialRotation",
     "non-zero: the model keeps turning after a rotate drag, slowing down, until the next click; "
     "0: it stops with the mouse. After Init: 0.",
     "INERTIALROTATION (property put).",
     parameter_kind::number},
    {"GridSize",
     "the spacing of the grid lines in model units; 0 or less chooses a round spacing near a tenth "
     "of the model's size. A spacing that would need more than 400 lines across is widened. After "
     "Init: 0.",
     "GRIDSIZE (property put).",
     parameter_kind::number},
    {"LightMode",
     "0 unlit (the material colours as they are), 1 a head light shining along the view, 2 three "
     "lights fixed in the world; rounded, then clamped to 0..2. After Init: 1.",
     "LIGHTMODE (property put).",
     parameter_kind::number},
    {"SpecularLighting",
     "non-zero: specular highlights; 0: none. After Init: 0.",
     "SPECULARLIGHTING (property put).",
     parameter_kind::number},
    {"Smoothing",
     "non-zero: smooth shading, edges sharper than the crease angle stay sharp; 0: flat shading. "
     "After Init: 1.",
     "SMOOTHING (property put).",
     parameter_kind::number},
    {"CreaseAngle",
     "the crease angle in degrees, clamped to 0..180: where two faces meet at a larger angle, the "
     "edge stays sharp. After Init: 60.",
     "CREASEANGLE (property put).",
     parameter_kind::number},
    {"UseDefaultMaterial",
     "non-zero: everything in a light grey default material; 0: the model's own materials. After "
     "Init: 0.",
     "USEDEFAULTMATERIAL (property put).",
     parameter_kind::number},
    {"ShowTransparency",
     "non-zero: transparent materials are blended; 0: drawn opaque. After Init: 1.",
     "SHOWTRANSPARENCY (property put).",
     parameter_kind::number},
    {"ShowTextures",
     "non-zero: texture maps are drawn; 0: not. After Init: 1.",
     "SHOWTEXTURES (property put).",
     parameter_kind::number},
    {"ShowFog",
     "non-zero: distant parts fade into the background colour; 0: no fog. After Init: 0.",
     "SHOWFOG (property put).",
     parameter_kind::number},
    {"ShowHiddenGeometry",
     "non-zero: the back faces of closed surfaces are drawn and hidden wireframe edges shown; 0: "
     "hidden. After Init: 0.",
     "SHOWHIDDENGEOMETRY (property put).",
     parameter_kind::number},
    {"ShowVertexes",
     "non-zero: the vertices as dots, squares a hundredth of the view's smaller side across (4 to 9 "
     "pixels), as RenderMode 3 draws its points; 0: not. After Init: 0.",
     "SHOWVERTEXES (property put).",
     parameter_kind::number},
    {"ShowLights",
     "non-zero: markers where the lights are (only the three lights of light mode 2 have a place "
     "in the world); 0: none. After Init: 0.",
     "SHOWLIGHTS (property put).",
     parameter_kind::number},
    {"ShowWorldAxis",
     "non-zero: the X (red), Y (green) and Z (blue) axes from the origin; 0: none. After Init: 0.",
     "SHOWWORLDAXIS (property put).",
     parameter_kind::number},
    {"ShowBoundingBox",
     "non-zero: the model's bounding box; 0: none. After Init: 0.",
     "SHOWBOUNDINGBOX (property put).",
     parameter_kind::number},
    {"HWindow",
     "non-zero shows the viewer's window, 0 hides it (the host window shows through). After Init: "
     "shown.",
     "HWINDOW (property put).",
     parameter_kind::number},
    {"ScaleLighting",
     "above 0: the lights' brightness that many times the default (1.5 is always one and a half "
     "times it, however often given), kept within 1/16..16; 0 or less restores the default. A "
     "decimal comma reads as a point: 1,5 is 1.5.",
     "SCALELIGHTING (method).",
     parameter_kind::number_with_decimal_comma},
};
const int action_parameter_count = static_cast<int>(sizeof action_parameters / sizeof action_parameters[0]);

const action_parameter* find_action_parameter(std::string_view name) {
    constexpr std::string_view prefix = "KP_Quelto3D_";
    auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
                return false;
        return true;
    };
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);  // the registered trailing blank
    if (name.size() > prefix.size() && same(name.substr(0, prefix.size()), prefix)) name.remove_prefix(prefix.size());
    for (const action_parameter& row : action_parameters)
        if (same(row.action, name)) return &row;
    return nullptr;
}
