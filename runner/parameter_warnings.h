// Warnings about how an action's parameter is written: texts the plug-in
// takes, but most likely not as their author meant them. The plug-in gets the
// text unchanged either way. Plain C++: no Windows headers.
#pragma once

#include "runner/received_catalogue.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What an action's parameter is, as the plug-in reads it.
enum class parameter_kind {
    unknown,                    // not in the table: nothing is checked
    none,                       // the action ignores its parameter
    number,                     // read as a number, "&H10" and "1e3" included
    number_with_decimal_comma,  // the same, a "," read as a decimal point
    colour,                     // "red,green,blue"
    file_name,                  // the text is the name, blanks and all
    window_handle,              // a whole number; none for the runner's window
};

// The kind of parameter action `number` of `actions` takes, found by its
// name, so the table does not depend on the numbers the plug-in gave.
parameter_kind parameter_kind_of(const received_catalogue& actions, std::int32_t number);

// One message (without "warning: ") for each way `parameter` of action
// `number` is likely not what its author meant; none for a good one.
std::vector<std::string> parameter_warnings(const received_catalogue& actions, std::int32_t number,
                                            std::string_view parameter);
