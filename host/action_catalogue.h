// The constant table of the plug-in's 30 actions, in action-number order, and
// the help text composed from a row. Plain C++: no Windows headers.
#pragma once

#include <cstddef>

struct action_entry {
    int number;               // 1 to 30, equal to the row's position
    const char* name;         // "KP_Quelto3D_" + word + one trailing space
    const char* description;  // first line of the help text
    const char* placeholder;  // shown between double quotes in the usage line
    const char* handler;      // exported handler name
};

inline constexpr int action_count = 30;
extern const action_entry action_catalogue[action_count];

// Same for every action: one parameter of this type.
inline constexpr char parameter_type_text[] = "ACTIONPARAM_ALPHA";
inline constexpr unsigned parameter_count = 1;

// Row of an action number, or nullptr when the number is not 1 to 30.
const action_entry* find_action(int number);

// Help text: description, CR LF, name, '"', placeholder, '"'. Writes the text
// (without a terminating zero) to `out` when it is not null; returns its length.
std::size_t compose_help_text(const action_entry& entry, char* out);
