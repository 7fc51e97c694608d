// What each action's parameter means and which members of the viewer control
// the action calls: the one table that REFERENCE.txt is written from and that
// GUIDE.txt's action list is checked against. Plain C++: the tests link it.
#pragma once

#include <string_view>

struct action_parameter {
    const char* action;   // the name without "KP_Quelto3D_"
    const char* meaning;  // what the parameter means, its range, its value after Init
    const char* calls;    // the members called, or what the plug-in does itself
};

extern const action_parameter action_parameters[];
extern const int action_parameter_count;

// The row of an action name, with or without "KP_Quelto3D_" and the
// registered trailing blank, in any case; null for no action.
const action_parameter* find_action_parameter(std::string_view name);
