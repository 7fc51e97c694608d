// The control's automation members: names, dispatch identifiers, how each
// may be called and, for the on/off switches, the view setting each sets.
// One table drives GetIDsOfNames, Invoke and apply_member. No Windows
// headers: the member logic is built and tested natively too.
#pragma once

#include <cstdint>

#include "control/engine/render/view_settings.h"

// The values are the members' DISPIDs.
enum class member_id : std::int32_t {
    init = 1,
    loadfile,
    resetscene,
    rendermode,
    gridmode,
    renderapi,
    scalelighting,
    setcolor,
    bkpicture,
    inertialrotation,
    lightmode,
    leftmbuttonmode,
    rightmbuttonmode,
    gridsize,
    specularlighting,
    smoothing,
    creaseangle,
    usedefaultmaterial,
    showtransparency,
    showtextures,
    showfog,
    showhiddengeometry,
    showvertexes,
    showlights,
    showworldaxis,
    showboundingbox,
    hwindow,
    // Read by a host or test program (quelto-runner), never called by the
    // plug-in: in readout_table, not member_table.
    messageline,
    messagecount,
};

// A member with a value to read (a mode, a switch, a size) takes all three:
// a get answers the value in effect, after clamping. The readouts take only
// a get: a put or a call fails with DISP_E_MEMBERNOTFOUND.
enum member_kinds : unsigned { as_method = 1, as_property_put = 2, as_property_get = 4 };

enum class argument_type { number, text };

struct member_entry {
    const char* name;
    member_id id;
    unsigned kinds;           // member_kinds it accepts
    int argument_count;       // positional arguments of a method; a put takes one value, a get none
    argument_type arguments;  // what the arguments are converted to, and what a get answers
    // An on/off switch: the setting it turns on for a non-zero number (NaN
    // counts as zero); null for every other member.
    bool engine::view_settings::*on_off;
    const char* meaning;  // for the README's member table
};

// The members the plug-in calls (the README's and REFERENCE.txt's table,
// what `quelto-runner --check` asks an installed control for).
extern const member_entry member_table[];
extern const int member_count;

// The control's own read-only members, for a host or test program that
// prints what the view says: MESSAGELINE and MESSAGECOUNT. The original
// control has none of them, so they stay out of member_table.
extern const member_entry readout_table[];
extern const int readout_count;

// Case-insensitive lookup of a UTF-16 name in both tables; null when the
// control has none.
const member_entry* find_member(const wchar_t* name);
const member_entry* find_member(std::int32_t id);
