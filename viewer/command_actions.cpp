// The command actions: each turns its parameter into one or two member calls
// on the viewer control and returns the null string, whatever happened.
#include "host/action_handlers.h"
#include "host/dynamic_string.h"
#include "viewer/colour_number.h"
#include "viewer/member_call.h"
#include "viewer/text_to_number.h"
#include "viewer/viewer_state.h"

namespace {

BSTR put_number(const char* member, double value) {
    set_number_argument(first_argument, value);
    member_call(member, member_kind::property_put, 1);
    return nullptr;
}

BSTR put_number_from(const char* member, const char* parameter) {
    return put_number(member, text_to_number(parameter));
}

BSTR call_with_number_from(const char* member, const char* parameter) {
    set_number_argument(first_argument, text_to_number(parameter));
    member_call(member, member_kind::method_call, 1);
    return nullptr;
}

}  // namespace

BSTR WINAPI KP_QUELTO3D_SHOW(const char* parameter) {
    if (set_text_argument(first_argument, parameter)) member_call("LOADFILE", member_kind::method_call, 1);
    return nullptr;
}

BSTR WINAPI KP_QUELTO3D_BKIMAGE(const char* parameter) {
    if (set_text_argument(first_argument, parameter)) member_call("BKPICTURE", member_kind::property_put, 1);
    return nullptr;
}

BSTR WINAPI KP_QUELTO3D_CLEAR(const char*) {
    member_call("RESETSCENE", member_kind::method_call, 0);
    return nullptr;
}

BSTR WINAPI KP_QUELTO3D_RENDERMODE(const char* parameter) { return call_with_number_from("RENDERMODE", parameter); }
BSTR WINAPI KP_QUELTO3D_GRIDMODE(const char* parameter) { return call_with_number_from("GRIDMODE", parameter); }
BSTR WINAPI KP_QUELTO3D_APIMODE(const char* parameter) { return call_with_number_from("RENDERAPI", parameter); }

BSTR WINAPI KP_QUELTO3D_SETBKCOLOR(const char* parameter) {
    // The picture is removed first, so the colour shows; the colour is set
    // whatever became of that.
    set_text_argument(first_argument, "");
    member_call("BKPICTURE", member_kind::property_put, 1);
    set_number_argument(first_argument, 0.0);
    set_number_argument(second_argument, colour_number_from_text(parameter));
    member_call("SETCOLOR", member_kind::method_call, 2);
    return nullptr;
}

// Mouse-button mode numbers the control understands: 1 rotates, 3 moves.
BSTR WINAPI KP_QUELTO3D_SELECTROTATE(const char*) { return put_number("LEFTMBUTTONMODE", 1.0); }
BSTR WINAPI KP_QUELTO3D_SELECTMOVE(const char*) { return put_number("LEFTMBUTTONMODE", 3.0); }

BSTR WINAPI KP_QUELTO3D_INERTIALROTATION(const char* p) { return put_number_from("INERTIALROTATION", p); }
BSTR WINAPI KP_QUELTO3D_GRIDSIZE(const char* p) { return put_number_from("GRIDSIZE", p); }
BSTR WINAPI KP_QUELTO3D_LIGHTMODE(const char* p) { return put_number_from("LIGHTMODE", p); }
BSTR WINAPI KP_QUELTO3D_SPECULARLIGHTING(const char* p) { return put_number_from("SPECULARLIGHTING", p); }
BSTR WINAPI KP_QUELTO3D_SMOOTHING(const char* p) { return put_number_from("SMOOTHING", p); }
BSTR WINAPI KP_QUELTO3D_CREASEANGLE(const char* p) { return put_number_from("CREASEANGLE", p); }
BSTR WINAPI KP_QUELTO3D_USEDEFAULTMATERIAL(const char* p) { return put_number_from("USEDEFAULTMATERIAL", p); }
BSTR WINAPI KP_QUELTO3D_SHOWTRANSPARENCY(const char* p) { return put_number_from("SHOWTRANSPARENCY", p); }
BSTR WINAPI KP_QUELTO3D_SHOWTEXTURES(const char* p) { return put_number_from("SHOWTEXTURES", p); }
BSTR WINAPI KP_QUELTO3D_SHOWFOG(const char* p) { return put_number_from("SHOWFOG", p); }
BSTR WINAPI KP_QUELTO3D_SHOWHIDDENGEOMETRY(const char* p) { return put_number_from("SHOWHIDDENGEOMETRY", p); }
BSTR WINAPI KP_QUELTO3D_SHOWVERTEXES(const char* p) { return put_number_from("SHOWVERTEXES", p); }
BSTR WINAPI KP_QUELTO3D_SHOWLIGHTS(const char* p) { return put_number_from("SHOWLIGHTS", p); }
BSTR WINAPI KP_QUELTO3D_SHOWWORLDAXIS(const char* p) { return put_number_from("SHOWWORLDAXIS", p); }
BSTR WINAPI KP_QUELTO3D_SHOWBOUNDINGBOX(const char* p) { return put_number_from("SHOWBOUNDINGBOX", p); }
BSTR WINAPI KP_QUELTO3D_HWINDOW(const char* p) { return put_number_from("HWINDOW", p); }

BSTR WINAPI KP_QUELTO3D_SCALELIGHTING(const char* parameter) {
    // A decimal comma is read as a point, on a private copy of the text.
    unique_bstr copy(copy_dynamic_string(parameter));
    char* text = reinterpret_cast<char*>(copy.get());
    if (!text && parameter && *parameter) return nullptr;  // no memory for the copy: no call
    decimal_commas_to_points(text);
    return call_with_number_from("SCALELIGHTING", text);
}
