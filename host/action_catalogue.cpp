#include "host/action_catalogue.h"

#include <cstring>

// Texts are the host-visible strings byte for byte: names end in one space, and
// some descriptions end in a space too; "Kack" is the published help text.
const action_entry action_catalogue[action_count] = {
    {1, "KP_Quelto3D_Init ", "Inits the Quelto3D Viewer", "[handle_rect]", "KP_QUELTO3D_INIT"},
    {2, "KP_Quelto3D_End ", "Ends the Quelto3D Viewer", "", "KP_QUELTO3D_END"},
    {3, "KP_Quelto3D_Show ", "Shows the file in the Quelto3D Viewer", "Filename", "KP_QUELTO3D_SHOW"},
    {4, "KP_Quelto3D_BKImage ", "Change Viewer Kack Image or Color", "", "KP_QUELTO3D_BKIMAGE"},
    {5, "KP_Quelto3D_Clear ", "Resets the Quelto3D Viewer", "", "KP_QUELTO3D_CLEAR"},
    {6, "KP_Quelto3D_SaveImage ", "Save the actual image of the Quelto3D Viewer", "[filename]",
     "KP_QUELTO3D_SAVEIMAGE"},
    {7, "KP_Quelto3D_RenderMode ", "Sets the Render Mode", "[Mode]", "KP_QUELTO3D_RENDERMODE"},
    {8, "KP_Quelto3D_GridMode ", "Sets the Grid Mode", "[Mode]", "KP_QUELTO3D_GRIDMODE"},
    {9, "KP_Quelto3D_APIMode ", "Sets the API Mode", "[Mode]", "KP_QUELTO3D_APIMODE"},
    {10, "KP_Quelto3D_SetBKColor ", "Sets Background Color ", "rrr,ggg,bbb", "KP_QUELTO3D_SETBKCOLOR"},
    {11, "KP_Quelto3D_SelectRotate ", "Select Rotate Object for Left Button", "",
     "KP_QUELTO3D_SELECTROTATE"},
    {12, "KP_Quelto3D_SelectMove ", "Select Move for Left Button ", "", "KP_QUELTO3D_SELECTMOVE"},
    {13, "KP_Quelto3D_Resize ", "Resizes the control when the rectangle changes ", "",
     "KP_QUELTO3D_RESIZE"},
    {14, "KP_Quelto3D_InertialRotation ", "Set / unset InertialRotation", "[value]",
     "KP_QUELTO3D_INERTIALROTATION"},
    {15, "KP_Quelto3D_GridSize ", "Sets the size of the grid", "[value]", "KP_QUELTO3D_GRIDSIZE"},
    {16, "KP_Quelto3D_LightMode ", "Sets the LightMode", "[mode]", "KP_QUELTO3D_LIGHTMODE"},
    {17, "KP_Quelto3D_SpecularLighting ", "Set / unset SpecularLighting", "[value]",
     "KP_QUELTO3D_SPECULARLIGHTING"},
    {18, "KP_Quelto3D_Smoothing ", "Sets Smoothing mode", "[mode]", "KP_QUELTO3D_SMOOTHING"},
    {19, "KP_Quelto3D_CreaseAngle ", "Sets the angle for Smoothing", "[angle]", "KP_QUELTO3D_CREASEANGLE"},
    {20, "KP_Quelto3D_UseDefaultMaterial ", "Sets / unset UseDefaultMaterial", "[value]",
     "KP_QUELTO3D_USEDEFAULTMATERIAL"},
    {21, "KP_Quelto3D_ShowTransparency ", "Sets / unset ShowTransparency", "[value]",
     "KP_QUELTO3D_SHOWTRANSPARENCY"},
    {22, "KP_Quelto3D_ShowTextures ", "Sets / unset ShowTextures", "[value]", "KP_QUELTO3D_SHOWTEXTURES"},
    {23, "KP_Quelto3D_ShowFog ", "Sets / unset ShowFog ", "[value]", "KP_QUELTO3D_SHOWFOG"},
    {24, "KP_Quelto3D_ShowHiddenGeometry ", "Sets / unset ShowHiddenGeometry", "[value]",
     "KP_QUELTO3D_SHOWHIDDENGEOMETRY"},
    {25, "KP_Quelto3D_ShowVertexes ", "Sets / unset ShowVertexes ", "[value]", "KP_QUELTO3D_SHOWVERTEXES"},
    {26, "KP_Quelto3D_ShowLights ", "Sets / unset ShowLights ", "[value]", "KP_QUELTO3D_SHOWLIGHTS"},
    {27, "KP_Quelto3D_ShowWorldAxis ", "Sets / unset ShowWorldAxis", "[value]", "KP_QUELTO3D_SHOWWORLDAXIS"},
    {28, "KP_Quelto3D_ShowBoundingBox ", "Sets / unset ShowBoundingBox ", "[value]",
     "KP_QUELTO3D_SHOWBOUNDINGBOX"},
    {29, "KP_Quelto3D_HWindow ", "Show/Hide window ", "[value]", "KP_QUELTO3D_HWINDOW"},
    {30, "KP_Quelto3D_ScaleLighting ", "Increase/Decrease/Restore Lighting ", "[value]",
     "KP_QUELTO3D_SCALELIGHTING"},
};

const action_entry* find_action(int number) {
    // Exact comparison with each row's number, so no arithmetic on the host's
    // value can overflow.
    for (const action_entry& entry : action_catalogue)
        if (entry.number == number) return &entry;
    return nullptr;
}

namespace {
std::size_t append(char* out, std::size_t at, const char* text, std::size_t length) {
    if (out) std::memcpy(out + at, text, length);
    return at + length;
}
std::size_t append(char* out, std::size_t at, const char* text) {
    return append(out, at, text, std::strlen(text));
}
}  // namespace

std::size_t compose_help_text(const action_entry& entry, char* out) {
    std::size_t at = append(out, 0, entry.description);
    at = append(out, at, "\r\n");
    at = append(out, at, entry.name);
    at = append(out, at, "\"");
    at = append(out, at, entry.placeholder);
    return append(out, at, "\"");
}
