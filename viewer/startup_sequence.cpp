#include "viewer/startup_sequence.h"

#include "viewer/member_call.h"
#include "viewer/viewer_state.h"

void make_startup_sequence() {
    if (set_text_argument(first_argument, control_init_guid) &&
        set_text_argument(second_argument, control_plugins_path))
        member_call("INIT", member_kind::method_call, 2);
    // GRIDMODE is written as a property here; the GridMode action calls it as
    // a method. Controls accept both.
    set_number_argument(first_argument, 2.0);
    member_call("GRIDMODE", member_kind::property_put, 1);
    set_number_argument(first_argument, 0.0);
    member_call("INERTIALROTATION", member_kind::property_put, 1);
    set_number_argument(first_argument, 1.0);
    member_call("LIGHTMODE", member_kind::property_put, 1);
    set_number_argument(first_argument, 1.0);  // rotate, as SelectRotate puts it
    member_call("LEFTMBUTTONMODE", member_kind::property_put, 1);
    set_number_argument(first_argument, 2.0);
    member_call("RIGHTMBUTTONMODE", member_kind::property_put, 1);
    set_number_argument(first_argument, 0.0);
    set_number_argument(second_argument, 16711680.0);  // blue: red 0, green 0, blue 255
    member_call("SETCOLOR", member_kind::method_call, 2);
}
