// What each action's parameter means and which members of the viewer control
// the action calls: the one table that REFERENCE.txt is written from and that
// GUIDE.txt's action list is checked against. Plain C++: the tests link it.
#pragma once

#include <string_view>

// What an action's parameter is, as the plug-in reads it: what the runner
// checks a script's parameters against.
enum class parameter_kind {
    none,                       // the action ignores its parameter
    number,                     // read as a number, "&H10" and "1e3" included
    number_with_decimal_comma,  // the same, a "," read as a decimal point
    colour,                     // "red,green,blue"
    file_name,                  // the text is the name, blanks and all
    window_handle,              // a whole number; none for the runner's window
};

struct action_parameter {
    const char* action;   // the name without "KP_Quelto3D_"
    const char* meaning;  // what the parameter means, its range, its value after Init
    const char* calls;    // the members called, or what the plug-in does itself
    parameter_kind kind;
};

extern const action_parameter action_parameters[];
extern const int action_parameter_count;

// The row of an action name, with or without "KP_Quelto3D_" and the
// registered trailing blank, in any case; null for no action.
const action_parameter* find_action_parameter(std::string_view name);
